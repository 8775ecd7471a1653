#include "core/model/fieldbounds.h"

const std::vector<FieldBound>& fieldBounds()
{
    // Clockwise is the lower angle limit: the V1's runs from -π, the AX-12's from 0°.
    static const std::vector<FieldBound> bounds{
        {"minVoltageLimitDoubleSpinBox", true, "maxVoltageLimitDoubleSpinBox", false},
        {"clockwiseLimitDoubleSpinBox", true, "counterClockwiseLimitDoubleSpinBox", false},
        {"minVoltageLimitDoubleSpinBox", true, "actualVoltageLineEdit", true},
        {"maxVoltageLimitDoubleSpinBox", false, "actualVoltageLineEdit", true},
        {"temperatureLimitDoubleSpinBox", false, "actualTemperatureLineEdit", true},
    };
    return bounds;
}

std::vector<BrokenBound> boundsBrokenBy(const std::function<std::optional<double>(const QString&)>& valueOf,
                                        const std::function<bool(const QString&)>& written)
{
    std::vector<BrokenBound> broken;
    for (const FieldBound& bound : fieldBounds()) {
        const QString field = QString::fromLatin1(bound.field);
        const QString other = QString::fromLatin1(bound.other);
        if (!written(field) && (bound.otherIsReading || !written(other)))
            continue;
        const std::optional<double> value = valueOf(field);
        const std::optional<double> otherValue = valueOf(other);
        if (!value || !otherValue)
            continue;
        if (bound.atMost ? *value > *otherValue : *value < *otherValue)
            broken.push_back({&bound, *value, *otherValue});
    }
    return broken;
}
