#pragma once

#include "core/model/fieldcore.h"

#include <QAbstractSpinBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSize>
#include <QString>
#include <QStringList>

class QFontMetrics;
class QWidget;

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

// Shared by the widgets that can show a value outside their range: the servo's value as the
// range end, or the user's as typed, in a warning colour with the reason in the tool tip.
namespace fieldstyle {
QString outOfRangeToolTip(const QString& shown, int raw);
// For a value typed outside the field's range `low` to `high` (with the unit, if any).
QString typedOutOfRangeToolTip(const QString& low, const QString& high, const QString& unit);
// Paints `box` (of class `widgetClass`, normally styled by `normalSheet`) in the warning
// colour with `toolTip` while `on`. `marked` remembers the state: the decoder calls this at
// every poll, and a box is restyled only on a change.
void markOutOfRange(QWidget* box, bool& marked, bool on, const char* normalSheet, const char* widgetClass,
                    const QString& toolTip);
QString unknownValueToolTip(int raw);
extern const char* const warningColour;

// The value spin boxes take any number typed, so that one outside the field's range stays as
// typed (and marked) instead of being cut to fit; their own range is this wide, the field's
// range is kept beside it.
constexpr int typingLimit = 999999999;
// `hint` of a box with the wide range, made as wide as the field's range texts need.
QSize narrowedHint(QSize hint, const QFontMetrics& metrics, const QStringList& wideTexts,
                   const QStringList& rangeTexts);

// A size hint of a value box (whose own range is `shownMin`..`shownMax`) for the field's range
// `validMin`..`validMax`; `text` writes a value as the box shows it.
template <typename Value, typename Text>
QSize rangeHint(QSize hint, const QFontMetrics& metrics, Value shownMin, Value shownMax, Value validMin,
                Value validMax, Text text)
{
    if (shownMax != typingLimit)
        return hint;
    return narrowedHint(hint, metrics, {text(shownMin), text(shownMax)}, {text(validMin), text(validMax)});
}

// The arrows a value box offers: only those that stay inside the field's range.
template <typename Value>
QAbstractSpinBox::StepEnabled stepsWithin(Value value, Value validMin, Value validMax)
{
    QAbstractSpinBox::StepEnabled enabled = QAbstractSpinBox::StepNone;
    if (value < validMax)
        enabled |= QAbstractSpinBox::StepUpEnabled;
    if (value > validMin)
        enabled |= QAbstractSpinBox::StepDownEnabled;
    return enabled;
}
} // namespace fieldstyle
