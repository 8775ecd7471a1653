// The multi-answer framer fed arbitrary bytes in arbitrary pieces, for every kind of multi-servo read in
// either protocol and arbitrary servos asked. Whatever comes in, every servo is settled exactly once,
// an answer holds exactly the bytes asked, and nothing is taken as an answer that did not arrive.

#include "core/protocol/multianswerframer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

void require(bool condition, const char* what)
{
    if (condition)
        return;
    std::fprintf(stderr, "multi-answer framer: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const BusProtocol protocol = input.PickValueInArray({BusProtocol::Two, BusProtocol::One, BusProtocol::Feetech});
    const MultiReadKind kind = input.PickValueInArray(
        {MultiReadKind::SyncRead, MultiReadKind::BulkRead, MultiReadKind::FastSyncRead, MultiReadKind::FastBulkRead});
    const int count = input.ConsumeIntegralInRange<int>(1, 8);
    const bool sync = kind == MultiReadKind::SyncRead || kind == MultiReadKind::FastSyncRead;
    const int syncLength = input.ConsumeIntegralInRange<int>(1, 16);
    QList<MultiReadTarget> targets;
    std::set<uint8_t> ids;
    for (int i = 0; i < count; ++i) {
        const auto id = input.ConsumeIntegralInRange<uint8_t>(0, 252);
        if (!ids.insert(id).second)
            continue; // a request names each servo once
        targets.append({id, sync ? syncLength : input.ConsumeIntegralInRange<int>(1, 16)});
    }
    const size_t piece = input.ConsumeIntegralInRange<size_t>(1, 64);
    const std::string rest = input.ConsumeRemainingBytesAsString();
    const QByteArray stream(rest.data(), int(rest.size()));

    MultiAnswerFramer framer;
    framer.reset(protocol, kind, targets);
    std::set<int> settled;
    const auto take = [&](const QList<int>& indices) {
        for (int index : indices) {
            require(index >= 0 && index < targets.size(), "an index outside the servos asked");
            require(settled.insert(index).second, "a servo settled twice");
        }
    };
    for (int at = 0; at < stream.size(); at += int(piece))
        take(framer.feed(stream.mid(at, int(piece))));
    take(framer.finish());

    require(framer.isComplete() && int(settled.size()) == targets.size(), "a servo left unsettled");
    for (int i = 0; i < targets.size(); ++i) {
        const MultiReadAnswer& answer = framer.answers().at(i);
        require(answer.id == targets[i].id, "answers out of the servos' order");
        require(answer.state != MultiReadAnswer::State::Pending, "a pending answer after the end");
        if (answer.state != MultiReadAnswer::State::Answered)
            continue;
        require(answer.data.size() == targets[i].length, "an answer of another size than asked");
        // Data that reads like a header arrives stuffed and cannot be found as it is.
        require(stream.contains(answer.data) || answer.data.contains(QByteArray("\xFF\xFF\xFD", 3)),
                "data that never arrived");
    }
    return 0;
}
