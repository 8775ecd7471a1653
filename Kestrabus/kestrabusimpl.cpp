#include "kestrabusimpl.h"

#include "serialportbase.h"
#include "serialportopsp1.h"
#include "serialportopsp2.h"

#include <QDeadlineTimer>
#include <QPointer>

#include <algorithm>

#include <poll.h>
#include <termios.h>

namespace {

// How long reboot and reset wait for the servo's answer.
constexpr int answerWaitMs = 1000;

std::shared_ptr<SerialPortOps> makeProtocol(uint8_t protocol, std::shared_ptr<QSerialPort> serial)
{
    if (protocol == 1)
        return std::make_shared<SerialPortOpsP1>(std::move(serial));
    return std::make_shared<SerialPortOpsP2>(std::move(serial));
}

} // namespace

KestrabusImpl::KestrabusImpl(QObject* target, uint8_t protocol)
    : QObject(nullptr), _serial(std::make_shared<QSerialPort>(this)), _spo(makeProtocol(protocol, _serial)),
      _target(target)
{
    watchPortErrors();
}

KestrabusImpl::~KestrabusImpl()
{
    // The port is destroyed after the members declared behind it; nothing it emits while closing
    // may reach them.
    QObject::disconnect(_serial.get(), nullptr, this, nullptr);
}

std::vector<std::shared_ptr<SerialPortItem>> KestrabusImpl::getSerialPortList()
{
    std::vector<std::shared_ptr<SerialPortItem>> ports;
    for (const QSerialPortInfo& info : SerialPortBase().getAvailablePortInfo())
        ports.push_back(SerialPortBase::makePortItem(info));
    return ports;
}

QString KestrabusImpl::openSerialPort(QString portName, int baudRate)
{
    QString result;
    SerialPortBase base;
    base.setBaudRate(baudRate);
    if (base.openSerialPort(_serial, portName))
        _portErrorReported = false;
    else
        result = _serial->errorString();
    return result;
}

void KestrabusImpl::closeSerialPort()
{
    SerialPortBase().closeSerialPort(_serial);
}

void KestrabusImpl::cleanUp()
{
    // Callers end a transaction and start the next with a cleanUp each: when no request's callback
    // is connected, the port's connections are already what they should be, and remaking them
    // costs time between an answer and the next request.
    if (!_requestArmed) {
        _answerTaken = true;
        return;
    }
    QObject::disconnect(_serial.get(), nullptr, nullptr, nullptr);
    // That also removed the port error watch, which must outlive every transaction.
    watchPortErrors();
    _requestArmed = false;
    connectIdleCallback();
    // The caller has what it wanted from the transaction: a reboot or reset need wait no longer.
    _answerTaken = true;
}

void KestrabusImpl::collectArrivedData()
{
    if (!_serial->isOpen())
        return;
    // Only when something is there: a wait that finds nothing reports a time-out error on the port.
    pollfd descriptor{static_cast<int>(_serial->handle()), POLLIN, 0};
    if (::poll(&descriptor, 1, 0) > 0 && (descriptor.revents & POLLIN))
        _serial->waitForReadyRead(0);
}

QByteArray KestrabusImpl::readPendingSerialData()
{
    return SerialPortBase().readSerialData(_serial);
}

bool KestrabusImpl::ping(uint8_t id, std::function<void()> callback)
{
    connectCallback(std::move(callback));
    return _spo->ping(id) != 0;
}

bool KestrabusImpl::readData(uint8_t id, uint8_t address, uint8_t length, std::function<void()> callback)
{
    connectCallback(std::move(callback));
    return _spo->readData(id, address, length);
}

bool KestrabusImpl::writeData(uint8_t id, uint8_t address, const QByteArray& data,
                              std::function<void()> callback)
{
    // A refused write sends nothing, so nothing should wait for an answer to it.
    if (data.size() > _spo->maxWriteDataSize())
        return false;
    connectCallback(std::move(callback));
    return _spo->writeData(id, address, data);
}

bool KestrabusImpl::reboot(uint8_t id, std::function<void()> callback)
{
    connectCallback(std::move(callback));
    const bool sent = _spo->reboot(id);
    if (sent)
        waitForAnswer();
    return sent;
}

bool KestrabusImpl::reset(uint8_t id, uint8_t option, std::function<void()> callback)
{
    connectCallback(std::move(callback));
    const bool sent = _spo->reset(id, option);
    if (sent)
        waitForAnswer();
    return sent;
}

bool KestrabusImpl::syncRead(uint8_t instruction, uint16_t address, uint16_t length,
                             const std::vector<uint8_t>& ids, std::function<void()> callback)
{
    return sendBuilt(_spo->syncReadPacket(instruction, address, length, ids), std::move(callback));
}

