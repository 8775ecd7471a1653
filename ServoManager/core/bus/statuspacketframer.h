#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <cstdint>

// How a transaction failed.
enum class FailureKind
{
    Timeout,    // nothing arrived by the deadline
    Incomplete, // an answer started but was cut short
    Corrupt,    // bytes arrived but no packet with a valid checksum
    WrongId,    // a valid answer came from another servo
    Refused,    // the servo answered with an error and without the requested data
    NotSent,    // the request never went out (bus lock busy)
};

Q_DECLARE_METATYPE(FailureKind)

QString failureKindText(FailureKind kind);

// Finds one Protocol 2 status packet of an expected servo in a byte stream that may hold
// garbage, echoes of our own instruction packets, answers of other servos or broken frames.
// Bytes in, a whole checked packet out; no port, no timing (the caller owns the deadline).
// Without sequence numbers only the size tells a transaction's answer from a late answer of an
// earlier one: a packet is taken when it has the expected size, or is an error status without
// data; any other packet of the servo is passed over.
class StatusPacketFramer
{
public:
    enum class State
    {
        Pending,
        Complete
    };

    static constexpr int headerSize = 7;    // FF FF FD 00, id, length (2)
    static constexpr int minimumLength = 4; // instruction, error, CRC (2)
    // As the expected id: accept the answers of every servo (a broadcast's answer train).
    static constexpr uint8_t anyId = 0xFE;

    static constexpr int errorStatusSize = 11; // a status packet without data

    // Starts a new transaction: forgets everything seen so far.
    void reset(uint8_t expectedId, int expectedPacketSize);
    State feed(const QByteArray& bytes);

    // The last complete packet, exactly as received.
    QByteArray packet() const { return _packet; }
    // What the transaction failed of if it ended now without a packet.
    FailureKind failureKind() const;

    static uint16_t crc16(const uint8_t* data, int size);

private:
    State scan();

    QByteArray _buffer;
    QByteArray _packet;
    uint8_t _expectedId = 0;
    int _expectedPacketSize = 0;
    bool _sawStrayBytes = false;
    bool _sawBadFrame = false;
    bool _sawWrongId = false;
};
