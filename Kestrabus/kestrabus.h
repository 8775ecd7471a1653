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
// reset requests and calls the request's callback whenever answer bytes arrive; the caller fetches
// them with readPendingSerialData(). All calls belong in the thread that constructed the object.
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
    // and the baud rate (the reset above sends 0x01). Protocol 1's reset has no option.
    bool reset(uint8_t id, uint8_t option, std::function<void()> callback);

    // Called once per failure with the port's error text, later and in the target's thread, when the
    // open port fails (for example the adapter was unplugged). Reopening the port arms it again.
    void setPortErrorCallback(std::function<void(QString)> callback);

    // Called, in the target's thread, whenever bytes arrive while no request's callback is connected
    // (before the first request, and after cleanUp() until the next one); the caller fetches them
    // with readPendingSerialData(). Without it such bytes wait in the port until the next request
    // discards them.
    void setIdleDataCallback(std::function<void()> callback);
    // Called with every packet as it was written to the port, before any answer to it is handed on.
    void setSentCallback(std::function<void(const QByteArray&)> callback);

private:
    std::shared_ptr<KestrabusImpl> _kestrabusImpl;
};
