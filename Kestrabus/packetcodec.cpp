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

QByteArray protocol2PacketWithLength(uint8_t id, uint16_t length, uint8_t instruction,
                                     const QByteArray& parameters)
{
    QByteArray packet;
    packet.reserve(10 + parameters.size());
    packet.append(char(protocol2StartByte1));
    packet.append(char(protocol2StartByte2));
    packet.append(char(protocol2StartByte3));
    packet.append(char(0x00)); // reserved
    packet.append(char(id));
    packet.append(char(length & 0xFF));
    packet.append(char(length >> 8));
    packet.append(char(instruction));
    packet.append(parameters);
    const uint16_t crc =
        crc16(0, reinterpret_cast<const unsigned char*>(packet.constData()), std::size_t(packet.size()));
    packet.append(char(crc & 0xFF));
    packet.append(char(crc >> 8));
    return packet;
}

void appendLittleEndian16(QByteArray& bytes, uint16_t value)
{
    bytes.append(char(value & 0xFF));
    bytes.append(char(value >> 8));
}

// A servo named twice would answer twice and the broadcast id not at all; 0xFF is no id.
bool validIds(const std::vector<uint8_t>& ids)
{
    if (ids.empty())
        return false;
    bool seen[256] = {};
    for (uint8_t id : ids) {
        if (id >= broadcastId || seen[id])
            return false;
        seen[id] = true;
    }
    return true;
}

bool validServoData(const std::vector<ServoData>& servos, uint16_t lengthPerServo)
{
    std::vector<uint8_t> ids;
    ids.reserve(servos.size());
    for (const ServoData& servo : servos) {
        if (servo.data.size() != lengthPerServo)
            return false;
        ids.push_back(servo.id);
    }
    return lengthPerServo > 0 && validIds(ids);
}

// Parameters are counted by the length field with the instruction and the checksum.
QByteArray protocol1Broadcast(uint8_t instruction, const QByteArray& parameters)
{
    if (parameters.size() + 2 > 0xFF)
        return {};
    return protocol1Packet(broadcastId, uint8_t(parameters.size() + 2), instruction, parameters);
}

// Parameters are counted by the length field with the instruction and the two CRC bytes.
QByteArray protocol2Broadcast(uint8_t instruction, const QByteArray& parameters)
{
    if (parameters.size() + 3 > protocol2MaxMultiLength)
        return {};
    return protocol2PacketWithLength(broadcastId, uint16_t(parameters.size() + 3), instruction, parameters);
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
    return protocol2PacketWithLength(id, length, instruction, parameters);
}

QByteArray protocol1SyncRead(uint16_t address, uint16_t length, const std::vector<uint8_t>& ids)
{
    if (address > 0xFF || length == 0 || length > 0xFF || !validIds(ids))
        return {};
    QByteArray parameters;
    parameters.append(char(address)).append(char(length));
    for (uint8_t id : ids)
        parameters.append(char(id));
    return protocol1Broadcast(SyncRead, parameters);
}

QByteArray protocol1SyncWrite(uint16_t address, uint16_t lengthPerServo, const std::vector<ServoData>& servos)
{
    if (address > 0xFF || lengthPerServo > 0xFF || !validServoData(servos, lengthPerServo))
        return {};
    QByteArray parameters;
    parameters.append(char(address)).append(char(lengthPerServo));
    for (const ServoData& servo : servos)
        parameters.append(char(servo.id)).append(servo.data);
    return protocol1Broadcast(SyncWrite, parameters);
}

QByteArray protocol2SyncRead(uint8_t instruction, uint16_t address, uint16_t length,
                             const std::vector<uint8_t>& ids)
{
    if ((instruction != SyncRead && instruction != FastSyncRead) || length == 0 || !validIds(ids))
        return {};
    QByteArray parameters;
    appendLittleEndian16(parameters, address);
    appendLittleEndian16(parameters, length);
    for (uint8_t id : ids)
        parameters.append(char(id));
    return protocol2Broadcast(instruction, parameters);
}

QByteArray protocol2BulkRead(uint8_t instruction, const std::vector<ReadSpan>& spans)
{
    if (instruction != BulkRead && instruction != FastBulkRead)
        return {};
    std::vector<uint8_t> ids;
    QByteArray parameters;
    for (const ReadSpan& span : spans) {
        if (span.length == 0)
            return {};
        ids.push_back(span.id);
        parameters.append(char(span.id));
        appendLittleEndian16(parameters, span.address);
        appendLittleEndian16(parameters, span.length);
    }
    return validIds(ids) ? protocol2Broadcast(instruction, parameters) : QByteArray();
}

QByteArray protocol2SyncWrite(uint16_t address, uint16_t lengthPerServo, const std::vector<ServoData>& servos)
{
    if (!validServoData(servos, lengthPerServo))
        return {};
    QByteArray parameters;
    appendLittleEndian16(parameters, address);
    appendLittleEndian16(parameters, lengthPerServo);
    for (const ServoData& servo : servos)
        parameters.append(char(servo.id)).append(servo.data);
    return protocol2Broadcast(SyncWrite, parameters);
}

} // namespace PacketCodec
