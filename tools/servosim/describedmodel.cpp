#include "describedmodel.h"

#include "protocol.h"

#include "core/model/modeldescription.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

namespace servosim {

namespace {

int roleAddress(const ModelDescription& description, const char* role)
{
    const ModelEntry* entry = description.entryWithRole(QLatin1String(role));
    return entry ? entry->address : -1;
}

// How fast the shaft turns, in position counts a second: its whole range in two seconds, but never so
// fast that a wide (multi-turn) range is crossed in a blink.
double positionRate(const ModelEntry& position)
{
    return std::clamp(double(position.rawMax - position.rawMin) / 2.0, 1.0, 4096.0);
}

} // namespace

QString DescribedModel::unplayable(const ModelDescription& description)
{
    for (const char* role : {"id", "baudRate"}) {
        const ModelEntry* entry = description.entryWithRole(QLatin1String(role));
        if (!entry || entry->size != 1)
            return QStringLiteral("model %1 has no one-byte entry with the role \"%2\"")
                .arg(description.name, QLatin1String(role));
    }
    return {};
}

DescribedModel::DescribedModel(std::shared_ptr<const ModelDescription> description)
    : ServoModel(description->tableLength, {}, roleAddress(*description, "motorEnable"),
                 // The areas are the entries', not one address: see refusesWrite and keepLiveValues.
                 description->tableLength, roleAddress(*description, "pending"),
                 roleAddress(*description, "hardwareError")),
      m_description(std::move(description)), m_id(roleAddress(*m_description, "id")),
      m_baud(roleAddress(*m_description, "baudRate")),
      m_returnDelay(roleAddress(*m_description, "returnDelay")),
      m_statusReturnLevel(roleAddress(*m_description, "statusReturnLevel"))
{
    for (const ModelEntry& entry : m_description->entries)
        if (entry.writable && entry.area != ModelEntry::Area::State)
            for (int address = entry.address; address < entry.address + entry.size; ++address)
                setWritable(address);
}

int DescribedModel::baudRateForCode(int code) const
{
    if (m_description->baudCodes.isEmpty())
        return ServoModel::baudRateForCode(code);
    return m_description->baudCodes.value(code, -1);
}

int DescribedModel::codeForBaudRate(int baudRate) const
{
    if (m_description->baudCodes.isEmpty())
        return ServoModel::codeForBaudRate(baudRate);
    const int code = m_description->baudCodes.key(baudRate, -1);
    return code >= 0 && code <= 0xFF ? code : -1;
}

QString DescribedModel::protocolProblem(int protocol) const
{
    if (m_description->protocols.contains(protocol))
        return {};
    if (protocol < protocolNumber::P1 || protocol > protocolNumber::Feetech)
        return QStringLiteral("protocol %1 is not 1, 2 or feetech").arg(protocol);
    QStringList spoken;
    for (int known : m_description->protocols)
        spoken.append(protocolName(known));
    return QStringLiteral("model %1 speaks protocol %2, not %3")
        .arg(m_description->name, spoken.join(QStringLiteral(" and ")), protocolName(protocol));
}

bool DescribedModel::refusesWrite(const QByteArray& table, int address, int length) const
{
    if (!m_description->nonVolatileNeedsMotorOff)
        return false;
    const ModelEntry* motor = role("motorEnable");
    if (!motor || value(table, *motor) == 0)
        return false;
    for (const ModelEntry& entry : m_description->entries)
        if (entry.area == ModelEntry::Area::NonVolatile && entry.address < address + length &&
            address < entry.address + entry.size)
            return true;
    return false;
}

bool DescribedModel::keepsWrites(const QByteArray& table) const
{
    const ModelEntry* lock =
        m_description->lockKey.isEmpty() ? nullptr : m_description->entry(m_description->lockKey);
    return !lock || value(table, *lock) == m_description->lockOpen;
}

bool DescribedModel::isNonVolatile(int address) const
{
    for (const ModelEntry& entry : m_description->entries)
        if (entry.area == ModelEntry::Area::NonVolatile && address >= entry.address &&
            address < entry.address + entry.size)
            return true;
    return false;
}

QByteArray DescribedModel::pingParams(const QByteArray& table) const
{
    const ModelEntry* number = role("modelNumber");
    const ModelEntry* firmware = role("firmware");
    const int64_t model = number ? value(table, *number) : m_description->modelNumbers.value(0);
    QByteArray params;
    params.append(char(model & 0xFF));
    params.append(char((model >> 8) & 0xFF));
    params.append(char(firmware ? value(table, *firmware) : 0));
    return params;
}

quint8 DescribedModel::resetOptionError(quint8 option) const
{
    const char* name = option == resetOption::All             ? "all"
                       : option == resetOption::KeepId        ? "allButId"
                       : option == resetOption::KeepIdAndBaud ? "allButIdAndBaudRate"
                                                              : nullptr;
    return name && m_description->resetOptions.contains(QLatin1String(name)) ? error::None : error::DataRange;
}

quint8 DescribedModel::plainResetOption() const
{
    // The servo does one thing; the description names it first.
    const QString first = m_description->resetOptions.value(0);
    return first == QLatin1String("allButId")              ? resetOption::KeepId
           : first == QLatin1String("allButIdAndBaudRate") ? resetOption::KeepIdAndBaud
                                                           : resetOption::All;
}

bool DescribedModel::hasInstruction(const QString& name) const
{
    return m_description->instructions.contains(name);
}

bool DescribedModel::rebootClearsHardwareError() const
{
    return m_description->rebootClearsHardwareError;
}

void DescribedModel::keepLiveValues(QByteArray& fresh, const QByteArray& old) const
{
    for (const ModelEntry& entry : m_description->entries)
        if (entry.area != ModelEntry::Area::NonVolatile)
            fresh.replace(entry.address, entry.size, old.mid(entry.address, entry.size));
}

QByteArray DescribedModel::factoryTable() const
{
    QByteArray table(tableSize(), '\0');
    for (const ModelEntry& entry : m_description->entries)
        setValue(table, entry, defaultOf(entry));
    // Where the servo answers after a reset of everything, whatever the entries' defaults say.
    if (m_id >= 0)
        table[m_id] = char(m_description->factoryId);
    if (const int code = codeForBaudRate(m_description->factoryBaudRate); m_baud >= 0 && code >= 0)
        table[m_baud] = char(code);
    powerOn(table);
    return table;
}

void DescribedModel::powerOn(QByteArray& table) const
{
    const QByteArray before = table;
    for (const ModelEntry& entry : m_description->entries)
        if (entry.area != ModelEntry::Area::NonVolatile)
            setValue(table, entry, defaultOf(entry));
    // The shaft stays where it is, and holds there once the motor is enabled; faults outlive a reboot
    // unless the model clears them.
    const ModelEntry* present = role("presentPosition");
    if (present) {
        table.replace(present->address, present->size, before.mid(present->address, present->size));
        setWithin(table, role("goalPosition"), value(table, *present));
    }
    if (const ModelEntry* error = role("hardwareError"))
        table.replace(error->address, error->size,
                      m_description->rebootClearsHardwareError ? QByteArray(error->size, '\0')
                                                               : before.mid(error->address, error->size));
}

void DescribedModel::simulate(QByteArray& table, double& fraction, double seconds,
                              QRandomGenerator& noise) const
{
    if (seconds <= 0)
        return;
    const ModelEntry* motor = role("motorEnable");
    const ModelEntry* present = role("presentPosition");
    const ModelEntry* goal = role("goalPosition");
    const bool enabled = !motor || value(table, *motor) != 0;
    double signedSpeed = 0;
    if (present) {
        double position = double(value(table, *present)) + fraction;
        if (enabled && goal) {
            const double target =
                std::clamp(double(value(table, *goal)), double(present->rawMin), double(present->rawMax));
            const double rate = positionRate(*present);
            const double reach = rate * seconds;
            if (std::abs(target - position) <= reach) {
                position = target;
            } else {
                signedSpeed = target < position ? -rate : rate;
                position += target < position ? -reach : reach;
            }
        }
        const int64_t whole = std::llround(position);
        fraction = position - double(whole);
        setWithin(table, present, whole);
    }
    setWithin(table, role("moving"), signedSpeed != 0 ? 1 : 0);
    // An unsigned velocity register holds the speed alone.
    const ModelEntry* velocity = role("presentVelocity");
    setWithin(table, velocity,
              std::llround(velocity && velocity->rawMin >= 0 ? std::abs(signedSpeed) : signedSpeed));
    addNoise(table, "presentVoltage", noise);
    addNoise(table, "presentTemperature", noise);
}

int64_t DescribedModel::value(const QByteArray& table, const ModelEntry& entry) const
{
    uint64_t bits = 0;
    for (int i = 0; i < entry.size; ++i)
        bits |= uint64_t(quint8(table.at(entry.address + i))) << byteShift(entry, i);
    if (entry.mask)
        bits &= entry.mask;
    switch (entry.sign) {
    case ModelEntry::Sign::TwosComplement: {
        const uint64_t signBit = uint64_t(1) << (entry.size * 8 - 1);
        return bits & signBit ? int64_t(bits) - int64_t(signBit << 1) : int64_t(bits);
    }
    case ModelEntry::Sign::SignMagnitude: {
        const int64_t magnitude = int64_t(bits & ((uint64_t(1) << entry.signBit) - 1));
        return bits & (uint64_t(1) << entry.signBit) ? -magnitude : magnitude;
    }
    case ModelEntry::Sign::Unsigned:
        break;
    }
    return int64_t(bits);
}

void DescribedModel::setValue(QByteArray& table, const ModelEntry& entry, int64_t value) const
{
    uint64_t bits = uint64_t(value);
    if (entry.sign == ModelEntry::Sign::SignMagnitude && value < 0)
        bits = uint64_t(-value) | (uint64_t(1) << entry.signBit);
    if (entry.mask) {
        // The other parts of a register split into masks keep their bits.
        uint64_t old = 0;
        for (int i = 0; i < entry.size; ++i)
            old |= uint64_t(quint8(table.at(entry.address + i))) << byteShift(entry, i);
        bits = (old & ~uint64_t(entry.mask)) | (bits & entry.mask);
    }
    for (int i = 0; i < entry.size; ++i) {
        table[entry.address + i] = char((bits >> byteShift(entry, i)) & 0xFF);
    }
}

int DescribedModel::byteShift(const ModelEntry& entry, int byte) const
{
    return 8 * (m_description->bigEndian ? entry.size - 1 - byte : byte);
}

const ModelEntry* DescribedModel::role(const char* name) const
{
    return m_description->entryWithRole(QLatin1String(name));
}

int64_t DescribedModel::defaultOf(const ModelEntry& entry) const
{
    if (entry.powerOnDefault)
        return *entry.powerOnDefault;
    if (entry.role == QLatin1String("modelNumber"))
        return m_description->modelNumbers.value(0);
    return 0;
}

void DescribedModel::setWithin(QByteArray& table, const ModelEntry* entry, int64_t value) const
{
    if (entry)
        setValue(table, *entry, std::clamp(value, entry->rawMin, entry->rawMax));
}

bool DescribedModel::setSupplyVoltage(QByteArray& table, double volts) const
{
    const ModelEntry* present = role("presentVoltage");
    if (!present)
        return false;
    // Raw units from volts by the entry's linear map; the limits use the same map.
    const auto raw = [](const ModelEntry& entry, double physical) -> int64_t {
        if (!entry.hasRange || entry.max == entry.min)
            return std::llround(physical);
        return entry.rawMin + std::llround((physical - entry.min) * double(entry.rawMax - entry.rawMin) /
                                           (entry.max - entry.min));
    };
    const int64_t reading = raw(*present, volts);
    setWithin(table, present, reading);
    const ModelEntry* low = role("minVoltageLimit");
    const ModelEntry* high = role("maxVoltageLimit");
    return (low && reading < value(table, *low)) || (high && reading > value(table, *high));
}

quint8 DescribedModel::inputVoltageErrorBit() const
{
    // Descriptions name the bit of each hardware error in an entry of its own.
    for (const ModelEntry& entry : m_description->entries)
        if (entry.role == QLatin1String("hardwareError") && entry.size == 1 &&
            entry.key.contains(QLatin1String("voltage"), Qt::CaseInsensitive))
            return quint8(entry.mask);
    return 0;
}

void DescribedModel::addNoise(QByteArray& table, const char* roleName, QRandomGenerator& noise) const
{
    if (const ModelEntry* entry = role(roleName))
        setWithin(table, entry, defaultOf(*entry) + noise.bounded(3) - 1);
}

} // namespace servosim
