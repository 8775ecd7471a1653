#include "window/widgets/velkoradoublespinbox.h"

#include "window/widgets/valueboxstyle.h"
#include "window/widgets/velkoraparametersgroupbox.h"

#include <QLineEdit>
#include <QSignalBlocker>

#include <algorithm>
#include <cmath>

namespace {
const char* const normalSheet = "QDoubleSpinBox:enabled { background-color: white; }"
                                "QDoubleSpinBox:disabled { background-color: #ECEAE9; color: #5C5C61; }";
} // namespace

VelkoraDoubleSpinBox::VelkoraDoubleSpinBox(QWidget* parent)
    : QDoubleSpinBox(parent), parentGroupBox(qobject_cast<VelkoraParametersGroupBox*>(parent))
{
    connect(this, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &VelkoraDoubleSpinBox::on_valueChanged);
    // Before the sheet, which then draws through it.
    setStyle(valueBoxStyle());
    setStyleSheet(normalSheet);
}

void VelkoraDoubleSpinBox::setObjectName(const QString& name)
{
    core.physicalQuantity = FieldCore::lookUpQuantity(name);
    QDoubleSpinBox::setObjectName(name);
}

QString VelkoraDoubleSpinBox::objectName() const
{
    return QDoubleSpinBox::objectName();
}

PhysicalQuantitiesEnum VelkoraDoubleSpinBox::getPhysicalQuantity()
{
    return core.physicalQuantity;
}

void VelkoraDoubleSpinBox::connected(const ModelSource* model)
{
    showsLastRaw = false;
    core.connect(model, this, &VelkoraDoubleSpinBox::on_deviceLoaded);
}

void VelkoraDoubleSpinBox::on_deviceLoaded()
{
    showsLastRaw = false;
    if (!core.loadMetadata(objectName())) {
        QWidget::setEnabled(false);
        fieldcontract::clearTextIfEmpty(lineEdit(), core);
        return;
    }
    const auto q = core.physicalQuantity;
    // Decimals first: the range ends are rounded to them, as the box rounds its values.
    setDecimals(static_cast<int>(core.units->getTargetUnitDecimalPlaces(q)));
    const double low = core.units->convertToTargetUnit(core.metadata->min, q);
    const double high = core.units->convertToTargetUnit(core.metadata->max, q);
    validMin = rounded(std::min(low, high));
    validMax = rounded(std::max(low, high));
    setRange(-fieldstyle::typingLimit, fieldstyle::typingLimit);
    setSingleStep(core.units->getTargetUnitIncrement(q));
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
}

double VelkoraDoubleSpinBox::rounded(double value) const
{
    return QString::number(value, 'f', decimals()).toDouble();
}

void VelkoraDoubleSpinBox::setServoValue(int raw)
{
    if (!core.isConnected || !core.isDescribed())
        return;
    // Most registers stand still between polls; the formatting below is what a poll costs.
    if (showsLastRaw && core.isValueLoaded && raw == core.lastRaw && value() == lastValue)
        return;
    core.lastRaw = raw;
    const double shown = core.toShown(raw);
    // A value outside the range shows as the range end, marked, with the servo's own in the tip.
    const double showable = std::clamp(shown, validMin, validMax);
    // Setting a value repaints the box even when it does not change; the decoder comes by
    // at every poll, and most values stand still.
    // A forced-off box is kept empty by its paint: filling it again would repaint it every poll.
    if (rounded(showable) != value() || (lineEdit()->text().isEmpty() && !core.isForceDisabled))
        setValue(showable);
    lastValue = value();
    // Half a displayed step of tolerance: the range ends are rounded to the decimals too.
    const double tolerance = 0.5 * std::pow(10.0, -decimals());
    servoOutOfRange = shown < validMin - tolerance || shown > validMax + tolerance;
    servoShown = shown;
    refreshRangeMark();
    // The first value after connecting ends the empty look; later ones repaint when they change.
    if (!core.isValueLoaded) {
        core.isValueLoaded = true;
        update();
    }
    showsLastRaw = true;
}

