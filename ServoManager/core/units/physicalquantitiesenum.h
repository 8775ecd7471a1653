#pragma once

// The quantity a field presents; the value is the row index into the unit tables.
enum class PhysicalQuantitiesEnum : int
{
    AngularVelocity = 0,
    Angle = 1,
    AngularAcceleration = 2,
    Torque = 3,
    Voltage = 4,
    Current = 5,
    Temperature = 6,
    ElapsedTime = 7,
    ServoId = 8,
    PositionProportionalTerm = 9,
    VelocityFeedforwardTerm = 10,
    CurrentFeedforwardTerm = 11,
    Reserved = 12,
    VelocityProportionalTerm = 13,
    VelocityIntegralTerm = 14,
    AngularVelocityProfile = 15,
    AccelerationProfile = 16,
    ModelNumber = 17,
    BaudRate = 18,
    OperatingMode = 19,
    InputMode = 20,
    Direction = 21,
    Unitless = 22,
    CaptionOnly = 23,
    Percent = 24, // of a servo's maximum (the AX-12's torque and load)
};
