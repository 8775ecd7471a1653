#pragma once

#include "core/session/devicehelper.h"

#include <functional>
#include <memory>

// The window's device helper: its views find the connected servo's model through it. Only the
// window and its tests reach it; the core and the command line are handed theirs.
struct WindowDeviceHelper
{
    static std::shared_ptr<DeviceHelper> _instance;
    // Made on first use. Arguments when one exists already would be dropped without a word: that
    // throws std::logic_error instead.
    static std::shared_ptr<DeviceHelper> getInstance(std::shared_ptr<SerialHelper> serial = {},
                                                     std::function<void()> initialised = {});
};
