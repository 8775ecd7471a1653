#include "core/jobs/busroster.h"

#include "core/jobs/servosearch.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/hardwarestatus.h"
#include "core/model/idevice.h"
#include "core/model/modelregistry.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
#include "core/settings/settingshelper.h"
#include "core/units/unitshelper.h"

#include <algorithm>
#include <climits>

namespace {
// The roles of the entries the table shows, besides the hardware error bits.
const char* const shownRoles[] = {"presentPosition", "presentVoltage", "presentTemperature"};
constexpr int ageRefreshMs = 500;
constexpr int pingAnswerBytes = 3; // model number (2) and firmware
} // namespace

BusRoster::BusRoster(QObject* parent) : QAbstractTableModel(parent)
{
    setUnits(storedUnits());
    _ageRefresh.setInterval(ageRefreshMs);
    connect(&_ageRefresh, &QTimer::timeout, this, [this] {
        if (!_servos.empty())
            emit dataChanged(index(0, LastAnswerColumn), index(int(_servos.size()) - 1, LastAnswerColumn));
    });
    _ageRefresh.start();
}

BusRoster::~BusRoster() = default;

void BusRoster::setUnits(const PhysicalQuantities& units)
{
    _units = std::make_shared<UnitsHelper>(std::make_shared<PhysicalQuantities>(units));
    if (!_servos.empty())
        emit dataChanged(index(0, VoltageColumn), index(int(_servos.size()) - 1, PositionColumn));
}

int BusRoster::add(int id, int baudRate, int modelNumber, int firmware, int protocol)
{
    const int existing = rowOf(id);
    if (existing >= 0) {
        Servo& servo = _servos[size_t(existing)];
        servo.baudRate = baudRate;
        if (protocol != 0)
            servo.protocol = protocol;
        if (modelNumber >= 0) {
            servo.modelNumber = modelNumber;
            servo.firmware = firmware;
        }
        rowChanged(existing);
        return existing;
    }
    // Kept in id order, as a bus is read.
    const auto at = std::lower_bound(_servos.begin(), _servos.end(), id,
                                     [](const Servo& servo, int other) { return servo.id < other; });
    const int row = int(at - _servos.begin());
    beginInsertRows({}, row, row);
    Servo servo;
    servo.id = id;
    servo.baudRate = baudRate;
    servo.protocol = protocol;
    servo.modelNumber = modelNumber;
    servo.firmware = firmware;
    _servos.insert(at, servo);
    endInsertRows();
    return row;
}

void BusRoster::remove(int row)
{
    if (row < 0 || row >= servoCount())
        return;
    beginRemoveRows({}, row, row);
    _servos.erase(_servos.begin() + row);
    endRemoveRows();
}

void BusRoster::clear()
{
    beginResetModel();
    _servos.clear();
    endResetModel();
}

int BusRoster::idAt(int row) const
{
    return row >= 0 && row < servoCount() ? _servos[size_t(row)].id : -1;
}

int BusRoster::baudRateAt(int row) const
{
    return row >= 0 && row < servoCount() ? _servos[size_t(row)].baudRate : 0;
}

int BusRoster::modelNumberAt(int row) const
{
    return row >= 0 && row < servoCount() ? _servos[size_t(row)].modelNumber : -1;
}

int BusRoster::protocolAt(int row) const
{
    return row >= 0 && row < servoCount() ? _servos[size_t(row)].protocol : 0;
}

bool BusRoster::isAnswering(int row) const
{
    return row >= 0 && row < servoCount() && _servos[size_t(row)].answering;
}

int BusRoster::rowOf(int id) const
{
    for (size_t row = 0; row < _servos.size(); ++row)
        if (_servos[row].id == id)
            return int(row);
    return -1;
}

QByteArray BusRoster::valuesAt(int row) const
{
    return row >= 0 && row < servoCount() ? _servos[size_t(row)].table : QByteArray();
}

void BusRoster::setConnected(int id, int baudRate, int protocol)
{
    // A new connection: another servo's row is no servo that moved, whatever was connected before.
    _connectedProtocol = protocol;
    _connectedId = id;
    if (id >= 0)
        add(id, baudRate);
}

void BusRoster::setAssumedProtocol(int protocol)
{
    if (protocol == _assumedProtocol)
        return;
    _assumedProtocol = protocol;
    if (!_servos.empty())
        emit dataChanged(index(0, ProtocolColumn), index(servoCount() - 1, ProtocolColumn));
}

