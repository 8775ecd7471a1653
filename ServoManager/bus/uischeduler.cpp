#include "bus/uischeduler.h"

#include "bus/devicehelper.h"
#include "device/idevice.h"
#include "device/statushelper.h"
#include "device/uiregisterhelper.h"

#include <QElapsedTimer>

namespace {
constexpr uint8_t instructionWrite = 0x03;
}

UiScheduler::UiScheduler(int id, std::shared_ptr<SerialHelper> serial) : _id(id), _serial(std::move(serial))
{
    if (!UiRegisterHelper::_instance)
        UiRegisterHelper::_instance = std::make_shared<UiRegisterHelper>();
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
        return;
    }
    if (_queue.empty())
        readAllData();
    else
        writeData();
}

void UiScheduler::readAllData()
{
    const std::shared_ptr<IDevice> device = DeviceHelper::getInstance()->getDevice();
    if (!device)
        return;
    _serial->readData(static_cast<uint8_t>(_id), 0, static_cast<uint8_t>(device->getMemoryUpperLimit()),
                      [this](QByteArray response) { readAllDataCallback(response); });
}

void UiScheduler::readAllDataCallback(QByteArray response)
{
    QElapsedTimer decodeTime;
    decodeTime.start();
    UiRegisterHelper::_instance->decodeResponse(response);
    _statistics.recordPoll(decodeTime.nsecsElapsed());
}

void UiScheduler::writeData()
{
    const std::shared_ptr<QueueRequest> request = _queue.front();
    _serial->writeData(request->id, request->address, request->data, request->callback);
    _queue.erase(_queue.begin());
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
    if (request.instruction != instructionWrite) {
        // A poll the servo refused still tells what went wrong.
        if (kind == FailureKind::Refused && StatusHelper::_instance)
            StatusHelper::_instance->displayStatusPacket(errorByte);
        return;
    }
    _statistics.recordWriteProblem(request.address, kind == FailureKind::Refused ? servoErrorText(errorByte)
                                                                                 : failureKindText(kind));
}

void UiScheduler::onWriteAcknowledged(const RequestInfo& request, uint8_t errorByte)
{
    if (SerialHelper::isRefusal(errorByte))
        _statistics.recordWriteProblem(request.address, servoErrorText(errorByte));
}
