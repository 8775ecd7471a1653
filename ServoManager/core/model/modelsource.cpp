#include "core/model/modelsource.h"

ModelSource::ModelSource(QObject* parent) : QObject(parent) {}

void ModelSource::load(std::shared_ptr<IDevice> device)
{
    _device = std::move(device);
    emit loaded();
}
