#include "window/widgets/velkorabaudratecombobox.h"

#include "core/model/idevice.h"
#include "core/model/modeldescription.h"
#include "core/model/modelsource.h"
#include "window/widgets/comboplaceholder.h"

#include <QListView>
#include <QSignalBlocker>

VelkoraBaudRateComboBox::VelkoraBaudRateComboBox(QWidget* parent)
    : QComboBox(parent), listView(std::make_shared<QListView>())
{
    setView(listView.get());
    setStyleSheet(comboplaceholder::offlineSheet);
    connect(this, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &VelkoraBaudRateComboBox::on_currentIndexChanged);
}

void VelkoraBaudRateComboBox::setObjectName(const QString& name)
{
    core.physicalQuantity = FieldCore::lookUpQuantity(name);
    QComboBox::setObjectName(name);
}

QString VelkoraBaudRateComboBox::objectName() const
{
    return QComboBox::objectName();
}

PhysicalQuantitiesEnum VelkoraBaudRateComboBox::getPhysicalQuantity()
{
    return core.physicalQuantity;
}

void VelkoraBaudRateComboBox::connected(const ModelSource* model)
{
    if (!core.isConnected)
        setStyleSheet(comboplaceholder::onlineSheet);
    source = model;
    // The model is identified after the connect: its rates come with it.
    core.connect(model, this, &VelkoraBaudRateComboBox::on_deviceLoaded);
    offerRatesOf(model);
    comboplaceholder::setOffered(this, listView.get(), false);
}

void VelkoraBaudRateComboBox::on_deviceLoaded()
{
    offerRatesOf(source);
    comboplaceholder::setOffered(this, listView.get(), false);
}

void VelkoraBaudRateComboBox::setServoValue(int raw)
{
    if (!core.isConnected)
        return;
    // Only a change repaints or searches the list: the decoder comes by at every poll.
    const bool changed = !core.isValueLoaded || raw != core.lastRaw;
    if (!changed && foundIndex >= 0 && currentIndex() == foundIndex)
        return;
    core.lastRaw = raw;
    const int index = findData(raw);
    const bool known = index >= 0 && index < comboplaceholder::index(this);
    setCurrentIndex(known ? index : comboplaceholder::index(this));
    lastValue = currentIndex();
    foundIndex = lastValue;
    unknownValue = !known;
    const QString tip = known ? QString() : fieldstyle::unknownValueToolTip(raw);
    if (tip != toolTip())
        setToolTip(tip);
    core.isValueLoaded = true;
    if (changed)
        update();
}

int VelkoraBaudRateComboBox::getServoValue()
{
    const int index = currentIndex();
    if ((core.isValueLoaded && index == lastValue) || index < 0 || index >= comboplaceholder::index(this))
        return core.lastRaw;
    return itemData(index).toInt();
}

void VelkoraBaudRateComboBox::offerRatesOf(const ModelSource* model)
{
    const auto device = model ? model->device() : nullptr;
    if (!device || device->description().baudCodes == offeredCodes)
        return;
    offeredCodes = device->description().baudCodes;
    foundIndex = -1;
    const QSignalBlocker blocker(this);
    clear();
    for (int rate : device->description().baudRates())
        addItem(QString::number(rate), device->description().baudCodeOfRate(rate));
    addItem(QStringLiteral("-"));
    setCurrentIndex(comboplaceholder::index(this));
    lastValue = currentIndex();
}

void VelkoraBaudRateComboBox::on_currentIndexChanged(int index)
{
    fieldcontract::updateDirty(this, core, index != lastValue && index != comboplaceholder::index(this));
}

void VelkoraBaudRateComboBox::setEnabled(bool enable)
{
    if (enable)
        lastValue = currentIndex();
    QComboBox::setEnabled(enable);
    core.isDirty = false;
}

void VelkoraBaudRateComboBox::forceDisable(bool disable)
{
    QComboBox::setEnabled(!disable);
}

void VelkoraBaudRateComboBox::cancelUpdate()
{
    setCurrentIndex(lastValue);
    setEnabled(false);
}

void VelkoraBaudRateComboBox::disconnected()
{
    if (core.isConnected)
        setStyleSheet(comboplaceholder::offlineSheet);
    core.disconnect();
    foundIndex = -1;
    lastValue = comboplaceholder::index(this);
    unknownValue = false;
    setToolTip({});
    cancelUpdate();
    comboplaceholder::setOffered(this, listView.get(), true);
}

void VelkoraBaudRateComboBox::processDependencies() {}

void VelkoraBaudRateComboBox::paintEvent(QPaintEvent* event)
{
    if (unknownValue && core.isConnected) {
        comboplaceholder::paintWithText(this, tr("Unknown (%1)").arg(core.lastRaw));
        return;
    }
    QComboBox::paintEvent(event);
}
