#pragma once

#include "packetcodec.h"
#include "serialportops.h"

// Protocol 2: three-byte header, reserved byte, 16-bit length, CRC-16. No byte stuffing.
class SerialPortOpsP2 : public SerialPortOps
{
public:
    explicit SerialPortOpsP2(std::shared_ptr<QSerialPort> serial);

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
    // Stored by the servo and applied by commitShadowData.
    virtual bool writeShadowData(uint8_t id, uint8_t address, const QByteArray& data);
    virtual bool commitShadowData(uint8_t id);

protected:
    const uint8_t _startByte1 = PacketCodec::protocol2StartByte1;
    const uint8_t _startByte2 = PacketCodec::protocol2StartByte2;
    const uint8_t _startByte3 = PacketCodec::protocol2StartByte3;
    // A sender that cannot take the bus lock within this time gives up instead of queueing.
    const int _mutex_duration_ms = 4;
    QMutex _serial_mutex;

private:
    bool sendWrite(uint8_t instruction, uint8_t id, uint8_t address, const QByteArray& data);
    void setPacket(QByteArray& packet, uint8_t id, uint8_t length, uint8_t instruction);
    void setPacket(QByteArray& packet, uint8_t id, uint8_t length, uint8_t instruction,
                   QByteArray parameters);
    bool writePacket(QByteArray& packet);
};
