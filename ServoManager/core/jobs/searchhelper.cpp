#include "core/jobs/searchhelper.h"

#include "core/model/modelregistry.h"

#include "core/transport/serialhelper.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QWaitCondition>

namespace {

// The hand-over between the worker and the waiting GUI thread.
QMutex _mutex;
QWaitCondition _dataReady;

// A probe reads the model number and firmware, wherever the protocol's models keep them.
constexpr uint8_t modelAddress = 0;
constexpr uint8_t probeLength = ModelRegistry::identityBytes;

} // namespace

SearchHelper::SearchHelper(QString portName) : _portName(std::move(portName)) {}

SearchHelper::~SearchHelper()
{
    if (_serialHelper)
        _serialHelper->closeSerialPort();
}

bool SearchHelper::waitForProbe(int probe, int timeoutMs)
{
    QMutexLocker lock(&_mutex);
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    // The worker may have ended the probe before we got here: look before waiting, and again
    // after every wake, so that neither an early wake nor a spurious one is lost.
    while (_completed < probe) {
        if (!_dataReady.wait(&_mutex, deadline))
            return _completed >= probe;
    }
    return true;
}

QByteArray SearchHelper::getData() const
{
    QMutexLocker lock(&_mutex);
    return _data;
}

QList<QByteArray> SearchHelper::answers() const
{
    QMutexLocker lock(&_mutex);
    return _answers;
}

QString SearchHelper::openError() const
{
    QMutexLocker lock(&_mutex);
    return _openError;
}

void SearchHelper::scanCallback(QByteArray data)
{
    finish(_started, data, {}, {});
}

void SearchHelper::scanServo(int id, int baudRate, BusProtocol protocol)
{
    const int probe = ++_started;
    if (!openAt(baudRate, protocol, probe))
        return;
    // Only a whole, checked status packet of this id reaches the answer callback; anything
    // else ends at the transaction's deadline as "not found".
    _serialHelper->readData(
        static_cast<uint8_t>(id), modelAddress, probeLength, [this](QByteArray data) { scanCallback(data); },
        [this, probe](FailureKind, const RequestInfo&, uint8_t) { finish(probe, {}, {}, {}); });
}

void SearchHelper::quickScan(int baudRate, int highestId)
{
    const int probe = ++_started;
    if (!openAt(baudRate, BusProtocol::Two, probe))
        return;
    const int windowMs =
        SerialHelper::broadcastPingWindowMs(baudRate, highestId, _serialHelper->adapterAllowanceUs());
    _serialHelper->pingAll(
        windowMs, [this, probe](QList<QByteArray> answers) { finish(probe, {}, answers, {}); },
        [this, probe](FailureKind, const RequestInfo&, uint8_t) { finish(probe, {}, {}, {}); });
}

void SearchHelper::cancel()
{
    if (_serialHelper)
        _serialHelper->cancelTransaction();
    finish(_started, {}, {}, {});
}

void SearchHelper::release(QThread* target)
{
    if (_serialHelper) {
        _serialHelper->closeSerialPort();
        _serialHelper.reset();
    }
    moveToThread(target);
}

bool SearchHelper::openAt(int baudRate, BusProtocol protocol, int probe)
{
    if (!_portFailure.isEmpty()) {
        finish(probe, {}, {}, _portFailure);
        return false;
    }
    if (_serialHelper && _serialHelper->isOpen() && _openBaudRate == baudRate && _serialHelper->protocol() == protocol)
        return true;
    // Made here so that the port object and its callbacks live in the worker thread.
    if (!_serialHelper) {
        _serialHelper = std::make_shared<SerialHelper>();
        _serialHelper->setPortErrorCallback([this](QString error) { _portFailure = error; });
    }
    if (_serialHelper->isOpen())
        _serialHelper->closeSerialPort();
    _serialHelper->setProtocol(protocol);
    const QString error = _serialHelper->openSerialPort(_portName, baudRate);
    if (!error.isEmpty()) {
        _openBaudRate = 0;
        finish(probe, {}, {}, error);
        return false;
    }
    _openBaudRate = baudRate;
    return true;
}

void SearchHelper::finish(int probe, const QByteArray& data, const QList<QByteArray>& answers,
                          const QString& error)
{
    QMutexLocker lock(&_mutex);
    // A probe ends once; a late report of one the GUI thread gave up on changes nothing.
    if (probe <= _completed)
        return;
    _completed = probe;
    _data = data;
    _answers = answers;
    _openError = error;
    _dataReady.wakeAll();
}
