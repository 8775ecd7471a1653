#pragma once

#include "kestrabus_export.h"
#include "serialportitem.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class KestrabusImpl;

// Servo bus access: one serial port and one protocol. Sends ping, read, write, reboot and factory
// reset requests and sync and bulk requests to several servos, and calls the request's callback
// whenever answer bytes arrive; the caller fetches them with readPendingSerialData(). All calls
// belong in the thread that constructed the object.
class KESTRABUS_EXPORT Kestrabus : public QObject
{
    Q_OBJECT

public:
    // target: context of the callbacks, which run in its thread; not a parent.
    // protocol: 1 for Protocol 1, any other value for Protocol 2.
    Kestrabus(QObject* target, uint8_t protocol);

    std::vector<std::shared_ptr<SerialPortItem>> getSerialPortList();
    // Empty on success, else the port's error text.
    QString openSerialPort(QString portName, int baudRate);
    void closeSerialPort();
    // Disconnects every callback of earlier requests.
    void cleanUp();
    QByteArray readPendingSerialData();
    // Hands on bytes that reached the port but were not announced yet: the current request's
    // callback runs for them now, as for any arrival. For a caller whose deadline came due first.
    void collectArrivedData();

    // True when the packet was sent; false when the port is not open, the bus was busy for 4 ms or
    // the data does not fit one packet. Each callback is called once per arrival of bytes until cleanUp().
    bool ping(uint8_t id, std::function<void()> callback);
    bool readData(uint8_t id, uint8_t address, uint8_t length, std::function<void()> callback);
    bool writeData(uint8_t id, uint8_t address, const QByteArray& data, std::function<void()> callback);
    // Return once the callback has taken the whole answer (an answer may arrive in several pieces,
    // each calling the callback) and ended the transaction with cleanUp(), or after 1000 ms.
    bool reboot(uint8_t id, std::function<void()> callback);
    bool reset(uint8_t id, std::function<void()> callback);
    // A Protocol 2 reset with its option: 0xFF everything, 0x01 all but the id, 0x02 all but the id
    // and the baud rate (the reset above sends 0x01). Protocol 1's reset has no option. Since 1.2.0.
    bool reset(uint8_t id, uint8_t option, std::function<void()> callback);

    // Requests to several servos in one packet, sent to the broadcast id 0xFE. Added in 1.2.0 of
    // libKestrabus.so.1: a program that uses them needs that version of the library or a later one.
    // Each returns false, sending nothing and connecting nothing, when the object's protocol has no
    // form of the request or the request cannot be sent as asked: no servo, an id named twice, the
    // broadcast id or 0xFF among the ids, a length of 0, a servo's data of another length than
    // lengthPerServo, an address or length beyond one byte in Protocol 1, or more than one packet
    // holds (Protocol 1: 255 in the length byte; Protocol 2: 512 in the length field). Otherwise as
    // for the requests above: false when the port is not open or the bus was busy, the callback is
    // called once per arrival of bytes until cleanUp(), and the sent callback sees the packet.
    // The caller frames the answers: one status packet per servo in the order of the ids, or, for
    // the fast forms, one status packet that holds every servo's part.
    struct BulkReadItem
    {
        uint8_t id;
        uint16_t address;
        uint16_t length;
    };
    struct SyncWriteItem
    {
        uint8_t id;
        QByteArray data;
    };
    // Sync read (0x82), `length` bytes from `address` of each servo in `ids`. Protocol 2:
    // "address(2) length(2) id…"; Protocol 1 (the form Feetech servos answer): "address length id…".
    bool syncRead(uint16_t address, uint16_t length, const std::vector<uint8_t>& ids,
                  std::function<void()> callback);
    // Fast sync read (0x8A), Protocol 2 only: as syncRead, answered in one combined status packet.
    bool fastSyncRead(uint16_t address, uint16_t length, const std::vector<uint8_t>& ids,
                      std::function<void()> callback);
    // Bulk read (0x92), Protocol 2 only: each servo its own address and length, "(id address(2)
    // length(2))…".
    bool bulkRead(const std::vector<BulkReadItem>& items, std::function<void()> callback);
    // Fast bulk read (0x9A), Protocol 2 only: as bulkRead, answered in one combined status packet.
    bool fastBulkRead(const std::vector<BulkReadItem>& items, std::function<void()> callback);
    // Sync write (0x83): lengthPerServo bytes from `address` to each servo, nobody answers. Protocol
    // 2: "address(2) length(2) (id data)…"; Protocol 1: "address length (id data)…".
    bool syncWrite(uint16_t address, uint16_t lengthPerServo, const std::vector<SyncWriteItem>& items,
                   std::function<void()> callback);

    // Called once per failure with the port's error text, later and in the target's thread, when the
    // open port fails (for example the adapter was unplugged). Reopening the port arms it again.
    void setPortErrorCallback(std::function<void(QString)> callback);

    // Called, in the target's thread, whenever bytes arrive while no request's callback is connected
    // (before the first request, and after cleanUp() until the next one); the caller fetches them
    // with readPendingSerialData(). Without it such bytes wait in the port until the next request
    // discards them. Since 1.2.0.
    void setIdleDataCallback(std::function<void()> callback);
    // Called with every packet as it was written to the port, before any answer to it is handed on.
    void setSentCallback(std::function<void(const QByteArray&)> callback);

private:
    std::shared_ptr<KestrabusImpl> _kestrabusImpl;
};
