#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A model no code knows, for playing a description: its own baud codes (3 is 57600 baud), a
// non-volatile area closed while the motor is on (with a setting after the live values), a four-byte
// signed position.
namespace madeup {

constexpr int ModelNumber = 4242;
constexpr int Firmware = 7;
constexpr int IdAddress = 3, BaudAddress = 4, TorqueAddress = 6, MotorAddress = 10;
constexpr int GoalAddress = 12, PresentAddress = 16, MovingAddress = 20, VoltageAddress = 21;
constexpr int VelocityAddress = 22, OffsetAddress = 24, TableLength = 26;
constexpr int PresentDefault = -500, VoltageDefault = 120, TorqueDefault = 800, OffsetDefault = 50;

inline QByteArray description(bool bigEndian, int protocol = 2)
{
    return QByteArrayLiteral(R"({
  "format": "velkora-servo-model", "version": 1, "name": "madeup", "caption": "Made-up servo",
  "modelNumbers": [4242, 4243], "protocols": [)") +
           QByteArray::number(protocol) + QByteArrayLiteral(R"(], "byteOrder": ")") +
           (bigEndian ? "big" : "little") + QByteArrayLiteral(R"(", "tableLength": 26,
  "factory": {"id": 1, "baudRate": 57600},
  "baudCodes": {"1": 1000000, "3": 57600},
  "nonVolatile": {"motorOff": true},
  "resetOptions": ["all", "allButId", "allButIdAndBaudRate"],
  "entries": [
    {"key": "modelNumber", "caption": "Model number", "address": 0, "size": 2, "access": "read",
     "area": "state", "role": "modelNumber", "default": 4242},
    {"key": "firmware", "caption": "Firmware", "address": 2, "size": 1, "access": "read", "area": "state",
     "role": "firmware", "default": 7},
    {"key": "id", "caption": "Id", "address": 3, "size": 1, "access": "readWrite", "area": "nonVolatile",
     "role": "id", "default": 1},
    {"key": "baudRate", "caption": "Baud rate", "address": 4, "size": 1, "access": "readWrite",
     "area": "nonVolatile", "role": "baudRate", "default": 3},
    {"key": "maxTorque", "caption": "Maximum torque", "address": 6, "size": 2, "access": "readWrite",
     "area": "nonVolatile", "default": 800},
    {"key": "motorEnable", "caption": "Motor enable", "address": 10, "size": 1, "access": "readWrite",
     "area": "command", "rawMin": 0, "rawMax": 1, "role": "motorEnable"},
    {"key": "goalPosition", "caption": "Goal position", "address": 12, "size": 4, "access": "readWrite",
     "area": "volatile", "sign": "twosComplement", "rawMin": -100000, "rawMax": 100000,
     "role": "goalPosition"},
    {"key": "presentPosition", "caption": "Present position", "address": 16, "size": 4, "access": "read",
     "area": "state", "sign": "twosComplement", "rawMin": -100000, "rawMax": 100000,
     "role": "presentPosition", "default": -500},
    {"key": "moving", "caption": "Moving", "address": 20, "size": 1, "access": "read", "area": "state",
     "rawMin": 0, "rawMax": 1, "role": "moving"},
    {"key": "presentVoltage", "caption": "Present voltage", "address": 21, "size": 1, "access": "read",
     "area": "state", "role": "presentVoltage", "default": 120},
    {"key": "presentVelocity", "caption": "Present velocity", "address": 22, "size": 2, "access": "read",
     "area": "state", "sign": "twosComplement", "role": "presentVelocity"},
    {"key": "homeOffset", "caption": "Home offset", "address": 24, "size": 2, "access": "readWrite",
     "area": "nonVolatile", "sign": "twosComplement", "default": 50}
  ]
})");
}

// Writes the description to `path`; false when it cannot.
inline bool writeDescription(const QString& path, bool bigEndian = false, int protocol = 2)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(description(bigEndian, protocol)) > 0;
}

// `value` as `size` bytes in the model's byte order.
inline QByteArray bytes(qint64 value, int size, bool bigEndian)
{
    QByteArray out;
    for (int i = 0; i < size; ++i)
        out.append(char((quint64(value) >> (8 * (bigEndian ? size - 1 - i : i))) & 0xFF));
    return out;
}

} // namespace madeup
