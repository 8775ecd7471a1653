#pragma once

#include "packetcodec.h"
#include "serialportops.h"

// Protocol 1: two-byte header, 8-bit length, additive checksum.
class SerialPortOpsP1 : public SerialPortOps
{
public:
    explicit SerialPortOpsP1(std::shared_ptr<QSerialPort> serial);

    uint8_t ping(uint8_t id) override;
    bool readData(uint8_t id, uint8_t address, uint8_t length) override;
    bool writeData(uint8_t id, uint8_t address, const QByteArray& data) override;
    bool reboot(uint8_t id) override;
    bool reset(uint8_t id, uint8_t option) override;
    int maxWriteDataSize() const override;
    QByteArray syncReadPacket(uint8_t instruction, uint16_t address, uint16_t length,
                              const std::vector<uint8_t>& ids) const override;
    QByteArray bulkReadPacket(uint8_t instruction,
                              const std::vector<PacketCodec::ReadSpan>& spans) const override;
    QByteArray syncWritePacket(uint16_t address, uint16_t lengthPerServo,
                               const std::vector<PacketCodec::ServoData>& servos) const override;
    bool sendPacket(const QByteArray& packet) override;

protected:
    // A sender that cannot take the bus lock within this time gives up instead of queueing.
    const int _mutex_duration_ms = 4;
    QMutex _serial_mutex;
    const uint8_t _startByte = PacketCodec::protocol1StartByte;
    const int _idPacketElement = PacketCodec::protocol1IdOffset;
    const int _lengthPacketElement = PacketCodec::protocol1LengthOffset;
    const int _instructionPacketElement = PacketCodec::protocol1InstructionOffset;

private:
    void setPacket(QByteArray& packet, uint8_t id, uint8_t length, uint8_t instruction);
    void setPacket(QByteArray& packet, uint8_t id, uint8_t length, uint8_t instruction,
                   QByteArray parameters);
    bool writePacket(QByteArray& packet);
};
