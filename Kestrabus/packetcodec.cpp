#include "packetcodec.h"

#include <array>

namespace PacketCodec {

namespace {

constexpr std::array<uint16_t, 256> makeCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        uint16_t crc = uint16_t(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x8005) : uint16_t(crc << 1);
        table[byte] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> crcTable = makeCrcTable();

uint8_t protocol1Checksum(uint8_t id, uint8_t length, uint8_t instruction, const QByteArray& parameters)
{
    uint8_t sum = uint8_t(id + length + instruction);
    for (char byte : parameters)
        sum = uint8_t(sum + uint8_t(byte));
    return uint8_t(protocol1StartByte - sum);
}

} // namespace

QByteArray protocol1Packet(uint8_t id, uint8_t length, uint8_t instruction, const QByteArray& parameters)
{
    // The two header bytes, then id, length and instruction at their fixed offsets.
    QByteArray packet(protocol1InstructionOffset + 1, char(protocol1StartByte));
    packet[protocol1IdOffset] = char(id);
    packet[protocol1LengthOffset] = char(length);
    packet[protocol1InstructionOffset] = char(instruction);
    packet.append(parameters);
    packet.append(char(protocol1Checksum(id, length, instruction, parameters)));
    return packet;
}

uint16_t crc16(uint16_t accumulator, const unsigned char* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        accumulator = uint16_t((accumulator << 8) ^ crcTable[((accumulator >> 8) ^ data[i]) & 0xFF]);
    return accumulator;
}

QByteArray protocol2Packet(uint8_t id, uint8_t length, uint8_t instruction, const QByteArray& parameters)
{
    QByteArray packet;
    packet.reserve(10 + parameters.size());
    packet.append(char(protocol2StartByte1));
    packet.append(char(protocol2StartByte2));
    packet.append(char(protocol2StartByte3));
    packet.append(char(0x00)); // reserved
    packet.append(char(id));
    packet.append(char(length));
    packet.append(char(0x00)); // length high byte
    packet.append(char(instruction));
    packet.append(parameters);
    const uint16_t crc =
        crc16(0, reinterpret_cast<const unsigned char*>(packet.constData()), std::size_t(packet.size()));
    packet.append(char(crc & 0xFF));
    packet.append(char(crc >> 8));
    return packet;
}

} // namespace PacketCodec
