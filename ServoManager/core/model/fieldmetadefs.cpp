#include "core/model/fieldmetadefs.h"

namespace {
using Q = PhysicalQuantitiesEnum;

struct Entry
{
    const char* name;
    PhysicalQuantitiesEnum quantity;
};

// The edit view's fields and captions by object name, with the quantity each shows.
const Entry table[] = {
    {"positionLabel", Q::Angle},
    {"angularVelocityLabel", Q::AngularVelocity},
    {"torqueLabel", Q::Torque},
    {"voltageLabel", Q::Voltage},
    {"quadratureCurrentLabel", Q::Current},
    {"temperatureLabel", Q::Temperature},
    {"inputModeLabel", Q::InputMode},
    {"clockwiseAngleLimitLabel", Q::Angle},
    {"counterClockwiseAngleLimitLabel", Q::Angle},
    {"upperTemperatureLimitLabel", Q::Temperature},
    {"minVoltageLimitLabel", Q::Voltage},
    {"maxVoltageLimitLabel", Q::Voltage},
    {"maxquadratureCurrentLimitLabel", Q::Current},
    {"goalPositionLabel", Q::Angle},
    {"quadratureCurrentLimitLabel", Q::Torque},
    {"angularVelocityLimitLabel", Q::AngularVelocity},
    {"accelerationLimitLabel", Q::AngularAcceleration},
    {"hornPositionOffsetLabel", Q::Angle},
    {"movingThresholdLabel", Q::AngularVelocity},
    {"defAngularVelocityProfileLabel", Q::AngularVelocityProfile},
    {"defAccelerationProfileLabel", Q::AccelerationProfile},
    {"idLabel", Q::CaptionOnly},
    {"ackResponseTimeLabel", Q::ElapsedTime},
    {"actualPositionLineEdit", Q::Angle},
    {"actualAngularVelocityLineEdit", Q::AngularVelocity},
    {"actualTemperatureLineEdit", Q::Temperature},
    {"actualVoltageLineEdit", Q::Voltage},
    {"actualQuadratureCurrentLineEdit", Q::Current},
    {"actualTorqueLineEdit", Q::Torque},
    {"modelNumberLineEdit", Q::ModelNumber},
    {"firmwareVersionLineEdit", Q::Unitless},
    {"idSpinBox", Q::ServoId},
    {"ackResponseTimeSpinBox", Q::ElapsedTime},
    {"baudRateComboBox", Q::BaudRate},
    {"clockwiseLimitDoubleSpinBox", Q::Angle},
    {"counterClockwiseLimitDoubleSpinBox", Q::Angle},
    {"operatingModeComboBox", Q::OperatingMode},
    {"inputModeComboBox", Q::InputMode},
    {"positionProportionalTermDoubleSpinBox", Q::PositionProportionalTerm},
    {"velocityFeedforwardTermDoubleSpinBox", Q::VelocityFeedforwardTerm},
    {"currentFeedforwardTermDoubleSpinBox", Q::CurrentFeedforwardTerm},
    {"deadZoneDoubleSpinBox", Q::Angle},
    {"velocityProportionalTermDoubleSpinBox", Q::VelocityProportionalTerm},
    {"velocityIntegralTermDoubleSpinBox", Q::VelocityIntegralTerm},
    {"angularVelocityProfileDoubleSpinBox", Q::AngularVelocityProfile},
    {"accelerationProfileDoubleSpinBox", Q::AccelerationProfile},
    {"targetAngularVelocityLabel", Q::AngularVelocity},
    {"targetTorqueLabel", Q::Torque},
    {"targetPositionLabel", Q::Angle},
    {"angularVelocityProfileLabel", Q::AngularVelocityProfile},
    {"accelerationProfileLabel", Q::AccelerationProfile},
    {"targetAngularVelocityDirectionComboBox", Q::Direction},
    {"targetAngularVelocityDoubleSpinBox", Q::AngularVelocity},
    {"targetPositionDoubleSpinBox", Q::Angle},
    {"targetTorqueDoubleSpinBox", Q::Torque},
    {"targetTorqueDirectionComboBox", Q::Direction},
    {"temperatureLimitDoubleSpinBox", Q::Temperature},
    {"minVoltageLimitDoubleSpinBox", Q::Voltage},
    {"maxVoltageLimitDoubleSpinBox", Q::Voltage},
    {"quadratureCurrentLimitDoubleSpinBox", Q::Torque},
    {"angularVelocityLimitDoubleSpinBox", Q::AngularVelocity},
    {"accelerationLimitDoubleSpinBox", Q::AngularAcceleration},
    {"hornPositionOffsetDoubleSpinBox", Q::Angle},
    {"movingThresholdDoubleSpinBox", Q::AngularVelocity},
    {"pendingShadowInstructionCheckBox", Q::Unitless},
    {"enableMotorCheckBox", Q::Unitless},
    {"isMovingCheckBox", Q::Unitless},
    {"inputVoltageStatusCheckBox", Q::Unitless},
    {"overheatingStatusCheckBox", Q::Unitless},
    {"encoderStatusCheckBox", Q::Unitless},
    {"hallStatusCheckBox", Q::Unitless},
    {"angleLimitStatusCheckBox", Q::Unitless},
    {"defPositionProportionalTermDoubleSpinBox", Q::PositionProportionalTerm},
    {"defVelocityFeedforwardTermDoubleSpinBox", Q::VelocityFeedforwardTerm},
    {"defVelocityProportionalTermDoubleSpinBox", Q::VelocityProportionalTerm},
    {"defVelocityIntegralTermDoubleSpinBox", Q::VelocityIntegralTerm},
    {"defCurrentFeedforwardTermDoubleSpinBox", Q::CurrentFeedforwardTerm},
    {"defAngularVelocityProfileDoubleSpinBox", Q::AngularVelocityProfile},
    {"defAccelerationProfileDoubleSpinBox", Q::AccelerationProfile},
};

const std::map<QString, FieldStaticMetadata>& fieldsByName()
{
    static const std::map<QString, FieldStaticMetadata> fields = [] {
        std::map<QString, FieldStaticMetadata> byName;
        for (const Entry& entry : table)
            byName.emplace(QString::fromLatin1(entry.name), FieldStaticMetadata{entry.quantity});
        return byName;
    }();
    return fields;
}
} // namespace

FieldStaticMetadataHelper::FieldStaticMetadataHelper() : _fields(fieldsByName()) {}

std::unique_ptr<FieldStaticMetadata>
FieldStaticMetadataHelper::getFieldStaticMetadata(QString objectName) const
{
    return std::make_unique<FieldStaticMetadata>(_fields.at(objectName));
}
