#pragma once

#include "device/idevice.h"
#include "units/physicalquantitiesenum.h"
#include "units/unitshelper.h"

#include <QLineEdit>
#include <QMetaObject>
#include <QSignalBlocker>
#include <QString>

#include <functional>
#include <memory>

class QObject;

// The state every value widget of the edit view keeps about its servo value: the model's
// range for it, the unit snapshot taken at connect, and the raw value last shown. The
// widgets differ in how they present a value, not in this bookkeeping.
class FieldCore
{
public:
    // The quantity of the named field; a name missing from the table is a fault of the form.
    static PhysicalQuantitiesEnum lookUpQuantity(const QString& name);

    // Takes the unit choice of the main window (the defaults when there is none) and listens
    // for the device model: `onLoaded` runs on the receiver at every device load.
    template <typename Receiver> void connect(Receiver* receiver, void (Receiver::*onLoaded)())
    {
        units = currentUnits();
        listen(receiver, [receiver, onLoaded] { (receiver->*onLoaded)(); });
        isConnected = true;
    }
    // Removes only this field's own device-load connection.
    void disconnect();

    // Replaces the range with the current model's record for `name`. False (and no range)
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
    void listen(QObject* receiver, std::function<void()> onLoaded);

    QMetaObject::Connection _deviceConnection;
};

// The parts of the field contract that every editable value widget shares. `Widget` is the
// concrete widget (its signal setIsDirty is public); `restore` shows the last value loaded
// from the servo again without emitting the widget's own change signals.
namespace fieldcontract {

// Dirty state changes are reported once each, so a group's count of dirty fields cannot drift.
template <typename Widget> void updateDirty(Widget* widget, FieldCore& core, bool dirty)
{
    // Values set from the servo while the field is not edited never count.
    if (!widget->isEnabled() || dirty == core.isDirty)
        return;
    core.isDirty = dirty;
    emit widget->setIsDirty(dirty);
}

template <typename Widget> void setEnabled(Widget* widget, FieldCore& core, bool enable)
{
    if (core.isForceDisabled || (enable && !core.isDescribed()))
        return;
    widget->QWidget::setEnabled(enable);
    core.isDirty = false;
}

// False when nothing changed (the mode controllers repeat their verdict at every poll).
template <typename Widget, typename Restore>
bool forceDisable(Widget* widget, FieldCore& core, bool disable, bool groupEditing, Restore restore)
{
    const bool enable = !disable && groupEditing && core.isDescribed();
    if (disable == core.isForceDisabled && enable == widget->isEnabled())
        return false;
    if (core.isForceDisabled && !disable)
        restore();
    if (!core.isForceDisabled && disable && core.isDirty) {
        // A value the user can no longer see must not be written: back to the servo's.
        restore();
        core.isDirty = false;
        emit widget->setIsDirty(false);
    }
    widget->QWidget::setEnabled(enable);
    core.isForceDisabled = disable;
    return true;
}

// A spin box with nothing to show is an empty box, not a stale or default number.
inline void clearTextIfEmpty(QLineEdit* edit, const FieldCore& core)
{
    if (core.showsNothing() && !edit->text().isEmpty()) {
        const QSignalBlocker blocker(edit);
        edit->clear();
    }
}

} // namespace fieldcontract

// Shared by the widgets that can show a value outside their range: the range end in a
// warning colour with the servo's own value in the tool tip.
namespace fieldstyle {
QString outOfRangeToolTip(const QString& shown, int raw);
// Paints `box` (of class `widgetClass`, normally styled by `normalSheet`) in the warning
// colour with the servo's own value in the tool tip while `on`. `marked` remembers the
// state: the decoder calls this at every poll, and a box is restyled only on a change.
void markOutOfRange(QWidget* box, bool& marked, bool on, const char* normalSheet, const char* widgetClass,
                    double shown, int decimals, int raw);
QString unknownValueToolTip(int raw);
extern const char* const warningColour;
} // namespace fieldstyle
