#include "core/model/modeldescription.h"

#include <algorithm>

#include "core/model/fieldmetadefs.h"
#include "core/units/valueinput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <stdexcept>

namespace {

using Q = PhysicalQuantitiesEnum;

// The quantities by the names description files use.
const QMap<QString, Q>& quantityNames()
{
    static const QMap<QString, Q> names{
        {"angularVelocity", Q::AngularVelocity},
        {"angle", Q::Angle},
        {"angularAcceleration", Q::AngularAcceleration},
        {"torque", Q::Torque},
        {"voltage", Q::Voltage},
        {"current", Q::Current},
        {"temperature", Q::Temperature},
        {"elapsedTime", Q::ElapsedTime},
        {"servoId", Q::ServoId},
        {"positionProportionalTerm", Q::PositionProportionalTerm},
        {"velocityFeedforwardTerm", Q::VelocityFeedforwardTerm},
        {"currentFeedforwardTerm", Q::CurrentFeedforwardTerm},
        {"velocityProportionalTerm", Q::VelocityProportionalTerm},
        {"velocityIntegralTerm", Q::VelocityIntegralTerm},
        {"angularVelocityProfile", Q::AngularVelocityProfile},
        {"accelerationProfile", Q::AccelerationProfile},
        {"modelNumber", Q::ModelNumber},
        {"baudRate", Q::BaudRate},
        {"operatingMode", Q::OperatingMode},
        {"inputMode", Q::InputMode},
        {"direction", Q::Direction},
        {"unitless", Q::Unitless},
        {"percent", Q::Percent},
    };
    return names;
}

// A fault of the file; `where` names the entry when there is one.
struct Refusal : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

[[noreturn]] void refuse(const QString& why)
{
    throw Refusal(why.toStdString());
}

void onlyKnownMembers(const QJsonObject& object, const QSet<QString>& known, const QString& where)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!known.contains(it.key()))
            refuse(QStringLiteral("%1unknown member \"%2\"").arg(where, it.key()));
}

// A whole number within [low, high]; `what` names it in the message.
int64_t wholeNumber(const QJsonValue& value, const QString& what, int64_t low, int64_t high)
{
    const double number = value.toDouble(0.5);
    if (!value.isDouble() || number != double(int64_t(number)) || number < double(low) || number > double(high))
        refuse(QStringLiteral("%1 must be a whole number from %2 to %3").arg(what).arg(low).arg(high));
    return int64_t(number);
}

QString text(const QJsonObject& object, const QString& member, const QString& where, bool required)
{
    const QJsonValue value = object.value(member);
    if (value.isUndefined() && !required)
        return {};
    if (!value.isString() || value.toString().isEmpty())
        refuse(QStringLiteral("%1\"%2\" must be a text").arg(where, member));
    return value.toString();
}

// The raw values a register of `size` bytes holds, as its sign reads them.
std::pair<int64_t, int64_t> rawLimits(const ModelEntry& entry)
{
    const int bits = entry.size * 8;
    const int64_t all = (int64_t(1) << bits) - 1;
    switch (entry.sign) {
    case ModelEntry::Sign::TwosComplement:
        return {-(int64_t(1) << (bits - 1)), (int64_t(1) << (bits - 1)) - 1};
    case ModelEntry::Sign::SignMagnitude: {
        const int64_t magnitude = (int64_t(1) << entry.signBit) - 1;
        return {-magnitude, magnitude};
    }
    case ModelEntry::Sign::Unsigned:
        break;
    }
    return {0, entry.mask ? int64_t(entry.mask) : all};
}

void readSign(const QJsonObject& object, const QString& where, ModelEntry* entry)
{
    const QString sign = object.value("sign").toString(QStringLiteral("unsigned"));
    if (sign == QLatin1String("twosComplement")) {
        entry->sign = ModelEntry::Sign::TwosComplement;
    } else if (sign == QLatin1String("signMagnitude")) {
        entry->sign = ModelEntry::Sign::SignMagnitude;
        entry->signBit = int(wholeNumber(object.value("signBit"), where + "\"signBit\"", 1, entry->size * 8 - 1));
    } else if (sign != QLatin1String("unsigned")) {
        refuse(QStringLiteral("%1\"sign\" is unsigned, twosComplement or signMagnitude").arg(where));
    }
    if (entry->sign != ModelEntry::Sign::SignMagnitude && object.contains("signBit"))
        refuse(QStringLiteral("%1\"signBit\" belongs to a signMagnitude entry").arg(where));
}

