#include "bus/statuspacketframer.h"

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

} // namespace

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

uint16_t StatusPacketFramer::crc16(const uint8_t* data, int size)
{
    static const std::array<uint16_t, 256> table = makeCrcTable();
    uint16_t crc = 0;
    for (int i = 0; i < size; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

void StatusPacketFramer::reset(uint8_t expectedId, int expectedPacketSize)
{
    _buffer.clear();
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
        if (frameSize != _expectedPacketSize && !errorStatus) {
            // A whole packet of this servo, but not this transaction's answer: most likely the late
            // answer of an earlier request.
            _buffer.remove(0, frameSize);
            continue;
        }
        _packet = _buffer.left(frameSize);
        _buffer.remove(0, frameSize);
        return State::Complete;
    }
}

FailureKind StatusPacketFramer::failureKind() const
{
    if (_sawWrongId)
        return FailureKind::WrongId;
    if (_sawBadFrame)
        return FailureKind::Corrupt;
    if (_buffer.size() >= headerBytes)
        return FailureKind::Incomplete;
    if (_sawStrayBytes || !_buffer.isEmpty())
        return FailureKind::Corrupt;
    return FailureKind::Timeout;
}
