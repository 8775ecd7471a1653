#include "core/session/sidereads.h"

#include "core/model/modelregistry.h"
#include "core/model/multiread.h"
#include "core/protocol/linetime.h"
#include "core/protocol/statuspacketframer.h"
#include "core/transport/serialhelper.h"

#include <algorithm>

namespace {
constexpr int overheadUs = 2000; // the way there and back through the adapter and the event loop

// The description that speaks for a servo of `modelNumber` reached in `protocol`.
std::shared_ptr<const ModelDescription> descriptionOf(int modelNumber, BusProtocol protocol)
{
    for (const ModelRegistry::Model& model : ModelRegistry::shared().models()) {
        if (model.description->answersModelNumber(modelNumber) &&
            model.description->protocols.contains(int(protocol)))
            return model.description;
    }
    return nullptr;
}

MultiReadMember memberOf(const SideRead& read)
{
    const BusProtocol protocol = BusProtocol(read.protocol);
    MultiReadMember member;
    member.model = descriptionOf(read.modelNumber, protocol);
    member.protocol = protocol;
    if (read.firmware >= 0)
        member.firmware = read.firmware;
    return member;
}

// True when the servo's description lists some read of several that its protocol has.
bool readsWithOthers(const MultiReadMember& member)
{
    if (!member.model)
        return false;
    for (MultiReadKind kind : {MultiReadKind::SyncRead, MultiReadKind::BulkRead, MultiReadKind::FastSyncRead,
                               MultiReadKind::FastBulkRead}) {
        if (answersMultiRead(*member.model, member.protocol, member.firmware, kind))
            return true;
    }
    return false;
}
} // namespace

SideReads::SideReads(std::shared_ptr<SerialHelper> serial) : _serial(std::move(serial)) {}

bool SideReads::fits(qint64 leftUs, int baudRate)
{
    constexpr int shortReadBytes = 14 + 11 + 24; // a read request and an answer with a short span
    const qint64 expectedUs = qint64(shortReadBytes) * 10 * 1000000 / std::max(1, baudRate) + overheadUs;
    return expectedUs <= leftUs;
}

bool SideReads::fits(qint64 leftUs, int baudRate, BusProtocol protocol, MultiReadKind kind,
                     const QList<SideRead>& group)
{
    QList<MultiReadTarget> targets;
    double delaysUs = 0;
    for (const SideRead& read : group) {
        targets.append({uint8_t(read.id), read.length});
        delaysUs += read.returnDelayUs < 0 ? linetime::longestReturnDelayUs : read.returnDelayUs;
    }
    int bytes = linetime::multiReadRequestBytes(protocol, kind, int(group.size()));
    for (int answer : MultiAnswerFramer::answerBytesEach(protocol, kind, targets))
        bytes += answer;
    return linetime::bytesUs(bytes, baudRate) + delaysUs + overheadUs <= double(leftUs);
}

std::optional<SideReads::Group> SideReads::planGroup(QList<SideRead> due, qint64 leftUs, int baudRate,
                                                     BusProtocol protocol)
{
    QList<MultiReadMember> members;
    QList<SideRead> reads;
    for (const SideRead& read : due) {
        const MultiReadMember member = memberOf(read);
        if (!read.ping && member.protocol == protocol && readsWithOthers(member)) {
            members.append(member);
            reads.append(read);
        }
    }
    // The last ones wait for the next round when the whole group does not fit.
    while (reads.size() >= 2) {
        const bool sameSpan = std::all_of(reads.begin(), reads.end(), [&](const SideRead& read) {
            return read.address == reads.first().address && read.length == reads.first().length;
        });
        const std::optional<MultiReadKind> kind = chooseMultiRead(members, sameSpan);
        if (!kind)
            return std::nullopt;
        if (fits(leftUs, baudRate, protocol, *kind, reads))
            return Group{*kind, reads};
        reads.removeLast();
        members.removeLast();
    }
    return std::nullopt;
}

void SideReads::sendNext(qint64 leftUs, const std::function<void()>& ended)
{
    RosterLink* roster = _roster.get();
    if (!roster || !fits(leftUs, _serial->baudRate()))
        return;
    if (!sendGroup(*roster, leftUs, ended))
        sendOne(*roster, ended);
}

bool SideReads::sendGroup(RosterLink& roster, qint64 leftUs, const std::function<void()>& ended)
{
    const std::optional<Group> group =
        planGroup(roster.dueGroup(_serial->baudRate(), int(_serial->protocol())), leftUs, _serial->baudRate(),
                  _serial->protocol());
    if (!group)
        return false;
    QList<MultiReadItem> items;
    QList<int> ids;
    for (const SideRead& read : group->reads) {
        items.append({uint8_t(read.id), uint16_t(read.address), uint16_t(read.length), read.returnDelayUs});
        ids.append(read.id);
    }
    roster.groupSent(ids);
    const std::weak_ptr<const char> alive = _alive;
    const quint64 generation = _generation;
    const QList<SideRead> reads = group->reads;
    auto done = [this, alive, generation, reads, ended](const QList<MultiReadAnswer>& answers) {
        if (alive.expired() || generation != _generation)
            return;
        RosterLink* roster = _roster.get();
        for (int i = 0; roster && i < reads.size() && i < answers.size(); ++i) {
            const MultiReadAnswer& answer = answers.at(i);
            if (answer.state == MultiReadAnswer::State::Answered)
                roster->groupPartAnswered(reads.at(i), answer.data, answer.error);
            else
                roster->sideReadFailed(reads.at(i), answer.failure);
        }
        // One that could not be sent ends here and now: the next tick tries again.
        if (!_sending)
            ended();
    };
    _sending = true;
    _serial->multiRead(group->kind, items, done);
    _sending = false;
    return true;
}

void SideReads::sendOne(RosterLink& roster, const std::function<void()>& ended)
{
    _onLine = roster.nextSideRead(_serial->baudRate(), int(_serial->protocol()));
    if (!_onLine)
        return;
    const SideRead read = *_onLine;
    auto answered = [this, read, ended](QByteArray response) {
        _onLine.reset();
        if (RosterLink* roster = _roster.get())
            roster->sideReadAnswered(read, response);
        ended();
    };
    // A Protocol 1 ping's answer carries no model number: the first bytes of the table (model
    // number, firmware, wherever the protocol's models keep them) are read instead.
    constexpr int identityBytes = ModelRegistry::identityBytes;
    const bool ping = read.ping && _serial->protocol() == BusProtocol::Two;
    const bool identity = read.ping && !ping;
    const bool sent = ping ? _serial->ping(uint8_t(read.id), answered)
                           : _serial->readData(uint8_t(read.id), identity ? 0 : uint8_t(read.address),
                                               identity ? identityBytes : uint8_t(read.length), answered);
    if (!sent)
        _onLine.reset();
}

// Another servo's silence is not the connected servo's.
bool SideReads::failed(int id, FailureKind kind)
{
    if (!_onLine || _onLine->id != id)
        return false;
    const SideRead read = *_onLine;
    _onLine.reset();
    if (RosterLink* roster = _roster.get())
        roster->sideReadFailed(read, kind);
    return true;
}
