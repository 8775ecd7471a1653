#pragma once

#include "packetcodec.h"

#include <QByteArray>
#include <QMutex>
#include <QSerialPort>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// The requests every bus protocol can send. A protocol object only builds and sends instruction
// packets; it never waits for or reads the answer.
//
// Protocol objects are made with std::make_shared of the concrete class, which destroys them through
// the concrete type, so the destructor need not be virtual.
class SerialPortOps
{
public:
    explicit SerialPortOps(std::shared_ptr<QSerialPort> serial) : _serial(std::move(serial)) {}

    virtual uint8_t ping(uint8_t id) = 0;
    virtual bool readData(uint8_t id, uint8_t address, uint8_t length) = 0;
    virtual bool writeData(uint8_t id, uint8_t address, const QByteArray& data) = 0;
    virtual bool reboot(uint8_t id) = 0;
    virtual bool reset(uint8_t id, uint8_t option) = 0;
    // The largest data block one write can carry; longer writes are refused.
    virtual int maxWriteDataSize() const = 0;
    // Requests to several servos are built first and sent with sendPacket(), so that one the
    // protocol cannot carry is refused before anything waits for its answer. Each builder gives an
    // empty packet when the protocol has no form of the request or cannot send it as asked.
    virtual QByteArray syncReadPacket(uint8_t instruction, uint16_t address, uint16_t length,
                                      const std::vector<uint8_t>& ids) const = 0;
    virtual QByteArray bulkReadPacket(uint8_t instruction,
                                      const std::vector<PacketCodec::ReadSpan>& spans) const = 0;
    virtual QByteArray syncWritePacket(uint16_t address, uint16_t lengthPerServo,
                                       const std::vector<PacketCodec::ServoData>& servos) const = 0;
    // Under the protocol's bus lock, as every request.
    virtual bool sendPacket(const QByteArray& packet) = 0;
    // Called with the bytes of every packet written.
    void setSentCallback(std::function<void(const QByteArray&)> callback) { _sent = std::move(callback); }

protected:
    // Sends one packet if `lock` can be taken within `waitMs`; false (nothing sent) otherwise.
    // The lock is held only while the packet is written.
    bool writeUnderLock(QMutex& lock, int waitMs, const QByteArray& packet);

    std::shared_ptr<QSerialPort> _serial;
    const int mutex_duration_ms = 4;
    QMutex _serial_mutex;
    std::function<void(const QByteArray&)> _sent;
};
