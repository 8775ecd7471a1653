#include "core/model/velkorav1.h"

#include "core/model/fieldregisters.h"

#include <algorithm>

// Positions count 4096 per revolution: 1044479 counts (255 turns and 4095 counts) is
// 1602.2107193500067 rad. Angle limits map +-2047 onto +-pi; the dead zone maps 1024 onto pi/2.
VelkoraV1::VelkoraV1()
    : _fieldMap{
          {QStringLiteral("actualPositionLineEdit"), {-1044479, 1044479, -1602.2107193500067, 1602.2107193500067}},
          {QStringLiteral("actualAngularVelocityLineEdit"), {0, 2300, 0, 2.3}},
          {QStringLiteral("actualTemperatureLineEdit"), {0, 255, 0, 255}},
          {QStringLiteral("actualTorqueLineEdit"), {0, 18000, 0, 18}},
          {QStringLiteral("actualVoltageLineEdit"), {0, 255, 0, 25.5}},
          {QStringLiteral("actualQuadratureCurrentLineEdit"), {0, 255, 0, 255}},
          {QStringLiteral("firmwareVersionLineEdit"), {0, 255, 0, 255}},
          {QStringLiteral("modelNumberLineEdit"), {0, 255, 0, 255}},
          {QStringLiteral("idSpinBox"), {0, 252, 0, 252}},
          {QStringLiteral("ackResponseTimeSpinBox"), {0, 254, 0, 508}},
          {QStringLiteral("operatingModeComboBox"), {0, 0, 0, 0}},
          {QStringLiteral("inputModeComboBox"), {0, 0, 0, 0}},
          {QStringLiteral("clockwiseLimitDoubleSpinBox"), {-2047, 2047, -3.141592653589793, 3.141592653589793}},
          {QStringLiteral("counterClockwiseLimitDoubleSpinBox"), {-2047, 2047, -3.141592653589793, 3.141592653589793}},
          {QStringLiteral("temperatureLimitDoubleSpinBox"), {0, 255, 0, 255}},
          {QStringLiteral("minVoltageLimitDoubleSpinBox"), {0, 255, 0, 25.5}},
          {QStringLiteral("maxVoltageLimitDoubleSpinBox"), {0, 255, 0, 25.5}},
          {QStringLiteral("quadratureCurrentLimitDoubleSpinBox"), {0, 5000, 0, 5}},
          {QStringLiteral("angularVelocityLimitDoubleSpinBox"), {0, 2400, 0, 2.4}},
          {QStringLiteral("accelerationLimitDoubleSpinBox"), {0, 48000, 0, 48}},
          {QStringLiteral("defPositionProportionalTermDoubleSpinBox"), {0, 2000, 0, 200}},
          {QStringLiteral("defVelocityFeedforwardTermDoubleSpinBox"), {0, 16383, 0, 16.383}},
          {QStringLiteral("defCurrentFeedforwardTermDoubleSpinBox"), {0, 1000, 0, 1}},
          {QStringLiteral("defVelocityProportionalTermDoubleSpinBox"), {0, 4000, 0, 4}},
          {QStringLiteral("defVelocityIntegralTermDoubleSpinBox"), {0, 4000, 0, 4}},
          {QStringLiteral("defAngularVelocityProfileDoubleSpinBox"), {0, 2000, 0, 2}},
          {QStringLiteral("defAccelerationProfileDoubleSpinBox"), {0, 48000, 0, 48}},
          {QStringLiteral("hornPositionOffsetDoubleSpinBox"), {-1044479, 1044479, -1602.2107193500067, 1602.2107193500067}},
          {QStringLiteral("movingThresholdDoubleSpinBox"), {0, 2000, 0, 2}},
          {QStringLiteral("targetPositionDoubleSpinBox"), {-1044479, 1044479, -1602.2107193500067, 1602.2107193500067}},
          {QStringLiteral("positionProportionalTermDoubleSpinBox"), {0, 2000, 0, 200}},
          {QStringLiteral("velocityFeedforwardTermDoubleSpinBox"), {0, 16383, 0, 16.383}},
          {QStringLiteral("currentFeedforwardTermDoubleSpinBox"), {0, 1000, 0, 1}},
          {QStringLiteral("deadZoneDoubleSpinBox"), {0, 1024, 0, 1.5707963267948966}},
          {QStringLiteral("targetAngularVelocityDoubleSpinBox"), {0, 2000, 0, 2}},
          {QStringLiteral("targetAngularVelocityDirectionComboBox"), {0, 0, 0, 0}},
          {QStringLiteral("velocityProportionalTermDoubleSpinBox"), {0, 4000, 0, 4}},
          {QStringLiteral("velocityIntegralTermDoubleSpinBox"), {0, 4000, 0, 4}},
          {QStringLiteral("targetTorqueDoubleSpinBox"), {0, 18000, 0, 18}},
          {QStringLiteral("targetTorqueDirectionComboBox"), {0, 0, 0, 0}},
          {QStringLiteral("angularVelocityProfileDoubleSpinBox"), {0, 2000, 0, 2}},
          {QStringLiteral("accelerationProfileDoubleSpinBox"), {0, 48000, 0, 48}},
          {QStringLiteral("pendingShadowInstructionCheckBox"), {0, 1, 0, 1}},
          {QStringLiteral("enableMotorCheckBox"), {0, 1, 0, 1}},
          {QStringLiteral("isMovingCheckBox"), {0, 1, 0, 1}},
          {QStringLiteral("inputVoltageStatusCheckBox"), {0, 1, 0, 1}},
          {QStringLiteral("overheatingStatusCheckBox"), {0, 1, 0, 1}},
          {QStringLiteral("encoderStatusCheckBox"), {0, 1, 0, 1}},
          {QStringLiteral("hallStatusCheckBox"), {0, 1, 0, 1}},
          {QStringLiteral("angleLimitStatusCheckBox"), {0, 1, 0, 1}},
    },
      _registerMap{
          {0, {RegisterBank::NonVolatileBank1, 0, 0, QStringLiteral("Model number (lower)")}},
          {1, {RegisterBank::NonVolatileBank1, 1, 0, QStringLiteral("Model number (upper)")}},
          {2, {RegisterBank::NonVolatileBank1, 2, 0, QStringLiteral("Firmware version")}},
          {3, {RegisterBank::NonVolatileBank1, 3, 1, QStringLiteral("ID")}},
          {4, {RegisterBank::NonVolatileBank1, 4, 1, QStringLiteral("Baud rate")}},
          {5, {RegisterBank::NonVolatileBank1, 5, 1, QStringLiteral("Acknowledge response time")}},
          {6, {RegisterBank::NonVolatileBank1, 6, 1, QStringLiteral("Operating mode")}},
          {7, {RegisterBank::NonVolatileBank1, 7, 1, QStringLiteral("CW angle limit (lower)")}},
          {8, {RegisterBank::NonVolatileBank1, 8, 1, QStringLiteral("CW angle limit (upper)")}},
          {9, {RegisterBank::NonVolatileBank1, 9, 1, QStringLiteral("CCW angle limit (lower)")}},
          {10, {RegisterBank::NonVolatileBank1, 10, 1, QStringLiteral("CCW angle limit (upper)")}},
          {11, {RegisterBank::NonVolatileBank1, 11, 1, QStringLiteral("Upper temperature limit")}},
          {12, {RegisterBank::NonVolatileBank1, 12, 1, QStringLiteral("Lower input voltage limit")}},
          {13, {RegisterBank::NonVolatileBank1, 13, 1, QStringLiteral("Upper input voltage limit")}},
          {14, {RegisterBank::NonVolatileBank1, 14, 1, QStringLiteral("Torque limit (lower)")}},
          {15, {RegisterBank::NonVolatileBank1, 15, 1, QStringLiteral("Torque limit (upper)")}},
          {16, {RegisterBank::NonVolatileBank1, 16, 1, QStringLiteral("Angular velocity limit (lower)")}},
          {17, {RegisterBank::NonVolatileBank1, 17, 1, QStringLiteral("Angular velocity limit (upper)")}},
          {18, {RegisterBank::NonVolatileBank1, 18, 1, QStringLiteral("Acceleration limit (lower)")}},
          {19, {RegisterBank::NonVolatileBank1, 19, 1, QStringLiteral("Acceleration limit (upper)")}},
          {20, {RegisterBank::NonVolatileBank1, 20, 1, QStringLiteral("Home position offset (byte 0)")}},
          {21, {RegisterBank::NonVolatileBank1, 21, 1, QStringLiteral("Home position offset (byte 1)")}},
          {22, {RegisterBank::NonVolatileBank1, 22, 1, QStringLiteral("Home position offset (byte 2)")}},
          {23, {RegisterBank::NonVolatileBank1, 23, 1, QStringLiteral("Home position offset (byte 3)")}},
          {24, {RegisterBank::NonVolatileBank1, 24, 1, QStringLiteral("Moving threshold (lower)")}},
          {25, {RegisterBank::NonVolatileBank1, 25, 1, QStringLiteral("Moving threshold (upper)")}},
          {26, {RegisterBank::NonVolatileBank1, 26, 1, QStringLiteral("Input mode")}},
          {27, {RegisterBank::NonVolatileBank2, 0, 1, QStringLiteral("Default position proportional gain (lower)")}},
          {28, {RegisterBank::NonVolatileBank2, 1, 1, QStringLiteral("Default position proportional gain (upper)")}},
          {29, {RegisterBank::NonVolatileBank2, 2, 1, QStringLiteral("Default velocity feedforward gain (lower)")}},
          {30, {RegisterBank::NonVolatileBank2, 3, 1, QStringLiteral("Default velocity feedforward gain (upper)")}},
          {31, {RegisterBank::NonVolatileBank2, 4, 1, QStringLiteral("Default current feedforward gain (lower)")}},
          {32, {RegisterBank::NonVolatileBank2, 5, 1, QStringLiteral("Default current feedforward gain (upper)")}},
          {33, {RegisterBank::NonVolatileBank2, 6, 1, QStringLiteral("Default velocity integral gain (lower)")}},
          {34, {RegisterBank::NonVolatileBank2, 7, 1, QStringLiteral("Default velocity integral gain (upper)")}},
          {35, {RegisterBank::NonVolatileBank2, 8, 1, QStringLiteral("Default velocity proportional gain (lower)")}},
          {36, {RegisterBank::NonVolatileBank2, 9, 1, QStringLiteral("Default velocity proportional gain (upper)")}},
          {37, {RegisterBank::NonVolatileBank2, 10, 1, QStringLiteral("Default angular velocity profile (lower)")}},
          {38, {RegisterBank::NonVolatileBank2, 11, 1, QStringLiteral("Default angular velocity profile (upper)")}},
          {39, {RegisterBank::NonVolatileBank2, 12, 1, QStringLiteral("Default acceleration profile (lower)")}},
          {40, {RegisterBank::NonVolatileBank2, 13, 1, QStringLiteral("Default acceleration profile (upper)")}},
          {48, {RegisterBank::VolatileBank1, 0, 1, QStringLiteral("Control enable")}},
          {49, {RegisterBank::VolatileBank1, 1, 1, QStringLiteral("Pending shadow instruction")}},
          {54, {RegisterBank::VolatileBank1, 2, 1, QStringLiteral("Position proportional gain (lower)")}},
          {55, {RegisterBank::VolatileBank1, 3, 1, QStringLiteral("Position proportional gain (upper)")}},
          {56, {RegisterBank::VolatileBank1, 4, 1, QStringLiteral("Velocity feedforward gain (lower)")}},
          {57, {RegisterBank::VolatileBank1, 5, 1, QStringLiteral("Velocity feedforward gain (upper)")}},
          {58, {RegisterBank::VolatileBank1, 6, 1, QStringLiteral("Current feedforward gain (lower)")}},
          {59, {RegisterBank::VolatileBank1, 7, 1, QStringLiteral("Current feedforward gain (upper)")}},
          {60, {RegisterBank::VolatileBank1, 8, 1, QStringLiteral("Velocity integral gain (lower)")}},
          {61, {RegisterBank::VolatileBank1, 9, 1, QStringLiteral("Velocity integral gain (upper)")}},
          {62, {RegisterBank::VolatileBank1, 10, 1, QStringLiteral("Velocity proportional gain (lower)")}},
          {63, {RegisterBank::VolatileBank1, 11, 1, QStringLiteral("Velocity proportional gain (upper)")}},
          {68, {RegisterBank::VolatileBank1, 12, 1, QStringLiteral("Angular velocity profile (lower)")}},
          {69, {RegisterBank::VolatileBank1, 13, 1, QStringLiteral("Angular velocity profile (upper)")}},
          {70, {RegisterBank::VolatileBank1, 14, 1, QStringLiteral("Acceleration profile (lower)")}},
          {71, {RegisterBank::VolatileBank1, 15, 1, QStringLiteral("Acceleration profile (upper)")}},
          {78, {RegisterBank::VolatileBank1, 16, 1, QStringLiteral("Target position (byte 0)")}},
          {79, {RegisterBank::VolatileBank1, 17, 1, QStringLiteral("Target position (byte 1)")}},
          {80, {RegisterBank::VolatileBank1, 18, 1, QStringLiteral("Target position (byte 2)")}},
          {81, {RegisterBank::VolatileBank1, 19, 1, QStringLiteral("Target position (byte 3)")}},
          {82, {RegisterBank::VolatileBank1, 20, 1, QStringLiteral("Target angular velocity (lower)")}},
          {83, {RegisterBank::VolatileBank1, 21, 1, QStringLiteral("Target angular velocity (upper)")}},
          {84, {RegisterBank::VolatileBank1, 22, 1, QStringLiteral("Target torque (lower)")}},
          {85, {RegisterBank::VolatileBank1, 23, 1, QStringLiteral("Target torque (upper)")}},
          {86, {RegisterBank::VolatileBank2, 0, 0, QStringLiteral("Actual position (byte 0)")}},
          {87, {RegisterBank::VolatileBank2, 1, 0, QStringLiteral("Actual position (byte 1)")}},
          {88, {RegisterBank::VolatileBank2, 2, 0, QStringLiteral("Actual position (byte 2)")}},
          {89, {RegisterBank::VolatileBank2, 3, 0, QStringLiteral("Actual position (byte 3)")}},
          {90, {RegisterBank::VolatileBank2, 4, 0, QStringLiteral("Actual angular velocity (lower)")}},
          {91, {RegisterBank::VolatileBank2, 5, 0, QStringLiteral("Actual angular velocity (upper)")}},
          {92, {RegisterBank::VolatileBank2, 6, 0, QStringLiteral("Actual torque (lower)")}},
          {93, {RegisterBank::VolatileBank2, 7, 0, QStringLiteral("Actual torque (upper)")}},
          {94, {RegisterBank::VolatileBank2, 8, 0, QStringLiteral("Actual voltage")}},
          {95, {RegisterBank::VolatileBank2, 9, 0, QStringLiteral("Actual phase current (lower)")}},
          {96, {RegisterBank::VolatileBank2, 10, 0, QStringLiteral("Actual phase current (upper)")}},
          {97, {RegisterBank::VolatileBank2, 11, 0, QStringLiteral("Actual temperature")}},
          {99, {RegisterBank::VolatileBank2, 12, 0, QStringLiteral("Moving")}},
          {101, {RegisterBank::VolatileBank2, 13, 0, QStringLiteral("Angular velocity profile (lower)")}},
          {102, {RegisterBank::VolatileBank2, 14, 0, QStringLiteral("Angular velocity profile (upper)")}},
          {107, {RegisterBank::VolatileBank2, 15, 0, QStringLiteral("Hardware error status")}},
          {112, {RegisterBank::VolatileBank2, 16, 0, QStringLiteral("Debug 1 (u8)")}},
          {113, {RegisterBank::VolatileBank2, 17, 0, QStringLiteral("Debug 2 (u8)")}},
          {114, {RegisterBank::VolatileBank2, 18, 0, QStringLiteral("Debug 3 (lower)")}},
          {115, {RegisterBank::VolatileBank2, 19, 0, QStringLiteral("Debug 3 (upper)")}},
          {116, {RegisterBank::VolatileBank2, 20, 0, QStringLiteral("Debug 4 (lower)")}},
          {117, {RegisterBank::VolatileBank2, 21, 0, QStringLiteral("Debug 4 (upper)")}},
    }
{
}

