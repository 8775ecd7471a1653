#include "core/session/sidereads.h"

#include "core/model/modelregistry.h"
#include "core/protocol/statuspacketframer.h"
#include "core/transport/serialhelper.h"

#include <algorithm>

SideReads::SideReads(std::shared_ptr<SerialHelper> serial) : _serial(std::move(serial)) {}

bool SideReads::fits(qint64 leftUs, int baudRate)
{
    constexpr int overheadUs = 2000;
    constexpr int shortReadBytes = 14 + 11 + 24; // a read request and an answer with a short span
    const qint64 expectedUs = qint64(shortReadBytes) * 10 * 1000000 / std::max(1, baudRate) + overheadUs;
    return expectedUs <= leftUs;
}

void SideReads::sendNext(qint64 leftUs, const std::function<void()>& ended)
{
    RosterLink* roster = _roster.get();
    if (!roster || !fits(leftUs, _serial->baudRate()))
        return;
    _onLine = roster->nextSideRead(_serial->baudRate(), int(_serial->protocol()));
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
