#include "serialportopsp1.h"

#include "serialportbase.h"

SerialPortOpsP1::SerialPortOpsP1(std::shared_ptr<QSerialPort> serial) : SerialPortOps(std::move(serial)) {}

uint8_t SerialPortOpsP1::ping(uint8_t id)
{
    QByteArray packet;
    setPacket(packet, id, 2, PacketCodec::Ping);
    return writePacket(packet) ? 1 : 0;
}

bool SerialPortOpsP1::readData(uint8_t id, uint8_t address, uint8_t length)
{
    QByteArray packet;
    setPacket(packet, id, 4, PacketCodec::Read, QByteArray().append(char(address)).append(char(length)));
    return writePacket(packet);
}

bool SerialPortOpsP1::writeData(uint8_t id, uint8_t address, const QByteArray& data)
{
    if (data.size() > maxWriteDataSize())
        return false;
    QByteArray packet;
    setPacket(packet, id, uint8_t(data.size() + 3), PacketCodec::Write, char(address) + data);
    return writePacket(packet);
}

bool SerialPortOpsP1::reboot(uint8_t id)
{
    QByteArray packet;
    setPacket(packet, id, 2, PacketCodec::Reboot);
    return writePacket(packet);
}

bool SerialPortOpsP1::reset(uint8_t id, uint8_t)
{
    QByteArray packet;
    setPacket(packet, id, 2, PacketCodec::FactoryReset);
    return writePacket(packet);
}

int SerialPortOpsP1::maxWriteDataSize() const
{
    return PacketCodec::protocol1MaxWriteData;
}

// Protocol 1 knows the plain sync read only (in the form the Feetech servos answer) and no bulk read.
QByteArray SerialPortOpsP1::syncReadPacket(uint8_t instruction, uint16_t address, uint16_t length,
                                           const std::vector<uint8_t>& ids) const
{
    return instruction == PacketCodec::SyncRead ? PacketCodec::protocol1SyncRead(address, length, ids)
                                                : QByteArray();
}

QByteArray SerialPortOpsP1::bulkReadPacket(uint8_t, const std::vector<PacketCodec::ReadSpan>&) const
{
    return {};
}

QByteArray SerialPortOpsP1::syncWritePacket(uint16_t address, uint16_t lengthPerServo,
                                            const std::vector<PacketCodec::ServoData>& servos) const
{
    return PacketCodec::protocol1SyncWrite(address, lengthPerServo, servos);
}

bool SerialPortOpsP1::sendPacket(const QByteArray& packet)
{
    return writeUnderLock(_serial_mutex, _mutex_duration_ms, packet);
}

void SerialPortOpsP1::setPacket(QByteArray& packet, uint8_t id, uint8_t length, uint8_t instruction)
{
    setPacket(packet, id, length, instruction, QByteArray());
}

void SerialPortOpsP1::setPacket(QByteArray& packet, uint8_t id, uint8_t length, uint8_t instruction,
                                QByteArray parameters)
{
    packet = PacketCodec::protocol1Packet(id, length, instruction, parameters);
}

bool SerialPortOpsP1::writePacket(QByteArray& packet)
{
    return writeUnderLock(_serial_mutex, _mutex_duration_ms, packet);
}
