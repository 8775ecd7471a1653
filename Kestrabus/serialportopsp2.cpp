#include "serialportopsp2.h"

#include "serialportbase.h"

SerialPortOpsP2::SerialPortOpsP2(std::shared_ptr<QSerialPort> serial) : SerialPortOps(std::move(serial)) {}

uint8_t SerialPortOpsP2::ping(uint8_t id)
{
    QByteArray packet;
    setPacket(packet, id, 3, PacketCodec::Ping);
    return writePacket(packet) ? 1 : 0;
}

bool SerialPortOpsP2::readData(uint8_t id, uint8_t address, uint8_t length)
{
    QByteArray packet;
    // 16-bit address and length, little-endian.
    const QByteArray parameters =
        QByteArray().append(char(address)).append('\0').append(char(length)).append('\0');
    setPacket(packet, id, 7, PacketCodec::Read, parameters);
    return writePacket(packet);
}

bool SerialPortOpsP2::writeData(uint8_t id, uint8_t address, const QByteArray& data)
{
    return sendWrite(PacketCodec::Write, id, address, data);
}

bool SerialPortOpsP2::reboot(uint8_t id)
{
    QByteArray packet;
    setPacket(packet, id, 3, PacketCodec::Reboot);
    return writePacket(packet);
}

bool SerialPortOpsP2::reset(uint8_t id, uint8_t option)
{
    QByteArray packet;
    setPacket(packet, id, 4, PacketCodec::FactoryReset, QByteArray(1, char(option)));
    return writePacket(packet);
}

int SerialPortOpsP2::maxWriteDataSize() const
{
    return PacketCodec::protocol2MaxWriteData;
}

bool SerialPortOpsP2::writeShadowData(uint8_t id, uint8_t address, const QByteArray& data)
{
    return sendWrite(PacketCodec::RegWrite, id, address, data);
}

bool SerialPortOpsP2::commitShadowData(uint8_t id)
{
    QByteArray packet;
    setPacket(packet, id, 3, PacketCodec::Action);
    return writePacket(packet);
}

QByteArray SerialPortOpsP2::syncReadPacket(uint8_t instruction, uint16_t address, uint16_t length,
                                           const std::vector<uint8_t>& ids) const
{
    return PacketCodec::protocol2SyncRead(instruction, address, length, ids);
}

QByteArray SerialPortOpsP2::bulkReadPacket(uint8_t instruction,
                                           const std::vector<PacketCodec::ReadSpan>& spans) const
{
    return PacketCodec::protocol2BulkRead(instruction, spans);
}

QByteArray SerialPortOpsP2::syncWritePacket(uint16_t address, uint16_t lengthPerServo,
                                            const std::vector<PacketCodec::ServoData>& servos) const
{
    return PacketCodec::protocol2SyncWrite(address, lengthPerServo, servos);
}

bool SerialPortOpsP2::sendPacket(const QByteArray& packet)
{
    return writeUnderLock(_serial_mutex, _mutex_duration_ms, packet);
}

bool SerialPortOpsP2::sendWrite(uint8_t instruction, uint8_t id, uint8_t address, const QByteArray& data)
{
    if (data.size() > maxWriteDataSize())
        return false;
    QByteArray packet;
    const QByteArray parameters = QByteArray().append(char(address)).append('\0').append(data);
    setPacket(packet, id, uint8_t(data.size() + 5), instruction, parameters);
    return writePacket(packet);
}

void SerialPortOpsP2::setPacket(QByteArray& packet, uint8_t id, uint8_t length, uint8_t instruction)
{
    setPacket(packet, id, length, instruction, QByteArray());
}

void SerialPortOpsP2::setPacket(QByteArray& packet, uint8_t id, uint8_t length, uint8_t instruction,
                                QByteArray parameters)
{
    packet = PacketCodec::protocol2Packet(id, length, instruction, parameters);
}

bool SerialPortOpsP2::writePacket(QByteArray& packet)
{
    return writeUnderLock(_serial_mutex, _mutex_duration_ms, packet);
}
