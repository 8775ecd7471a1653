#pragma once

#include "core/units/physicalquantitiesenum.h"

#include <QString>

class ModelSource;

// The contract every widget of the edit view takes part in. Widgets are owned by the Qt
// object tree; these interfaces only let non-widget code reach them.

class IVelkoraField
{
public:
    virtual QString objectName() const = 0;
    virtual void forceDisable(bool disable) = 0;
};

class IUnitField : public IVelkoraField
{
public:
    virtual PhysicalQuantitiesEnum getPhysicalQuantity() = 0;
};

class IUnitDataField : public IUnitField
{
public:
    virtual ~IUnitDataField() = default;
    virtual void setServoValue(int value) = 0;
    virtual int getServoValue() = 0;
    virtual void setObjectName(const QString& name) = 0;
    virtual void processDependencies() = 0;
};

// Follows the connection: a servo whose model comes from `model` (none: nothing is described)
// connected, or the connection ended.
class IConnectInfo
{
public:
    virtual ~IConnectInfo() = default;
    virtual void connected(const ModelSource* model) = 0;
    virtual void disconnected() = 0;
};

class IGroupInputComponent
{
public:
    virtual ~IGroupInputComponent() = default;
    virtual void setEnabled(bool enable) = 0;
    virtual void cancelUpdate() = 0;
    virtual void setIsDirty(bool dirty) = 0;
    // The user changed the value since it was loaded (what a group write puts in).
    virtual bool hasUserChange() const { return false; }
    // The user typed a value outside the field's range; it must not be written.
    virtual bool holdsValueOutOfRange() const { return false; }
};

// Run whenever the owning field's value is refreshed (mode controllers).
class IFieldDependency
{
public:
    virtual void process() = 0;

protected:
    ~IFieldDependency() = default;
};
