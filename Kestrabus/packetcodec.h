#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// Instruction packets of both bus protocols as plain bytes, so that layout and checksums do not
// depend on a port.
namespace PacketCodec {

enum Instruction : uint8_t
{
    Ping = 0x01,
    Read = 0x02,
    Write = 0x03,
    RegWrite = 0x04,
    Action = 0x05,
    FactoryReset = 0x06,
    Reboot = 0x08,
};

constexpr uint8_t protocol1StartByte = 0xFF;
constexpr uint8_t protocol1IdOffset = 2;
constexpr uint8_t protocol1LengthOffset = 3;
constexpr uint8_t protocol1InstructionOffset = 4;

constexpr uint8_t protocol2StartByte1 = 0xFF;
constexpr uint8_t protocol2StartByte2 = 0xFF;
constexpr uint8_t protocol2StartByte3 = 0xFD;

// The length field is one byte: Protocol 1 counts data + address + instruction + checksum,
// Protocol 2 data + two address bytes + instruction + two CRC bytes.
constexpr int protocol1MaxWriteData = 0xFF - 3;
constexpr int protocol2MaxWriteData = 0xFF - 5;

// FF FF id length instruction parameters checksum; the checksum is the complement of the low byte of
// the sum of id, length, instruction and parameters.
QByteArray protocol1Packet(uint8_t id, uint8_t length, uint8_t instruction, const QByteArray& parameters);

// CRC-16 with polynomial 0x8005, no reflection, no final XOR; continues from the given accumulator.
uint16_t crc16(uint16_t accumulator, const unsigned char* data, std::size_t size);
// FF FF FD 00 id length 00 instruction parameters crc-low crc-high.
QByteArray protocol2Packet(uint8_t id, uint8_t length, uint8_t instruction, const QByteArray& parameters);

} // namespace PacketCodec
