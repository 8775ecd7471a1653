#include "core/model/multiread.h"

#include <algorithm>
#include <array>

QString multiReadInstruction(MultiReadKind kind)
{
    switch (kind) {
    case MultiReadKind::SyncRead:
        return QStringLiteral("syncRead");
    case MultiReadKind::BulkRead:
        return QStringLiteral("bulkRead");
    case MultiReadKind::FastSyncRead:
        return QStringLiteral("fastSyncRead");
    case MultiReadKind::FastBulkRead:
        return QStringLiteral("fastBulkRead");
    }
    return {};
}

bool answersMultiRead(const ModelDescription& model, BusProtocol protocol, std::optional<int> firmware,
                      MultiReadKind kind)
{
    if (hasProtocol1Form(protocol) && kind != MultiReadKind::SyncRead)
        return false;
    if (!model.protocols.contains(int(protocol)) || !model.instructions.contains(multiReadInstruction(kind)))
        return false;
    // Descriptions state one firmware range for the whole model, and no minimum per instruction:
    // a servo below the model's own minimum is not the model the description speaks for.
    if (firmware && model.firmwareMin && *firmware < *model.firmwareMin)
        return false;
    return true;
}

bool answersSyncWrite(const ModelDescription& model, BusProtocol protocol)
{
    return model.protocols.contains(int(protocol)) && model.instructions.contains(QStringLiteral("syncWrite"));
}

std::optional<MultiReadKind> chooseMultiRead(const QList<MultiReadMember>& members, bool sameSpan)
{
    if (members.size() < 2)
        return std::nullopt;
    const BusProtocol protocol = members.first().protocol;
    for (const MultiReadMember& member : members) {
        if (!member.model || member.protocol != protocol)
            return std::nullopt;
    }
    static constexpr std::array<MultiReadKind, 4> fastestFirst{
        MultiReadKind::FastSyncRead, MultiReadKind::SyncRead, MultiReadKind::FastBulkRead,
        MultiReadKind::BulkRead};
    for (MultiReadKind kind : fastestFirst) {
        const bool sync = kind == MultiReadKind::FastSyncRead || kind == MultiReadKind::SyncRead;
        if (sync && !sameSpan)
            continue;
        const bool everyone = std::all_of(members.begin(), members.end(), [&](const MultiReadMember& member) {
            return answersMultiRead(*member.model, protocol, member.firmware, kind);
        });
        if (everyone)
            return kind;
    }
    return std::nullopt;
}
