#include "core/session/writeverifier.h"

#include "core/protocol/statuspacketframer.h"
#include "core/traffic/busstatistics.h"
#include "core/transport/serialhelper.h"

#include <algorithm>
#include <utility>

namespace {
bool overlaps(const WriteField& a, const WriteField& b)
{
    return a.address < b.address + b.size && b.address < a.address + a.size && (a.mask & b.mask) != 0;
}
} // namespace

WriteOutcome WriteVerifier::answeredWith(uint8_t errorByte)
{
    WriteOutcome outcome;
    if (SerialHelper::isRefusal(errorByte)) {
        outcome.answer = WriteOutcome::Answer::Refused;
        outcome.problem = servoErrorText(errorByte);
    }
    outcome.errorByte = errorByte;
    return outcome;
}

WriteOutcome WriteVerifier::failedWith(FailureKind kind, uint8_t errorByte)
{
    WriteOutcome outcome;
    outcome.answer = kind == FailureKind::Refused   ? WriteOutcome::Answer::Refused
                     : kind == FailureKind::NotSent ? WriteOutcome::Answer::NotSent
                                                    : WriteOutcome::Answer::Lost;
    outcome.errorByte = errorByte;
    outcome.problem = kind == FailureKind::Refused ? servoErrorText(errorByte) : failureKindText(kind);
    return outcome;
}

WriteOutcome WriteVerifier::notSent(const QString& why)
{
    WriteOutcome outcome;
    outcome.answer = WriteOutcome::Answer::NotSent;
    outcome.problem = why;
    return outcome;
}

void WriteVerifier::queue(const GroupWrite& write)
{
    if (!write.isEmpty())
        _queue.push_back({write, LockStep::Role::Settings});
}

void WriteVerifier::queue(const QList<LockStep>& steps)
{
    for (const LockStep& step : steps)
        if (!step.write.isEmpty())
            _queue.push_back({step.write, step.role});
}

// A write whose answer was refused or lost leaves the servo's state unknown, and so does one a
// read showed not held: nothing more is written over it until a read has shown that state.
bool WriteVerifier::mayWrite() const
{
    if (_queue.empty())
        return false;
    return std::all_of(_unverified.begin(), _unverified.end(), [](const Unverified& entry) {
        return entry.outcome.answer == WriteOutcome::Answer::Acknowledged && !entry.differedBefore;
    });
}

std::optional<WriteVerifier::Outgoing> WriteVerifier::send(const QByteArray& lastTable)
{
    if (_queue.empty())
        return std::nullopt;
    Outgoing outgoing;
    outgoing.write = _queue.front().write;
    outgoing.role = _queue.front().role;
    _inFlight = _queue.front();
    _queue.pop_front();
    outgoing.data = outgoing.write.block(expectedTable(lastTable));
    outgoing.number = ++_sent;
    _inFlightNumber = outgoing.number;
    return outgoing;
}

QByteArray WriteVerifier::expectedTable(const QByteArray& lastTable) const
{
    QByteArray table = lastTable;
    for (const Unverified& entry : _unverified) {
        const GroupWrite& write = entry.write;
        if (entry.outcome.answer != WriteOutcome::Answer::Acknowledged)
            continue;
        const QByteArray block = write.block(table);
        if (table.size() < write.address() + write.length())
            table.append(QByteArray(write.address() + write.length() - table.size(), '\0'));
        table.replace(write.address(), write.length(), block);
    }
    return table;
}

std::optional<GroupWrite> WriteVerifier::answered(const WriteOutcome& outcome, QList<FinishedWrite>* finished)
{
    if (!_inFlight)
        return std::nullopt;
    const Queued sent = *_inFlight;
    _inFlight.reset();
    // Nothing reached the servo: nothing to read back.
    if (outcome.answer != WriteOutcome::Answer::NotSent) {
        _unverified.push_back({sent.write, outcome, false, sent.role});
    } else {
        QList<FinishedWrite> settled;
        settle(sent.write, sent.role, outcome, &settled);
        if (finished)
            *finished += settled;
    }
    return sent.write;
}

