// The requests that reach several servos at once: multi-servo reads and the sync write.
#include "core/transport/serialhelper.h"

#include "core/traffic/trafficrecorder.h"

namespace {

constexpr uint8_t broadcastId = 0xFE;
constexpr uint8_t instructionSyncWrite = 0x83;

uint8_t instructionOf(MultiReadKind kind)
{
    switch (kind) {
    case MultiReadKind::SyncRead:
        return 0x82;
    case MultiReadKind::BulkRead:
        return 0x92;
    case MultiReadKind::FastSyncRead:
        return 0x8A;
    case MultiReadKind::FastBulkRead:
        return 0x9A;
    }
    return 0;
}

bool isSync(MultiReadKind kind)
{
    return kind == MultiReadKind::SyncRead || kind == MultiReadKind::FastSyncRead;
}

QList<MultiReadAnswer> failedAnswers(const QList<MultiReadItem>& items, FailureKind kind)
{
    QList<MultiReadAnswer> answers;
    for (const MultiReadItem& item : items) {
        MultiReadAnswer answer;
        answer.id = item.id;
        answer.state = MultiReadAnswer::State::Failed;
        answer.failure = kind;
        answers.append(answer);
    }
    return answers;
}

// The whole transaction's verdict in the traffic log: answered when every servo answered,
// otherwise the first failure's kind.
TrafficOutcome outcomeOf(const QList<MultiReadAnswer>& answers)
{
    for (const MultiReadAnswer& answer : answers) {
        if (answer.state == MultiReadAnswer::State::Failed)
            return trafficOutcomeOf(answer.failure);
    }
    return TrafficOutcome::Answered;
}

} // namespace

bool SerialHelper::sendMultiRead(MultiReadKind kind, const QList<MultiReadItem>& items,
                                 std::function<void()> collector)
{
    if (isSync(kind)) {
        std::vector<uint8_t> ids;
        for (const MultiReadItem& item : items)
            ids.push_back(item.id);
        const uint16_t address = items.front().address;
        const uint16_t length = items.front().length;
        return kind == MultiReadKind::SyncRead
                   ? _kestrabus->syncRead(address, length, ids, std::move(collector))
                   : _kestrabus->fastSyncRead(address, length, ids, std::move(collector));
    }
    std::vector<Kestrabus::BulkReadItem> bulk;
    for (const MultiReadItem& item : items)
        bulk.push_back({item.id, item.address, item.length});
    return kind == MultiReadKind::BulkRead ? _kestrabus->bulkRead(bulk, std::move(collector))
                                           : _kestrabus->fastBulkRead(bulk, std::move(collector));
}

bool SerialHelper::multiRead(MultiReadKind kind, const QList<MultiReadItem>& items, MultiCompletion done)
{
    bool sameSpan = !items.isEmpty();
    QList<MultiReadTarget> targets;
    QList<int> delays;
    for (const MultiReadItem& item : items) {
        sameSpan = sameSpan && item.address == items.front().address && item.length == items.front().length;
        targets.append({item.id, item.length});
        delays.append(item.returnDelayUs);
    }
    if (items.isEmpty() || (isSync(kind) && !sameSpan)) {
        if (done)
            done(failedAnswers(items, FailureKind::NotSent));
        return false;
    }
    // The combined answer exists in Protocol 2 only; the framer reads Protocol 1's as separate.
    const int requestBytes = linetime::multiReadRequestBytes(_protocol, kind, int(items.size()));
    _multiDeadlineMs =
        linetime::multiReadDeadlineMs(_baudRate, requestBytes,
                                      MultiAnswerFramer::answerBytesEach(_protocol, kind, targets), delays,
                                      _adapterAllowanceUs);
    const RequestInfo info{broadcastId, instructionOf(kind), uint8_t(items.front().address),
                           int(items.front().length)};
    _lastSent.clear();
    const bool sent = startTransaction(
        info, requestBytes, 0, {}, Collector::Multi,
        [&](std::function<void()> collector) { return sendMultiRead(kind, items, std::move(collector)); });
    if (!sent) {
        if (done)
            done(failedAnswers(items, FailureKind::NotSent));
        return false;
    }
    // Nothing has been read yet: the framer learns the request as sent, to pass over its echo.
    _multiFramer.reset(_protocol, kind, targets, _lastSent);
    _multiCompletion = std::move(done);
    return true;
}

void SerialHelper::collectMulti(const QByteArray& bytes)
{
    _multiFramer.feed(bytes);
    if (_multiFramer.isComplete())
        finishMulti();
}

void SerialHelper::finishMulti()
{
    _multiFramer.finish();
    const QList<MultiReadAnswer> answers = _multiFramer.answers();
    const MultiCompletion done = _multiCompletion;
    endTransaction(outcomeOf(answers));
    if (done)
        done(answers);
}

bool SerialHelper::syncWrite(uint16_t address, const std::vector<Kestrabus::SyncWriteItem>& items)
{
    if (items.empty())
        return false;
    const int length = items.front().data.size();
    const int requestBytes =
        _sizes.instructionOverhead + 2 * _sizes.addressBytes + int(items.size()) * (1 + length);
    const bool sent = startTransaction(
        {broadcastId, instructionSyncWrite, uint8_t(address), length}, requestBytes, 0, {}, Collector::Unanswered,
        [&](std::function<void()> collector) {
            return _kestrabus->syncWrite(address, uint16_t(length), items, std::move(collector));
        });
    if (sent && _pending)
        endTransaction(TrafficOutcome::Sent);
    return sent;
}
