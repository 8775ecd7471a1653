#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <memory>
#include <optional>

enum class FailureKind;

// A short read of a servo of the bus that is not the connected one: a ping while its model is not
// known, otherwise the span of the values the bus table shows. What is known of the servo comes
// along, for reading several together.
struct SideRead
{
    int id = 0;
    bool ping = false;
    int address = 0;
    int length = 0;
    int modelNumber = -1;
    int firmware = -1;
    int protocol = 0;       // the one it is read in
    int returnDelayUs = -1; // -1: not known
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

    // The servos at `baudRate` in `protocol` that may be read together now, in turn: answering,
    // model and span known, at least one of them due. Their turn is taken by groupSent() only, so
    // the caller may read fewer of them.
    virtual QList<SideRead> dueGroup(int baudRate, int protocol) = 0;
    virtual void groupSent(const QList<int>& ids) = 0;
    // A servo's part of a read of several: the bytes of its span and the error byte they came with.
    virtual void groupPartAnswered(const SideRead& read, const QByteArray& data, uint8_t error) = 0;

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
