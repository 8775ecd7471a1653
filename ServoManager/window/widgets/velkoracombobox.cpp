#include "window/widgets/velkoracombobox.h"

#include "window/widgets/comboplaceholder.h"
#include "window/widgets/velkoraparametersgroupbox.h"

#include <QListView>
#include <QSignalBlocker>

#include <exception>

VelkoraComboBox::VelkoraComboBox(QWidget* parent)
    : QComboBox(parent), parentGroupBox(qobject_cast<VelkoraParametersGroupBox*>(parent)),
      listView(std::make_shared<QListView>())
{
    // The combo box takes the view into its own popup; it stays owned here.
    setView(listView.get());
    setEditable(false);
    setStyleSheet(comboplaceholder::offlineSheet);
    connect(this, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &VelkoraComboBox::on_currentIndexChanged);
}

void VelkoraComboBox::setObjectName(const QString& name)
{
    core.physicalQuantity = FieldCore::lookUpQuantity(name);
    QComboBox::setObjectName(name);
}

QString VelkoraComboBox::objectName() const
{
    return QComboBox::objectName();
}

PhysicalQuantitiesEnum VelkoraComboBox::getPhysicalQuantity()
{
    return core.physicalQuantity;
}

void VelkoraComboBox::connected(const ModelSource* model)
{
    if (!core.isConnected)
        setStyleSheet(comboplaceholder::onlineSheet);
    core.connect(model, this, &VelkoraComboBox::on_deviceLoaded);
    comboplaceholder::setOffered(this, listView.get(), false);
}

void VelkoraComboBox::on_deviceLoaded()
{
    if (!core.loadMetadata(objectName())) {
        // A value this model does not have: no item of another model's may stay selected.
        QWidget::setEnabled(false);
        const QSignalBlocker blocker(this);
        lastValue = comboplaceholder::index(this);
        setCurrentIndex(lastValue);
        core.isValueLoaded = false;
        markUnknown(false);
    }
    update();
}

void VelkoraComboBox::setServoValue(int raw)
{
    if (!core.isConnected || !core.isDescribed())
        return;
    // Only a change repaints: the decoder comes by at every poll.
    const bool changed = !core.isValueLoaded || raw != core.lastRaw;
    core.lastRaw = raw;
    const int placeholder = comboplaceholder::index(this);
    const bool known = raw >= 0 && raw < placeholder;
    setCurrentIndex(known ? raw : placeholder);
    lastValue = currentIndex();
    markUnknown(!known);
    core.isValueLoaded = true;
    if (changed)
        update();
}

int VelkoraComboBox::getServoValue()
{
    // Untouched, or still at the placeholder: what the servo holds, even outside the list.
    if (!core.isDescribed() || (core.isValueLoaded && currentIndex() == lastValue) ||
        currentIndex() == comboplaceholder::index(this) || currentIndex() < 0)
        return core.lastRaw;
    return currentIndex();
}

void VelkoraComboBox::on_currentIndexChanged(int index)
{
    fieldcontract::updateDirty(this, core, index != lastValue && index != comboplaceholder::index(this));
}

void VelkoraComboBox::setEnabled(bool enable)
{
    fieldcontract::setEnabled(this, core, enable);
}

void VelkoraComboBox::forceDisable(bool disable)
{
    if (!fieldcontract::forceDisable(this, core, disable, parentGroupBox && parentGroupBox->isEditing,
                                     [this] {
                                         const QSignalBlocker blocker(this);
                                         setCurrentIndex(lastValue);
                                     }))
        return;
    update();
}

void VelkoraComboBox::cancelUpdate()
{
    setCurrentIndex(lastValue);
    setEnabled(false);
}

void VelkoraComboBox::disconnected()
{
    if (core.isConnected)
        setStyleSheet(comboplaceholder::offlineSheet);
    core.disconnect();
    lastValue = comboplaceholder::index(this);
    cancelUpdate();
    QComboBox::setEnabled(false);
    {
        QSignalBlocker blocker(this);
        setCurrentIndex(lastValue);
    }
    markUnknown(false);
    comboplaceholder::setOffered(this, listView.get(), true);
    update();
}

void VelkoraComboBox::processDependencies()
{
    if (_dependency && core.isDescribed())
        _dependency->process();
}

void VelkoraComboBox::paintEvent(QPaintEvent* event)
{
    if (unknownValue && core.isConnected && !core.isForceDisabled) {
        comboplaceholder::paintWithText(this, tr("Unknown (%1)").arg(core.lastRaw));
        return;
    }
    if (core.showsNothing()) {
        comboplaceholder::paintWithText(this, tr("-"));
        return;
    }
    QComboBox::paintEvent(event);
}

void VelkoraComboBox::markUnknown(bool unknown)
{
    unknownValue = unknown;
    const QString tip = unknown ? fieldstyle::unknownValueToolTip(core.lastRaw) : QString();
    if (tip != toolTip())
        setToolTip(tip);
}
