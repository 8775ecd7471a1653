#pragma once

#include "core/transport/serialhelper.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>

class IDevice;
struct ModelDescription;

// The model of the servo on one port: identifies the servo after a connect, and forwards reboot
// and factory reset. Whoever needs it is handed it by the one who made it.
class DeviceHelper : public QObject
{
    Q_OBJECT

public:
    explicit DeviceHelper(std::shared_ptr<SerialHelper> serial, std::function<void()> initialised = {});

    void triggerDeviceInfoRead(int id);
    void readDeviceInfoCallback(QByteArray response);

    // noAnswer runs when the request went out but no valid answer arrived within the library's
    // limit (about a second); the port is closed again in either case.
    bool triggerDeviceReboot(int id, std::function<void(QByteArray)> callback,
                             std::function<void()> noAnswer = {});
    // `option`: Protocol 2's reset option (see factoryreset::optionByte).
    bool triggerDeviceReset(int id, std::function<void(QByteArray)> callback,
                            std::function<void()> noAnswer = {}, uint8_t option = 0x01);

    std::shared_ptr<IDevice> getDevice() const { return _device; }
    // The id of the servo identified last; -1 before any.
    int identifiedId() const { return _identifiedId; }

    // The model whose description lists the number, or the one "Treat as…" chose for it; empty
    // when neither: nothing may then be written to the servo.
    static std::shared_ptr<IDevice> createDevice(int modelNumber);
    // The model to load for a model number no description lists, for this helper only (the
    // command line's --as); a listed number still loads its own.
    void treatUnknownAs(std::shared_ptr<const ModelDescription> description)
    {
        _unknownAs = std::move(description);
    }
    // The model number and firmware the last identification read.
    int modelNumber() const { return _modelNumber; }
    int firmware() const { return _firmware; }

signals:
    void loadDeviceMetadata();
    // The model is known, and every receiver of loadDeviceMetadata has it already.
    void identified();
    // The identification read failed (no valid answer by its deadline).
    void identificationFailed(int id, FailureKind kind);
    // The servo answered with a model number no description covers; no model is loaded.
    // `firmware` is -1 when the answer did not say.
    void unknownModel(int id, int modelNumber, int firmware);

private:
    bool triggerMaintenance(const BusRequest& request, std::function<void(QByteArray)> callback,
                            std::function<void()> noAnswer);

    std::shared_ptr<SerialHelper> _serialHelper;
    std::shared_ptr<IDevice> _device;
    std::function<void()> _initialisedCallback;
    int _modelNumber = -1;
    int _firmware = -1;
    int _identifiedId = -1;
    std::shared_ptr<const ModelDescription> _unknownAs;
};