void BusRoster::connectedMoved(int id, int baudRate, int protocol)
{
    _connectedProtocol = protocol;
    const int movedRow = _connectedId >= 0 && id != _connectedId && rowOf(id) < 0 ? rowOf(_connectedId) : -1;
    _connectedId = id;
    if (id < 0)
        return;
    if (movedRow < 0) {
        add(id, baudRate);
        return;
    }
    const Servo servo = _servos[size_t(movedRow)];
    remove(movedRow);
    const int row = add(id, baudRate, servo.modelNumber, servo.firmware, servo.protocol);
    _servos[size_t(row)].table = servo.table;
    _servos[size_t(row)].sinceAnswer = servo.sinceAnswer;
    _servos[size_t(row)].alarms = servo.alarms;
    rowChanged(row);
}

// The model number and firmware where the models of the servo's protocol keep them.
void BusRoster::takeIdentity(Servo& servo, const QByteArray& table)
{
    if (table.size() < pingAnswerBytes)
        return;
    const ModelRegistry::Identity identity =
        ModelRegistry::shared().identify(table, servo.protocol != 0 ? servo.protocol : 2);
    servo.modelNumber = identity.modelNumber;
    // A model of another protocol may keep its firmware elsewhere ("Treat as…").
    const FieldCatalogue* catalogue = identity.model ? nullptr : catalogueOf(servo.modelNumber);
    const FieldRecord* firmware = catalogue ? catalogue->byRole(QStringLiteral("firmware")) : nullptr;
    if (firmware && firmware->address < table.size())
        servo.firmware = uint8_t(table.at(firmware->address));
    else if (identity.firmware >= 0)
        servo.firmware = identity.firmware;
}

void BusRoster::tableRead(int id, const QByteArray& table, int alarms)
{
    const int row = rowOf(id);
    if (row < 0)
        return;
    Servo& servo = _servos[size_t(row)];
    servo.table = table;
    if (alarms >= 0)
        servo.alarms = alarms;
    if (_connectedProtocol != 0)
        servo.protocol = _connectedProtocol; // it has just answered in it
    takeIdentity(servo, table);
    answered(servo);
    rowChanged(row);
}

void BusRoster::connectedSilent(int id, bool silent)
{
    const int row = rowOf(id);
    if (row < 0 || _servos[size_t(row)].answering != silent)
        return;
    _servos[size_t(row)].answering = !silent;
    rowChanged(row);
    emit answeringChanged(id, !silent);
}

bool BusRoster::readableAt(const Servo& servo, int baudRate, int protocol) const
{
    return servo.id != _connectedId && servo.baudRate == baudRate &&
           (servo.protocol == 0 || protocol == 0 || servo.protocol == protocol);
}

std::optional<SideRead> BusRoster::nextSideRead(int baudRate, int protocol)
{
    for (size_t tried = 0; tried < _servos.size(); ++tried) {
        Servo& servo = _servos[_next % _servos.size()];
        _next = (_next + 1) % _servos.size();
        if (!readableAt(servo, baudRate, protocol))
            continue;
        if (servo.sinceTry.isValid() && servo.sinceTry.elapsed() < (servo.answering ? refreshMs : silentRetryMs))
            continue;
        servo.sinceTry.start();
        const FieldCatalogue* catalogue = catalogueOf(servo.modelNumber);
        const auto [address, length] = catalogue ? valueSpan(*catalogue) : std::pair<int, int>{0, 0};
        if (length == 0 || servo.firmware < 0)
            return SideRead{servo.id, true, 0, 0};
        return SideRead{servo.id, false, address, length};
    }
    return std::nullopt;
}

QList<SideRead> BusRoster::dueGroup(int baudRate, int protocol)
{
    QList<SideRead> group;
    bool anyDue = false;
    for (size_t tried = 0; tried < _servos.size(); ++tried) {
        const Servo& servo = _servos[(_next + tried) % _servos.size()];
        // A silent servo would hold every read of the group to its deadline: it is tried alone.
        if (!readableAt(servo, baudRate, protocol) || !servo.answering || servo.firmware < 0)
            continue;
        const qint64 sinceTry = servo.sinceTry.isValid() ? servo.sinceTry.elapsed() : qint64(refreshMs);
        const FieldCatalogue* catalogue =
            sinceTry >= refreshMs / 2 ? catalogueOf(servo.modelNumber) : nullptr;
        const auto [address, length] = catalogue ? valueSpan(*catalogue) : std::pair<int, int>{0, 0};
        if (length == 0)
            continue;
        anyDue = anyDue || sinceTry >= refreshMs;
        SideRead read{servo.id, false, address, length};
        read.modelNumber = servo.modelNumber;
        read.firmware = servo.firmware;
        read.protocol = servo.protocol != 0 ? servo.protocol : protocol;
        read.returnDelayUs = returnDelayUsOf(servo, *catalogue);
        group.append(read);
    }
    return anyDue ? group : QList<SideRead>();
}

