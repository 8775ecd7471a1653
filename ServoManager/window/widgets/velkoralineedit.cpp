#include "window/widgets/velkoralineedit.h"

#include "core/model/idevice.h"
#include "core/model/modeldescription.h"
#include "core/model/modelsource.h"

#include <QLocale>

VelkoraLineEdit::VelkoraLineEdit(QWidget* parent) : QLineEdit(parent)
{
    // Enabled only while it shows live values, drawn dark then: greyed is for what is not live
    // (offline, or the servo stopped answering and the view is disabled). Never typed into.
    setReadOnly(true);
    setFocusPolicy(Qt::ClickFocus);
    setStyleSheet(QStringLiteral("QLineEdit { background-color: #ECEAE9; color: #1C1B1F; }"
                                 "QLineEdit:disabled { color: #5C5C61; }"));
}

void VelkoraLineEdit::setObjectName(const QString& name)
{
    core.physicalQuantity = FieldCore::lookUpQuantity(name);
    QLineEdit::setObjectName(name);
}

QString VelkoraLineEdit::objectName() const
{
    return QLineEdit::objectName();
}

PhysicalQuantitiesEnum VelkoraLineEdit::getPhysicalQuantity()
{
    return core.physicalQuantity;
}

void VelkoraLineEdit::connected(const ModelSource* model)
{
    source = model;
    shownTextValid = false;
    core.connect(model, this, &VelkoraLineEdit::on_deviceLoaded);
}

void VelkoraLineEdit::on_deviceLoaded()
{
    shownTextValid = false;
    const bool described = core.loadMetadata(objectName());
    if (!described)
        clear();
    QLineEdit::setEnabled(described);
}

QString VelkoraLineEdit::formatValue(int raw) const
{
    const PhysicalQuantitiesEnum quantity = core.physicalQuantity;
    const int q = static_cast<int>(quantity);
    if (q >= 0 && q <= static_cast<int>(PhysicalQuantitiesEnum::AccelerationProfile))
        return QStringLiteral("%L1").arg(core.toShown(raw), 1, 'f',
                                         static_cast<int>(core.units->getTargetUnitDecimalPlaces(quantity)));
    // Series and variant where the model numbers its models so (the V1's 1025 is 4.1); a model
    // number of one byte is only a number.
    const auto device = source ? source->device() : nullptr;
    const ModelEntry* number =
        device ? device->description().entryWithRole(QStringLiteral("modelNumber")) : nullptr;
    if (quantity == PhysicalQuantitiesEnum::ModelNumber && raw >= 256 && number && number->seriesAndVariant)
        return QStringLiteral("%1%2%3").arg(raw / 256).arg(QLocale().decimalPoint()).arg(raw % 256);
    return QString::number(raw);
}

void VelkoraLineEdit::setServoValue(int raw)
{
    if (!core.isConnected || !core.isDescribed())
        return;
    // Formatting with the locale costs more than the rest of a standing value's poll.
    if (!shownTextValid || !core.isValueLoaded || raw != core.lastRaw) {
        shownText = formatValue(raw);
        shownTextValid = true;
    }
    core.lastRaw = raw;
    core.isValueLoaded = true;
    // Every poll: setting the same text again would still lay it out and repaint.
    if (shownText != text())
        setText(shownText);
}

int VelkoraLineEdit::getServoValue()
{
    if (core.isValueLoaded)
        return core.lastRaw;
    bool ok = false;
    const int value = text().toInt(&ok, 10);
    return ok ? value : 0;
}

// Shown values are never edited, so nothing connects the text signals here.
void VelkoraLineEdit::on_valueChanged(const QString& text)
{
    if (!isEnabled())
        return;
    const bool dirty = text != lastValue;
    if (dirty == core.isDirty)
        return;
    core.isDirty = dirty;
    emit setIsDirty(dirty);
}

void VelkoraLineEdit::setEnabled(bool enable)
{
    if (enable)
        lastValue = text();
    QLineEdit::setEnabled(enable);
    core.isDirty = false;
}

void VelkoraLineEdit::forceDisable(bool disable)
{
    QLineEdit::setEnabled(!disable);
}

void VelkoraLineEdit::cancelUpdate()
{
    setText(lastValue);
    setEnabled(false);
}

void VelkoraLineEdit::disconnected()
{
    shownTextValid = false;
    core.disconnect();
    clear();
    QLineEdit::setEnabled(false);
}

void VelkoraLineEdit::processDependencies() {}
