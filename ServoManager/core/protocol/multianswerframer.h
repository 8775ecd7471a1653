#pragma once

#include "core/protocol/statuspacketframer.h"

#include <QByteArray>
#include <QList>

#include <cstdint>

// The reads that ask several servos at once.
enum class MultiReadKind
{
    SyncRead,     // one span of every servo; a status packet each (also in Protocol 1's form)
    BulkRead,     // a span per servo; a status packet each
    FastSyncRead, // one span of every servo; one combined status packet
    FastBulkRead, // a span per servo; one combined status packet
};

// True when the servos' answers share one status packet (id 0xFE) rather than one packet each.
constexpr bool isCombined(MultiReadKind kind)
{
    return kind == MultiReadKind::FastSyncRead || kind == MultiReadKind::FastBulkRead;
}

// One servo a multi-servo read asks, in the request's order.
struct MultiReadTarget
{
    uint8_t id = 0;
    int length = 0; // the data bytes it is asked for
};

// What one servo's part of a multi-servo read came to.
struct MultiReadAnswer
{
    enum class State
    {
        Pending,
        Answered,
        Failed
    };
    uint8_t id = 0;
    State state = State::Pending;
    QByteArray data;                            // when answered: exactly the bytes asked for
    FailureKind failure = FailureKind::Timeout; // when failed
    uint8_t error = 0;                          // the error byte as received (its alarms too)
};

// Frames the answers of ONE multi-servo read out of a byte stream fed in pieces, and reports a
// result per servo as soon as it is known. Bytes in, results out; no port, no timing: the caller
// owns the deadline and calls finish() when it has passed.
//
// Separate answers (sync and bulk read): each servo sends its own status packet, Protocol 2 or
// Protocol 1's form. A packet of an asked servo with the size asked of it is its answer; an error
// status without data is its refusal; any other packet (a late answer of an earlier request, an
// answer of a servo not asked, a second copy) is passed over. Data that reads like a header comes
// stuffed in Protocol 2 and is taken without the stuffed bytes. A refusal is an error number
// (Protocol 1: a refusal flag); a Feetech error byte holds alarms only, so its data counts.
//
// Combined answer (Protocol 2 fast sync and fast bulk read): one packet
//   FF FF FD 00, FE, length (2), 55, then per servo in the request's order: error, id, data, CRC (2)
// where the length counts from the instruction byte to the end, and each part's CRC runs over the
// packet from its first byte to the end of that part's data: the last one is the whole packet's
// CRC. Each servo continues the CRC from the bytes it heard, so a part is checked by continuing
// from the CRC received just before it, or over the bytes as they came (damage the next servo
// heard too): damage in one part fails that part alone, and a servo
// that stays silent is skipped over by the next id. A combined packet of another length belongs to
// another read and is passed over.
class MultiAnswerFramer
{
public:
    // Starts a new transaction. `echo` is the request as sent, passed over when looped back. Protocol
    // 1's form has no combined answer: a fast kind there is framed as a sync read.
    void reset(BusProtocol protocol, MultiReadKind kind, const QList<MultiReadTarget>& targets,
               const QByteArray& echo = {});
    // Takes the next bytes; returns the indices (into the targets) whose results these bytes settled.
    QList<int> feed(const QByteArray& bytes);
    // The deadline has passed: every servo still pending fails. Returns the indices it settled.
    QList<int> finish();

    bool isComplete() const { return _pending == 0; }
    const QList<MultiReadAnswer>& answers() const { return _answers; }

    // Line bytes of the whole answer (every part, with its packet overhead) for these targets.
    static int answerBytes(BusProtocol protocol, MultiReadKind kind, const QList<MultiReadTarget>& targets);
    // Line bytes of each servo's share of the answer, in the targets' order (the combined packet's
    // header counts with the first).
    static QList<int> answerBytesEach(BusProtocol protocol, MultiReadKind kind,
                                      const QList<MultiReadTarget>& targets);

private:
    void scanSeparate();
    void scanCombined();
    // Parts of the combined packet once its header is taken; false while more bytes are needed.
    bool scanParts();
    void takeSeparate(int index, const uint8_t* frame, int frameSize);
    // Where a Protocol 2 or Protocol 1 frame starts at the front of the buffer: its size, 0 while
    // more bytes are needed, -1 when the front byte starts no believable frame.
    int frontFrameSize(int largest) const;
    bool frontChecksumGood(int frameSize) const;
    int indexOfId(uint8_t id, int from = 0) const;
    void settle(int index, MultiReadAnswer::State state, FailureKind failure = FailureKind::Timeout);
    // A damaged frame named the servo at `index` (-1: none of those asked).
    void markCorrupt(int index);

    BusProtocol _protocol = BusProtocol::Two;
    MultiReadKind _kind = MultiReadKind::SyncRead;
    QList<MultiReadTarget> _targets;
    QList<MultiReadAnswer> _answers;
    QList<bool> _sawCorrupt;        // a damaged frame that named the servo
    bool _sawUnnamedDamage = false; // a damaged frame that named none asked
    QList<int> _settled;            // what the current feed settled
    QByteArray _buffer;
    QByteArray _echo;
    int _pending = 0;
    // The combined packet: inside it after its header, the next part the stream should hold
    // (the first pending target at or after it), and the CRC the next part continues.
    bool _inCombined = false;
    int _nextPart = 0;
    uint16_t _partCrc = 0; // continued from the CRC each part carried
    uint16_t _lineCrc = 0; // over every byte as it came
};
