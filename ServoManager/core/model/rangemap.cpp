#include "core/model/rangemap.h"

#include <algorithm>
#include <climits>
#include <cmath>

double rawToPhysical(const FieldDeviceMetadata* range, int raw, bool offsetByRawMin)
{
    if (!range)
        return raw;
    const auto span = static_cast<double>(int64_t(range->rawMax) - range->rawMin);
    if (span == 0)
        return raw;
    const double offset = static_cast<double>(offsetByRawMin ? int64_t(raw) - range->rawMin : raw);
    return (range->max - range->min) * offset / span + range->min;
}

int physicalToRaw(const FieldDeviceMetadata* range, double physical, bool offsetByRawMin)
{
    // fmin/fmax also turn a NaN into a bound; the cast is then always defined.
    const auto nearestIn = [](double raw, double low, double high) {
        return static_cast<int>(std::fmin(std::fmax(std::round(raw), low), high));
    };
    if (!range || range->max == range->min)
        return nearestIn(physical, INT_MIN, INT_MAX);
    const auto span = static_cast<double>(int64_t(range->rawMax) - range->rawMin);
    double raw = span * (physical - range->min) / (range->max - range->min);
    if (offsetByRawMin)
        raw += range->rawMin;
    return nearestIn(raw, std::min(range->rawMin, range->rawMax), std::max(range->rawMin, range->rawMax));
}
