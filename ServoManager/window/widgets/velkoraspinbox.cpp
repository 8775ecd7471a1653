#include "window/widgets/velkoraspinbox.h"

#include "window/widgets/valueboxstyle.h"
#include "window/widgets/velkoraparametersgroupbox.h"

#include <QLineEdit>
#include <QSignalBlocker>

#include <algorithm>
#include <cmath>

namespace {
const char* const normalSheet = "QSpinBox:enabled { background-color: white; }"
                                "QSpinBox:disabled { background-color: #ECEAE9; color: #5C5C61; }";
// The integer map scales raw values from zero, not from the model's raw minimum.
constexpr bool offsetByRawMin = false;

// The nearest whole number, as the double spin box rounds to its decimals: typing it back
// gives the nearest raw step, which shows it again (truncating would show one less).
int nearestWhole(double shown)
{
    return static_cast<int>(std::fmin(std::fmax(std::round(shown), INT32_MIN), INT32_MAX));
}
} // namespace

VelkoraSpinBox::VelkoraSpinBox(QWidget* parent)
    : QSpinBox(parent), parentGroupBox(qobject_cast<VelkoraParametersGroupBox*>(parent))
{
    connect(this, QOverload<int>::of(&QSpinBox::valueChanged), this, &VelkoraSpinBox::on_valueChanged);
    // Before the sheet, which then draws through it.
    setStyle(valueBoxStyle());
    setStyleSheet(normalSheet);
}

void VelkoraSpinBox::setObjectName(const QString& name)
{
    core.physicalQuantity = FieldCore::lookUpQuantity(name);
    QSpinBox::setObjectName(name);
}

QString VelkoraSpinBox::objectName() const
{
    return QSpinBox::objectName();
}

PhysicalQuantitiesEnum VelkoraSpinBox::getPhysicalQuantity()
{
    return core.physicalQuantity;
}

void VelkoraSpinBox::connected(const ModelSource* model)
{
    core.connect(model, this, &VelkoraSpinBox::on_deviceLoaded);
}

void VelkoraSpinBox::on_deviceLoaded()
{
    if (!core.loadMetadata(objectName())) {
        QWidget::setEnabled(false);
        fieldcontract::clearTextIfEmpty(lineEdit(), core);
        return;
    }
    const auto q = core.physicalQuantity;
    const int low = nearestWhole(core.units->convertToTargetUnit(core.metadata->min, q));
    const int high = nearestWhole(core.units->convertToTargetUnit(core.metadata->max, q));
    validMin = std::min(low, high);
    validMax = std::max(low, high);
    setRange(-fieldstyle::typingLimit, fieldstyle::typingLimit);
    setSingleStep(std::max(1, static_cast<int>(core.units->getTargetUnitIncrement(q))));
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
}

void VelkoraSpinBox::setServoValue(int raw)
{
    if (!core.isConnected || !core.isDescribed())
        return;
    core.lastRaw = raw;
    const double shown = std::round(core.toShown(raw, offsetByRawMin));
    // Setting a value repaints the box even when it does not change.
    // A value outside the range shows as the range end, marked, with the servo's own in the tip.
    const int whole = std::clamp(nearestWhole(shown), validMin, validMax);
    if (whole != value() || (lineEdit()->text().isEmpty() && !core.isForceDisabled))
        setValue(whole);
    lastValue = value();
    servoOutOfRange = shown < validMin || shown > validMax;
    servoShown = shown;
    refreshRangeMark();
    // The first value after connecting ends the empty look; later ones repaint when they change.
    if (!core.isValueLoaded) {
        core.isValueLoaded = true;
        update();
    }
}

int VelkoraSpinBox::getServoValue()
{
    // Unchanged since loaded: exactly what the servo holds.
    if (!core.isDescribed() || (core.isValueLoaded && value() == lastValue))
        return core.lastRaw;
    return core.toRaw(core.units->convertToDefaultUnit(value(), core.physicalQuantity), offsetByRawMin);
}

void VelkoraSpinBox::on_valueChanged(int value)
{
    fieldcontract::updateDirty(this, core, value != lastValue);
    refreshRangeMark();
}

bool VelkoraSpinBox::holdsValueOutOfRange() const
{
    return core.isConnected && core.isDescribed() && (value() < validMin || value() > validMax);
}

void VelkoraSpinBox::setEnabled(bool enable)
{
    fieldcontract::setEnabled(this, core, enable);
}

void VelkoraSpinBox::forceDisable(bool disable)
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

void VelkoraSpinBox::cancelUpdate()
{
    setValue(lastValue);
    setEnabled(false);
}

void VelkoraSpinBox::disconnected()
{
    core.disconnect();
    servoOutOfRange = false;
    refreshRangeMark();
    QSpinBox::setEnabled(false);
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
    update();
}

void VelkoraSpinBox::processDependencies() {}

void VelkoraSpinBox::paintEvent(QPaintEvent* event)
{
    fieldcontract::clearTextIfEmpty(lineEdit(), core);
    QSpinBox::paintEvent(event);
}

void VelkoraSpinBox::refreshRangeMark()
{
    const bool typed = holdsValueOutOfRange();
    QString tip;
    if (typed) {
        const QString unit = core.units ? core.units->getUnitString(core.physicalQuantity) : QString();
        tip = fieldstyle::typedOutOfRangeToolTip(textFromValue(validMin), textFromValue(validMax), unit);
    } else if (servoOutOfRange) {
        tip = fieldstyle::outOfRangeToolTip(QString::number(servoShown, 'f', 0), core.lastRaw);
    }
    fieldstyle::markOutOfRange(this, marked, typed || servoOutOfRange, normalSheet, "QSpinBox", tip);
    if (typed != typedOutOfRange) {
        typedOutOfRange = typed;
        emit valueRangeChanged(typed);
    }
}

void VelkoraSpinBox::stepBy(int steps)
{
    if (!core.isDescribed()) {
        QSpinBox::stepBy(steps);
        return;
    }
    interpretText(); // a value being typed is the one stepped from
    const qint64 target = qint64(value()) + qint64(steps) * singleStep();
    setValue(int(std::clamp<qint64>(target, validMin, validMax)));
    selectAll();
}

QAbstractSpinBox::StepEnabled VelkoraSpinBox::stepEnabled() const
{
    if (!core.isDescribed() || isReadOnly())
        return QSpinBox::stepEnabled();
    return fieldstyle::stepsWithin(value(), validMin, validMax);
}

QSize VelkoraSpinBox::sizeHint() const
{
    return fieldstyle::rangeHint(QSpinBox::sizeHint(), fontMetrics(), minimum(), maximum(), validMin,
                                 validMax, [this](int value) { return textFromValue(value); });
}

QSize VelkoraSpinBox::minimumSizeHint() const
{
    return fieldstyle::rangeHint(QSpinBox::minimumSizeHint(), fontMetrics(), minimum(), maximum(), validMin,
                                 validMax, [this](int value) { return textFromValue(value); });
}