// A value of `quantity` given in `unit`, in the quantity's default unit.
double inDefaultUnit(double value, const QString& unit, Q quantity, const QString& where)
{
    if (unit.isEmpty())
        return value;
    const ValueInput input = readValueInUnit(QString::number(value, 'g', 17) + QLatin1Char(' ') + unit, quantity);
    if (!input.ok)
        refuse(QStringLiteral("%1unknown unit \"%2\" (%3)").arg(where, unit, input.error));
    return input.inDefaultUnit;
}

void readList(const QJsonObject& object, const QString& where, int64_t low, int64_t high, ModelEntry* entry)
{
    const QJsonObject list = object.value("list").toObject();
    for (auto it = list.begin(); it != list.end(); ++it) {
        bool ok = false;
        const int64_t raw = it.key().toLongLong(&ok, 0);
        if (!ok || raw < low || raw > high || !it.value().isString())
            refuse(QStringLiteral("%1list value \"%2\" is no raw value of the entry with a text").arg(where, it.key()));
        entry->listValues.insert(raw, it.value().toString());
    }
}

// The physical value is either given by its range ("min", "max" at "rawMin", "rawMax") or by a
// scale and offset in a unit; either way a linear map in the quantity's default unit.
void readConversion(const QJsonObject& object, const QString& where, ModelEntry* entry)
{
    const QString quantity = object.value("quantity").toString(QStringLiteral("unitless"));
    if (!quantityNames().contains(quantity))
        refuse(QStringLiteral("%1unknown quantity \"%2\"").arg(where, quantity));
    entry->quantity = quantityNames().value(quantity);
    const auto [low, high] = rawLimits(*entry);
    entry->rawMin = object.contains("rawMin") ? wholeNumber(object.value("rawMin"), where + "\"rawMin\"", low, high) : low;
    entry->rawMax = object.contains("rawMax") ? wholeNumber(object.value("rawMax"), where + "\"rawMax\"", low, high) : high;
    if (entry->rawMin > entry->rawMax)
        refuse(QStringLiteral("%1\"rawMin\" is above \"rawMax\"").arg(where));
    const bool scaled = object.contains("scale") || object.contains("offset");
    const bool ranged = object.contains("min") || object.contains("max");
    if (scaled && ranged)
        refuse(QStringLiteral("%1give either \"min\" and \"max\" or \"scale\" and \"offset\"").arg(where));
    if (object.contains("unit") && !scaled)
        refuse(QStringLiteral("%1\"unit\" belongs to \"scale\"").arg(where));
    const QString unit = object.value("unit").toString();
    if (scaled) {
        const double scale = object.value("scale").toDouble(1.0);
        const double offset = object.value("offset").toDouble(0.0);
        entry->min = inDefaultUnit(double(entry->rawMin) * scale + offset, unit, entry->quantity, where);
        entry->max = inDefaultUnit(double(entry->rawMax) * scale + offset, unit, entry->quantity, where);
    } else {
        entry->min = object.value("min").toDouble(double(entry->rawMin));
        entry->max = object.value("max").toDouble(double(entry->rawMax));
    }
    entry->hasRange = scaled || ranged || object.contains("rawMin") || object.contains("rawMax");
    if (entry->hasRange && entry->rawMin == entry->rawMax)
        refuse(QStringLiteral("%1a range needs \"rawMin\" below \"rawMax\"").arg(where));
    readList(object, where, low, high, entry);
}

// The field of the edit view an entry names must be one of the form's, and show the entry's quantity.
void readWidget(const QJsonObject& object, const QString& where, ModelEntry* entry)
{
    entry->widget = text(object, "widget", where, false);
    if (entry->widget.isEmpty())
        return;
    const FieldStaticMetadataHelper form;
    std::unique_ptr<FieldStaticMetadata> shown;
    try {
        shown = form.getFieldStaticMetadata(entry->widget);
    } catch (const std::out_of_range&) {
    }
    if (!shown || entry->widget.endsWith(QLatin1String("Label")))
        refuse(QStringLiteral("%1the edit view has no field \"%2\"").arg(where, entry->widget));
    if (shown->physicalQuantity != entry->quantity)
        refuse(QStringLiteral("%1the field \"%2\" shows %3, not %4")
                   .arg(where, entry->widget, quantityNames().key(shown->physicalQuantity),
                        quantityNames().key(entry->quantity)));
}

