#include "core/model/modelregistry.h"

#include "core/model/describeddevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <mutex>

// The built-in descriptions live in a static library: their resources are registered by hand.
static void initResources()
{
    Q_INIT_RESOURCE(models);
}

namespace {
std::mutex sharedLock;
std::unique_ptr<ModelRegistry> sharedRegistry;
} // namespace

ModelRegistry::ModelRegistry() : ModelRegistry(QStringList{}) {}

ModelRegistry::ModelRegistry(const QStringList& folders)
{
    initResources();
    const QDir builtIn(QStringLiteral(":/models"));
    for (const QString& name : builtIn.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        QFile file(builtIn.filePath(name));
        file.open(QIODevice::ReadOnly);
        add(file.readAll(), file.fileName(), true);
    }
    for (const QString& folder : folders)
        loadFolder(folder);
}

void ModelRegistry::loadFolder(const QString& folder)
{
    const QDir dir(folder);
    for (const QFileInfo& info : dir.entryInfoList({QStringLiteral("*.json")}, QDir::Files | QDir::Readable, QDir::Name)) {
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            _refused.append({info.filePath(), QStringLiteral("%1: %2").arg(info.filePath(), file.errorString())});
            continue;
        }
        add(file.readAll(), info.filePath(), false);
    }
}

void ModelRegistry::add(const QByteArray& json, const QString& file, bool builtIn)
{
    QString problem;
    std::optional<ModelDescription> read = readModelDescription(json, file, &problem);
    if (!read) {
        _refused.append({file, problem});
        return;
    }
    auto description = std::make_shared<const ModelDescription>(std::move(*read));
    int replaced = -1;
    for (int i = 0; i < _models.size(); ++i) {
        const Model& known = _models.at(i);
        if (known.description->name == description->name) {
            // A user's file replaces a built-in model; two user files of one name are a fault.
            if (builtIn || !known.overrides.isEmpty() || !known.file.startsWith(QLatin1String(":/"))) {
                _refused.append({file, QStringLiteral("%1: the model \"%2\" is described already by %3")
                                           .arg(file, description->name, known.file)});
                return;
            }
            replaced = i;
            continue;
        }
        for (int number : description->modelNumbers)
            if (known.description->modelNumbers.contains(number)) {
                _refused.append({file, QStringLiteral("%1: model number %2 is described already by %3")
                                           .arg(file)
                                           .arg(number)
                                           .arg(known.file)});
                return;
            }
    }
    if (replaced >= 0)
        _models[replaced] = Model{description, file, _models.at(replaced).file};
    else
        _models.append(Model{description, file, QString()});
}

std::shared_ptr<const ModelDescription> ModelRegistry::byName(const QString& name) const
{
    for (const Model& model : _models)
        if (model.description->name == name)
            return model.description;
    return {};
}

std::shared_ptr<const ModelDescription> ModelRegistry::byNumber(int modelNumber) const
{
    for (const Model& model : _models)
        if (model.description->modelNumbers.contains(modelNumber))
            return model.description;
    return {};
}

namespace {
// The unsigned value of `entry`'s bytes in `table`; -1 when the table is too short.
int valueIn(const QByteArray& table, const ModelEntry* entry, bool bigEndian)
{
    if (!entry || entry->address + entry->size > table.size())
        return -1;
    int value = 0;
    for (int i = 0; i < entry->size; ++i) {
        const int shift = 8 * (bigEndian ? entry->size - 1 - i : i);
        value |= int(uint8_t(table.at(entry->address + i))) << shift;
    }
    return value;
}
} // namespace

std::shared_ptr<const ModelDescription> ModelRegistry::knownIn(const QByteArray& table, int protocol,
                                                               int* modelNumber) const
{
    for (const Model& model : _models) {
        const ModelDescription& description = *model.description;
        if (!description.protocols.contains(protocol))
            continue;
        const int read =
            valueIn(table, description.entryWithRole(QStringLiteral("modelNumber")), description.bigEndian);
        if (description.answersModelNumber(read)) {
            *modelNumber = read;
            return model.description;
        }
    }
    return {};
}

