#pragma once

#include "core/model/modeldescription.h"
#include "core/protocol/multianswerframer.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>

// One servo of a group read together: its description (none when its model is unknown), the
// protocol it was reached with, and its firmware where read.
struct MultiReadMember
{
    std::shared_ptr<const ModelDescription> model;
    BusProtocol protocol = BusProtocol::Two;
    std::optional<int> firmware;
};

// The word a description's `instructions` uses for a kind ("syncRead", "fastBulkRead"…).
QString multiReadInstruction(MultiReadKind kind);

// True when a servo of `model` answers `kind` in `protocol`: the description lists the protocol
// and the instruction, and the protocol has the instruction (Protocol 1's form: sync read only).
bool answersMultiRead(const ModelDescription& model, BusProtocol protocol, std::optional<int> firmware,
                      MultiReadKind kind);

// True when a servo of `model` takes a sync write in `protocol`: the description lists both.
bool answersSyncWrite(const ModelDescription& model, BusProtocol protocol);

// The fastest multi-servo read every member answers: fast sync read, sync read, fast bulk read,
// bulk read; the sync kinds only when every member is read at the same span (`sameSpan`). None
// means one by one: fewer than two members, members of different protocols, a member without a
// description, or one whose description lists nothing that fits.
std::optional<MultiReadKind> chooseMultiRead(const QList<MultiReadMember>& members, bool sameSpan);