ModelEntry readEntry(const QJsonValue& value, int index, int tableLength)
{
    QString where = QStringLiteral("entry %1: ").arg(index + 1);
    if (!value.isObject())
        refuse(where + QStringLiteral("not an object"));
    const QJsonObject object = value.toObject();
    onlyKnownMembers(object,
                     {"key",    "caption", "description", "address", "size",   "access",  "area",   "mask",
                      "sign",   "signBit", "quantity",    "rawMin",  "rawMax", "min",     "max",    "scale",
                      "offset", "unit",    "list",        "widget",  "role",   "default", "shownAs"},
                     where);
    ModelEntry entry;
    entry.key = text(object, "key", where, true);
    where = QStringLiteral("entry \"%1\": ").arg(entry.key);
    entry.caption = text(object, "caption", where, true);
    entry.description = text(object, "description", where, false);
    entry.size = int(wholeNumber(object.value("size"), where + "\"size\"", 1, 4));
    if (entry.size == 3)
        refuse(where + QStringLiteral("\"size\" must be 1, 2 or 4"));
    entry.address = int(wholeNumber(object.value("address"), where + "\"address\"", 0, tableLength - entry.size));
    const QString access = object.value("access").toString();
    if (access != QLatin1String("read") && access != QLatin1String("readWrite"))
        refuse(where + QStringLiteral("\"access\" is read or readWrite"));
    entry.writable = access == QLatin1String("readWrite");
    static const QMap<QString, ModelEntry::Area> areas{{"nonVolatile", ModelEntry::Area::NonVolatile},
                                                       {"volatile", ModelEntry::Area::Volatile},
                                                       {"command", ModelEntry::Area::Command},
                                                       {"state", ModelEntry::Area::State}};
    if (!areas.contains(object.value("area").toString()))
        refuse(where + QStringLiteral("\"area\" is nonVolatile, volatile, command or state"));
    entry.area = areas.value(object.value("area").toString());
    if (object.contains("mask"))
        entry.mask = uint32_t(wholeNumber(object.value("mask"), where + "\"mask\"", 1,
                                          (int64_t(1) << (entry.size * 8)) - 1));
    readSign(object, where, &entry);
    readConversion(object, where, &entry);
    readWidget(object, where, &entry);
    entry.role = text(object, "role", where, false);
    if (!entry.role.isEmpty() && !modelEntryRoles().contains(entry.role))
        refuse(QStringLiteral("%1unknown role \"%2\"").arg(where, entry.role));
    if (object.contains("shownAs")) {
        if (object.value("shownAs").toString() != QLatin1String("seriesAndVariant") ||
            entry.quantity != PhysicalQuantitiesEnum::ModelNumber)
            refuse(where + QStringLiteral("\"shownAs\" is \"seriesAndVariant\", for a model number"));
        entry.seriesAndVariant = true;
    }
    if (object.contains("default")) {
        const auto [low, high] = rawLimits(entry);
        entry.powerOnDefault = wholeNumber(object.value("default"), where + "\"default\"", low, high);
    }
    return entry;
}

// Entries may share bytes only as masks of one register; a key, a widget and a role (but the
// hardware error bits') belong to one entry each.
void noOverlaps(const QList<ModelEntry>& entries)
{
    for (int i = 0; i < entries.size(); ++i)
        for (int j = 0; j < i; ++j) {
            const ModelEntry& a = entries.at(i);
            const ModelEntry& b = entries.at(j);
            const bool overlap = a.address < b.address + b.size && b.address < a.address + a.size;
            const bool masks = a.mask && b.mask && a.address == b.address && a.size == b.size && !(a.mask & b.mask);
            if (overlap && !masks)
                refuse(QStringLiteral("entry \"%1\": its bytes overlap entry \"%2\"").arg(a.key, b.key));
            if (a.key == b.key)
                refuse(QStringLiteral("entry \"%1\": the key is used twice").arg(a.key));
            if (!a.widget.isEmpty() && a.widget == b.widget)
                refuse(QStringLiteral("entry \"%1\": entry \"%2\" shows in \"%3\" already").arg(a.key, b.key, a.widget));
            if (!a.role.isEmpty() && a.role == b.role && a.role != QLatin1String("hardwareError"))
                refuse(QStringLiteral("entry \"%1\": entry \"%2\" has the role \"%3\" already").arg(a.key, b.key, a.role));
        }
}

