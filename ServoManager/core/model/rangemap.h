#pragma once

#include "core/model/idevice.h"

// The linear map of a field's range: raw values rawMin..rawMax stand for min..max in the
// default unit. Without a range (null, or an empty span) values pass as they are. Without
// `offsetByRawMin` raw values are scaled from zero (the integer spin boxes' map).
double rawToPhysical(const FieldDeviceMetadata* range, int raw, bool offsetByRawMin = true);
// The nearest raw step, never outside the range: the text shown for a raw value, typed back,
// gives a raw value that shows the same text.
int physicalToRaw(const FieldDeviceMetadata* range, double physical, bool offsetByRawMin = true);
