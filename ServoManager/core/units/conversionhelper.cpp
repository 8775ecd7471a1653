#include "core/units/conversionhelper.h"

namespace {
constexpr double twoPi = 6.283185307179586;
constexpr double kilogramCentimetresPerNewtonMetre = 10.19716;
constexpr double milliAmpsPerAmp = 1000.0;
} // namespace

double ConversionHelper::convertValue(double value, Angle unit) const
{
    return unit == Degrees ? value * 360.0 / twoPi : value;
}

double ConversionHelper::convertValue(double value, AngularVelocity unit) const
{
    return unit == RevolutionsPerMinute ? value * 60.0 / twoPi : value;
}

double ConversionHelper::convertValue(double value, AngularAcceleration) const
{
    return value;
}

double ConversionHelper::convertValue(double value, Torque unit) const
{
    return unit == KilogramCentimetres ? value * kilogramCentimetresPerNewtonMetre : value;
}

double ConversionHelper::convertValue(double value, Voltage) const
{
    return value;
}

double ConversionHelper::convertValue(double value, ElapsedTime) const
{
    return value;
}

// The servo reports milliamperes, so amperes is the unit that needs a conversion.
double ConversionHelper::convertValue(double value, Current unit) const
{
    return unit == Amps ? value / milliAmpsPerAmp : value;
}

double ConversionHelper::convertValue(double value, Temperature unit) const
{
    return unit == Fahrenheit ? value * 1.8 + 32.0 : value;
}

double ConversionHelper::convertValueToDefaultUnit(double value, Angle unit) const
{
    return unit == Degrees ? value * twoPi / 360.0 : value;
}

double ConversionHelper::convertValueToDefaultUnit(double value, AngularVelocity unit) const
{
    return unit == RevolutionsPerMinute ? value * twoPi / 60.0 : value;
}

double ConversionHelper::convertValueToDefaultUnit(double value, AngularAcceleration) const
{
    return value;
}

double ConversionHelper::convertValueToDefaultUnit(double value, Torque unit) const
{
    return unit == KilogramCentimetres ? value / kilogramCentimetresPerNewtonMetre : value;
}

double ConversionHelper::convertValueToDefaultUnit(double value, Voltage) const
{
    return value;
}

double ConversionHelper::convertValueToDefaultUnit(double value, ElapsedTime) const
{
    return value;
}

double ConversionHelper::convertValueToDefaultUnit(double value, Current unit) const
{
    return unit == Amps ? value * milliAmpsPerAmp : value;
}

double ConversionHelper::convertValueToDefaultUnit(double value, Temperature unit) const
{
    return unit == Fahrenheit ? (value - 32.0) / 1.8 : value;
}
