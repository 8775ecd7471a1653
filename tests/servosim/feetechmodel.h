#pragma once

#include <QByteArray>

// A made-up servo of the Feetech flavour: Protocol 1's packets, sync read and write, sign-and-magnitude
// positions, a lock in front of its non-volatile settings and a status register for its alarms.
namespace feetech {

// Model number 4646 at 3, id 5, baud code 6, return delay 7, status return level 8, sign-and-magnitude
// goal position 42 and present position 56 (-100 at power-on), the lock 55, alarms 65.
constexpr int ReturnDelayAddress = 7;

// `instructions`: the group instructions it lists.
inline QByteArray description(bool bigEndian,
                              const QByteArray& instructions = R"("regWrite", "action", "reset", "syncWrite",
                                                                  "syncRead")")
{
    return QByteArrayLiteral(R"({
  "format": "velkora-servo-model", "version": 1, "name": "feetech-test", "caption": "Feetech-like servo",
  "modelNumbers": [4646], "protocols": ["feetech"], "byteOrder": ")") +
           (bigEndian ? "big" : "little") + QByteArrayLiteral(R"(", "tableLength": 70,
  "factory": {"id": 1, "baudRate": 1000000},
  "baudCodes": {"0": 1000000, "1": 500000, "4": 115200},
  "nonVolatile": {"lock": {"key": "lock", "open": 0, "close": 1}},
  "resetOptions": ["allButId"],
  "instructions": [)") +
           instructions + QByteArrayLiteral(R"(],
  "entries": [
    {"key": "modelNumber", "caption": "Model number", "address": 3, "size": 2, "access": "read",
     "area": "state", "role": "modelNumber", "default": 4646},
    {"key": "id", "caption": "Id", "address": 5, "size": 1, "access": "readWrite", "area": "nonVolatile",
     "role": "id", "default": 1},
    {"key": "baudRate", "caption": "Baud rate", "address": 6, "size": 1, "access": "readWrite",
     "area": "nonVolatile", "role": "baudRate", "default": 0},
    {"key": "returnDelay", "caption": "Return delay", "address": 7, "size": 1, "access": "readWrite",
     "area": "nonVolatile", "role": "returnDelay", "default": 0},
    {"key": "statusReturnLevel", "caption": "Status return level", "address": 8, "size": 1,
     "access": "readWrite", "area": "nonVolatile", "rawMin": 0, "rawMax": 1, "role": "statusReturnLevel",
     "default": 1},
    {"key": "goalPosition", "caption": "Goal position", "address": 42, "size": 2, "access": "readWrite",
     "area": "volatile", "sign": "signMagnitude", "signBit": 15, "rawMin": -30719, "rawMax": 30719,
     "role": "goalPosition"},
    {"key": "lock", "caption": "Lock", "address": 55, "size": 1, "access": "readWrite", "area": "volatile",
     "rawMin": 0, "rawMax": 1, "default": 1},
    {"key": "presentPosition", "caption": "Present position", "address": 56, "size": 2, "access": "read",
     "area": "state", "sign": "signMagnitude", "signBit": 15, "rawMin": -30719, "rawMax": 30719,
     "role": "presentPosition", "default": -100},
    {"key": "status", "caption": "Status", "address": 65, "size": 1, "access": "read", "area": "state",
     "role": "hardwareError"}
  ]
})");
}

} // namespace feetech
