#include "core/model/fieldregisters.h"

std::vector<FieldRegister> velkoraV1FieldRegisters()
{
    using G = FieldGroup;
    auto f = [](const char* name, uint8_t address, uint8_t bytes, G group, uint32_t mask = 0xFFFFFFFF) {
        return FieldRegister{QString::fromLatin1(name), address, bytes, group, mask};
    };
    return {
        f("modelNumberLineEdit", 0, 2, G::State),
        f("firmwareVersionLineEdit", 2, 1, G::State),
        f("idSpinBox", 3, 1, G::NonVolatile),
        f("baudRateComboBox", 4, 1, G::NonVolatile),
        f("ackResponseTimeSpinBox", 5, 1, G::NonVolatile),
        f("operatingModeComboBox", 6, 1, G::NonVolatile),
        f("clockwiseLimitDoubleSpinBox", 7, 2, G::NonVolatile),
        f("counterClockwiseLimitDoubleSpinBox", 9, 2, G::NonVolatile),
        f("temperatureLimitDoubleSpinBox", 11, 1, G::NonVolatile),
        f("minVoltageLimitDoubleSpinBox", 12, 1, G::NonVolatile),
        f("maxVoltageLimitDoubleSpinBox", 13, 1, G::NonVolatile),
        f("quadratureCurrentLimitDoubleSpinBox", 14, 2, G::NonVolatile),
        f("angularVelocityLimitDoubleSpinBox", 16, 2, G::NonVolatile),
        f("accelerationLimitDoubleSpinBox", 18, 2, G::NonVolatile),
        f("hornPositionOffsetDoubleSpinBox", 20, 4, G::NonVolatile),
        f("movingThresholdDoubleSpinBox", 24, 2, G::NonVolatile),
        f("inputModeComboBox", 26, 1, G::NonVolatile),
        f("defPositionProportionalTermDoubleSpinBox", 27, 2, G::NonVolatile),
        f("defVelocityFeedforwardTermDoubleSpinBox", 29, 2, G::NonVolatile),
        f("defCurrentFeedforwardTermDoubleSpinBox", 31, 2, G::NonVolatile),
        f("defVelocityIntegralTermDoubleSpinBox", 33, 2, G::NonVolatile),
        f("defVelocityProportionalTermDoubleSpinBox", 35, 2, G::NonVolatile),
        f("defAngularVelocityProfileDoubleSpinBox", 37, 2, G::NonVolatile),
        f("defAccelerationProfileDoubleSpinBox", 39, 2, G::NonVolatile),
        f("enableMotorCheckBox", 48, 1, G::Command),
        f("pendingShadowInstructionCheckBox", 49, 1, G::Command),
        f("positionProportionalTermDoubleSpinBox", 54, 2, G::Volatile),
        f("velocityFeedforwardTermDoubleSpinBox", 56, 2, G::Volatile),
        f("currentFeedforwardTermDoubleSpinBox", 58, 2, G::Volatile),
        f("velocityIntegralTermDoubleSpinBox", 60, 2, G::Volatile),
        f("velocityProportionalTermDoubleSpinBox", 62, 2, G::Volatile),
        f("angularVelocityProfileDoubleSpinBox", 68, 2, G::Volatile),
        f("accelerationProfileDoubleSpinBox", 70, 2, G::Volatile),
        f("targetPositionDoubleSpinBox", 78, 4, G::Command),
        // 15-bit magnitudes with a direction bit (set: clockwise).
        f("targetAngularVelocityDoubleSpinBox", 82, 2, G::Command, 0x7FFF),
        f("targetAngularVelocityDirectionComboBox", 82, 2, G::Command, 0x8000),
        f("targetTorqueDoubleSpinBox", 84, 2, G::Command, 0x7FFF),
        f("targetTorqueDirectionComboBox", 84, 2, G::Command, 0x8000),
        f("actualPositionLineEdit", 86, 4, G::State),
        f("actualAngularVelocityLineEdit", 90, 2, G::State),
        f("actualTorqueLineEdit", 92, 2, G::State),
        f("actualVoltageLineEdit", 94, 1, G::State),
        f("actualQuadratureCurrentLineEdit", 95, 2, G::State),
        f("actualTemperatureLineEdit", 97, 1, G::State),
        f("isMovingCheckBox", 99, 1, G::State),
        // Hardware error status: each indicator shows its bit as masked.
        f("inputVoltageStatusCheckBox", 107, 1, G::State, 0x01),
        f("hallStatusCheckBox", 107, 1, G::State, 0x02),
        f("overheatingStatusCheckBox", 107, 1, G::State, 0x04),
        f("encoderStatusCheckBox", 107, 1, G::State, 0x08),
        f("angleLimitStatusCheckBox", 107, 1, G::State, 0x10),
    };
}

// The AX-12's own layout. Its torque settings and load, in per cent of the maximum, have no
// field in the edit view (whose torque fields are in Nm): files and the command line reach them.
std::vector<FieldRegister> ax12FieldRegisters()
{
    using G = FieldGroup;
    auto f = [](const char* name, uint8_t address, uint8_t bytes, G group, uint32_t mask = 0xFFFFFFFF,
                uint32_t signBit = 0) {
        return FieldRegister{QString::fromLatin1(name), address, bytes, group, mask, signBit};
    };
    constexpr uint32_t magnitude = 0x3FF; // bits 0-9; bit 10 is the direction (set: clockwise)
    constexpr uint32_t clockwise = 0x400;
    return {
        f("modelNumberLineEdit", 0, 2, G::State),
        f("firmwareVersionLineEdit", 2, 1, G::State),
        f("idSpinBox", 3, 1, G::NonVolatile),
        f("baudRateComboBox", 4, 1, G::NonVolatile),
        f("ackResponseTimeSpinBox", 5, 1, G::NonVolatile),
        f("clockwiseLimitDoubleSpinBox", 6, 2, G::NonVolatile),
        f("counterClockwiseLimitDoubleSpinBox", 8, 2, G::NonVolatile),
        f("temperatureLimitDoubleSpinBox", 11, 1, G::NonVolatile),
        f("minVoltageLimitDoubleSpinBox", 12, 1, G::NonVolatile),
        f("maxVoltageLimitDoubleSpinBox", 13, 1, G::NonVolatile),
        f("maxTorque", 14, 2, G::NonVolatile),
        f("enableMotorCheckBox", 24, 1, G::Command),
        f("targetPositionDoubleSpinBox", 30, 2, G::Command),
        // The direction counts in wheel mode (both angle limits 0) only.
        f("targetAngularVelocityDoubleSpinBox", 32, 2, G::Command, magnitude),
        f("targetAngularVelocityDirectionComboBox", 32, 2, G::Command, clockwise),
        f("torqueLimit", 34, 2, G::Volatile),
        f("actualPositionLineEdit", 36, 2, G::State),
        f("actualAngularVelocityLineEdit", 38, 2, G::State, magnitude | clockwise, clockwise),
        f("presentLoad", 40, 2, G::State, magnitude | clockwise, clockwise),
        f("actualVoltageLineEdit", 42, 1, G::State),
        f("actualTemperatureLineEdit", 43, 1, G::State),
        f("isMovingCheckBox", 46, 1, G::State),
    };
}
