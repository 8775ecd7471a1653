#include "cli/interruption.h"

#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

namespace cli {

namespace {

// The pipe's end the handler writes to: a handler may touch nothing else.
volatile sig_atomic_t wakeEnd = -1;

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeEnd, &byte, 1);
}

} // namespace

Interruption::Interruption(std::function<void()> onInterrupt)
{
    if (::pipe(_pipe) != 0)
        return;
    wakeEnd = _pipe[1];
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    _notifier = std::make_unique<QSocketNotifier>(_pipe[0], QSocketNotifier::Read);
    QObject::connect(_notifier.get(), &QSocketNotifier::activated,
                     [readEnd = _pipe[0], onInterrupt = std::move(onInterrupt)] {
                         // Taken, so that one Ctrl+C is heard once.
                         char byte = 0;
                         [[maybe_unused]] const ssize_t read = ::read(readEnd, &byte, 1);
                         onInterrupt();
                     });
}

Interruption::~Interruption()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (!_notifier)
        return;
    _notifier.reset();
    wakeEnd = -1;
    ::close(_pipe[0]);
    ::close(_pipe[1]);
}

} // namespace cli
