#include "device/fieldregisters.h"

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

// Only the values this table shares with the edit view; the gains it names have no AX-12 register.
std::vector<FieldRegister> ax12FieldRegisters()
{
    return {
        {QStringLiteral("modelNumberLineEdit"), 0, 2, FieldGroup::State},
        {QStringLiteral("firmwareVersionLineEdit"), 2, 1, FieldGroup::State},
        {QStringLiteral("clockwiseLimitDoubleSpinBox"), 6, 2, FieldGroup::NonVolatile},
        {QStringLiteral("counterClockwiseLimitDoubleSpinBox"), 8, 2, FieldGroup::NonVolatile},
        {QStringLiteral("targetAngularVelocityDoubleSpinBox"), 32, 2, FieldGroup::Command},
    };
}
