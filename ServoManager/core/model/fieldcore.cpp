#include "core/model/fieldcore.h"

#include "core/model/fieldmetadefs.h"
#include "core/model/rangemap.h"
#include "core/session/devicehelper.h"
#include "core/settings/settingshelper.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <stdexcept>

PhysicalQuantitiesEnum FieldCore::lookUpQuantity(const QString& name)
{
    return FieldStaticMetadataHelper().getFieldStaticMetadata(name)->physicalQuantity;
}

namespace {
FieldCore::UnitsSource& unitsSource()
{
    static FieldCore::UnitsSource source;
    return source;
}
} // namespace

void FieldCore::setUnitsSource(UnitsSource source)
{
    unitsSource() = std::move(source);
}

std::shared_ptr<UnitsHelper> FieldCore::currentUnits()
{
    auto units = unitsSource() ? unitsSource()() : nullptr;
    // Before a window gives its choice (its form is built first), the stored one: captions
    // set while the form is built must not name the default units.
    return std::make_shared<UnitsHelper>(units ? units : std::make_shared<PhysicalQuantities>(storedUnits()));
}

void FieldCore::listen(QObject* receiver, std::function<void()> onLoaded)
{
    disconnect();
    // The window's helper: without a window there is no model to follow.
    if (const auto deviceHelper = DeviceHelper::_instance)
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
    const auto device = DeviceHelper::_instance ? DeviceHelper::_instance->getDevice() : nullptr;
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
