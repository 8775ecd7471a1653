#include "core/protocol/baudrates.h"

#include <array>
#include <cstddef>

namespace {
constexpr std::array<int, baudrates::count> codes = {207, 103, 51, 34, 16, 9, 7, 4, 3, 1, 0};
constexpr std::array<int, baudrates::count> rates = {9600,   19200,  38400,  57600,   115200, 200000,
                                                     250000, 400000, 500000, 1000000, 2000000};
constexpr int defaultIndex = 9; // 1 000 000 baud, what a new servo runs at

int positionOf(const std::array<int, baudrates::count>& list, int value)
{
    for (int i = 0; i < baudrates::count; ++i) {
        if (list[static_cast<std::size_t>(i)] == value)
            return i;
    }
    return -1;
}
} // namespace

namespace baudrates {
int indexOfCode(int code)
{
    const int index = positionOf(codes, code);
    return index >= 0 ? index : defaultIndex;
}

int codeAtIndex(int index)
{
    return index >= 0 && index < count ? codes[static_cast<std::size_t>(index)] : codes[defaultIndex];
}

int rateOfCode(int code)
{
    const int index = positionOf(codes, code);
    return index >= 0 ? rates[static_cast<std::size_t>(index)] : 0;
}

int codeOfRate(int rate)
{
    const int index = positionOf(rates, rate);
    return index >= 0 ? codes[static_cast<std::size_t>(index)] : -1;
}
} // namespace baudrates
