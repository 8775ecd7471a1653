#include "device/dynamixelax12.h"

#include "device/fieldregisters.h"

// Positions and angle limits map raw 0..2047 onto -pi..pi.
DynamixelAx12::DynamixelAx12()
    : _fieldMap{
          {QStringLiteral("positionLineEdit"), {0, 2047, -3.141592653589793, 3.141592653589793, {}}},
          {QStringLiteral("speedLineEdit"), {0, 10000, 0, 10, {}}},
          {QStringLiteral("temperatureLineEdit"), {0, 255, 0, 255, {}}},
          {QStringLiteral("torqueLineEdit"), {0, 10, 0, 10, {}}},
          {QStringLiteral("voltageLineEdit"), {0, 10, 0, 10, {}}},
          {QStringLiteral("currentLineEdit"), {0, 10, 0, 10, {}}},
          {QStringLiteral("firmwareVersionLineEdit"), {0, 255, 0, 255, {}}},
          {QStringLiteral("modelNumberLineEdit"), {0, 255, 0, 255, {}}},
          {QStringLiteral("clockwiseLimitDoubleSpinBox"),
           {0, 2047, -3.141592653589793, 3.141592653589793, {}}},
          {QStringLiteral("counterClockwiseLimitDoubleSpinBox"),
           {0, 2047, -3.141592653589793, 3.141592653589793, {}}},
          {QStringLiteral("targetAngularVelocityDoubleSpinBox"), {0, 10000, 0, 10, {}}},
          {QStringLiteral("positionProportionalTermDoubleSpinBox"), {0, 10, 0, 10, {}}},
          {QStringLiteral("positionintegralTermDoubleSpinBox"), {0, 10, 0, 10, {}}},
          {QStringLiteral("positionderivativeTermDoubleSpinBox"), {0, 10, 0, 10, {}}},
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
