#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <vector>

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
    SyncRead = 0x82,
    SyncWrite = 0x83,
    FastSyncRead = 0x8A,
    BulkRead = 0x92,
    FastBulkRead = 0x9A,
};

// Requests to several servos go to this id; each servo named inside answers for itself.
constexpr uint8_t broadcastId = 0xFE;

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
// Requests to several servos use Protocol 2's whole two-byte length field, but no more than a
// servo's receive buffer is assumed to hold.
constexpr int protocol2MaxMultiLength = 512;

// One servo's part of a bulk read.
struct ReadSpan
{
    uint8_t id;
    uint16_t address;
    uint16_t length;
};

// One servo's part of a sync write.
struct ServoData
{
    uint8_t id;
    QByteArray data;
};

// FF FF id length instruction parameters checksum; the checksum is the complement of the low byte of
// the sum of id, length, instruction and parameters.
QByteArray protocol1Packet(uint8_t id, uint8_t length, uint8_t instruction, const QByteArray& parameters);

// CRC-16 with polynomial 0x8005, no reflection, no final XOR; continues from the given accumulator.
uint16_t crc16(uint16_t accumulator, const unsigned char* data, std::size_t size);
// FF FF FD 00 id length 00 instruction parameters crc-low crc-high.
QByteArray protocol2Packet(uint8_t id, uint8_t length, uint8_t instruction, const QByteArray& parameters);

// Requests to several servos, all to the broadcast id. Each is empty when it cannot be sent as
// asked: no servo, an id named twice, the broadcast id or 0xFF among the ids, nothing to read or
// write, a servo's data of another length than the others', a field too wide for the protocol, or
// more than one packet holds.
//
// Protocol 1 form (also the Feetech one): sync read "address length id…", sync write
// "address length (id data)…", each field one byte.
QByteArray protocol1SyncRead(uint16_t address, uint16_t length, const std::vector<uint8_t>& ids);
QByteArray protocol1SyncWrite(uint16_t address, uint16_t lengthPerServo,
                              const std::vector<ServoData>& servos);
// Protocol 2, addresses and lengths two bytes little-endian: sync read or fast sync read
// "address length id…", bulk read or fast bulk read "(id address length)…", sync write
// "address length (id data)…". `instruction` picks the plain or the fast form; any other
// instruction gives an empty packet.
QByteArray protocol2SyncRead(uint8_t instruction, uint16_t address, uint16_t length,
                             const std::vector<uint8_t>& ids);
QByteArray protocol2BulkRead(uint8_t instruction, const std::vector<ReadSpan>& spans);
QByteArray protocol2SyncWrite(uint16_t address, uint16_t lengthPerServo,
                              const std::vector<ServoData>& servos);

} // namespace PacketCodec
