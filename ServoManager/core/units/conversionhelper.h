#pragma once

#include "core/units/physicalquantities.h"

// Converts between the servo's unit of a quantity and the unit the user selected.
// A unit value without a conversion of its own leaves the value as it is.
class ConversionHelper
{
public:
    double convertValue(double value, Angle unit) const;
    double convertValue(double value, AngularVelocity unit) const;
    double convertValue(double value, AngularAcceleration unit) const;
    double convertValue(double value, Torque unit) const;
    double convertValue(double value, Voltage unit) const;
    double convertValue(double value, ElapsedTime unit) const;
    double convertValue(double value, Current unit) const;
    double convertValue(double value, Temperature unit) const;

    double convertValueToDefaultUnit(double value, Angle unit) const;
    double convertValueToDefaultUnit(double value, AngularVelocity unit) const;
    double convertValueToDefaultUnit(double value, AngularAcceleration unit) const;
    double convertValueToDefaultUnit(double value, Torque unit) const;
    double convertValueToDefaultUnit(double value, Voltage unit) const;
    double convertValueToDefaultUnit(double value, ElapsedTime unit) const;
    double convertValueToDefaultUnit(double value, Current unit) const;
    double convertValueToDefaultUnit(double value, Temperature unit) const;
};
