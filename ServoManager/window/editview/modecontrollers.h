#pragma once

#include "window/widgets/fieldinterfaces.h"

#include <QString>

#include <array>
#include <memory>
#include <vector>

// The operating mode as the item index of the operating-mode list.
enum class ControllerOperation : int
{
    Torque = 0,
    Wheel = 1,
    Joint = 2,
    MultiTurn = 3,
    Stepper = 4,
};

class FieldHelper;

// Forces off the fields (and their captions) that make no sense in one operating mode and
// releases the others. Fields are found by name in the edit view's registry; a name the
// registry does not have is skipped, and without a registry nothing is controlled.
class ControllerBase : public IFieldDependency
{
public:
    explicit ControllerBase(const FieldHelper* registry);
    virtual ~ControllerBase() = default;

    // True when the operating-mode list shows `op`, or nothing the list knows.
    bool getDisableState(ControllerOperation op) const;
    // The mode's rules applied to the fields as the operating-mode list stands.
    void applyFor(ControllerOperation op) { applyMode(op, getDisableState(op)); }
    // The operating-mode list's item index (-1: no list).
    int operatingModeIndex() const;

protected:
    void applyMode(ControllerOperation op, bool disable);

private:
    IVelkoraField* _operatingMode = nullptr;
    IVelkoraField* _inputMode = nullptr;
    struct Pair
    {
        IVelkoraField* label;
        IVelkoraField* field;
        std::array<char, 5> state; // per mode: '-' off, '+' on, 't' on with Trajectory input, '.' untouched
    };
    std::vector<Pair> _pairs;
};

class TorqueModeController : public ControllerBase
{
public:
    using ControllerBase::ControllerBase;
    void process() override;
};

class WheelModeController : public ControllerBase
{
public:
    using ControllerBase::ControllerBase;
    void process() override;
};

class JointModeController : public ControllerBase
{
public:
    using ControllerBase::ControllerBase;
    void process() override;
    void disableFields(bool disable);
};

class MultiTurnModeController : public ControllerBase
{
public:
    using ControllerBase::ControllerBase;
    void process() override;
};

class StepperModeController : public ControllerBase
{
public:
    using ControllerBase::ControllerBase;
    void process() override;
};

// Attached to the operating-mode list: runs the controller of the mode it shows.
class OperationModeController : public IFieldDependency
{
public:
    explicit OperationModeController(std::shared_ptr<const FieldHelper> registry);
    virtual ~OperationModeController() = default;
    void process() override;

private:
    std::shared_ptr<const FieldHelper> _registry;
    // The registry's fields found once: the pass runs at every poll.
    std::unique_ptr<ControllerBase> _fields;
};

// Attached to the input-mode list; the operating-mode pass reads the input mode itself.
class InputModeController : public IFieldDependency
{
public:
    virtual ~InputModeController() = default;
    void process() override;
};
