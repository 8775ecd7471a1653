#include "servomodel.h"

#include "describedmodel.h"
#include "protocol.h"

#include <QRandomGenerator>
#include <QtMath>

#include <algorithm>
#include <cmath>

namespace servosim {

int tableU16(const QByteArray& table, int address)
{
    return quint8(table.at(address)) | (quint8(table.at(address + 1)) << 8);
}

int tableS16(const QByteArray& table, int address)
{
    return qint16(tableU16(table, address));
}

qint32 tableS32(const QByteArray& table, int address)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(table.at(address + i));
    return qint32(value);
}

void setTableU16(QByteArray& table, int address, int value)
{
    table[address] = char(value & 0xFF);
    table[address + 1] = char((value >> 8) & 0xFF);
}

void setTableS32(QByteArray& table, int address, qint32 value)
{
    const auto bits = quint32(value);
    for (int i = 0; i < 4; ++i)
        table[address + i] = char((bits >> (8 * i)) & 0xFF);
}

ServoModel::ServoModel(int tableSize, std::initializer_list<Range> writable, int motorEnable,
                       int volatileStart, int pending, int hardwareError)
    : m_writable(tableSize, false), m_motorEnable(motorEnable), m_volatileStart(volatileStart),
      m_pending(pending), m_hardwareError(hardwareError)
{
    for (const Range& range : writable)
        for (int address = range.first; address <= range.last; ++address)
            m_writable[address] = true;
}

int ServoModel::baudRateForCode(int code) const
{
    return servosim::baudRateForCode(code);
}

int ServoModel::codeForBaudRate(int baudRate) const
{
    return servosim::codeForBaudRate(baudRate);
}

QList<int> ServoModel::baudRates() const
{
    QList<int> rates;
    for (int code = 0; code <= 0xFF; ++code)
        if (const int rate = baudRateForCode(code); rate > 0 && !rates.contains(rate))
            rates.append(rate);
    std::sort(rates.begin(), rates.end());
    return rates;
}

quint8 ServoModel::resetOptionError(quint8 option) const
{
    const bool known =
        option == resetOption::All || option == resetOption::KeepId || option == resetOption::KeepIdAndBaud;
    return known ? error::None : error::DataLimit;
}

quint8 ServoModel::plainResetOption() const
{
    return resetOption::All;
}

QString ServoModel::protocolProblem(int protocol) const
{
    if (protocol != protocolNumber::P1 && protocol != protocolNumber::P2)
        return QStringLiteral("protocol %1 is neither 1 nor 2").arg(protocolName(protocol));
    return {};
}

bool ServoModel::refusesWrite(const QByteArray& table, int address, int /*length*/) const
{
    return table.at(m_motorEnable) != 0 && address < m_volatileStart;
}

void ServoModel::keepLiveValues(QByteArray& fresh, const QByteArray& old) const
{
    fresh.replace(m_volatileStart, fresh.size() - m_volatileStart, old.mid(m_volatileStart));
}

namespace {

// Velkora V1: 4096 position counts per revolution, velocities in mrad/s, torque in mN·m, current in mA,
// voltage in 0.1 V, temperature in °C.
class VelkoraV1 : public ServoModel
{
public:
    VelkoraV1() : ServoModel(118, {{3, 40}, {48, 49}, {54, 63}, {68, 71}, {78, 85}}, 48, 48, 49, 107) {}

    QString protocolProblem(int protocol) const override
    {
        if (protocol == 1)
            return QStringLiteral("protocol 1 is for the AX-12 only (a V1 speaks protocol 2)");
        return ServoModel::protocolProblem(protocol);
    }

    QByteArray factoryTable() const override
    {
        QByteArray table(tableSize(), '\0');
        setTableU16(table, 0, ModelNumber);
        table[2] = char(FirmwareVersion);
        table[IdAddress] = 1;
        table[BaudAddress] = 1;
        table[ReturnDelayAddress] = char(250);
        table[6] = char(JointMode);
        setTableU16(table, 7, -2047);
        setTableU16(table, 9, 2047);
        table[11] = 80;
        table[12] = 90;
        table[13] = char(160);
        setTableU16(table, 14, 1500);
        setTableU16(table, 16, 2000);
        setTableU16(table, 18, 20000);
        setTableU16(table, 24, 20);
        setTableU16(table, 27, 400);
        setTableU16(table, 33, 100);
        setTableU16(table, 35, 800);
        setTableU16(table, 37, 1000);
        setTableU16(table, 39, 10000);
        powerOn(table);
        return table;
    }

