#pragma once

#include "core/model/describeddevice.h"
#include "core/model/modelregistry.h"

// The built-in descriptions, read once: the files are many, and tests build models often.
inline std::shared_ptr<const ModelDescription> builtInModel(const char* name)
{
    static const ModelRegistry builtIns;
    return builtIns.byName(QLatin1String(name));
}

// The two built-in models by the names tests knew them by, read from their description files.
class VelkoraV1 : public DescribedDevice
{
public:
    VelkoraV1() : DescribedDevice(builtInModel("v1")) {}
};

class DynamixelAx12 : public DescribedDevice
{
public:
    DynamixelAx12() : DescribedDevice(builtInModel("ax12")) {}
};
