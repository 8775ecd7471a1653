#include "core/protocol/statuspacketframer.h"

#include <QCoreApplication>

#include <algorithm>
#include <array>

namespace {

constexpr uint8_t statusInstruction = 0x55;
const char header[] = {'\xFF', '\xFF', '\xFD', '\x00'};
constexpr int headerBytes = 4;
constexpr int instructionMinimumLength = 3; // an instruction packet without parameters
// Bits 0-6 of the error byte hold the error number; bit 7 alone is only a hardware alert.
constexpr uint8_t errorNumberMask = 0x7F;

std::array<uint16_t, 256> makeCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc =
                (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x8005) : static_cast<uint16_t>(crc << 1);
        table[i] = crc;
    }
    return table;
}

uint8_t byteAt(const QByteArray& bytes, int index)
{
    return static_cast<uint8_t>(bytes.at(index));
}

// Protocol 1: FF FF, id, length (parameters + 2), error, parameters, checksum.
constexpr int p1HeaderBytes = 2;
constexpr int p1FrameOverhead = 4; // header, id, length: the length counts what follows
constexpr int p1MinimumLength = 2; // error (or instruction) and checksum
constexpr int p1ErrorStatusSize = 6;

namespace p1flag {
constexpr uint8_t InputVoltage = 0x01;
constexpr uint8_t AngleLimit = 0x02;
constexpr uint8_t Overheating = 0x04;
constexpr uint8_t Range = 0x08;
constexpr uint8_t Checksum = 0x10;
constexpr uint8_t Overload = 0x20;
constexpr uint8_t Instruction = 0x40;
constexpr uint8_t Refusals = Range | Checksum | Instruction;
constexpr uint8_t Alarms = InputVoltage | AngleLimit | Overheating | Overload;
} // namespace p1flag

// The Protocol 2 error numbers the refusals stand for.
constexpr uint8_t p2InstructionError = 2;
constexpr uint8_t p2CrcError = 3;
constexpr uint8_t p2DataRangeError = 4;
constexpr uint8_t p2Alert = 0x80;

} // namespace

ProtocolSizes ProtocolSizes::of(BusProtocol protocol)
{
    if (hasProtocol1Form(protocol))
        return {6, 6, 1, 0, 0};
    return {10, 11, 2, 1, 3};
}

uint8_t protocol1ErrorAsProtocol2(uint8_t flags)
{
    uint8_t number = 0;
    if (flags & p1flag::Instruction)
        number = p2InstructionError;
    else if (flags & p1flag::Checksum)
        number = p2CrcError;
    else if (flags & p1flag::Range)
        number = p2DataRangeError;
    return static_cast<uint8_t>(number | ((flags & p1flag::Alarms) ? p2Alert : 0));
}

uint8_t protocol1Alarms(uint8_t flags)
{
    uint8_t bits = flags & (p1flag::InputVoltage | p1flag::Overheating | p1flag::Overload);
    if (flags & p1flag::AngleLimit)
        bits |= 0x10;
    return bits;
}

QString protocolText(BusProtocol protocol)
{
    if (protocol == BusProtocol::Feetech)
        return QCoreApplication::translate("SerialHelper", "1 (Feetech)");
    return QString::number(int(protocol));
}

QString protocolWord(BusProtocol protocol)
{
    return protocol == BusProtocol::Feetech ? QStringLiteral("feetech") : QString::number(int(protocol));
}

std::optional<BusProtocol> protocolOfWord(const QString& word)
{
    const QString plain = word.trimmed().toLower();
    if (plain == QLatin1String("1"))
        return BusProtocol::One;
    if (plain == QLatin1String("2"))
        return BusProtocol::Two;
    if (plain == QLatin1String("feetech"))
        return BusProtocol::Feetech;
    return std::nullopt;
}

uint8_t feetechErrorAsProtocol2(uint8_t flags)
{
    // Every bit is an alarm: the servo carried the instruction out.
    return flags != 0 ? p2Alert : 0;
}

