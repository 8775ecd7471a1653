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

// Forces off the fields (and their captions) that make no sense in one operating mode and
// releases the others. Fields are found by name in the edit view's registry; a name the
// registry does not have is skipped.
class ControllerBase : public IFieldDependency
{
public:
    ControllerBase();
    virtual ~ControllerBase() = default;

    // True when the operating-mode list shows `op`, or nothing the list knows.
    bool getDisableState(ControllerOperation op) const;

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
    void process() override;
};

class WheelModeController : public ControllerBase
{
public:
    void process() override;
};

class JointModeController : public ControllerBase
{
public:
    void process() override;
    void disableFields(bool disable);
};

class MultiTurnModeController : public ControllerBase
{
public:
    void process() override;
};

class StepperModeController : public ControllerBase
{
public:
    void process() override;
};

// Attached to the operating-mode list: runs the controller of the mode it shows.
class OperationModeController : public IFieldDependency
{
public:
    virtual ~OperationModeController() = default;
    void process() override;
};

// Attached to the input-mode list; the operating-mode pass reads the input mode itself.
class InputModeController : public IFieldDependency
{
public:
    virtual ~InputModeController() = default;
    void process() override;
};

// The controllers of the named mode field (operating or input mode); empty for other fields.
std::shared_ptr<IFieldDependency> makeModeController(const QString& objectName);
