#pragma once

#include <cstdint>

// All bits of a register of `size` bytes (at most 4).
inline uint32_t registerMask(int size)
{
    return size >= 4 ? 0xFFFFFFFF : (uint32_t(1) << (8 * size)) - 1;
}
