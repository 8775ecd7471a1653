#include "kestrabus.h"

#include "kestrabusimpl.h"

#include <utility>

namespace {

std::vector<PacketCodec::ReadSpan> readSpans(const std::vector<Kestrabus::BulkReadItem>& items)
{
    std::vector<PacketCodec::ReadSpan> spans;
    spans.reserve(items.size());
    for (const Kestrabus::BulkReadItem& item : items)
        spans.push_back({item.id, item.address, item.length});
    return spans;
}

std::vector<PacketCodec::ServoData> servoData(const std::vector<Kestrabus::SyncWriteItem>& items)
{
    std::vector<PacketCodec::ServoData> servos;
    servos.reserve(items.size());
    for (const Kestrabus::SyncWriteItem& item : items)
        servos.push_back({item.id, item.data});
    return servos;
}

} // namespace

Kestrabus::Kestrabus(QObject* target, uint8_t protocol)
    : QObject(nullptr), _kestrabusImpl(std::make_shared<KestrabusImpl>(target, protocol))
{
}

std::vector<std::shared_ptr<SerialPortItem>> Kestrabus::getSerialPortList()
{
    return _kestrabusImpl->getSerialPortList();
}

QString Kestrabus::openSerialPort(QString portName, int baudRate)
{
    return _kestrabusImpl->openSerialPort(std::move(portName), baudRate);
}

void Kestrabus::closeSerialPort()
{
    _kestrabusImpl->closeSerialPort();
}

void Kestrabus::cleanUp()
{
    _kestrabusImpl->cleanUp();
}

void Kestrabus::collectArrivedData()
{
    _kestrabusImpl->collectArrivedData();
}

QByteArray Kestrabus::readPendingSerialData()
{
    return _kestrabusImpl->readPendingSerialData();
}

bool Kestrabus::ping(uint8_t id, std::function<void()> callback)
{
    return _kestrabusImpl->ping(id, std::move(callback));
}

bool Kestrabus::readData(uint8_t id, uint8_t address, uint8_t length, std::function<void()> callback)
{
    return _kestrabusImpl->readData(id, address, length, std::move(callback));
}

bool Kestrabus::writeData(uint8_t id, uint8_t address, const QByteArray& data, std::function<void()> callback)
{
    return _kestrabusImpl->writeData(id, address, data, std::move(callback));
}

bool Kestrabus::reboot(uint8_t id, std::function<void()> callback)
{
    return _kestrabusImpl->reboot(id, std::move(callback));
}

bool Kestrabus::reset(uint8_t id, std::function<void()> callback)
{
    return _kestrabusImpl->reset(id, 0x01, std::move(callback));
}

bool Kestrabus::reset(uint8_t id, uint8_t option, std::function<void()> callback)
{
    return _kestrabusImpl->reset(id, option, std::move(callback));
}

bool Kestrabus::syncRead(uint16_t address, uint16_t length, const std::vector<uint8_t>& ids,
                         std::function<void()> callback)
{
    return _kestrabusImpl->syncRead(PacketCodec::SyncRead, address, length, ids, std::move(callback));
}

bool Kestrabus::fastSyncRead(uint16_t address, uint16_t length, const std::vector<uint8_t>& ids,
                             std::function<void()> callback)
{
    return _kestrabusImpl->syncRead(PacketCodec::FastSyncRead, address, length, ids, std::move(callback));
}

bool Kestrabus::bulkRead(const std::vector<BulkReadItem>& items, std::function<void()> callback)
{
    return _kestrabusImpl->bulkRead(PacketCodec::BulkRead, readSpans(items), std::move(callback));
}

bool Kestrabus::fastBulkRead(const std::vector<BulkReadItem>& items, std::function<void()> callback)
{
    return _kestrabusImpl->bulkRead(PacketCodec::FastBulkRead, readSpans(items), std::move(callback));
}

bool Kestrabus::syncWrite(uint16_t address, uint16_t lengthPerServo, const std::vector<SyncWriteItem>& items,
                          std::function<void()> callback)
{
    return _kestrabusImpl->syncWrite(address, lengthPerServo, servoData(items), std::move(callback));
}

void Kestrabus::setPortErrorCallback(std::function<void(QString)> callback)
{
    _kestrabusImpl->setPortErrorCallback(std::move(callback));
}

void Kestrabus::setIdleDataCallback(std::function<void()> callback)
{
    _kestrabusImpl->setIdleDataCallback(std::move(callback));
}

void Kestrabus::setSentCallback(std::function<void(const QByteArray&)> callback)
{
    _kestrabusImpl->setSentCallback(std::move(callback));
}
