#include "core/model/fieldcore.h"

#include "core/model/fieldmetadefs.h"
#include "core/model/modelsource.h"
#include "core/model/rangemap.h"
#include "core/settings/settingshelper.h"

#include <stdexcept>

PhysicalQuantitiesEnum FieldCore::lookUpQuantity(const QString& name)
{
    return FieldStaticMetadataHelper().getFieldStaticMetadata(name)->physicalQuantity;
}

std::shared_ptr<UnitsHelper> FieldCore::currentUnits()
{
    return std::make_shared<UnitsHelper>(std::make_shared<PhysicalQuantities>(storedUnits()));
}

void FieldCore::listen(const ModelSource* model, QObject* receiver, std::function<void()> onLoaded)
{
    disconnect();
    _model = model;
    if (model)
        _modelConnection = QObject::connect(model, &ModelSource::loaded, receiver, std::move(onLoaded));
}

void FieldCore::disconnect()
{
    if (_modelConnection)
        QObject::disconnect(_modelConnection);
    _modelConnection = {};
    _model = nullptr;
    isConnected = false;
    isValueLoaded = false;
    isForceDisabled = false;
    isDirty = false;
}

bool FieldCore::loadMetadata(const QString& name)
{
    metadata.reset();
    const auto device = _model ? _model->device() : nullptr;
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
