#pragma once

#include "core/model/groupwrite.h"
#include "core/model/locksequence.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QMetaType>
#include <QString>

#include <cstdint>
#include <deque>
#include <optional>

enum class FailureKind;

// What became of a write, judged by what the servo holds afterwards.
struct WriteOutcome
{
    enum class Answer
    {
        Acknowledged,
        Refused, // the servo answered with an error number
        Lost,    // no valid answer by the deadline
        NotSent
    };
    Answer answer = Answer::Acknowledged;
    uint8_t errorByte = 0;
    QString problem;       // why the answer was refused or lost
    bool readBack = false; // a table read after the write was compared with it
    WriteCheck check;
    // Of settings written behind the model's lock: why the servo may not keep them (the lock was
    // left open, or did not open); empty when it closed as it should.
    QString lockProblem;

    // Read back, holding what was written, and the lock (if any) closed again.
    bool succeeded() const { return readBack && check.allHeld() && lockProblem.isEmpty(); }
};
Q_DECLARE_METATYPE(WriteOutcome)

struct FinishedWrite
{
    GroupWrite write;
    WriteOutcome outcome;
};

// The writes of one connection, from queued to judged. A write is judged only by a read sent
// after its answer: what the servo holds is the truth, whatever the answer said. Works on values
// alone; the scheduler does the sending and reading.
class WriteVerifier
{
    Q_DECLARE_TR_FUNCTIONS(WriteVerifier)

public:
    // What a write's answer says: `errorByte` of an answer that came, or how the transaction failed.
    static WriteOutcome answeredWith(uint8_t errorByte);
    static WriteOutcome failedWith(FailureKind kind, uint8_t errorByte);
    // A write that never went out, because of `why`.
    static WriteOutcome notSent(const QString& why);

    void queue(const GroupWrite& write);
    // The writes of one lock sequence, in order. Only its settings are reported, once the close
    // after them has been judged: their outcome then says whether the lock closed.
    void queue(const QList<LockStep>& steps);
    bool hasQueued() const { return !_queue.empty(); }
    // A write is queued and may go: none whose effect is unknown waits for a read.
    bool mayWrite() const;

    struct Outgoing
    {
        quint64 number = 0; // tells this write from later ones
        GroupWrite write;
        LockStep::Role role = LockStep::Role::Settings;
        QByteArray data;
    };
    // The oldest queued write goes out (none when none is queued). The bytes between its fields
    // are what `lastTable` (the newest table read) holds with the acknowledged writes since put in.
    std::optional<Outgoing> send(const QByteArray& lastTable);
    bool isInFlight(quint64 number) const { return _inFlight && _inFlightNumber == number; }
    // The write in flight was answered (or was not): it waits for a read unless it never went
    // out. Returns it; none when no write was in flight. What that settled without a read (a
    // write not sent) is added to `finished`.
    std::optional<GroupWrite> answered(const WriteOutcome& outcome, QList<FinishedWrite>* finished = nullptr);

    // A read sent now judges this many writes.
    size_t waitingForRead() const { return _unverified.size(); }
    // A read sent while `count` writes waited brought `table`: the writes it judged, oldest first.
    QList<FinishedWrite> judge(size_t count, const QByteArray& table);

    bool hasPending() const { return !_queue.empty() || _inFlight || !_unverified.empty(); }
    // Nothing can show what the writes did any more: the waiting ones as they stand, then the
    // queued ones as not sent because of `why`. Neither is kept.
    QList<FinishedWrite> dropAll(const QString& why);
    // The connection ends: drops every write and says what became of them; empty when none.
    QString abandon();

private:
    struct Queued
    {
        GroupWrite write;
        LockStep::Role role = LockStep::Role::Settings;
    };
    struct Unverified
    {
        GroupWrite write;
        WriteOutcome outcome;
        bool differedBefore = false; // one read showed it not held
        LockStep::Role role = LockStep::Role::Settings;
    };

    // A write's outcome is known: settings are reported (held back inside a lock sequence until
    // its close is known), lock steps decide what the held-back settings are told.
    void settle(const GroupWrite& write, LockStep::Role role, const WriteOutcome& outcome,
                QList<FinishedWrite>* finished);

    QByteArray expectedTable(const QByteArray& lastTable) const;
    WriteCheck checkOldest(size_t batch, const QByteArray& table) const;

    std::deque<Queued> _queue;
    std::optional<Queued> _inFlight;
    quint64 _inFlightNumber = 0;
    quint64 _sent = 0;
    std::deque<Unverified> _unverified;
    bool _inLockSequence = false; // its open is settled, its close not yet
    bool _lockDidNotOpen = false;
    QList<FinishedWrite> _heldBack; // settings of the lock sequence, until its close is settled
};