void WriteVerifier::settle(const GroupWrite& write, LockStep::Role role, const WriteOutcome& outcome,
                           QList<FinishedWrite>* finished)
{
    const bool held = outcome.readBack && outcome.check.allHeld();
    switch (role) {
    case LockStep::Role::Settings:
        if (_inLockSequence)
            _heldBack.append({write, outcome});
        else
            finished->append({write, outcome});
        return;
    case LockStep::Role::Open:
        _inLockSequence = true;
        _lockDidNotOpen = !held;
        return;
    case LockStep::Role::Close:
        break;
    }
    // A lock that may be open is reported whatever became of the settings: the servo may keep
    // whatever is written to it from now on.
    const QString problem = held               ? (_lockDidNotOpen ? LockTexts::didNotOpen() : QString())
                            : outcome.readBack ? LockTexts::leftOpen()
                                               : LockTexts::mayBeOpen();
    for (FinishedWrite& done : _heldBack) {
        done.outcome.lockProblem = problem;
        finished->append(done);
    }
    _heldBack.clear();
    _inLockSequence = false;
    _lockDidNotOpen = false;
}

// The oldest waiting write against `table`, of a batch of `batch` writes judged by one read. A
// field that a later write of the batch wrote again is judged with that later write only.
WriteCheck WriteVerifier::checkOldest(size_t batch, const QByteArray& table) const
{
    const GroupWrite& write = _unverified.front().write;
    QList<WriteField> judged;
    for (const WriteField& field : write.fields()) {
        bool superseded = false;
        for (size_t later = 1; later < batch && !superseded; ++later) {
            for (const WriteField& other : _unverified.at(later).write.fields())
                superseded = superseded || overlaps(field, other);
        }
        if (!superseded)
            judged.append(field);
    }
    const GroupWrite subset(judged);
    WriteCheck check = subset.check(table);
    if (!check.allHeld()) {
        // Reported against the write as queued.
        const WriteField& differing = subset.fields().at(check.firstDiffering);
        for (int f = 0; f < write.fields().size(); ++f) {
            if (write.fields().at(f).address == differing.address && write.fields().at(f).name == differing.name)
                check.firstDiffering = f;
        }
    }
    return check;
}

QList<FinishedWrite> WriteVerifier::judge(size_t count, const QByteArray& table)
{
    QList<FinishedWrite> finished;
    for (size_t batch = std::min(count, _unverified.size()); batch > 0; --batch) {
        Unverified& oldest = _unverified.front();
        const WriteCheck check = checkOldest(batch, table);
        if (!check.allHeld() && !oldest.differedBefore) {
            // A late answer of an earlier read looks just like this read's: a write is only
            // called not written when a second read agrees. Written needs no second look, an
            // answer from before the write cannot hold what it wrote.
            oldest.differedBefore = true;
            break;
        }
        WriteOutcome outcome = oldest.outcome;
        outcome.check = check;
        outcome.readBack = true;
        const GroupWrite write = oldest.write;
        const LockStep::Role role = oldest.role;
        _unverified.pop_front();
        settle(write, role, outcome, &finished);
    }
    return finished;
}

QList<FinishedWrite> WriteVerifier::dropAll(const QString& why)
{
    QList<FinishedWrite> dropped;
    const std::deque<Unverified> unverified = std::move(_unverified);
    const std::deque<Queued> queued = std::move(_queue);
    _unverified.clear();
    _queue.clear();
    for (const Unverified& entry : unverified)
        settle(entry.write, entry.role, entry.outcome, &dropped);
    for (const Queued& entry : queued)
        settle(entry.write, entry.role, notSent(why), &dropped);
    // Settings whose close is still on the line: nobody will hear how it ends.
    for (FinishedWrite& done : std::exchange(_heldBack, {})) {
        done.outcome.lockProblem = LockTexts::mayBeOpen();
        dropped.append(done);
    }
    _inLockSequence = false;
    return dropped;
}

QString WriteVerifier::abandon()
{
    QString text;
    bool unacknowledged = _inFlight.has_value();
    for (const Unverified& entry : _unverified)
        unacknowledged = unacknowledged || entry.outcome.answer != WriteOutcome::Answer::Acknowledged;
    if (unacknowledged)
        text = tr("Parameters may not have been written: disconnected before the servo acknowledged them");
    else if (!_unverified.empty())
        text = tr("Parameters may not have been written: disconnected before they were read back");
    else if (!_queue.empty())
        text = tr("Parameters not written: disconnected before they were sent");
    _inFlight.reset();
    _unverified.clear();
    _queue.clear();
    _heldBack.clear();
    _inLockSequence = false;
    _lockDidNotOpen = false;
    return text;
}