void BusRoster::groupSent(const QList<int>& ids)
{
    for (int id : ids) {
        const int row = rowOf(id);
        if (row < 0)
            continue;
        _servos[size_t(row)].sinceTry.start();
        _next = (size_t(row) + 1) % _servos.size(); // the others' turn comes first
    }
}

void BusRoster::groupPartAnswered(const SideRead& read, const QByteArray& data, uint8_t error)
{
    const int row = rowOf(read.id);
    if (row < 0)
        return; // removed meanwhile
    Servo& servo = _servos[size_t(row)];
    if (servo.protocol == 0)
        servo.protocol = read.protocol;
    // Protocol 1's error byte carries the alarms of a model without a status register.
    if (hasProtocol1Form(BusProtocol(servo.protocol)))
        servo.alarms = alarmsAsStatusBits(error, BusProtocol(servo.protocol));
    takeSpan(servo, read.address, data);
    ++_sideReadsAnswered;
    answered(servo);
    rowChanged(row);
}

void BusRoster::sideReadAnswered(const SideRead& read, const QByteArray& response)
{
    const int row = rowOf(read.id);
    if (row < 0)
        return; // removed meanwhile
    Servo& servo = _servos[size_t(row)];
    const QByteArray data = readanswer::table(response);
    // It has just answered in the port's protocol, or in Protocol 2 (a ping's answer).
    const bool protocol1Form = readanswer::isProtocol1(response);
    servo.protocol =
        !protocol1Form ? 2 : (hasProtocol1Form(BusProtocol(_assumedProtocol)) ? _assumedProtocol : 1);
    if (protocol1Form)
        servo.alarms = readanswer::alarmsOf(response, BusProtocol(servo.protocol));
    if (read.ping && !protocol1Form) {
        servo.modelNumber = int(readanswer::valueAt(response, 0, 2));
        servo.firmware = int(readanswer::valueAt(response, 2, 1));
    } else if (read.ping) {
        takeIdentity(servo, data);
    } else {
        takeSpan(servo, read.address, data);
    }
    ++_sideReadsAnswered;
    answered(servo);
    rowChanged(row);
}

void BusRoster::sideReadFailed(const SideRead& read, FailureKind)
{
    const int row = rowOf(read.id);
    if (row < 0)
        return;
    failed(_servos[size_t(row)]);
    rowChanged(row);
}

void BusRoster::takeSpan(Servo& servo, int address, const QByteArray& data)
{
    if (servo.table.size() < address + data.size())
        servo.table.append(QByteArray(address + data.size() - servo.table.size(), '\0'));
    servo.table.replace(address, data.size(), data);
}

// Where its table holds the register: an identity read of a Protocol 1 servo covers it.
int BusRoster::returnDelayUsOf(const Servo& servo, const FieldCatalogue& catalogue) const
{
    const FieldRecord* field = catalogue.byRole(QStringLiteral("returnDelay"));
    if (!field || field->quantity != PhysicalQuantitiesEnum::ElapsedTime ||
        servo.table.size() < field->address + field->size)
        return -1;
    return int(field->toPhysical(field->rawIn(servo.table)));
}

void BusRoster::answered(Servo& servo)
{
    // The wall-clock time is worked out only when shown: reading it costs more than the answer.
    servo.sinceAnswer.start();
    servo.failedReads = 0;
    if (!servo.answering) {
        servo.answering = true;
        emit answeringChanged(servo.id, true);
    }
}

void BusRoster::failed(Servo& servo)
{
    ++servo.failedReads;
    // Never answered: its silence counts from the first try.
    const qint64 silentMs = servo.sinceAnswer.isValid() ? servo.sinceAnswer.elapsed() : silentAfterMs;
    if (servo.answering && servo.failedReads >= silentAfterReads && silentMs >= silentAfterMs) {
        servo.answering = false;
        emit answeringChanged(servo.id, false);
    }
}

