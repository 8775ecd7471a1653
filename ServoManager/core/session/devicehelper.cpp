#include "core/session/devicehelper.h"

#include "core/model/dynamixelax12.h"
#include "core/model/velkorav1.h"
#include "core/protocol/readanswer.h"

namespace {
constexpr int ax12ModelNumber = 12;
constexpr int modelNumberAddress = 0;
constexpr int modelNumberBytes = 2;
} // namespace

DeviceHelper::DeviceHelper(std::shared_ptr<SerialHelper> serial, std::function<void()> initialised)
    : _serialHelper(std::move(serial)), _initialisedCallback(std::move(initialised))
{
}

std::shared_ptr<IDevice> DeviceHelper::createDevice(int modelNumber)
{
    if (modelNumber == ax12ModelNumber)
        return std::make_shared<DynamixelAx12>();
    return std::make_shared<VelkoraV1>();
}

void DeviceHelper::triggerDeviceInfoRead(int id)
{
    // Every way the read can fail, including not being sent at all, comes back as a failure.
    _serialHelper->readData(
        static_cast<uint8_t>(id), modelNumberAddress, modelNumberBytes,
        [this](QByteArray response) { readDeviceInfoCallback(response); },
        [this, id](FailureKind kind, const RequestInfo&, uint8_t) { emit identificationFailed(id, kind); });
}

void DeviceHelper::readDeviceInfoCallback(QByteArray response)
{
    // The model number is the first two data bytes of the status packet, in either protocol.
    const int modelNumber = static_cast<int>(readanswer::valueAt(response, modelNumberAddress, modelNumberBytes));
    _device = createDevice(modelNumber);
    emit loadDeviceMetadata();
    if (_initialisedCallback)
        _initialisedCallback();
    emit identified();
}

bool DeviceHelper::triggerDeviceReboot(int id, std::function<void(QByteArray)> callback,
                                       std::function<void()> noAnswer)
{
    return triggerMaintenance(BusRequest::reboot(static_cast<uint8_t>(id)), std::move(callback),
                              std::move(noAnswer));
}

bool DeviceHelper::triggerDeviceReset(int id, std::function<void(QByteArray)> callback,
                                      std::function<void()> noAnswer)
{
    return triggerMaintenance(BusRequest::reset(static_cast<uint8_t>(id)), std::move(callback),
                              std::move(noAnswer));
}

bool DeviceHelper::triggerMaintenance(const BusRequest& request, std::function<void(QByteArray)> callback,
                                      std::function<void()> noAnswer)
{
    // The request returns once the request layer has the whole answer (however many reads it
    // took to arrive) or after the library's limit; only then is the port closed.
    auto answered = std::make_shared<bool>(false);
    const bool sent = _serialHelper->submit(request, [answered, callback](const BusResult& result) {
        if (!result.answered)
            return;
        *answered = true;
        if (callback)
            callback(result.answer);
    });
    _serialHelper->closeSerialPort();
    if (sent && !*answered && noAnswer)
        noAnswer();
    return sent;
}