ModelRegistry::Identity ModelRegistry::identify(const QByteArray& table, int protocol) const
{
    Identity identity;
    identity.protocol = protocol;
    identity.model = knownIn(table, protocol, &identity.modelNumber);
    // Feetech servos take Protocol 1's packets: one asked in plain Protocol 1 is found by its
    // model number at its own place. (Not the other way: a Feetech firmware version at 0 could
    // read as a Protocol 1 model number.)
    const int sibling = protocol == 1 ? 3 : 0;
    if (!identity.model && sibling != 0) {
        identity.model = knownIn(table, sibling, &identity.modelNumber);
        if (identity.model)
            identity.protocol = sibling;
    }
    int firmwareAt = 2;
    if (!identity.model) {
        // Where an unknown model of the protocol keeps its number and firmware: where the models
        // of the protocol keep them first (at 0 and 2 on Protocol 1 and 2, at 3 and 0 on Feetech).
        ModelEntry number;
        number.size = 2;
        bool allBigEndian = true;
        bool anyOfProtocol = false;
        for (const Model& model : _models) {
            const ModelDescription& description = *model.description;
            if (!description.protocols.contains(protocol))
                continue;
            const ModelEntry* entry = description.entryWithRole(QStringLiteral("modelNumber"));
            const ModelEntry* firmware = description.entryWithRole(QStringLiteral("firmware"));
            if (entry && (!anyOfProtocol || entry->address < number.address))
                number = *entry;
            if (firmware && (!anyOfProtocol || firmware->address < firmwareAt))
                firmwareAt = firmware->address;
            allBigEndian = allBigEndian && description.bigEndian;
            anyOfProtocol = true;
        }
        identity.modelNumber = valueIn(table, &number, anyOfProtocol && allBigEndian);
        // A servo may speak a protocol its description does not list (a simulated AX-12 in
        // Protocol 2): a model keeping that number at the same place is taken.
        const auto other = byNumber(identity.modelNumber);
        const ModelEntry* otherEntry = other ? other->entryWithRole(QStringLiteral("modelNumber")) : nullptr;
        if (otherEntry && otherEntry->address == number.address)
            identity.model = other;
    }
    if (identity.model)
        if (const ModelEntry* firmware = identity.model->entryWithRole(QStringLiteral("firmware")))
            firmwareAt = firmware->address;
    if (firmwareAt < table.size())
        identity.firmware = uint8_t(table.at(firmwareAt));
    return identity;
}

std::shared_ptr<const ModelDescription> ModelRegistry::find(const QString& nameOrFile, QString* problem) const
{
    if (auto known = byName(nameOrFile))
        return known;
    if (!nameOrFile.endsWith(QLatin1String(".json"), Qt::CaseInsensitive)) {
        *problem = QStringLiteral("no model is called \"%1\" (known: %2)").arg(nameOrFile, names().join(QStringLiteral(", ")));
        return {};
    }
    QFile file(nameOrFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("%1: %2").arg(nameOrFile, file.errorString());
        return {};
    }
    std::optional<ModelDescription> read = readModelDescription(file.readAll(), nameOrFile, problem);
    if (!read)
        return {};
    return std::make_shared<const ModelDescription>(std::move(*read));
}

QStringList ModelRegistry::names() const
{
    QStringList list;
    for (const Model& model : _models)
        list.append(model.description->name);
    return list;
}

namespace {
QList<int> sortedOnce(QList<int> rates)
{
    std::sort(rates.begin(), rates.end());
    rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
    return rates;
}
} // namespace

QList<int> ModelRegistry::baudRates() const
{
    QList<int> rates;
    for (const Model& model : _models)
        rates += model.description->baudRates();
    return sortedOnce(rates);
}

QList<int> ModelRegistry::factoryBaudRates() const
{
    QList<int> rates;
    for (const Model& model : _models)
        rates.append(model.description->factoryBaudRate);
    return sortedOnce(rates);
}

QList<int> offeredBaudRates()
{
    return ModelRegistry::shared().baudRates();
}

QString ModelRegistry::userFolder()
{
    // One folder for the window, the command line and the simulator, whatever each calls itself.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/velkora-servo-manager/models");
}

const ModelRegistry& ModelRegistry::shared()
{
    const std::lock_guard<std::mutex> lock(sharedLock);
    if (!sharedRegistry)
        sharedRegistry = std::make_unique<ModelRegistry>(QStringList{userFolder()});
    return *sharedRegistry;
}

void ModelRegistry::use(const QStringList& folders)
{
    auto registry = std::make_unique<ModelRegistry>(folders);
    const std::lock_guard<std::mutex> lock(sharedLock);
    sharedRegistry = std::move(registry);
}

std::shared_ptr<IDevice> deviceOf(std::shared_ptr<const ModelDescription> description)
{
    if (!description)
        return {};
    return std::make_shared<DescribedDevice>(std::move(description));
}
