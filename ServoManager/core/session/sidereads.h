#pragma once

#include "core/session/rosterlink.h"

#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

class SerialHelper;

// Reads the other servos of the bus for the roster, one at a time, in the time the polls of the
// connected servo leave free, and hands it their answers and silences.
class SideReads
{
public:
    explicit SideReads(std::shared_ptr<SerialHelper> serial);

    void setRoster(RosterLink* roster) { _roster = RosterHandle(roster); }
    // None once the roster is gone.
    RosterLink* roster() const { return _roster.get(); }

    // Whether a side read at `baudRate` fits in `leftUs`: its line time and two milliseconds for
    // the way there and back.
    static bool fits(qint64 leftUs, int baudRate);
    // The roster's next read goes out when it fits in `leftUs`, the time left before the next
    // tick. `ended` runs once its answer was handed to the roster.
    void sendNext(qint64 leftUs, const std::function<void()>& ended);
    // True when the failed transaction to `id` was the side read on the line: the roster hears of it.
    bool failed(int id, FailureKind kind);
    // The connection ends with whatever is on the line.
    void drop() { _onLine.reset(); }

private:
    std::shared_ptr<SerialHelper> _serial;
    RosterHandle _roster;
    std::optional<SideRead> _onLine;
};
