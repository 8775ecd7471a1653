#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <vector>

// How values of a servo bound one another: a minimum must not pass its maximum, and a limit
// should not be one that what the servo reads now already breaks. This is knowledge of the
// servo models, kept here by field name (both models name these fields alike).
struct FieldBound
{
    const char* field; // the bounded setting
    bool atMost;       // `field` must be at most `other` (else at least)
    const char* other; // another setting, or a reading of the servo
    bool otherIsReading;
};

const std::vector<FieldBound>& fieldBounds();

// A bound that a write would leave broken, with both values in their default unit.
struct BrokenBound
{
    const FieldBound* bound;
    double value;
    double otherValue;
};

// The bounds broken once a write is done. `valueOf` gives a field's value (default unit) as it
// will then be, or nothing when the model has no such value; `written` tells whether the write
// sets the field. Only a bound on a setting the write sets counts: contradictions the servo
// already held are not asked about at every Apply.
std::vector<BrokenBound> boundsBrokenBy(const std::function<std::optional<double>(const QString&)>& valueOf,
                                        const std::function<bool(const QString&)>& written);
