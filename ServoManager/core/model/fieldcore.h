#pragma once

#include "core/model/idevice.h"
#include "core/units/physicalquantitiesenum.h"
#include "core/units/unitshelper.h"

#include <QMetaObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class ModelSource;
class QObject;

// The state every value widget of the edit view keeps about its servo value: the model's
// range for it, the unit snapshot taken at connect, and the raw value last shown. The
// widgets differ in how they present a value, not in this bookkeeping.
class FieldCore
{
public:
    // The quantity of the named field; a name missing from the table is a fault of the form.
    static PhysicalQuantitiesEnum lookUpQuantity(const QString& name);

    // Takes the unit choice stored by Settings and listens for the models `model` loads:
    // `onLoaded` runs on the receiver at every load. Without a model nothing is ever described.
    template <typename Receiver>
    void connect(const ModelSource* model, Receiver* receiver, void (Receiver::*onLoaded)())
    {
        units = currentUnits();
        listen(model, receiver, [receiver, onLoaded] { (receiver->*onLoaded)(); });
        isConnected = true;
    }
    // Removes only this field's own model-load connection.
    void disconnect();

    // Replaces the range with the connected model's record for `name`. False (and no range)
    // when the model does not describe the field: it then shows nothing until the next load.
    bool loadMetadata(const QString& name);
    bool loadMetadata(const QString& name, const IDevice& device);
    bool isDescribed() const { return metadata != nullptr; }
    // Nothing of the servo to show: offline, no value yet, forced off or not in this model.
    bool showsNothing() const { return !isConnected || !isValueLoaded || isForceDisabled || !isDescribed(); }

    // raw -> physical value in the default unit, as the model's linear map gives it. Without
    // `offsetByRawMin` the raw value is scaled from zero (the integer spin box's map).
    double toPhysical(int raw, bool offsetByRawMin = true) const;
    // physical value in the default unit -> the nearest raw step within the model's raw range.
    int toRaw(double physical, bool offsetByRawMin = true) const;
    // raw -> the value in the unit chosen in Settings: what the field shows, before rounding
    // to its decimals. Plots and recordings use it too, so all agree.
    double toShown(int raw, bool offsetByRawMin = true) const
    {
        return units->convertToTargetUnit(toPhysical(raw, offsetByRawMin), physicalQuantity);
    }

    // The unit choice Settings stored (the Settings dialog writes it when applied).
    static std::shared_ptr<UnitsHelper> currentUnits();

    PhysicalQuantitiesEnum physicalQuantity = PhysicalQuantitiesEnum::Unitless;
    std::shared_ptr<UnitsHelper> units;
    std::unique_ptr<FieldDeviceMetadata> metadata;
    int lastRaw = 0;
    bool isDirty = false;
    bool isConnected = false;
    bool isForceDisabled = false;
    bool isValueLoaded = false;

private:
    void listen(const ModelSource* model, QObject* receiver, std::function<void()> onLoaded);

    QPointer<const ModelSource> _model;
    QMetaObject::Connection _modelConnection;
};
