#pragma once

#include "serialportitem.h"
#include "serialportops.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// One port object and one protocol. Sends requests and tells the caller, through callbacks run in
// the target's thread, that bytes arrived; the caller collects and interprets them.
class KestrabusImpl : public QObject
{
    Q_OBJECT

public:
    // target is the context of every callback, not a parent. Protocol 1 selects Protocol 1,
    // every other value Protocol 2.
    KestrabusImpl(QObject* target, uint8_t protocol);
    ~KestrabusImpl() override;

    std::vector<std::shared_ptr<SerialPortItem>> getSerialPortList();
    // Empty on success, else the port's error text.
    QString openSerialPort(QString portName, int baudRate);
    void closeSerialPort();
    // Removes every connection of the port's signals, so no earlier callback is called again.
    void cleanUp();
    QByteArray readPendingSerialData();
    void collectArrivedData();

    // Each request connects its callback to every later arrival of bytes (until cleanUp) and
    // returns true when the packet was sent.
    bool ping(uint8_t id, std::function<void()> callback);
    bool readData(uint8_t id, uint8_t address, uint8_t length, std::function<void()> callback);
    bool writeData(uint8_t id, uint8_t address, const QByteArray& data, std::function<void()> callback);
    // These two return once the callback has taken the whole answer and ended the transaction
    // with cleanUp(), or after a second.
    bool reboot(uint8_t id, std::function<void()> callback);
    bool reset(uint8_t id, uint8_t option, std::function<void()> callback);
    // Requests to several servos; instruction picks the plain or the fast form of a read.
    bool syncRead(uint8_t instruction, uint16_t address, uint16_t length, const std::vector<uint8_t>& ids,
                  std::function<void()> callback);
    bool bulkRead(uint8_t instruction, const std::vector<PacketCodec::ReadSpan>& spans,
                  std::function<void()> callback);
    bool syncWrite(uint16_t address, uint16_t lengthPerServo,
                   const std::vector<PacketCodec::ServoData>& servos, std::function<void()> callback);

    // Called once, in the target's thread, with the port's error text when the open port fails
    // (device removed, read or write failure); armed again by the next successful open.
    void setPortErrorCallback(std::function<void(QString)> callback);
    // Connected to the port's arrivals whenever no request's callback is.
    void setIdleDataCallback(std::function<void()> callback);
    void setSentCallback(std::function<void(const QByteArray&)> callback);

private:
    void connectCallback(std::function<void()> callback);
    bool sendBuilt(const QByteArray& packet, std::function<void()> callback);
    void connectIdleCallback();
    void waitForAnswer();
    void watchPortErrors();
    void onPortError(QSerialPort::SerialPortError error);
    // False when the port hung up or failed (an adapter unplugged), true when it still works.
    bool portStillThere() const;

    std::shared_ptr<QSerialPort> _serial;
    std::shared_ptr<SerialPortOps> _spo;
    QObject* _target;
    std::function<void(QString)> _portErrorCallback;
    bool _portErrorReported = false;
    bool _answerTaken = false;
    std::function<void()> _idleCallback;
    QMetaObject::Connection _idleConnection;
    bool _requestArmed = false; // a request's callback is connected
};
