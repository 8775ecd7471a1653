#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace cli {

// While it lives, Ctrl+C (or a TERM) ends a long command with its output complete: the signal
// only wakes the event loop, which then calls `onInterrupt`. The default handlers return with its end.
class Interruption
{
public:
    explicit Interruption(std::function<void()> onInterrupt);
    ~Interruption();
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

private:
    int _pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> _notifier;
};

} // namespace cli