    void powerOn(QByteArray& table) const override
    {
        const quint8 hardwareError = quint8(table.at(hardwareErrorAddress()));
        const qint32 position = tableS32(table, ActualPosition);
        table.replace(48, tableSize() - 48, QByteArray(tableSize() - 48, '\0'));
        // The running gains and profiles start as their stored defaults.
        table.replace(54, 10, table.mid(27, 10));
        table.replace(68, 4, table.mid(37, 4));
        setTableS32(table, TargetPosition, position);
        setTableS32(table, ActualPosition, position);
        table[94] = char(120);
        table[97] = 30;
        table.replace(101, 2, table.mid(68, 2));
        table[hardwareErrorAddress()] = char(hardwareError);
    }

    void simulate(QByteArray& table, double& fraction, double seconds, QRandomGenerator& noise) const override
    {
        if (seconds <= 0)
            return;
        const bool enabled = table.at(motorEnableAddress()) != 0;
        const int mode = table.at(6);
        const int velocityLimit = tableU16(table, 16);
        double position = tableS32(table, ActualPosition) + fraction;
        double velocity = 0; // mrad/s, signed
        int torque = 0;
        if (enabled && mode == WheelMode) {
            const int target = tableU16(table, 82);
            const int magnitude = std::min(target & 0x7FFF, velocityLimit);
            velocity = (target & 0x8000) ? -magnitude : magnitude;
            position = std::clamp(position + countsPerSecond(velocity) * seconds, -MaxPosition, MaxPosition);
        } else if (enabled && mode >= JointMode) {
            double target = tableS32(table, TargetPosition);
            if (mode == JointMode) {
                const int cw = tableS16(table, 7);
                const int ccw = tableS16(table, 9);
                target = std::clamp(target, double(std::min(cw, ccw)), double(std::max(cw, ccw)));
            }
            target = std::clamp(target, -MaxPosition, MaxPosition);
            const int profile = tableU16(table, 68);
            const int speed = (table.at(26) == PositionInput || profile == 0)
                                  ? velocityLimit
                                  : std::min(profile, velocityLimit);
            // Speed as it is at the end of the interval: none once the target is reached.
            const double reach = countsPerSecond(speed) * seconds;
            const double direction = target < position ? -1.0 : 1.0;
            if (std::abs(target - position) <= reach) {
                position = target;
            } else {
                position += direction * reach;
                velocity = direction * speed;
            }
        } else if (enabled && mode == TorqueMode) {
            torque = std::min(tableU16(table, 84) & 0x7FFF, 18000);
        }
        const qint32 whole = qint32(std::lround(position));
        fraction = position - whole;
        setTableS32(table, ActualPosition, whole);

        const int speed = int(std::lround(std::abs(velocity)));
        const bool moving = speed > tableU16(table, 24);
        if (enabled && mode != TorqueMode)
            torque = 30 + speed / 20 + noise.bounded(6);
        setTableU16(table, 90, speed);
        setTableU16(table, 92, torque);
        table[94] = char(119 + noise.bounded(3) - (moving ? 1 : 0));
        setTableU16(table, 95,
                    enabled ? std::min(8 + torque / 10 + noise.bounded(4), 255) : noise.bounded(2));
        table[97] = char(30 + (enabled ? 2 : 0) + noise.bounded(2));
        table[99] = moving ? 1 : 0;
        table.replace(101, 2, table.mid(68, 2));
    }

private:
    static constexpr int ModelNumber = 0x0401;
    static constexpr int FirmwareVersion = 3;
    static constexpr int TorqueMode = 0, WheelMode = 1, JointMode = 2;
    static constexpr int PositionInput = 1;
    static constexpr int TargetPosition = 78, ActualPosition = 86;
    static constexpr double MaxPosition = 1044479;