int VelkoraV1::getMemoryUpperLimit() const
{
    return 118;
}

std::unique_ptr<FieldDeviceMetadata> VelkoraV1::getFieldDeviceMetadata(const QString& name) const
{
    return std::make_unique<FieldDeviceMetadata>(_fieldMap.at(name));
}

std::unique_ptr<RegisterDeviceMetadata> VelkoraV1::getRegisterDeviceMetadata(unsigned short address) const
{
    const auto it = _registerMap.find(address);
    if (it == _registerMap.end())
        return {};
    return std::make_unique<RegisterDeviceMetadata>(it->second);
}

int VelkoraV1::getRegisterBankRowCount(RegisterBank bank) const
{
    return static_cast<int>(std::count_if(_registerMap.begin(), _registerMap.end(),
                                          [bank](const auto& entry) { return entry.second.bank == bank; }));
}

bool VelkoraV1::isCurrentReadingEnabled() const
{
    return true;
}

bool VelkoraV1::hasVelkoraControlTable() const
{
    return true;
}

std::vector<FieldRegister> VelkoraV1::getFieldRegisters() const
{
    return velkoraV1FieldRegisters();
}

// Item by item from address 0, without gaps. The two bytes after the 118 of the table are decoded
// too: in a whole read-all answer they are its checksum, and no register view row shows them.
std::vector<RegisterItem> VelkoraV1::getRegisterItems() const
{
    return {
        {0, 2},   {2, 1},   {3, 1},   {4, 1},   {5, 1},   {6, 1},   {7, 2},   {9, 2},   {11, 1},  {12, 1},
        {13, 1},  {14, 2},  {16, 2},  {18, 2},  {20, 4},  {24, 2},  {26, 1},  {27, 2},  {29, 2},  {31, 2},
        {33, 2},  {35, 2},  {37, 2},  {39, 2},  {41, 1},  {42, 2},  {44, 2},  {46, 2},  {48, 1},  {49, 1},
        {50, 2},  {52, 2},  {54, 2},  {56, 2},  {58, 2},  {60, 2},  {62, 2},  {64, 2},  {66, 2},  {68, 2},
        {70, 2},  {72, 2},  {74, 2},  {76, 2},  {78, 4},  {82, 2},  {84, 2},  {86, 4},  {90, 2},  {92, 2},
        {94, 1},  {95, 2},  {97, 1},  {98, 1},  {99, 1},  {100, 1}, {101, 2}, {103, 4}, {107, 1}, {108, 1},
        {109, 1}, {110, 1}, {111, 1}, {112, 1}, {113, 1}, {114, 2}, {116, 2}, {118, 1}, {119, 1},
    };
}

int VelkoraV1::getHardwareErrorAddress() const
{
    return 107;
}