QList<int> numbers(const QJsonValue& value, const QString& what, int low, int high)
{
    if (!value.isArray() || value.toArray().isEmpty())
        refuse(QStringLiteral("\"%1\" must be a list of numbers").arg(what));
    QList<int> list;
    for (const QJsonValue& item : value.toArray()) {
        const int number = int(wholeNumber(item, QStringLiteral("\"%1\"").arg(what), low, high));
        if (list.contains(number))
            refuse(QStringLiteral("\"%1\" lists %2 twice").arg(what).arg(number));
        list.append(number);
    }
    return list;
}

// 1, 2, or "feetech": Protocol 1's packets with that maker's instructions and error bits (kept as 3).
QList<int> protocols(const QJsonValue& value)
{
    if (!value.isArray() || value.toArray().isEmpty())
        refuse(QStringLiteral("\"protocols\" must list 1, 2 or \"feetech\""));
    QList<int> list;
    for (const QJsonValue& item : value.toArray()) {
        const int protocol = item == QJsonValue(QStringLiteral("feetech")) ? 3
                             : item == QJsonValue(1)                       ? 1
                             : item == QJsonValue(2)                       ? 2
                                                                           : 0;
        if (protocol == 0)
            refuse(QStringLiteral("\"protocols\" are 1, 2 or \"feetech\""));
        if (list.contains(protocol))
            refuse(QStringLiteral("\"protocols\" lists one twice"));
        list.append(protocol);
    }
    return list;
}

// Numbers, or {"from", "to"} for a family's run of them.
QList<int> modelNumbers(const QJsonValue& value)
{
    QJsonArray plain;
    for (const QJsonValue& item : value.toArray()) {
        if (!item.isObject()) {
            plain.append(item);
            continue;
        }
        const QJsonObject run = item.toObject();
        onlyKnownMembers(run, {"from", "to"}, QStringLiteral("modelNumbers: "));
        const int from = int(wholeNumber(run.value("from"), "\"modelNumbers\" \"from\"", 0, 0xFFFF));
        const int to = int(wholeNumber(run.value("to"), "\"modelNumbers\" \"to\"", from, 0xFFFF));
        for (int number = from; number <= to; ++number)
            plain.append(number);
    }
    return numbers(value.isArray() ? QJsonValue(plain) : value, "modelNumbers", 0, 0xFFFF);
}

void readFactory(const QJsonObject& root, ModelDescription* model)
{
    const QJsonObject factory = root.value("factory").toObject();
    onlyKnownMembers(factory, {"id", "baudRate"}, QStringLiteral("factory: "));
    model->factoryId = int(wholeNumber(factory.value("id"), "\"factory\" \"id\"", 0, 252));
    model->factoryBaudRate = int(wholeNumber(factory.value("baudRate"), "\"factory\" \"baudRate\"", 1, 100000000));
    const QJsonObject codes = root.value("baudCodes").toObject();
    for (auto it = codes.begin(); it != codes.end(); ++it) {
        bool ok = false;
        const int code = it.key().toInt(&ok);
        if (!ok || code < 0 || code > 255)
            refuse(QStringLiteral("baud code \"%1\" is no number from 0 to 255").arg(it.key()));
        model->baudCodes.insert(code, int(wholeNumber(it.value(), QStringLiteral("baud code %1").arg(code), 1, 100000000)));
    }
}

