#include "fields/velkoradoublespinbox.h"

#include "fields/valueboxstyle.h"
#include "fields/velkoraparametersgroupbox.h"

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

void VelkoraDoubleSpinBox::connected()
{
    core.connect(this, &VelkoraDoubleSpinBox::on_deviceLoaded);
}

void VelkoraDoubleSpinBox::on_deviceLoaded()
{
    if (!core.loadMetadata(objectName())) {
        QWidget::setEnabled(false);
        fieldcontract::clearTextIfEmpty(lineEdit(), core);
        return;
    }
    const auto q = core.physicalQuantity;
    // Decimals first: changing them afterwards would round the range ends once more.
    setDecimals(static_cast<int>(core.units->getTargetUnitDecimalPlaces(q)));
    const double low = core.units->convertToTargetUnit(core.metadata->min, q);
    const double high = core.units->convertToTargetUnit(core.metadata->max, q);
    setRange(std::min(low, high), std::max(low, high));
    setSingleStep(core.units->getTargetUnitIncrement(q));
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
}

void VelkoraDoubleSpinBox::setServoValue(int raw)
{
    if (!core.isConnected || !core.isDescribed())
        return;
    core.lastRaw = raw;
    const double shown = core.toShown(raw);
    // Setting a value repaints the box even when it does not change; the decoder comes by
    // at every poll, and most values stand still.
    const double rounded = QString::number(shown, 'f', decimals()).toDouble();
    // A forced-off box is kept empty by its paint: filling it again would repaint it every poll.
    if (rounded != value() || (lineEdit()->text().isEmpty() && !core.isForceDisabled))
        setValue(shown);
    lastValue = value();
    // Half a displayed step of tolerance: the range ends are rounded to the decimals too.
    const double tolerance = 0.5 * std::pow(10.0, -decimals());
    markOutOfRange(shown < minimum() - tolerance || shown > maximum() + tolerance, shown);
    // The first value after connecting ends the empty look; later ones repaint when they change.
    if (!core.isValueLoaded) {
        core.isValueLoaded = true;
        update();
    }
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
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
    update();
}

void VelkoraDoubleSpinBox::cancelUpdate()
{
    setValue(lastValue);
    setEnabled(false);
}

void VelkoraDoubleSpinBox::disconnected()
{
    core.disconnect();
    markOutOfRange(false);
    QDoubleSpinBox::setEnabled(false);
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
    update();
}

void VelkoraDoubleSpinBox::processDependencies() {}

void VelkoraDoubleSpinBox::paintEvent(QPaintEvent* event)
{
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
    QDoubleSpinBox::paintEvent(event);
}

void VelkoraDoubleSpinBox::markOutOfRange(bool on, double shown)
{
    fieldstyle::markOutOfRange(this, outOfRange, on, normalSheet, "QDoubleSpinBox", shown, decimals(), core.lastRaw);
}
