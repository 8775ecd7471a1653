#include "core/model/dynamixelax12.h"

#include "core/model/fieldregisters.h"

namespace {
constexpr double pi = 3.141592653589793;
// Positions: 1023 steps over 300° (0.29° a step).
constexpr double fullTravel = 300.0 * pi / 180.0;
// Speeds: 0.111 rpm a step, in rad/s.
constexpr double speedStep = 0.111 * 2.0 * pi / 60.0;
constexpr int steps = 1023;
} // namespace

// The AX-12's own units, from its data sheet figures; the default units are rad, rad/s, V, °C,
// µs and %.
DynamixelAx12::DynamixelAx12()
    : _fieldMap{
          {QStringLiteral("modelNumberLineEdit"), {0, 255, 0, 255}},
          {QStringLiteral("firmwareVersionLineEdit"), {0, 255, 0, 255}},
          {QStringLiteral("idSpinBox"), {0, 252, 0, 252}},
          {QStringLiteral("ackResponseTimeSpinBox"), {0, 254, 0, 508}},
          {QStringLiteral("clockwiseLimitDoubleSpinBox"), {0, steps, 0, fullTravel}},
          {QStringLiteral("counterClockwiseLimitDoubleSpinBox"), {0, steps, 0, fullTravel}},
          {QStringLiteral("temperatureLimitDoubleSpinBox"), {0, 255, 0, 255}},
          {QStringLiteral("minVoltageLimitDoubleSpinBox"), {0, 255, 0, 25.5}},
          {QStringLiteral("maxVoltageLimitDoubleSpinBox"), {0, 255, 0, 25.5}},
          {QStringLiteral("maxTorque"), {0, steps, 0, 100}},
          {QStringLiteral("enableMotorCheckBox"), {0, 1, 0, 1}},
          {QStringLiteral("targetPositionDoubleSpinBox"), {0, steps, 0, fullTravel}},
          {QStringLiteral("targetAngularVelocityDoubleSpinBox"), {0, steps, 0, steps * speedStep}},
          {QStringLiteral("targetAngularVelocityDirectionComboBox"), {0, 0, 0, 0}},
          {QStringLiteral("torqueLimit"), {0, steps, 0, 100}},
          {QStringLiteral("actualPositionLineEdit"), {0, steps, 0, fullTravel}},
          {QStringLiteral("actualAngularVelocityLineEdit"),
           {-steps, steps, -steps * speedStep, steps * speedStep}},
          {QStringLiteral("presentLoad"), {-steps, steps, -100, 100}},
          {QStringLiteral("actualVoltageLineEdit"), {0, 255, 0, 25.5}},
          {QStringLiteral("actualTemperatureLineEdit"), {0, 255, 0, 255}},
          {QStringLiteral("isMovingCheckBox"), {0, 1, 0, 1}},
      }
{
}

int DynamixelAx12::getMemoryUpperLimit() const
{
    return 50;
}

std::unique_ptr<FieldDeviceMetadata> DynamixelAx12::getFieldDeviceMetadata(const QString& name) const
{
    return std::make_unique<FieldDeviceMetadata>(_fieldMap.at(name));
}

std::unique_ptr<RegisterDeviceMetadata> DynamixelAx12::getRegisterDeviceMetadata(unsigned short) const
{
    return {};
}

int DynamixelAx12::getRegisterBankRowCount(RegisterBank) const
{
    return 0;
}

bool DynamixelAx12::isCurrentReadingEnabled() const
{
    return false;
}

bool DynamixelAx12::hasVelkoraControlTable() const
{
    return false;
}

std::vector<FieldRegister> DynamixelAx12::getFieldRegisters() const
{
    return ax12FieldRegisters();
}

std::vector<RegisterItem> DynamixelAx12::getRegisterItems() const
{
    return {};
}

int DynamixelAx12::getHardwareErrorAddress() const
{
    return -1;
}
