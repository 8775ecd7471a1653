#pragma once

#include <QByteArray>
#include <QString>

namespace servosim {

// Instruction codes; Protocol 1 uses the same ones (it has no status instruction).
namespace instruction {
constexpr quint8 Ping = 0x01;
constexpr quint8 Read = 0x02;
constexpr quint8 Write = 0x03;
constexpr quint8 RegWrite = 0x04;
constexpr quint8 Action = 0x05;
constexpr quint8 FactoryReset = 0x06;
constexpr quint8 Reboot = 0x08;
constexpr quint8 Status = 0x55;
// Group instructions, always broadcast. Feetech servos take sync read and write in Protocol 1's packet
// form; Protocol 2 has them all. The fast reads are answered in one combined status packet.
constexpr quint8 SyncRead = 0x82;
constexpr quint8 SyncWrite = 0x83;
constexpr quint8 FastSyncRead = 0x8A;
constexpr quint8 BulkRead = 0x92;
constexpr quint8 FastBulkRead = 0x9A;
} // namespace instruction

// The protocols a servo speaks: Protocol 1 and 2, and Feetech's flavour of Protocol 1 (its packet form,
// its own instructions and error bits).
namespace protocolNumber {
constexpr int P1 = 1;
constexpr int P2 = 2;
constexpr int Feetech = 3;
} // namespace protocolNumber
// The packet form a protocol's servos hear and answer in: 1 for Protocol 1 and Feetech, else 2.
inline int packetForm(int protocol)
{
    return protocol == protocolNumber::Feetech ? protocolNumber::P1 : protocol;
}
// As the command line and the messages name it: 1, 2 or feetech.
QString protocolName(int protocol);

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

// Protocol 1 error byte: one bit per condition, several may be set at once.
namespace errorP1 {
constexpr quint8 None = 0;
constexpr quint8 InputVoltage = 0x01;
constexpr quint8 AngleLimit = 0x02;
constexpr quint8 Overheating = 0x04;
constexpr quint8 Range = 0x08;    // value out of range, or a write to a read-only address or past the table
constexpr quint8 Checksum = 0x10; // the request's checksum did not match
constexpr quint8 Overload = 0x20;
constexpr quint8 Instruction = 0x40; // unknown instruction, or a packet length that does not fit it
} // namespace errorP1

// Feetech's error byte: the servo's alarms (its status register), no refusals. Bit 4 is unused.
namespace errorFeetech {
constexpr quint8 Voltage = 0x01;
constexpr quint8 Sensor = 0x02;
constexpr quint8 Temperature = 0x04;
constexpr quint8 Current = 0x08;
constexpr quint8 Overload = 0x20;
constexpr quint8 Alarms[] = {Voltage, Sensor, Temperature, Current, Overload};
} // namespace errorFeetech

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

// Protocol 1: "FF FF id length instruction-or-error params checksum", length = params + 2.
constexpr int HeaderSizeP1 = 4;     // FF FF, id, length
constexpr int StatusOverheadP1 = 6; // header, error, checksum around the parameters
constexpr int MaxParamsP1 = 253;    // the length byte holds params + 2
// Complement of the low byte of the sum of `body`: id, length, instruction (or error) and params.
quint8 checksumP1(const QByteArray& body);
// "FF FF id len error params checksum". Empty for more than MaxParamsP1 parameters.
QByteArray statusPacketP1(quint8 id, quint8 errorByte, const QByteArray& params = {});
// "FF FF id len instruction params checksum"; what a client sends. Empty for more than MaxParamsP1
// parameters.
QByteArray instructionPacketP1(quint8 id, quint8 instruction, const QByteArray& params = {});
// The two bytes that start every Protocol 1 packet.
QByteArray packetHeaderP1();

// Baud-rate register codes: rate = 2,000,000 / (code + 1), rounded to the nominal rate.
// Both return -1 for a code or rate the servos do not support.
int baudRateForCode(int code);
int codeForBaudRate(int baudRate);

// Emulated time on the line: 10 bits per byte (8N1), in microseconds, rounded up.
qint64 lineTimeUs(int bytes, int baudRate);

} // namespace servosim
