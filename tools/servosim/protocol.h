#pragma once

#include <QByteArray>

namespace servosim {

// Instruction codes of the bus protocol.
namespace instruction {
constexpr quint8 Ping = 0x01;
constexpr quint8 Read = 0x02;
constexpr quint8 Write = 0x03;
constexpr quint8 RegWrite = 0x04;
constexpr quint8 Action = 0x05;
constexpr quint8 FactoryReset = 0x06;
constexpr quint8 Reboot = 0x08;
constexpr quint8 Status = 0x55;
} // namespace instruction

// Error numbers of a status packet (bits 0-6) and the alert flag.
namespace error {
constexpr quint8 None = 0;
constexpr quint8 Instruction = 2;
constexpr quint8 Crc = 3;
constexpr quint8 DataRange = 4;
constexpr quint8 DataLength = 5;
constexpr quint8 DataLimit = 6;
constexpr quint8 Access = 7;
constexpr quint8 Alert = 0x80;
} // namespace error

// Factory reset options.
namespace resetOption {
constexpr quint8 All = 0xFF;
constexpr quint8 KeepId = 0x01;
constexpr quint8 KeepIdAndBaud = 0x02;
} // namespace resetOption

constexpr quint8 BroadcastId = 0xFE;
constexpr int HeaderSize = 7;      // FF FF FD 00, id, length (2)
constexpr int StatusOverhead = 11; // header, instruction, error, CRC around the parameters

// "FF FF FD 00 id len 0x55 error params crc".
QByteArray statusPacket(quint8 id, quint8 errorByte, const QByteArray& params = {});
// "FF FF FD 00 id len instruction params crc"; what a client sends.
QByteArray instructionPacket(quint8 id, quint8 instruction, const QByteArray& params = {});
// The header that starts every packet.
QByteArray packetHeader();

// Baud-rate register codes: rate = 2,000,000 / (code + 1), rounded to the nominal rate.
// Both return -1 for a code or rate the servos do not support.
int baudRateForCode(int code);
int codeForBaudRate(int baudRate);

// Emulated time on the line: 10 bits per byte (8N1), in microseconds, rounded up.
qint64 lineTimeUs(int bytes, int baudRate);

} // namespace servosim
