#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <cstdint>
#include <optional>

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

// The bus protocols a port can speak. Protocol 1 servos (the AX-12) answer nothing else. Feetech
// servos take Protocol 1's packets, with their own instructions beyond the common ones and their
// own error bits.
enum class BusProtocol
{
    One = 1,
    Two = 2,
    Feetech = 3,
};

// A protocol as a table cell shows it: "1", "2", "1 (Feetech)".
QString protocolText(BusProtocol protocol);
// A protocol as options and files name it: "1", "2", "feetech"; and back (none for another word).
QString protocolWord(BusProtocol protocol);
std::optional<BusProtocol> protocolOfWord(const QString& word);

// True when the protocol's packets have Protocol 1's form (FF FF id length … checksum).
constexpr bool hasProtocol1Form(BusProtocol protocol)
{
    return protocol != BusProtocol::Two;
}

// Sizes of the packets of a protocol, so deadlines follow the bytes really on the line.
struct ProtocolSizes
{
    int instructionOverhead; // an instruction packet without parameters
    int statusOverhead;      // a status packet without parameters
    int addressBytes;        // address and length fields of a read or write
    int resetOptionBytes;    // the factory reset's option
    int pingParameters;      // what a ping's answer carries
    static ProtocolSizes of(BusProtocol protocol);
};

// A Protocol 1 status packet's error byte is a set of flags; the program reads every error in
// the Protocol 2 form (an error number in bits 0-6, the alert flag in bit 7). Refusals become
// their error numbers (checksum, instruction, data range); the servo's alarms (voltage, angle
// limit, heat, overload) become the alert flag, since the instruction was carried out.
uint8_t protocol1ErrorAsProtocol2(uint8_t flags);
// The Protocol 1 alarm flags of an error byte as the hardware error status bits the program
// shows (input voltage 0x01, overheating 0x04, angle limit 0x10, overload 0x20).
uint8_t protocol1Alarms(uint8_t flags);
// A Feetech status packet's error byte holds alarms only (voltage, sensor, temperature, current,
// angle, overload): never a refusal, so at most the alert flag.
uint8_t feetechErrorAsProtocol2(uint8_t flags);
// An answer's error byte in the Protocol 2 form, and its alarms as the status bits the program
// shows, by the protocol the answer came in.
uint8_t errorAsProtocol2(uint8_t raw, BusProtocol protocol);
uint8_t alarmsAsStatusBits(uint8_t raw, BusProtocol protocol);

// Finds one status packet (Protocol 2, or Protocol 1 when set so) of an expected servo in a byte stream that may hold
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

    // Starts a new transaction: forgets everything seen so far. `echo` is the request as sent:
    // a Protocol 1 status packet has no marker of its own, so only this tells a looped-back
    // request from an answer.
    void reset(uint8_t expectedId, int expectedPacketSize, const QByteArray& echo = {});
    void setProtocol(BusProtocol protocol) { _protocol = protocol; }
    BusProtocol protocol() const { return _protocol; }
    State feed(const QByteArray& bytes);

    // The last complete packet, exactly as received.
    QByteArray packet() const { return _packet; }
    // What the transaction failed of if it ended now without a packet.
    FailureKind failureKind() const;
    // A frame of the right form came but failed its check: what two servos answering at once
    // leave, unlike noise, which seldom forms a header.
    bool sawBadFrame() const { return _sawBadFrame; }

    // `initial` continues a CRC already run over the bytes before `data`.
    static uint16_t crc16(const uint8_t* data, int size, uint16_t initial = 0);
    // Protocol 1: the complement of the sum of every byte after the header.
    static uint8_t checksum1(const uint8_t* data, int size);

private:
    State scan();
    State scan1();
    // The frame at the front of the buffer is the answer when it has the expected size, or is
    // an error status without data; any other packet of the servo is passed over.
    State take(int frameSize, bool errorStatus);

    QByteArray _buffer;
    QByteArray _packet;
    QByteArray _echo;
    BusProtocol _protocol = BusProtocol::Two;
    uint8_t _expectedId = 0;
    int _expectedPacketSize = 0;
    bool _sawStrayBytes = false;
    bool _sawBadFrame = false;
    bool _sawWrongId = false;
};