    static double countsPerSecond(double milliradiansPerSecond)
    {
        return milliradiansPerSecond / 1000.0 * 4096.0 / (2.0 * M_PI);
    }
};

// Dynamixel AX-12: positions 0-1023 over 300°, speeds in units of 0.111 rpm with the direction in bit 10.
class DynamixelAx12 : public ServoModel
{
public:
    DynamixelAx12() : ServoModel(50, {{3, 9}, {11, 18}, {24, 35}, {47, 49}}, 24, 24, 44, -1) {}

    QByteArray factoryTable() const override
    {
        QByteArray table(tableSize(), '\0');
        setTableU16(table, 0, 12);
        table[2] = 24;
        table[IdAddress] = 1;
        table[BaudAddress] = 1;
        table[ReturnDelayAddress] = char(250);
        setTableU16(table, 6, 0);
        setTableU16(table, 8, 1023);
        table[11] = 70;
        table[12] = 60;
        table[13] = char(140);
        setTableU16(table, 14, 1023);
        table[16] = 2;
        table[17] = 36;
        table[18] = 36;
        setTableU16(table, PresentPosition, 512);
        powerOn(table);
        return table;
    }

    void powerOn(QByteArray& table) const override
    {
        const int position = tableU16(table, PresentPosition);
        table.replace(24, tableSize() - 24, QByteArray(tableSize() - 24, '\0'));
        table[26] = 1;
        table[27] = 1;
        table[28] = 32;
        table[29] = 32;
        setTableU16(table, GoalPosition, position);
        setTableU16(table, 34, tableU16(table, 14));
        setTableU16(table, PresentPosition, position);
        table[42] = char(120);
        table[43] = 32;
        setTableU16(table, 48, 32);
    }

    void simulate(QByteArray& table, double& fraction, double seconds, QRandomGenerator& noise) const override
    {
        if (seconds <= 0)
            return;
        const bool enabled = table.at(motorEnableAddress()) != 0;
        const int cw = tableU16(table, 6);
        const int ccw = tableU16(table, 8);
        const int movingSpeed = tableU16(table, 32);
        double position = tableU16(table, PresentPosition) + fraction;
        int speed = 0;
        bool clockwise = false;
        if (enabled && cw == 0 && ccw == 0) { // wheel mode
            speed = movingSpeed & 0x3FF;
            clockwise = movingSpeed & 0x400;
            position += (clockwise ? -1 : 1) * speed * PositionPerSpeedUnit * seconds;
            position = std::fmod(std::fmod(position, 1024.0) + 1024.0, 1024.0);
        } else if (enabled) {
            const double goal =
                std::clamp(tableU16(table, GoalPosition), std::min(cw, ccw), std::max(cw, ccw));
            const int profile = (movingSpeed & 0x3FF) ? (movingSpeed & 0x3FF) : 0x3FF;
            const double reach = profile * PositionPerSpeedUnit * seconds;
            clockwise = goal < position;
            if (std::abs(goal - position) <= reach) {
                position = goal;
            } else {
                position += clockwise ? -reach : reach;
                speed = profile;
            }
        }
        const int whole = std::clamp(int(std::lround(position)), 0, 1023);
        fraction = position - whole;
        setTableU16(table, PresentPosition, whole);
        // Speed and load share one format: bit 10 is the clockwise direction, that of the work done.
        const int direction = speed > 0 && clockwise ? 0x400 : 0;
        setTableU16(table, 38, speed | direction);
        setTableU16(table, 40, enabled ? (20 + speed / 10 + noise.bounded(5)) | direction : 0);
        table[42] = char(119 + noise.bounded(3));
        table[43] = char(32 + noise.bounded(2));
        table[46] = speed > 0 ? 1 : 0;
    }

private:
    static constexpr int GoalPosition = 30, PresentPosition = 36;
    // 0.111 rpm per speed unit, 300° per 1024 position units.
    static constexpr double PositionPerSpeedUnit = 0.111 * 6.0 / (300.0 / 1024.0);
};

} // namespace

std::unique_ptr<ServoModel> ServoModel::create(Model model,
                                               const std::shared_ptr<const ModelDescription>& description)
{
    if (description)
        return std::make_unique<DescribedModel>(description);
    if (model == Model::Ax12)
        return std::make_unique<DynamixelAx12>();
    return std::make_unique<VelkoraV1>();
}

} // namespace servosim
