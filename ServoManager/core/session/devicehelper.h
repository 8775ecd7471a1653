#pragma once

#include "core/transport/serialhelper.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>

class IDevice;

// Process-wide owner of the current device model: identifies the servo after a connect and
// forwards reboot and factory reset.
class DeviceHelper : public QObject
{
    Q_OBJECT

public:
    static std::shared_ptr<DeviceHelper> _instance;
    static std::shared_ptr<DeviceHelper> getInstance(std::shared_ptr<SerialHelper> serial = {},
                                                     std::function<void()> initialised = {});

    DeviceHelper(std::shared_ptr<SerialHelper> serial, std::function<void()> initialised);

    void triggerDeviceInfoRead(int id);
    void readDeviceInfoCallback(QByteArray response);

    // noAnswer runs when the request went out but no valid answer arrived within the library's
    // limit (about a second); the port is closed again in either case.
    bool triggerDeviceReboot(int id, std::function<void(QByteArray)> callback,
                             std::function<void()> noAnswer = {});
    bool triggerDeviceReset(int id, std::function<void(QByteArray)> callback,
                            std::function<void()> noAnswer = {});

    std::shared_ptr<IDevice> getDevice() const { return _device; }

    // Model number 12 is the AX-12; everything else is treated as a V1.
    static std::shared_ptr<IDevice> createDevice(int modelNumber);

signals:
    void loadDeviceMetadata();
    // The identification read failed (no valid answer by its deadline).
    void identificationFailed(int id, FailureKind kind);

private:
    using Request = bool (SerialHelper::*)(uint8_t, SerialHelper::ResponseCallback,
                                           SerialHelper::FailureCallback);
    bool triggerMaintenance(Request request, int id, std::function<void(QByteArray)> callback,
                            std::function<void()> noAnswer);

    std::shared_ptr<SerialHelper> _serialHelper;
    std::shared_ptr<IDevice> _device;
    std::function<void()> _initialisedCallback;
};
