#pragma once

#include <cstdint>

// Display units, one enumeration per quantity that has a unit. Value 0 is the unit the
// servo's register map uses, except for Current: the servo counts milliamperes while 0
// stands for amperes.
enum AngularVelocity : int
{
    RadiansPerSecond = 0,
    RevolutionsPerMinute = 1,
};

enum Angle : int
{
    Radians = 0,
    Degrees = 1,
};

enum AngularAcceleration : int
{
    RadiansPerSecondSquared = 0,
};

enum Torque : int
{
    NewtonMetres = 0,
    KilogramCentimetres = 1,
};

enum Voltage : int
{
    Volts = 0,
};

enum Current : int
{
    Amps = 0,
    MilliAmps = 1,
};

enum Temperature : int
{
    Celsius = 0,
    Fahrenheit = 1,
};

enum ElapsedTime : int
{
    Microseconds = 0,
};

// The user's unit choice; an immutable snapshot once handed out.
struct PhysicalQuantities
{
    int32_t angularVelocity = 0;
    int32_t angle = 0;
    int32_t angularAcceleration = 0;
    int32_t torque = 0;
    int32_t voltage = 0;
    int32_t current = 0;
    int32_t temperature = 0;
    int32_t returnDelay = 0;
    int32_t servoData = 0; // 0 hexadecimal, 1 decimal
};

// How values of one quantity are shown in one unit.
struct UnitPresentation
{
    int32_t unit;
    const char* unitString; // UTF-8; empty when the quantity has no unit
    int32_t decimalPlaces;
    double step;
};

// Quantities 0 to 16 have rows; two per quantity, indexed by quantity * 2 + unit.
constexpr int unitTableQuantities = 25;
constexpr int unitsPerQuantity = 2;
extern const UnitPresentation physicalQuantityDefaults[unitTableQuantities * unitsPerQuantity];
