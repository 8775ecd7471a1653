#include "window/widgets/velkoracheckbox.h"

#include "window/widgets/velkoraparametersgroupbox.h"

#include <QFontMetrics>
#include <QSignalBlocker>

VelkoraCheckBox::VelkoraCheckBox(QWidget* parent)
    : QCheckBox(parent), parentGroupBox(qobject_cast<VelkoraParametersGroupBox*>(parent))
{
    connect(this, &QCheckBox::toggled, this, &VelkoraCheckBox::on_toggled);
}

void VelkoraCheckBox::setText(const QString& text)
{
    QCheckBox::setText(text);
    restyle();
}

void VelkoraCheckBox::restyle()
{
    if (!parentGroupBox)
        return;
    const QRect box = parentGroupBox->geometry();
    const bool red = isChecked() && core.isConnected;
    // The decoder sets every flag on every poll; measuring the text each time costs more than
    // the rest of the poll's fields together.
    const StyleInputs inputs{box.width(), red, core.isForceDisabled, text()};
    if (inputs == _styledFor)
        return;
    _styledFor = inputs;
    const int spacing = (box.right() - box.left()) - fontMetrics().horizontalAdvance(text()) - 39;
    const QString textColour = core.isForceDisabled ? QStringLiteral("#9F9E9E") : QStringLiteral("#4d4c4c");
    QString sheet = QStringLiteral("QCheckBox{spacing:%1px;}"
                                   "QAbstractButton{color:%2;padding-right:2px;}"
                                   "QCheckBox::indicator{width:12px;height:12px;border:1px solid #b8a692;"
                                   "border-radius:3px;background:%3;}")
                        .arg(spacing)
                        .arg(textColour, red ? QStringLiteral("#ff461d") : QStringLiteral("#eceae9"));
    if (!red)
        sheet += QStringLiteral("QCheckBox::indicator:checked{image:url(:/images/checkbox_checked.png);}");
    // An editable box is white, so its tick must show whatever the flag's colour would be.
    sheet += QStringLiteral("QCheckBox::indicator:enabled{border:1px solid rgb(122,122,122);background:white;}"
                            "QCheckBox::indicator:enabled:checked{image:url(:/images/checkbox_checked.png);}");
    // A new sheet re-polishes the widget.
    if (sheet != styleSheet())
        setStyleSheet(sheet);
}

void VelkoraCheckBox::setObjectName(const QString& name)
{
    core.physicalQuantity = FieldCore::lookUpQuantity(name);
    QCheckBox::setObjectName(name);
}

QString VelkoraCheckBox::objectName() const
{
    return QCheckBox::objectName();
}

PhysicalQuantitiesEnum VelkoraCheckBox::getPhysicalQuantity()
{
    return core.physicalQuantity;
}

void VelkoraCheckBox::connected(const ModelSource* model)
{
    core.connect(model, this, &VelkoraCheckBox::on_deviceLoaded);
    restyle();
}

void VelkoraCheckBox::on_deviceLoaded()
{
    if (!core.loadMetadata(objectName())) {
        // A flag this model does not have shows nothing of another model's.
        QWidget::setEnabled(false);
        const QSignalBlocker blocker(this);
        setChecked(false);
        lastValue = false;
        core.isValueLoaded = false;
        restyle();
    }
}

void VelkoraCheckBox::setServoValue(int raw)
{
    if (!core.isConnected || !core.isDescribed())
        return;
    core.lastRaw = raw;
    setChecked(raw != 0);
    lastValue = isChecked();
    core.isValueLoaded = true;
    restyle();
}

int VelkoraCheckBox::getServoValue()
{
    if (!core.isDescribed() || (core.isValueLoaded && isChecked() == lastValue))
        return core.lastRaw;
    return isChecked() ? 1 : 0;
}

void VelkoraCheckBox::on_toggled(bool checked)
{
    restyle();
    fieldcontract::updateDirty(this, core, checked != lastValue);
}

void VelkoraCheckBox::setEnabled(bool enable)
{
    fieldcontract::setEnabled(this, core, enable);
}

void VelkoraCheckBox::forceDisable(bool disable)
{
    if (!fieldcontract::forceDisable(this, core, disable, parentGroupBox && parentGroupBox->isEditing,
                                     [this] {
                                         const QSignalBlocker blocker(this);
                                         setChecked(lastValue);
                                     }))
        return;
    restyle();
}

void VelkoraCheckBox::cancelUpdate()
{
    setChecked(lastValue);
    setEnabled(false);
}

void VelkoraCheckBox::disconnected()
{
    core.disconnect();
    lastValue = false;
    cancelUpdate();
    QCheckBox::setEnabled(false);
    restyle();
}

void VelkoraCheckBox::processDependencies() {}
