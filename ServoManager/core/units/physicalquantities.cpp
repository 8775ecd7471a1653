#include "core/units/physicalquantities.h"

const UnitPresentation physicalQuantityDefaults[unitTableQuantities * unitsPerQuantity] = {
    // 0 angular velocity
    {0, "rad/s", 2, 0.1},
    {1, "rpm", 1, 1.0},
    // 1 angle; a radian step is one count of a 4096-count turn
    {0, "radians", 3, 0.0015339807878856412},
    {1, "degrees", 2, 0.1},
    // 2 angular acceleration
    {0, u8"rad/s²", 2, 0.01},
    {1, "", 0, 0.0},
    // 3 torque
    {0, "Nm", 2, 0.1},
    {1, "kg-cm", 2, 0.1},
    // 4 voltage
    {0, "V", 1, 0.5},
    {1, "", 0, 0.0},
    // 5 current
    {0, "A", 3, 0.1},
    {1, "mA", 0, 1.0},
    // 6 temperature
    {0, u8"°C", 0, 1.0},
    {1, u8"°F", 1, 1.0},
    // 7 elapsed time
    {0, u8"μs", 0, 1.0},
    {1, "", 0, 0.0},
    // 8 servo id
    {0, "", 0, 1.0},
    {1, "", 0, 0.0},
    // 9 position proportional term
    {0, "", 1, 0.1},
    {1, "", 0, 0.0},
    // 10 velocity feed-forward term
    {0, "", 2, 0.1},
    {1, "", 0, 0.0},
    // 11 current feed-forward term
    {0, "", 2, 0.1},
    {1, "", 0, 0.0},
    // 12 reserved
    {0, "", 0, 1.0},
    {1, "", 0, 0.0},
    // 13 velocity proportional term
    {0, "", 2, 0.01},
    {1, "", 0, 0.0},
    // 14 velocity integral term
    {0, "", 2, 0.01},
    {1, "", 0, 0.0},
    // 15 angular velocity profile
    {0, "rad/s", 1, 0.1},
    {1, "", 0, 0.0},
    // 16 acceleration profile
    {0, u8"rad/s²", 1, 0.1},
    {1, "", 0, 0.0},
    // 17 to 23: model number, baud rate, modes, direction, unitless, caption only
    {0, "", 0, 1.0}, {1, "", 0, 0.0},
    {0, "", 0, 1.0}, {1, "", 0, 0.0},
    {0, "", 0, 1.0}, {1, "", 0, 0.0},
    {0, "", 0, 1.0}, {1, "", 0, 0.0},
    {0, "", 0, 1.0}, {1, "", 0, 0.0},
    {0, "", 0, 1.0}, {1, "", 0, 0.0},
    {0, "", 0, 1.0}, {1, "", 0, 0.0},
    // 24 per cent of a maximum; a step is one of 1023 counts
    {0, "%", 1, 0.1},
    {1, "", 0, 0.0},
};
