// The window's class-wide device helper, made on first use. Only the window reads it: its views
// find the connected servo's model through it. The core and the command line are handed theirs.
#include "core/session/devicehelper.h"

#include <stdexcept>

std::shared_ptr<DeviceHelper> DeviceHelper::_instance;

std::shared_ptr<DeviceHelper> DeviceHelper::getInstance(std::shared_ptr<SerialHelper> serial,
                                                        std::function<void()> initialised)
{
    if (!_instance) {
        _instance = std::make_shared<DeviceHelper>(std::move(serial), std::move(initialised));
    } else if (serial || initialised) {
        // The caller's port and callback would be ignored: the helper it gets talks elsewhere.
        throw std::logic_error("DeviceHelper::getInstance: a helper exists already, so its port and "
                               "callback cannot be given again; reset DeviceHelper::_instance first");
    }
    return _instance;
}
