#include "fields/fieldcore.h"

#include "bus/devicehelper.h"
#include "device/fieldmetadefs.h"
#include "device/rangemap.h"
#include "fields/objecthelper.h"
#include "mainwindow.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <stdexcept>

PhysicalQuantitiesEnum FieldCore::lookUpQuantity(const QString& name)
{
    return FieldStaticMetadataHelper().getFieldStaticMetadata(name)->physicalQuantity;
}

std::shared_ptr<UnitsHelper> FieldCore::currentUnits()
{
    MainWindow* window = ObjectHelper::getMainWindowHandle();
    auto units = window ? window->getPhysicalQuantityUnits() : nullptr;
    return std::make_shared<UnitsHelper>(units ? units : std::make_shared<PhysicalQuantities>());
}

void FieldCore::listen(QObject* receiver, std::function<void()> onLoaded)
{
    disconnect();
    auto deviceHelper = DeviceHelper::getInstance();
    _deviceConnection = QObject::connect(deviceHelper.get(), &DeviceHelper::loadDeviceMetadata, receiver,
                                         std::move(onLoaded));
}

void FieldCore::disconnect()
{
    if (_deviceConnection)
        QObject::disconnect(_deviceConnection);
    _deviceConnection = {};
    isConnected = false;
    isValueLoaded = false;
    isForceDisabled = false;
    isDirty = false;
}

bool FieldCore::loadMetadata(const QString& name)
{
    metadata.reset();
    const auto device = DeviceHelper::getInstance()->getDevice();
    return device && loadMetadata(name, *device);
}

bool FieldCore::loadMetadata(const QString& name, const IDevice& device)
{
    metadata.reset();
    try {
        auto record = device.getFieldDeviceMetadata(name);
        // A record without a raw span cannot map values; treat it as not described.
        if (record && (record->rawMax != record->rawMin || record->max == record->min))
            metadata = std::move(record);
    } catch (const std::out_of_range&) {
        // This model has no such value: the field stays empty.
    }
    return metadata != nullptr;
}

double FieldCore::toPhysical(int raw, bool offsetByRawMin) const
{
    return rawToPhysical(metadata.get(), raw, offsetByRawMin);
}

int FieldCore::toRaw(double physical, bool offsetByRawMin) const
{
    return physicalToRaw(metadata.get(), physical, offsetByRawMin);
}

namespace fieldstyle {
const char* const warningColour = "#C62828";

QString outOfRangeToolTip(const QString& shown, int raw)
{
    return QCoreApplication::translate(
               "FieldCore", "The servo holds %1 (raw value %2), outside the range this field can show.")
        .arg(shown)
        .arg(raw);
}

void markOutOfRange(QWidget* box, bool& marked, bool on, const char* normalSheet, const char* widgetClass,
                    double shown, int decimals, int raw)
{
    if (on) {
        if (!marked)
            box->setStyleSheet(QString::fromLatin1(normalSheet) +
                               QStringLiteral("%1:enabled, %1:disabled { color: %2; }")
                                   .arg(QLatin1String(widgetClass), QLatin1String(warningColour)));
        const QString tip = outOfRangeToolTip(QString::number(shown, 'f', decimals), raw);
        if (tip != box->toolTip())
            box->setToolTip(tip);
    } else if (marked) {
        box->setStyleSheet(QString::fromLatin1(normalSheet));
        box->setToolTip({});
    }
    marked = on;
}

QString unknownValueToolTip(int raw)
{
    return QCoreApplication::translate("FieldCore",
                                       "The servo holds the value %1, which is not in this list.")
        .arg(raw);
}
} // namespace fieldstyle