int VelkoraDoubleSpinBox::getServoValue()
{
    // Unchanged since loaded: exactly what the servo holds, whatever the display rounded.
    if (!core.isDescribed() || (core.isValueLoaded && value() == lastValue))
        return core.lastRaw;
    return core.toRaw(core.units->convertToDefaultUnit(value(), core.physicalQuantity));
}

void VelkoraDoubleSpinBox::on_valueChanged(double value)
{
    fieldcontract::updateDirty(this, core, value != lastValue);
    refreshRangeMark();
}

bool VelkoraDoubleSpinBox::holdsValueOutOfRange() const
{
    return core.isConnected && core.isDescribed() && (value() < validMin || value() > validMax);
}

void VelkoraDoubleSpinBox::setEnabled(bool enable)
{
    fieldcontract::setEnabled(this, core, enable);
}

void VelkoraDoubleSpinBox::forceDisable(bool disable)
{
    if (!fieldcontract::forceDisable(this, core, disable, parentGroupBox && parentGroupBox->isEditing,
                                     [this] {
                                         const QSignalBlocker blocker(this);
                                         setValue(lastValue);
                                     }))
        return;
    showsLastRaw = false;
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
    update();
}

void VelkoraDoubleSpinBox::cancelUpdate()
{
    showsLastRaw = false;
    setValue(lastValue);
    setEnabled(false);
}

void VelkoraDoubleSpinBox::disconnected()
{
    showsLastRaw = false;
    core.disconnect();
    servoOutOfRange = false;
    refreshRangeMark();
    QDoubleSpinBox::setEnabled(false);
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
    update();
}

void VelkoraDoubleSpinBox::processDependencies() {}

void VelkoraDoubleSpinBox::paintEvent(QPaintEvent* event)
{
    if (core.showsNothing())
        showsLastRaw = false;
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
    QDoubleSpinBox::paintEvent(event);
}

void VelkoraDoubleSpinBox::refreshRangeMark()
{
    const bool typed = holdsValueOutOfRange();
    QString tip;
    if (typed) {
        const QString unit = core.units ? core.units->getUnitString(core.physicalQuantity) : QString();
        tip = fieldstyle::typedOutOfRangeToolTip(textFromValue(validMin), textFromValue(validMax), unit);
    } else if (servoOutOfRange) {
        tip = fieldstyle::outOfRangeToolTip(QString::number(servoShown, 'f', decimals()), core.lastRaw);
    }
    fieldstyle::markOutOfRange(this, marked, typed || servoOutOfRange, normalSheet, "QDoubleSpinBox", tip);
    if (typed != typedOutOfRange) {
        typedOutOfRange = typed;
        emit valueRangeChanged(typed);
    }
}

void VelkoraDoubleSpinBox::stepBy(int steps)
{
    if (!core.isDescribed()) {
        QDoubleSpinBox::stepBy(steps);
        return;
    }
    interpretText(); // a value being typed is the one stepped from
    setValue(std::clamp(value() + steps * singleStep(), validMin, validMax));
    selectAll();
}

QAbstractSpinBox::StepEnabled VelkoraDoubleSpinBox::stepEnabled() const
{
    if (!core.isDescribed() || isReadOnly())
        return QDoubleSpinBox::stepEnabled();
    return fieldstyle::stepsWithin(value(), validMin, validMax);
}

QSize VelkoraDoubleSpinBox::sizeHint() const
{
    return fieldstyle::rangeHint(QDoubleSpinBox::sizeHint(), fontMetrics(), minimum(), maximum(), validMin,
                                 validMax, [this](double value) { return textFromValue(value); });
}

QSize VelkoraDoubleSpinBox::minimumSizeHint() const
{
    return fieldstyle::rangeHint(QDoubleSpinBox::minimumSizeHint(), fontMetrics(), minimum(), maximum(),
                                 validMin, validMax, [this](double value) { return textFromValue(value); });
}
