#include "core/session/servosession.h"

#include "core/session/devicehelper.h"

ServoSession::ServoSession(std::shared_ptr<SerialHelper> serial, std::shared_ptr<DeviceHelper> device,
                           QObject* parent)
    : QObject(parent), _serial(std::move(serial)), _device(std::move(device))
{
    _closeTimer.setSingleShot(true);
    connect(&_closeTimer, &QTimer::timeout, this, [this] { _serial->closeSerialPort(); });
    connect(_device.get(), &DeviceHelper::identified, this, &ServoSession::onIdentified);
    connect(_device.get(), &DeviceHelper::identificationFailed, this, &ServoSession::onIdentificationFailed);
    _serial->setPortErrorCallback([this](const QString& error) {
        if (_state != State::Closed)
            emit portLost(error);
    });
}

ServoSession::~ServoSession()
{
    _serial->setPortErrorCallback({});
    if (_scheduler)
        _scheduler->stopScheduler();
}

std::shared_ptr<IDevice> ServoSession::device() const
{
    return _device->getDevice();
}

BusProtocol ServoSession::protocol() const
{
    return _serial ? _serial->protocol() : _target.protocol;
}

QString ServoSession::openPort(const QString& portName, int baudRate, BusProtocol protocol)
{
    _serial->setProtocol(protocol);
    return _serial->openSerialPort(portName, baudRate);
}

bool ServoSession::open(const SessionTarget& target)
{
    // A close moments ago must not close the port opened now.
    _closeTimer.stop();
    _target = target;
    const QString error = openPort(target.portName, target.baudRate, target.protocol);
    if (!error.isEmpty()) {
        emit portFailed(error);
        return false;
    }
    if (_scheduler)
        _scheduler->stopScheduler();
    _scheduler = std::make_shared<UiScheduler>(target.id, _serial, _device, _views);
    attach(_scheduler.get());
    _tableSeen = false;
    _state = State::Identifying;
    emit opened();
    // A listener may have given up on the connection already.
    if (_state == State::Identifying)
        _device->triggerDeviceInfoRead(target.id);
    return true;
}

void ServoSession::attach(UiScheduler* scheduler)
{
    connect(scheduler, &UiScheduler::tableDecoded, this, [this] {
        if (_tableSeen)
            return;
        _tableSeen = true;
        emit firstTable();
    });
    connect(scheduler, &UiScheduler::servoMoved, this, &ServoSession::onMoved);
    connect(scheduler, &UiScheduler::servoNotFound, this, &ServoSession::servoNotFound);
    connect(scheduler, &UiScheduler::portFailed, this, &ServoSession::portFailed);
}

void ServoSession::onIdentified()
{
    // An answer that arrives after the connection was given up starts nothing.
    if (_state != State::Identifying)
        return;
    _state = State::Connected;
    emit identified();
}

void ServoSession::onIdentificationFailed(int id, FailureKind kind)
{
    if (_state != State::Identifying)
        return;
    _state = State::NotIdentified;
    emit identificationFailed(id, kind);
}

void ServoSession::onMoved(int id, int baudRate, WriteOutcome::Answer answer)
{
    emit servoMoved(id, baudRate, answer);
    _target.id = id;
    _target.baudRate = baudRate;
}

void ServoSession::startPolling(int intervalMs)
{
    if (!_scheduler)
        return;
    _tableSeen = false;
    _scheduler->startScheduler(intervalMs);
}

void ServoSession::stopPolling()
{
    if (_scheduler)
        _scheduler->stopScheduler();
}

QString ServoSession::close()
{
    // A write the servo has not acknowledged must not vanish without a word.
    const QString lostWrites = _scheduler ? _scheduler->abandonWrites() : QString();
    stopPolling();
    _serial->cancelTransaction();
    _state = State::Closed;
    if (_closeDelayMs <= 0)
        _serial->closeSerialPort();
    else if (!_closeTimer.isActive())
        _closeTimer.start(_closeDelayMs);
    emit closed();
    return lostWrites;
}

void ServoSession::releasePort()
{
    if (!_closeTimer.isActive())
        return;
    _closeTimer.stop();
    _serial->closeSerialPort();
}
