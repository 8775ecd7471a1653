#pragma once

#include <QByteArray>

#include <memory>
#include <optional>

enum class FailureKind;

// A short read of a servo of the bus that is not the connected one: a ping while its model is not
// known, otherwise the span of the values the bus table shows.
struct SideRead
{
    int id = 0;
    bool ping = false;
    int address = 0;
    int length = 0;
};

// The other servos of the bus, as the scheduler polling the connected one sees them: it tells them
// what became of the connected servo and reads them in turn in the time its polls leave free.
class RosterLink
{
public:
    RosterLink(const RosterLink&) = delete;
    RosterLink& operator=(const RosterLink&) = delete;

    // `protocol` 1 or 2: the connection's; 0 when not known.
    virtual void setConnected(int id, int baudRate, int protocol) = 0;
    // The connected servo was followed to a new id or rate.
    virtual void connectedMoved(int id, int baudRate, int protocol) = 0;
    virtual void connectedSilent(int id, bool silent) = 0;
    // The connected servo's control table; `alarms`: a Protocol 1 answer's alarm bits, -1: none.
    virtual void tableRead(int id, const QByteArray& table, int alarms) = 0;

    // The next servo to read at `baudRate` in `protocol`; none when none is due.
    virtual std::optional<SideRead> nextSideRead(int baudRate, int protocol) = 0;
    virtual void sideReadAnswered(const SideRead& read, const QByteArray& response) = 0;
    virtual void sideReadFailed(const SideRead& read, FailureKind kind) = 0;

    // Expires when this roster is destroyed.
    std::weak_ptr<const void> lifetime() const { return _lifetime; }

protected:
    RosterLink() = default;
    ~RosterLink() = default;

private:
    std::shared_ptr<const char> _lifetime = std::make_shared<const char>();
};

// A roster held by something that may outlive it (the window may end the bus table before the
// scheduler): null once the roster is gone.
class RosterHandle
{
public:
    RosterHandle() = default;
    explicit RosterHandle(RosterLink* roster)
        : _roster(roster), _alive(roster ? roster->lifetime() : std::weak_ptr<const void>())
    {
    }

    RosterLink* get() const { return _alive.expired() ? nullptr : _roster; }

private:
    RosterLink* _roster = nullptr;
    std::weak_ptr<const void> _alive;
};