uint8_t errorAsProtocol2(uint8_t raw, BusProtocol protocol)
{
    switch (protocol) {
    case BusProtocol::One:
        return protocol1ErrorAsProtocol2(raw);
    case BusProtocol::Feetech:
        return feetechErrorAsProtocol2(raw);
    case BusProtocol::Two:
        break;
    }
    return raw;
}

uint8_t alarmsAsStatusBits(uint8_t raw, BusProtocol protocol)
{
    switch (protocol) {
    case BusProtocol::One:
        return protocol1Alarms(raw);
    case BusProtocol::Feetech:
        // The error byte repeats the servo status register, whose bits the description names.
        return raw;
    case BusProtocol::Two:
        break;
    }
    return raw;
}

QString failureKindText(FailureKind kind)
{
    switch (kind) {
    case FailureKind::Timeout:
        return QCoreApplication::translate("SerialHelper", "no answer");
    case FailureKind::Incomplete:
        return QCoreApplication::translate("SerialHelper", "answer cut short");
    case FailureKind::Corrupt:
        return QCoreApplication::translate("SerialHelper", "corrupt answer");
    case FailureKind::WrongId:
        return QCoreApplication::translate("SerialHelper", "answer from another servo");
    case FailureKind::Refused:
        return QCoreApplication::translate("SerialHelper", "refused by the servo");
    case FailureKind::NotSent:
        return QCoreApplication::translate("SerialHelper", "request not sent");
    }
    return {};
}

