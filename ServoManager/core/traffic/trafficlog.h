#pragma once

#include "core/protocol/statuspacketframer.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <deque>
#include <vector>

// What became of the transaction a packet belongs to, as the request layer judged it.
enum class TrafficOutcome : uint8_t
{
    Answered,
    NoAnswer,
    Incomplete,
    Corrupt,
    WrongId,
    Refused,
    NotSent,
    Cancelled, // given up without a verdict (disconnect, another request took over silently)
    Outside,   // bytes that arrived while no transaction was open
    Sent,      // a request no servo answers (a sync write), written
};

TrafficOutcome trafficOutcomeOf(FailureKind kind);
QString trafficOutcomeText(TrafficOutcome outcome);

// The columns of the traffic table, and of a saved traffic file.
enum class TrafficColumn
{
    Time,
    Direction,
    Protocol,
    Id,
    Instruction,
    Address,
    Length,
    Error,
    Checksum,
    Outcome,
    Bytes,
    Count
};
QString trafficColumnTitle(TrafficColumn column);

// One kept packet, decoded from its bytes when asked. The bytes belong to the log: valid until the
// log changes.
struct TrafficPacket
{
    enum class Kind
    {
        Packet,  // a whole frame by its length field (the checksum may still be wrong)
        Partial, // a header, but fewer bytes than its length field says
        Stray,   // bytes that start no frame
    };
    enum class Checksum
    {
        None, // nothing to check
        Good,
        Bad,
        Short, // cut before the checksum
    };

    qint64 timeUs = 0;
    bool received = false; // ← (else a request the program sent)
    bool echo = false;     // our own request, looped back by the adapter
    BusProtocol protocol = BusProtocol::Two;
    TrafficOutcome outcome = TrafficOutcome::Outside;
    int requestId = -1;          // the id the transaction's request went to; -1 outside one
    int requestInstruction = -1; // and its instruction
    const char* bytes = nullptr;
    int size = 0;

    Kind kind() const;
    int id() const;          // -1 when the bytes hold none
    int instruction() const; // 0x55 for a status packet; -1 when none
    bool isStatus() const { return instruction() == statusInstruction; }
    int address() const;   // reads and writes; -1 otherwise
    int length() const;    // bytes read or written, data bytes of a status; -1 otherwise
    int errorByte() const; // a status packet's, in the Protocol 2 form; -1 otherwise
    Checksum checksum() const;
    bool isFailure() const { return outcome != TrafficOutcome::Answered; }
    QByteArray toByteArray() const { return QByteArray(bytes, size); }

    QString text(TrafficColumn column) const;

    static constexpr int statusInstruction = 0x55;

private:
    int headerSize() const;
    int frameSize() const; // by the length field; 0 when the header is not complete
    int parameterStart() const;
    int parameterCount() const;
    uint8_t at(int index) const { return static_cast<uint8_t>(bytes[index]); }
};

// Cuts received bytes into frames and the stray bytes between them. Returns how many bytes were
// cut off the front; unless `final`, bytes that may still become a frame are left.
struct TrafficPiece
{
    int offset;
    int size;
};
int cutTrafficPieces(BusProtocol protocol, const QByteArray& bytes, bool final,
                     std::vector<TrafficPiece>& pieces);

// The last `capacity` packets, oldest first, each numbered (sequence numbers keep counting across
// drops and clears). Records are small fixed structs; their bytes sit in shared blocks that are
// reused once the records in them are dropped, so memory stops growing once the log is full.
// A copy is cheap (the blocks are shared) and can be read in another thread.
class TrafficLog
{
public:
    static constexpr int defaultCapacity = 100000;
    // Longer runs of bytes are kept as several packets.
    static constexpr int maxPacketBytes = 300;

    explicit TrafficLog(int capacity = defaultCapacity);

    struct Meta
    {
        qint64 timeUs = 0;
        bool received = false;
        bool echo = false;
        BusProtocol protocol = BusProtocol::Two;
        TrafficOutcome outcome = TrafficOutcome::Outside;
        int requestId = -1;
        int requestInstruction = -1;
    };
    // At most maxPacketBytes; more is cut off.
    void append(const Meta& meta, const char* bytes, int size);

    // Empties the log too.
    void setCapacity(int capacity);
    int capacity() const { return _capacity; }
    int size() const { return int(_count); }
    quint64 firstSeq() const { return _first; }
    quint64 endSeq() const { return _first + _count; }
    bool contains(quint64 seq) const { return seq >= _first && seq < endSeq(); }
    // Packets pushed out to make room since the last clear.
    quint64 dropped() const { return _dropped; }
    // `seq` must be contained.
    TrafficPacket at(quint64 seq) const;
    void clear();

private:
    struct Record
    {
        qint64 timeUs;
        quint32 block; // counted since the log was made
        quint16 offset;
        quint16 size;
        uint8_t flags;
        uint8_t outcome;
        uint8_t requestId;
        uint8_t requestInstruction;
    };
    static constexpr int blockBytes = 64 * 1024 - 64;
    static constexpr size_t spareBlocks = 2;

    void dropOldest();
    void releaseBlocks();

    size_t _capacity;
    std::vector<Record> _records; // a ring once full
    size_t _head = 0;             // index of the oldest
    size_t _count = 0;
    quint64 _first = 0;
    quint64 _dropped = 0;
    std::deque<QByteArray> _blocks;
    quint32 _firstBlock = 0;
    int _blockUsed = 0;
    std::vector<QByteArray> _spare;
};