void BusRoster::rowChanged(int row)
{
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

std::pair<int, int> BusRoster::valueSpan(const FieldCatalogue& catalogue)
{
    int low = INT_MAX;
    int high = -1;
    for (const FieldRecord& field : catalogue.fields()) {
        bool shown = field.role == QLatin1String("hardwareError");
        for (const char* role : shownRoles)
            shown = shown || field.role == QLatin1String(role);
        if (!shown)
            continue;
        low = std::min(low, field.address);
        high = std::max(high, field.address + field.size);
    }
    return high < 0 ? std::pair<int, int>{0, 0} : std::pair<int, int>{low, high - low};
}

const FieldCatalogue* BusRoster::catalogueOf(int modelNumber)
{
    if (modelNumber < 0)
        return nullptr;
    auto& catalogue = _catalogues[modelNumber];
    if (!catalogue) {
        const std::shared_ptr<IDevice> device = DeviceHelper::createDevice(modelNumber);
        if (!device)
            return nullptr;
        catalogue = std::make_unique<FieldCatalogue>(*device);
    }
    return catalogue.get();
}

QString BusRoster::valueText(const Servo& servo, const char* role) const
{
    const auto it = _catalogues.find(servo.modelNumber);
    if (it == _catalogues.end() || !it->second)
        return QString();
    const FieldRecord* field = it->second->byRole(QLatin1String(role));
    if (!field || servo.table.size() < field->address + field->size)
        return QString();
    const double shown = _units->convertToTargetUnit(field->toPhysical(field->rawIn(servo.table)), field->quantity);
    const QString unit = _units->getUnitString(field->quantity);
    const QString number =
        QStringLiteral("%L1").arg(shown, 0, 'f', int(_units->getTargetUnitDecimalPlaces(field->quantity)));
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

int BusRoster::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : servoCount();
}

int BusRoster::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant BusRoster::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= servoCount())
        return {};
    const Servo& servo = _servos[size_t(index.row())];
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case IdColumn:
        return servo.id;
    case BaudRateColumn:
        return servo.baudRate;
    case ProtocolColumn:
        // Not known yet: the protocol it will be asked in.
        if (servo.protocol == 0)
            return _assumedProtocol == 0 ? QVariant() : QVariant(protocolText(BusProtocol(_assumedProtocol)));
        return protocolText(BusProtocol(servo.protocol));
    case ModelColumn:
        return servo.modelNumber < 0 ? QString() : ServoSearch::modelText(servo.modelNumber);
    case FirmwareColumn:
        return servo.firmware < 0 ? QVariant() : QVariant(servo.firmware);
    case VoltageColumn:
        return valueText(servo, "presentVoltage");
    case TemperatureColumn:
        return valueText(servo, "presentTemperature");
    case PositionColumn:
        return valueText(servo, "presentPosition");
    case HardwareErrorColumn: {
        const auto it = _catalogues.find(servo.modelNumber);
        if (it == _catalogues.end() || !it->second || servo.table.isEmpty())
            return QString();
        int bits = 0;
        const QStringList set = hardwareErrorsOf(*it->second, servo.table, &bits, servo.alarms);
        return set.isEmpty() ? tr("none") : set.join(QStringLiteral(", "));
    }
    case LastAnswerColumn: {
        if (!servo.sinceAnswer.isValid())
            return servo.failedReads > 0 ? tr("not answering") : QString();
        const double seconds = servo.sinceAnswer.elapsed() / 1000.0;
        const QString age = tr("%L1 s ago").arg(seconds, 0, 'f', 1);
        return servo.answering ? age
                               : tr("not answering (since %1)")
                                     .arg(QDateTime::currentDateTime()
                                              .addMSecs(-servo.sinceAnswer.elapsed())
                                              .toString(QStringLiteral("HH:mm:ss")));
    }
    default:
        return {};
    }
}

QVariant BusRoster::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case IdColumn:
        return tr("Id");
    case BaudRateColumn:
        return tr("Baud rate");
    case ProtocolColumn:
        return tr("Protocol");
    case ModelColumn:
        return tr("Model");
    case FirmwareColumn:
        return tr("Firmware");
    case VoltageColumn:
        return tr("Voltage");
    case TemperatureColumn:
        return tr("Temperature");
    case PositionColumn:
        return tr("Position");
    case HardwareErrorColumn:
        return tr("Hardware error");
    case LastAnswerColumn:
        return tr("Last answer");
    default:
        return {};
    }
}