void readRules(const QJsonObject& root, ModelDescription* model)
{
    const QJsonObject firmware = root.value("firmware").toObject();
    onlyKnownMembers(firmware, {"min", "max"}, QStringLiteral("firmware: "));
    if (firmware.contains("min"))
        model->firmwareMin = int(wholeNumber(firmware.value("min"), "\"firmware\" \"min\"", 0, 0xFFFF));
    if (firmware.contains("max"))
        model->firmwareMax = int(wholeNumber(firmware.value("max"), "\"firmware\" \"max\"", 0, 0xFFFF));
    const QJsonObject rules = root.value("nonVolatile").toObject();
    onlyKnownMembers(rules, {"motorOff", "lock"}, QStringLiteral("nonVolatile: "));
    model->nonVolatileNeedsMotorOff = rules.value("motorOff").toBool(false);
    const QJsonObject lock = rules.value("lock").toObject();
    onlyKnownMembers(lock, {"key", "open", "close"}, QStringLiteral("nonVolatile: lock: "));
    if (!lock.isEmpty()) {
        model->lockKey = text(lock, "key", QStringLiteral("nonVolatile: lock: "), true);
        model->lockOpen = wholeNumber(lock.value("open"), "\"lock\" \"open\"", 0, 0xFFFF);
        model->lockClose = wholeNumber(lock.value("close"), "\"lock\" \"close\"", 0, 0xFFFF);
    }
    static const QStringList known{"regWrite", "action",       "reboot",       "reset",       "syncWrite",
                                   "syncRead", "fastSyncRead", "bulkRead",     "fastBulkRead"};
    for (const QJsonValue& name : root.value("instructions").toArray()) {
        if (!known.contains(name.toString()))
            refuse(QStringLiteral("\"instructions\": unknown instruction \"%1\"").arg(name.toString()));
        model->instructions.append(name.toString());
    }
    if (root.contains("resetOptions")) {
        static const QStringList options{"all", "allButId", "allButIdAndBaudRate"};
        model->resetOptions.clear();
        for (const QJsonValue& option : root.value("resetOptions").toArray()) {
            if (!options.contains(option.toString()) || model->resetOptions.contains(option.toString()))
                refuse(QStringLiteral("\"resetOptions\": \"%1\" is no reset option, or named twice").arg(option.toString()));
            model->resetOptions.append(option.toString());
        }
        if (model->resetOptions.isEmpty())
            refuse(QStringLiteral("\"resetOptions\" names at least one option"));
    }
    model->rebootClearsHardwareError = root.value("rebootClearsHardwareError").toBool(false);
}

void readRegisterTables(const QJsonValue& value, ModelDescription* model)
{
    const QJsonArray tables = value.toArray();
    if (tables.size() > 4)
        refuse(QStringLiteral("\"registerView\" has at most 4 tables"));
    QSet<int> shown;
    for (const QJsonValue& tableValue : tables) {
        const QJsonObject object = tableValue.toObject();
        onlyKnownMembers(object, {"title", "rows"}, QStringLiteral("registerView: "));
        RegisterTable table;
        table.title = text(object, "title", QStringLiteral("registerView: "), true);
        for (const QJsonValue& rowValue : object.value("rows").toArray()) {
            const QJsonObject row = rowValue.toObject();
            const QString where = QStringLiteral("registerView \"%1\": ").arg(table.title);
            onlyKnownMembers(row, {"address", "text"}, where);
            const int address = int(wholeNumber(row.value("address"), where + "\"address\"", 0, model->tableLength - 1));
            if (shown.contains(address))
                refuse(QStringLiteral("%1address %2 has a row already").arg(where).arg(address));
            shown.insert(address);
            table.rows.append({address, text(row, "text", where, true)});
        }
        model->registerTables.append(table);
    }
}

void readHeader(const QJsonObject& root, ModelDescription* model)
{
    onlyKnownMembers(root,
                     {"format", "version", "name", "caption", "modelNumbers", "firmware", "protocols", "byteOrder",
                      "tableLength", "factory", "baudCodes", "nonVolatile", "instructions", "resetOptions",
                      "rebootClearsHardwareError", "registerView", "entries"},
                     QString());
    if (root.value("format").toString() != QLatin1String("velkora-servo-model"))
        refuse(QStringLiteral("\"format\" must be \"velkora-servo-model\""));
    model->version = int(wholeNumber(root.value("version"), "\"version\"", 1, 1));
    model->name = text(root, "name", QString(), true);
    static const QRegularExpression shortName(QStringLiteral("^[a-z0-9][a-z0-9._-]*$"));
    if (!shortName.match(model->name).hasMatch())
        refuse(QStringLiteral("\"name\" is a short name: small letters, digits, '.', '_' or '-'"));
    model->caption = root.contains("caption") ? text(root, "caption", QString(), true) : model->name;
    model->modelNumbers = modelNumbers(root.value("modelNumbers"));
    model->protocols = protocols(root.value("protocols"));
    const QString byteOrder = root.value("byteOrder").toString(QStringLiteral("little"));
    if (byteOrder != QLatin1String("little") && byteOrder != QLatin1String("big"))
        refuse(QStringLiteral("\"byteOrder\" is little or big"));
    model->bigEndian = byteOrder == QLatin1String("big");
    // Addresses are one byte wide in the program's requests for now.
    model->tableLength = int(wholeNumber(root.value("tableLength"), "\"tableLength\"", 1, 256));
    readFactory(root, model);
    readRules(root, model);
    readRegisterTables(root.value("registerView"), model);
}

