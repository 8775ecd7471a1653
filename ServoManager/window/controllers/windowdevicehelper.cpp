#include "window/controllers/windowdevicehelper.h"

#include <stdexcept>

std::shared_ptr<DeviceHelper> WindowDeviceHelper::_instance;

std::shared_ptr<DeviceHelper> WindowDeviceHelper::getInstance(std::shared_ptr<SerialHelper> serial,
                                                              std::function<void()> initialised)
{
    if (!_instance) {
        _instance = std::make_shared<DeviceHelper>(std::move(serial), std::move(initialised));
    } else if (serial || initialised) {
        // The caller's port and callback would be ignored: the helper it gets talks elsewhere.
        throw std::logic_error("WindowDeviceHelper::getInstance: a helper exists already, so its port and "
                               "callback cannot be given again; reset WindowDeviceHelper::_instance first");
    }
    return _instance;
}
