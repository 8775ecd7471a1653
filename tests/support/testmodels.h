#pragma once

#include "core/model/describeddevice.h"
#include "core/model/modelregistry.h"

// The two built-in models by the names tests knew them by, read from their description files.
class VelkoraV1 : public DescribedDevice
{
public:
    VelkoraV1() : DescribedDevice(ModelRegistry().byName(QStringLiteral("v1"))) {}
};

class DynamixelAx12 : public DescribedDevice
{
public:
    DynamixelAx12() : DescribedDevice(ModelRegistry().byName(QStringLiteral("ax12"))) {}
};