bool KestrabusImpl::bulkRead(uint8_t instruction, const std::vector<PacketCodec::ReadSpan>& spans,
                             std::function<void()> callback)
{
    return sendBuilt(_spo->bulkReadPacket(instruction, spans), std::move(callback));
}

bool KestrabusImpl::syncWrite(uint16_t address, uint16_t lengthPerServo,
                              const std::vector<PacketCodec::ServoData>& servos,
                              std::function<void()> callback)
{
    return sendBuilt(_spo->syncWritePacket(address, lengthPerServo, servos), std::move(callback));
}

bool KestrabusImpl::sendBuilt(const QByteArray& packet, std::function<void()> callback)
{
    // A refused request sends nothing, so nothing should wait for an answer to it.
    if (packet.isEmpty() || !_serial->isOpen())
        return false;
    connectCallback(std::move(callback));
    return _spo->sendPacket(packet);
}

void KestrabusImpl::setPortErrorCallback(std::function<void(QString)> callback)
{
    _portErrorCallback = std::move(callback);
}

void KestrabusImpl::setIdleDataCallback(std::function<void()> callback)
{
    QObject::disconnect(_idleConnection);
    _idleCallback = std::move(callback);
    connectIdleCallback();
}

void KestrabusImpl::setSentCallback(std::function<void(const QByteArray&)> callback)
{
    _spo->setSentCallback(std::move(callback));
}

void KestrabusImpl::connectIdleCallback()
{
    if (_idleCallback && !_requestArmed)
        _idleConnection = QObject::connect(_serial.get(), &QSerialPort::readyRead, _target, _idleCallback);
}

void KestrabusImpl::connectCallback(std::function<void()> callback)
{
    // Arrivals belong to the request from now on, until cleanUp().
    QObject::disconnect(_idleConnection);
    _requestArmed = true;
    QObject::connect(_serial.get(), &QSerialPort::readyRead, _target, std::move(callback));
}

void KestrabusImpl::waitForAnswer()
{
    // The caller may close the port as soon as this returns, so the answer is awaited here;
    // readyRead is emitted from inside the wait. An answer often reaches the port in several
    // reads (USB adapters pass on what they hold every millisecond or so), so one arrival is
    // not enough: the wait ends when the callback has taken the whole answer and said so with
    // cleanUp(), at the limit, or when the port fails. A closed port sent nothing to wait for.
    if (!_serial->isOpen())
        return;
    _serial->flush();
    _answerTaken = false;
    const QDeadlineTimer limit(answerWaitMs);
    while (!_answerTaken && _serial->isOpen() && !limit.hasExpired()) {
        if (!_serial->waitForReadyRead(static_cast<int>(std::max<qint64>(1, limit.remainingTime()))))
            break;
    }
}

void KestrabusImpl::watchPortErrors()
{
    QObject::connect(_serial.get(), &QSerialPort::errorOccurred, this, &KestrabusImpl::onPortError);
}

void KestrabusImpl::onPortError(QSerialPort::SerialPortError error)
{
    const bool portFailed = error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                            error == QSerialPort::WriteError;
    // Qt repeats the error for as long as a dead port stays open.
    if (!portFailed || _portErrorReported || !_portErrorCallback)
        return;
    if (error != QSerialPort::WriteError && portStillThere()) {
        // A read that found nothing: the input was dropped before a new request after the port had
        // announced it. The port is fine; Qt stopped watching it for arrivals, so it watches again.
        _serial->clearError();
        const qint64 size = _serial->readBufferSize();
        _serial->setReadBufferSize(size + 1);
        _serial->setReadBufferSize(size);
        return;
    }
    _portErrorReported = true;
    // Queued: the owner will typically close or destroy the port, which must not happen inside the
    // port's own signal emission. A pending report is dropped with the target (Qt removes its queued
    // calls) or with this object (the guard).
    QPointer<KestrabusImpl> guard(this);
    std::function<void(QString)> callback = _portErrorCallback;
    const QString text = _serial->errorString();
    QMetaObject::invokeMethod(
        _target,
        [guard, callback, text] {
            if (guard)
                callback(text);
        },
        Qt::QueuedConnection);
}

bool KestrabusImpl::portStillThere() const
{
    const int descriptor = _serial->isOpen() ? static_cast<int>(_serial->handle()) : -1;
    if (descriptor < 0)
        return false;
    termios settings{};
    if (::tcgetattr(descriptor, &settings) != 0)
        return false;
    pollfd state{descriptor, POLLIN, 0};
    if (::poll(&state, 1, 0) < 0)
        return false;
    return (state.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}