uint16_t StatusPacketFramer::crc16(const uint8_t* data, int size, uint16_t initial)
{
    static const std::array<uint16_t, 256> table = makeCrcTable();
    uint16_t crc = initial;
    for (int i = 0; i < size; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

uint8_t StatusPacketFramer::checksum1(const uint8_t* data, int size)
{
    unsigned sum = 0;
    for (int i = 0; i < size; ++i)
        sum += data[i];
    return static_cast<uint8_t>(~sum & 0xFF);
}

void StatusPacketFramer::reset(uint8_t expectedId, int expectedPacketSize, const QByteArray& echo)
{
    _buffer.clear();
    _echo = echo;
    _packet.clear();
    _expectedId = expectedId;
    _expectedPacketSize = expectedPacketSize;
    _sawStrayBytes = false;
    _sawBadFrame = false;
    _sawWrongId = false;
}

StatusPacketFramer::State StatusPacketFramer::feed(const QByteArray& bytes)
{
    _buffer.append(bytes);
    return scan();
}

StatusPacketFramer::State StatusPacketFramer::scan()
{
    if (hasProtocol1Form(_protocol))
        return scan1();
    for (;;) {
        const int start = _buffer.indexOf(QByteArray::fromRawData(header, headerBytes));
        if (start < 0) {
            // Keep a tail that may be the start of a header split across chunks.
            int keep = 0;
            for (int n = std::min(headerBytes - 1, _buffer.size()); n > 0 && keep == 0; --n) {
                if (_buffer.endsWith(QByteArray::fromRawData(header, n)))
                    keep = n;
            }
            if (_buffer.size() > keep)
                _sawStrayBytes = true;
            _buffer.remove(0, _buffer.size() - keep);
            return State::Pending;
        }
        if (start > 0) {
            _sawStrayBytes = true;
            _buffer.remove(0, start);
        }
        if (_buffer.size() < headerSize)
            return State::Pending;

        const int length = byteAt(_buffer, 5) | (byteAt(_buffer, 6) << 8);
        const int frameSize = headerSize + length;
        if (length < instructionMinimumLength || frameSize > std::max(_expectedPacketSize, errorStatusSize)) {
            // Not a header we can believe; look for the next one.
            _sawBadFrame = true;
            _buffer.remove(0, 1);
            continue;
        }
        if (_buffer.size() < frameSize)
            return State::Pending;

        const auto* frame = reinterpret_cast<const uint8_t*>(_buffer.constData());
        const uint16_t received = static_cast<uint16_t>(frame[frameSize - 2] | (frame[frameSize - 1] << 8));
        if (crc16(frame, frameSize - 2) != received) {
            _sawBadFrame = true;
            _buffer.remove(0, 1);
            continue;
        }
        if (frame[7] != statusInstruction) {
            // An echo of an instruction packet (some adapters loop the line back): not an answer.
            _buffer.remove(0, frameSize);
            continue;
        }
        if (length < minimumLength) {
            _sawBadFrame = true;
            _buffer.remove(0, 1);
            continue;
        }
        if (_expectedId != anyId && frame[4] != _expectedId) {
            _sawWrongId = true;
            _buffer.remove(0, frameSize);
            continue;
        }
        const bool errorStatus = frameSize == errorStatusSize && (frame[8] & errorNumberMask) != 0;
        if (take(frameSize, errorStatus) == State::Complete)
            return State::Complete;
    }
}

StatusPacketFramer::State StatusPacketFramer::take(int frameSize, bool errorStatus)
{
    if (frameSize != _expectedPacketSize && !errorStatus) {
        // A whole packet of this servo, but not this transaction's answer: most likely the late
        // answer of an earlier request.
        _buffer.remove(0, frameSize);
        return State::Pending;
    }
    _packet = _buffer.left(frameSize);
    _buffer.remove(0, frameSize);
    return State::Complete;
}

StatusPacketFramer::State StatusPacketFramer::scan1()
{
    const QByteArray header1 = QByteArray::fromRawData(header, p1HeaderBytes);
    for (;;) {
        const int start = _buffer.indexOf(header1);
        if (start < 0) {
            const int keep = _buffer.endsWith(header[0]) ? 1 : 0; // maybe the first header byte
            if (_buffer.size() > keep)
                _sawStrayBytes = true;
            _buffer.remove(0, _buffer.size() - keep);
            return State::Pending;
        }
        if (start > 0) {
            _sawStrayBytes = true;
            _buffer.remove(0, start);
        }
        if (_buffer.size() < p1FrameOverhead)
            return State::Pending;
        if (byteAt(_buffer, 2) == 0xFF) {
            // FF FF FF: the header may start one byte later (0xFF is no id).
            _sawStrayBytes = true;
            _buffer.remove(0, 1);
            continue;
        }
        const int length = byteAt(_buffer, 3);
        const int frameSize = p1FrameOverhead + length;
        if (length < p1MinimumLength || frameSize > std::max(_expectedPacketSize, p1ErrorStatusSize)) {
            _sawBadFrame = true;
            _buffer.remove(0, 1);
            continue;
        }
        if (_buffer.size() < frameSize)
            return State::Pending;
        const auto* frame = reinterpret_cast<const uint8_t*>(_buffer.constData());
        if (checksum1(frame + p1HeaderBytes, frameSize - p1HeaderBytes - 1) != frame[frameSize - 1]) {
            _sawBadFrame = true;
            _buffer.remove(0, 1);
            continue;
        }
        if (!_echo.isEmpty() && _buffer.startsWith(_echo)) {
            // The request looped back by the adapter comes before any answer. Only the first copy
            // is passed over: behind an echo, an answer that reads alike still counts.
            _echo.clear();
            _buffer.remove(0, frameSize);
            continue;
        }
        if (_expectedId != anyId && frame[2] != _expectedId) {
            _sawWrongId = true;
            _buffer.remove(0, frameSize);
            continue;
        }
        const bool errorStatus = frameSize == p1ErrorStatusSize && (frame[4] & p1flag::Refusals) != 0;
        if (take(frameSize, errorStatus) == State::Complete)
            return State::Complete;
    }
}

FailureKind StatusPacketFramer::failureKind() const
{
    if (_sawWrongId)
        return FailureKind::WrongId;
    if (_sawBadFrame)
        return FailureKind::Corrupt;
    if (_buffer.size() >= (hasProtocol1Form(_protocol) ? p1HeaderBytes : headerBytes))
        return FailureKind::Incomplete;
    if (_sawStrayBytes || !_buffer.isEmpty())
        return FailureKind::Corrupt;
    return FailureKind::Timeout;
}
