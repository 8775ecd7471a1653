#pragma once

#include "core/protocol/multianswerframer.h"
#include "core/session/rosterlink.h"

#include <QList>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

class SerialHelper;

// Reads the other servos of the bus for the roster in the time the polls of the connected servo
// leave free, and hands it their answers and silences: those whose models answer a read of
// several servos in one request together, the others one at a time.
class SideReads
{
public:
    explicit SideReads(std::shared_ptr<SerialHelper> serial);
    SideReads(const SideReads&) = delete;
    SideReads& operator=(const SideReads&) = delete;

    void setRoster(RosterLink* roster) { _roster = RosterHandle(roster); }
    // None once the roster is gone.
    RosterLink* roster() const { return _roster.get(); }

    // Whether a side read at `baudRate` fits in `leftUs`: its line time and two milliseconds for
    // the way there and back.
    static bool fits(qint64 leftUs, int baudRate);
    // The same for one read of `kind` of every servo of `group`: the request's and every answer's
    // line time, each servo's return delay (the longest where not known) and the two milliseconds.
    static bool fits(qint64 leftUs, int baudRate, BusProtocol protocol, MultiReadKind kind,
                     const QList<SideRead>& group);

    struct Group
    {
        MultiReadKind kind = MultiReadKind::BulkRead;
        QList<SideRead> reads;
    };
    // Of the servos `due`, those read together in `leftUs`: the ones whose descriptions list a read
    // of several in `protocol`, with the fastest kind they all answer, as many as fit. None when
    // fewer than two remain: they are read one at a time.
    static std::optional<Group> planGroup(QList<SideRead> due, qint64 leftUs, int baudRate,
                                          BusProtocol protocol);

    // The roster's next read goes out when it fits in `leftUs`, the time left before the next
    // tick. `ended` runs once its answers were handed to the roster.
    void sendNext(qint64 leftUs, const std::function<void()>& ended);
    // True when the failed transaction to `id` was the side read on the line: the roster hears of it.
    bool failed(int id, FailureKind kind);
    // The connection ends with whatever is on the line; a group read's results no longer count.
    void drop()
    {
        _onLine.reset();
        ++_generation;
    }

private:
    bool sendGroup(RosterLink& roster, qint64 leftUs, const std::function<void()>& ended);
    void sendOne(RosterLink& roster, const std::function<void()>& ended);

    std::shared_ptr<SerialHelper> _serial;
    RosterHandle _roster;
    std::optional<SideRead> _onLine;
    quint64 _generation = 0;
    bool _sending = false;
    // Outlived by the request layer, which may report a group read after this is gone.
    std::shared_ptr<const char> _alive = std::make_shared<const char>();
};