// What the header says of entries must hold for the entries read.
void headerAgreesWithEntries(const ModelDescription& model)
{
    if (!model.lockKey.isEmpty()) {
        const ModelEntry* lock = model.entry(model.lockKey);
        if (!lock || !lock->writable)
            refuse(QStringLiteral("\"nonVolatile\": the lock \"%1\" is no writable entry").arg(model.lockKey));
    }
    if (model.nonVolatileNeedsMotorOff && !model.entryWithRole(QStringLiteral("motorEnable")))
        refuse(QStringLiteral("\"nonVolatile\": \"motorOff\" needs an entry with the role \"motorEnable\""));
    for (const char* role : {"modelNumber", "id"})
        if (!model.entryWithRole(QLatin1String(role)))
            refuse(QStringLiteral("no entry has the role \"%1\"").arg(QLatin1String(role)));
    // Configuration files and the command line name these two by key, whatever the model.
    for (const char* role : {"id", "baudRate"}) {
        const ModelEntry* entry = model.entryWithRole(QLatin1String(role));
        if (entry && entry->key != QLatin1String(role))
            refuse(QStringLiteral("entry \"%1\": the entry with the role \"%2\" has the key \"%2\"").arg(entry->key, QLatin1String(role)));
    }
}

} // namespace

QList<int> ModelDescription::baudRates() const
{
    QList<int> rates = baudCodes.values();
    std::sort(rates.begin(), rates.end());
    rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
    return rates;
}

const QStringList& modelEntryRoles()
{
    static const QStringList roles{
        "modelNumber",     "firmware",           "id",           "baudRate",          "returnDelay",
        "statusReturnLevel", "motorEnable",      "pending",      "goalPosition",      "presentPosition",
        "goalVelocity",    "presentVelocity",    "goalTorque",   "presentTorque",     "presentLoad",
        "presentVoltage",  "presentCurrent",     "presentTemperature", "hardwareError", "moving",
        "minPositionLimit", "maxPositionLimit",  "velocityLimit", "temperatureLimit", "minVoltageLimit",
        "maxVoltageLimit", "goalVelocityDirection", "goalTorqueDirection", "operatingMode", "homingOffset",
    };
    return roles;
}

const ModelEntry* ModelDescription::entry(const QString& key) const
{
    for (const ModelEntry& item : entries)
        if (item.key == key)
            return &item;
    return nullptr;
}

const ModelEntry* ModelDescription::entryWithRole(const QString& role) const
{
    for (const ModelEntry& item : entries)
        if (item.role == role)
            return &item;
    return nullptr;
}

std::optional<ModelDescription> readModelDescription(const QByteArray& json, const QString& fileName,
                                                     QString* problem)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    try {
        if (error.error != QJsonParseError::NoError)
            refuse(QStringLiteral("not JSON (%1 at byte %2)").arg(error.errorString()).arg(error.offset));
        if (!document.isObject())
            refuse(QStringLiteral("not a JSON object"));
        ModelDescription model;
        readHeader(document.object(), &model);
        const QJsonArray entries = document.object().value("entries").toArray();
        if (entries.isEmpty())
            refuse(QStringLiteral("\"entries\" must list the control table's items"));
        for (int i = 0; i < entries.size(); ++i)
            model.entries.append(readEntry(entries.at(i), i, model.tableLength));
        noOverlaps(model.entries);
        headerAgreesWithEntries(model);
        return model;
    } catch (const Refusal& refusal) {
        if (problem)
            *problem = QStringLiteral("%1: %2").arg(fileName, QString::fromStdString(refusal.what()));
        return std::nullopt;
    }
}
