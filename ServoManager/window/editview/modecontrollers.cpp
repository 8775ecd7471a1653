#include "window/editview/modecontrollers.h"

#include "window/editview/fieldhelper.h"

#include <QComboBox>

namespace {

struct Row
{
    const char* label; // null: the field has no caption of its own
    const char* field;
    const char* states; // Torque, Wheel, Joint, Multi-turn, Stepper
};

// What each operating mode allows: '-' off, '+' on, 't' on only with Trajectory input,
// '.' left as it is.
const Row modeTable[] = {
    {"inputModeLabel", "inputModeComboBox", "--++-"},
    {"clockwiseAngleLimitLabel", "clockwiseLimitDoubleSpinBox", "--+--"},
    {"counterClockwiseAngleLimitLabel", "counterClockwiseLimitDoubleSpinBox", "--+--"},
    {"positionProportionalTermLabel", "positionProportionalTermDoubleSpinBox", "--++-"},
    {"velocityFeedforwardTermLabel", "velocityFeedforwardTermDoubleSpinBox", "--++-"},
    {"currentFeedforwardTermLabel", "currentFeedforwardTermDoubleSpinBox", "-+++-"},
    {"targetAngularVelocityLabel", "targetAngularVelocityDoubleSpinBox", "-+---"},
    {"velocityProportionalTermLabel", "velocityProportionalTermDoubleSpinBox", "-+++-"},
    {"velocityIntegralTermLabel", "velocityIntegralTermDoubleSpinBox", "-+++-"},
    {"angularVelocityProfileLabel", "angularVelocityProfileDoubleSpinBox", "--++-"},
    {"accelerationProfileLabel", "accelerationProfileDoubleSpinBox", "-+tt-"},
    {"targetAngularVelocityDirectionLabel", "targetAngularVelocityDirectionComboBox", "-+---"},
    {"targetPositionLabel", "targetPositionDoubleSpinBox", "--++-"},
    {"targetTorqueLabel", "targetTorqueDoubleSpinBox", "+----"},
    {"targetTorqueDirectionLabel", "targetTorqueDirectionComboBox", "+----"},
    {"quadratureCurrentLimitLabel", "quadratureCurrentLimitDoubleSpinBox", "+++++"},
    {"angularVelocityLimitLabel", "angularVelocityLimitDoubleSpinBox", "+++++"},
    {"accelerationLimitLabel", "accelerationLimitDoubleSpinBox", ".++++"},
    {"hornPositionOffsetLabel", "hornPositionOffsetDoubleSpinBox", "+++++"},
    {"defPositionProportionalTermLabel", "defPositionProportionalTermDoubleSpinBox", "--+++"},
    {"defVelocityFeedforwardTermLabel", "defVelocityFeedforwardTermDoubleSpinBox", "--+++"},
    {"defVelocityProportionalTermLabel", "defVelocityProportionalTermDoubleSpinBox", "-++++"},
    {"defVelocityIntegralTermLabel", "defVelocityIntegralTermDoubleSpinBox", "-++++"},
    {"defCurrentFeedforwardTermLabel", "defCurrentFeedforwardTermDoubleSpinBox", "-++++"},
    {"defAngularVelocityProfileLabel", "defAngularVelocityProfileDoubleSpinBox", "--+++"},
    {"defAccelerationProfileLabel", "defAccelerationProfileDoubleSpinBox", "-++++"},
    {nullptr, "enableMotorCheckBox", "+++++"},
    {nullptr, "pendingShadowInstructionCheckBox", "++++-"},
};

IVelkoraField* lookUp(const FieldHelper* registry, const char* name)
{
    return registry && name ? registry->getEditViewField(QString::fromLatin1(name)) : nullptr;
}

int currentIndex(IVelkoraField* field)
{
    const auto* list = dynamic_cast<QComboBox*>(field);
    return list ? list->currentIndex() : -1;
}

} // namespace

ControllerBase::ControllerBase(const FieldHelper* registry)
{
    _operatingMode = lookUp(registry, "operatingModeComboBox");
    _inputMode = lookUp(registry, "inputModeComboBox");
    for (const Row& row : modeTable) {
        Pair pair{lookUp(registry, row.label), lookUp(registry, row.field), {}};
        std::copy(row.states, row.states + 5, pair.state.begin());
        _pairs.push_back(pair);
    }
}

int ControllerBase::operatingModeIndex() const
{
    return currentIndex(_operatingMode);
}

bool ControllerBase::getDisableState(ControllerOperation op) const
{
    const auto* list = dynamic_cast<QComboBox*>(_operatingMode);
    if (!list)
        return true;
    const int index = list->currentIndex();
    // An index outside the list counts as the placeholder: nothing known, nothing reversed.
    return index == static_cast<int>(op) || index < 0 || index >= list->count() - 1;
}

void ControllerBase::applyMode(ControllerOperation op, bool disable)
{
    const bool trajectory = currentIndex(_inputMode) == 0;
    for (const Pair& pair : _pairs) {
        const char state = pair.state[static_cast<size_t>(op)];
        if (state == '.')
            continue;
        const bool on = state == '+' || (state == 't' && trajectory);
        const bool forced = on ? !disable : disable;
        for (IVelkoraField* field : {pair.label, pair.field}) {
            if (field)
                field->forceDisable(forced);
        }
    }
}

void TorqueModeController::process()
{
    applyFor(ControllerOperation::Torque);
}

void WheelModeController::process()
{
    applyFor(ControllerOperation::Wheel);
}

void JointModeController::process()
{
    disableFields(getDisableState(ControllerOperation::Joint));
}

void JointModeController::disableFields(bool disable)
{
    applyMode(ControllerOperation::Joint, disable);
}

void MultiTurnModeController::process()
{
    applyFor(ControllerOperation::MultiTurn);
}

void StepperModeController::process()
{
    applyFor(ControllerOperation::Stepper);
}

OperationModeController::OperationModeController(std::shared_ptr<const FieldHelper> registry)
    : _registry(std::move(registry))
{
}

void OperationModeController::process()
{
    if (!_fields)
        _fields = std::make_unique<JointModeController>(_registry.get());
    switch (_fields->operatingModeIndex()) {
    case static_cast<int>(ControllerOperation::Torque):
    case static_cast<int>(ControllerOperation::Wheel):
    case static_cast<int>(ControllerOperation::MultiTurn):
    case static_cast<int>(ControllerOperation::Stepper):
        _fields->applyFor(static_cast<ControllerOperation>(_fields->operatingModeIndex()));
        break;
    default:
        _fields->applyFor(ControllerOperation::Joint);
        break;
    }
}

void InputModeController::process() {}
