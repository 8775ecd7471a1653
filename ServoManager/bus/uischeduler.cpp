#include "bus/uischeduler.h"

#include "bus/devicehelper.h"
#include "device/idevice.h"
#include "device/statushelper.h"
#include "device/uiregisterhelper.h"
#include "fields/uigrouphelper.h"

#include <QElapsedTimer>

namespace {
constexpr uint8_t instructionWrite = 0x03;
}

UiScheduler::UiScheduler(int id, std::shared_ptr<SerialHelper> serial) : _id(id), _serial(std::move(serial))
{
    if (!UiRegisterHelper::_instance)
        UiRegisterHelper::_instance = std::make_shared<UiRegisterHelper>();
    if (UiGroupHelper* groups = UiGroupHelper::_instance.get()) {
        connect(groups, &UiGroupHelper::addQueueRequest, this, &UiScheduler::addQueueRequest);
        connect(this, &UiScheduler::writeFinished, groups, &UiGroupHelper::onWriteFinished);
        connect(this, &UiScheduler::tableDecoded, groups, &UiGroupHelper::onTableDecoded);
    }
}

UiScheduler::~UiScheduler()
{
    stopScheduler();
}

void UiScheduler::addQueueRequest(uint8_t address, const QByteArray& data)
{
    auto request = std::make_shared<QueueRequest>();
    request->id = static_cast<uint8_t>(_id);
    request->address = address;
    request->data = data;
    request->callback = [this](QByteArray response) { writeDataCallback(response); };
    _queue.push_back(request);
}

void UiScheduler::startScheduler(int pollingInterval)
{
    if (_timerId != 0)
        return;
    connect(_serial.get(), &SerialHelper::transactionFailed, this, &UiScheduler::onTransactionFailed);
    connect(_serial.get(), &SerialHelper::writeAcknowledged, this, &UiScheduler::onWriteAcknowledged);
    _interval = pollingInterval;
    _tickDeferred = false;
    _timerId = startTimer(pollingInterval, Qt::CoarseTimer);
}

void UiScheduler::stopScheduler()
{
    if (_timerId == 0)
        return;
    killTimer(_timerId);
    _timerId = 0;
    disconnect(_serial.get(), nullptr, this, nullptr);
}

void UiScheduler::timerEvent(QTimerEvent*)
{
    if (_serial->isBusy()) {
        _statistics.recordSkippedTick();
        _tickDeferred = true;
        return;
    }
    sendNext();
}

void UiScheduler::sendNext()
{
    _tickDeferred = false;
    if (_queue.empty())
        readAllData();
    else
        writeData();
}

// The request layer ends a transaction before it reports the outcome, so the request of a
// deferred tick can start from here.
void UiScheduler::onTransactionEnded()
{
    if (!_tickDeferred || _timerId == 0 || _serial->isBusy())
        return;
    // The ticks start over from this request, so the next one is a whole interval away.
    killTimer(_timerId);
    _timerId = startTimer(_interval, Qt::CoarseTimer);
    sendNext();
}

void UiScheduler::readAllData()
{
    const std::shared_ptr<IDevice> device = DeviceHelper::getInstance()->getDevice();
    if (!device)
        return;
    const int writesFinished = _writesFinished;
    _serial->readData(static_cast<uint8_t>(_id), 0, static_cast<uint8_t>(device->getMemoryUpperLimit()),
                      [this, writesFinished](QByteArray response) {
                          readAllDataCallback(response);
                          emit tableDecoded(writesFinished);
                      });
}

void UiScheduler::readAllDataCallback(QByteArray response)
{
    const qint64 arrivalNs = LiveValueDecoder::monotonicNs();
    // The next request first: it is on the line while this answer is decoded.
    onTransactionEnded();
    QElapsedTimer decodeTime;
    decodeTime.start();
    UiRegisterHelper::_instance->decodeResponse(response);
    // The model and the unit choice stand for a connection; a new model gets a new decoder.
    const std::shared_ptr<IDevice> device = DeviceHelper::getInstance()->getDevice();
    if (!_liveDecoder || _liveDecoder->device() != device.get())
        _liveDecoder = std::make_unique<LiveValueDecoder>(device, FieldCore::currentUnits());
    emit liveSample(_liveDecoder->decode(response, arrivalNs));
    // Includes what plotting and recording do with the values.
    _statistics.recordPoll(decodeTime.nsecsElapsed());
}

void UiScheduler::writeData()
{
    const std::shared_ptr<QueueRequest> request = _queue.front();
    _queue.erase(_queue.begin());
    request->id = static_cast<uint8_t>(_id);
    _writeInFlight = request;
    if (!_serial->writeData(request->id, request->address, request->data, request->callback) &&
        _writeInFlight == request)
        finishWrite(false, tr("the request could not be sent"));
}

void UiScheduler::writeDataCallback(QByteArray) {}

void UiScheduler::pingCallback(QByteArray) {}

void UiScheduler::controlEnableCallback(QByteArray) {}

void UiScheduler::ping()
{
    _serial->ping(static_cast<uint8_t>(_id), [this](QByteArray response) { pingCallback(response); });
}

void UiScheduler::onTransactionFailed(FailureKind kind, const RequestInfo& request, uint8_t errorByte)
{
    _statistics.recordFailure(kind);
    if (request.instruction == instructionWrite) {
        // Before the next request goes out: it may be the next write.
        const QString problem = kind == FailureKind::Refused ? servoErrorText(errorByte) : failureKindText(kind);
        _statistics.recordWriteProblem(request.address, problem);
        finishWrite(false, problem);
    } else if (kind == FailureKind::Refused && StatusHelper::_instance) {
        // A poll the servo refused still tells what went wrong.
        StatusHelper::_instance->displayStatusPacket(errorByte);
    }
    onTransactionEnded();
}

void UiScheduler::onWriteAcknowledged(const RequestInfo& request, uint8_t errorByte)
{
    const bool refused = SerialHelper::isRefusal(errorByte);
    if (refused)
        _statistics.recordWriteProblem(request.address, servoErrorText(errorByte));
    finishWrite(!refused, refused ? servoErrorText(errorByte) : QString());
    onTransactionEnded();
}

void UiScheduler::finishWrite(bool acknowledged, const QString& problem)
{
    const std::shared_ptr<QueueRequest> request = std::move(_writeInFlight);
    _writeInFlight.reset();
    if (!request)
        return;
    ++_writesFinished;
    emit writeFinished(request->address, request->data, acknowledged, problem, _writesFinished);
}

QString UiScheduler::abandonWrites()
{
    QString text;
    if (_writeInFlight)
        text = tr("Parameters may not have been written: disconnected before the servo acknowledged them");
    else if (!_queue.empty())
        text = tr("Parameters not written: disconnected before they were sent");
    _writeInFlight.reset();
    _queue.clear();
    return text;
}
