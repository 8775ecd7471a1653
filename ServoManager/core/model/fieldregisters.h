#pragma once

#include "core/model/idevice.h"

#include <vector>

// Where each model keeps the edit view's fields: the one list of the models' field addresses,
// without anything of the program's widgets, so the simulator can read it too.
std::vector<FieldRegister> velkoraV1FieldRegisters();
// All bits of a little-endian register of `size` bytes (at most 4).
inline uint32_t registerMask(int size)
{
    return size >= 4 ? 0xFFFFFFFF : (uint32_t(1) << (8 * size)) - 1;
}
std::vector<FieldRegister> ax12FieldRegisters();
