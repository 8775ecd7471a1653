#include "core/session/devicehelper.h"

#include "core/model/idevice.h"
#include "core/model/modelregistry.h"
#include "core/protocol/readanswer.h"
#include "core/settings/settingshelper.h"

namespace {
// The read takes the model number and the firmware version along, wherever the models keep them.
constexpr int identityAddress = 0;
constexpr int identificationBytes = ModelRegistry::identityBytes;
} // namespace

DeviceHelper::DeviceHelper(std::shared_ptr<SerialHelper> serial, std::function<void()> initialised)
    : _serialHelper(std::move(serial)), _initialisedCallback(std::move(initialised))
{
}

std::shared_ptr<IDevice> DeviceHelper::createDevice(int modelNumber)
{
    const ModelRegistry& models = ModelRegistry::shared();
    if (auto described = models.byNumber(modelNumber))
        return deviceOf(described);
    const QString chosen = treatedAs(modelNumber);
    return chosen.isEmpty() ? nullptr : deviceOf(models.byName(chosen));
}

void DeviceHelper::triggerDeviceInfoRead(int id)
{
    // Every way the read can fail, including not being sent at all, comes back as a failure.
    _serialHelper->readData(
        static_cast<uint8_t>(id), identityAddress, identificationBytes,
        [this, id](QByteArray response) {
            _identifiedId = id;
            readDeviceInfoCallback(response);
        },
        [this, id](FailureKind kind, const RequestInfo&, uint8_t) { emit identificationFailed(id, kind); });
}

void DeviceHelper::readDeviceInfoCallback(QByteArray response)
{
    // Where the model number sits depends on the protocol's models (at 0, or at 3 on Feetech servos).
    const ModelRegistry& models = ModelRegistry::shared();
    const ModelRegistry::Identity identity =
        models.identify(readanswer::dataOnward(response), int(_serialHelper->protocol()));
    _modelNumber = identity.modelNumber;
    // A Feetech servo asked in plain Protocol 1: its answers mean what its description says.
    if (identity.protocol != int(_serialHelper->protocol()))
        _serialHelper->setProtocol(BusProtocol(identity.protocol));
    // A number no model of the protocol knows is the user's choice ("Treat as…"), not another
    // protocol's model of the same number.
    if (identity.model)
        _device = deviceOf(identity.model);
    else if (_unknownAs)
        _device = deviceOf(_unknownAs);
    else if (const QString chosen = treatedAs(_modelNumber); !chosen.isEmpty())
        _device = deviceOf(models.byName(chosen));
    else
        _device.reset();
    const ModelEntry* firmware =
        _device ? _device->description().entryWithRole(QStringLiteral("firmware")) : nullptr;
    const QByteArray table = readanswer::table(response);
    _firmware = firmware ? (firmware->address < table.size() ? uint8_t(table.at(firmware->address)) : -1)
                         : identity.firmware;
    if (!_device) {
        emit unknownModel(_identifiedId, _modelNumber, _firmware);
        return;
    }
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
                                      std::function<void()> noAnswer, uint8_t option)
{
    return triggerMaintenance(BusRequest::reset(static_cast<uint8_t>(id), option), std::move(callback),
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
