#include "core/protocol/multianswerframer.h"

#include <algorithm>
#include <numeric>

namespace {

constexpr uint8_t statusInstruction = 0x55;
constexpr uint8_t combinedId = 0xFE;
const char header2[] = {'\xFF', '\xFF', '\xFD', '\x00'};
constexpr int header2Bytes = 4;
constexpr int frame2Overhead = 7; // header, id, length (2): the length counts what follows
constexpr int instruction2MinimumLength = 3;
constexpr int status2MinimumLength = 4;
constexpr int combinedHeaderBytes = 8; // header, FE, length (2), 55
constexpr int partOverhead = 4;        // error, id, CRC (2)
constexpr int header1Bytes = 2;
constexpr int frame1Overhead = 4; // FF FF, id, length
constexpr int status1MinimumLength = 2;
constexpr uint8_t errorNumberMask = 0x7F;

uint8_t at(const QByteArray& bytes, int index)
{
    return static_cast<uint8_t>(bytes.at(index));
}

const uint8_t* raw(const QByteArray& bytes)
{
    return reinterpret_cast<const uint8_t*>(bytes.constData());
}

// Drops everything before the first `header` in `buffer`, keeping a tail that may be the start of
// one split across pieces. True when the buffer now starts with a whole header.
bool alignToHeader(QByteArray& buffer, const QByteArray& header)
{
    const int start = buffer.indexOf(header);
    if (start >= 0) {
        buffer.remove(0, start);
        return true;
    }
    int keep = 0;
    for (int n = std::min(int(header.size()) - 1, int(buffer.size())); n > 0 && keep == 0; --n) {
        if (buffer.endsWith(header.left(n)))
            keep = n;
    }
    buffer.remove(0, buffer.size() - keep);
    return false;
}

// Protocol 2 sends an extra FD after every FF FF FD inside a packet, so that no header appears in
// it; the length field and the CRC count the bytes as sent. This takes the extra bytes out again.
QByteArray unstuffed(const uint8_t* bytes, int size)
{
    QByteArray plain;
    for (int i = 0; i < size; ++i) {
        plain.append(char(bytes[i]));
        if (i >= 2 && bytes[i] == 0xFD && bytes[i - 1] == 0xFF && bytes[i - 2] == 0xFF && i + 1 < size &&
            bytes[i + 1] == 0xFD)
            ++i;
    }
    return plain;
}

} // namespace

void MultiAnswerFramer::reset(BusProtocol protocol, MultiReadKind kind, const QList<MultiReadTarget>& targets,
                              const QByteArray& echo)
{
    // The combined answer exists only in Protocol 2; elsewhere every servo answers on its own.
    _protocol = protocol;
    _kind = (isCombined(kind) && hasProtocol1Form(protocol)) ? MultiReadKind::SyncRead : kind;
    _targets = targets;
    _answers.clear();
    for (const MultiReadTarget& target : targets) {
        MultiReadAnswer answer;
        answer.id = target.id;
        _answers.append(answer);
    }
    _sawCorrupt = QList<bool>();
    for (int i = 0; i < targets.size(); ++i)
        _sawCorrupt.append(false);
    _settled.clear();
    _buffer.clear();
    _echo = echo;
    _pending = int(targets.size());
    _inCombined = false;
    _sawUnnamedDamage = false;
    _nextPart = 0;
    _partCrc = 0;
    _lineCrc = 0;
}

QList<int> MultiAnswerFramer::feed(const QByteArray& bytes)
{
    _settled.clear();
    if (_pending == 0)
        return {}; // every servo is settled: what comes now belongs to no one here
    _buffer.append(bytes);
    if (isCombined(_kind))
        scanCombined();
    else
        scanSeparate();
    return _settled;
}

QList<int> MultiAnswerFramer::finish()
{
    _settled.clear();
    // A frame begun but cut short names its servo when its id has arrived.
    int started = -1;
    if (_inCombined && !_buffer.isEmpty())
        started = _buffer.size() >= 2 ? indexOfId(at(_buffer, 1), _nextPart) : _nextPart;
    else if (!_inCombined && !hasProtocol1Form(_protocol) && _buffer.size() > 4 &&
             _buffer.startsWith(QByteArray::fromRawData(header2, header2Bytes)))
        started = indexOfId(at(_buffer, 4));
    else if (!_inCombined && hasProtocol1Form(_protocol) && _buffer.size() > 2 && at(_buffer, 0) == 0xFF &&
             at(_buffer, 1) == 0xFF)
        started = indexOfId(at(_buffer, 2));
    for (int i = 0; i < _answers.size(); ++i) {
        if (_answers[i].state != MultiReadAnswer::State::Pending)
            continue;
        // Damage that named no servo asked may have been any missing one's answer.
        if (_sawCorrupt[i] || _sawUnnamedDamage)
            settle(i, MultiReadAnswer::State::Failed, FailureKind::Corrupt);
        else if (i == started)
            settle(i, MultiReadAnswer::State::Failed, FailureKind::Incomplete);
        else
            settle(i, MultiReadAnswer::State::Failed, FailureKind::Timeout);
    }
    _buffer.clear();
    _inCombined = false;
    return _settled;
}

int MultiAnswerFramer::answerBytes(BusProtocol protocol, MultiReadKind kind,
                                   const QList<MultiReadTarget>& targets)
{
    const QList<int> each = answerBytesEach(protocol, kind, targets);
    return std::accumulate(each.begin(), each.end(), 0);
}

QList<int> MultiAnswerFramer::answerBytesEach(BusProtocol protocol, MultiReadKind kind,
                                              const QList<MultiReadTarget>& targets)
{
    const bool combined = isCombined(kind) && !hasProtocol1Form(protocol);
    const int overhead = ProtocolSizes::of(protocol).statusOverhead;
    QList<int> bytes;
    for (const MultiReadTarget& target : targets) {
        if (!combined)
            bytes.append(overhead + target.length);
        else
            bytes.append((bytes.isEmpty() ? combinedHeaderBytes : 0) + partOverhead + target.length);
    }
    return bytes;
}

int MultiAnswerFramer::indexOfId(uint8_t id, int from) const
{
    for (int i = std::max(from, 0); i < _targets.size(); ++i) {
        if (_targets[i].id == id)
            return i;
    }
    return -1;
}

void MultiAnswerFramer::settle(int index, MultiReadAnswer::State state, FailureKind failure)
{
    MultiReadAnswer& answer = _answers[index];
    if (answer.state != MultiReadAnswer::State::Pending)
        return;
    answer.state = state;
    answer.failure = failure;
    --_pending;
    _settled.append(index);
}

void MultiAnswerFramer::markCorrupt(int index)
{
    if (index >= 0)
        _sawCorrupt[index] = true;
    else
        _sawUnnamedDamage = true;
}

int MultiAnswerFramer::frontFrameSize(int largest) const
{
    if (hasProtocol1Form(_protocol)) {
        if (_buffer.size() < frame1Overhead)
            return 0;
        if (at(_buffer, 2) == 0xFF)
            return -1; // FF FF FF: the header may start one byte later (0xFF is no id)
        const int length = at(_buffer, 3);
        if (length < status1MinimumLength || frame1Overhead + length > largest)
            return -1;
        return _buffer.size() < frame1Overhead + length ? 0 : frame1Overhead + length;
    }
    if (_buffer.size() < frame2Overhead)
        return 0;
    const int length = at(_buffer, 5) | (at(_buffer, 6) << 8);
    if (length < instruction2MinimumLength || frame2Overhead + length > largest)
        return -1;
    return _buffer.size() < frame2Overhead + length ? 0 : frame2Overhead + length;
}

bool MultiAnswerFramer::frontChecksumGood(int frameSize) const
{
    const uint8_t* frame = raw(_buffer);
    if (hasProtocol1Form(_protocol))
        return StatusPacketFramer::checksum1(frame + header1Bytes, frameSize - header1Bytes - 1) ==
               frame[frameSize - 1];
    const uint16_t received = static_cast<uint16_t>(frame[frameSize - 2] | (frame[frameSize - 1] << 8));
    return StatusPacketFramer::crc16(frame, frameSize - 2) == received;
}

void MultiAnswerFramer::scanSeparate()
{
    const bool form1 = hasProtocol1Form(_protocol);
    const QByteArray header = QByteArray::fromRawData(header2, form1 ? header1Bytes : header2Bytes);
    const int idAt = form1 ? 2 : 4;
    // The largest believable frame: the echo, or an answer with every stuffing it may carry.
    int largest = std::max(int(_echo.size()), ProtocolSizes::of(_protocol).statusOverhead);
    for (const MultiReadTarget& target : _targets)
        largest = std::max(largest, ProtocolSizes::of(_protocol).statusOverhead + target.length +
                                        (form1 ? 0 : target.length / 3 + 1));

    while (_pending > 0 && alignToHeader(_buffer, header)) {
        const int frameSize = frontFrameSize(largest);
        if (frameSize == 0)
            return;
        if (frameSize < 0 || !frontChecksumGood(frameSize)) {
            // Not a frame we can believe; if it named an asked servo, that servo's answer was hit.
            if (frameSize > 0)
                markCorrupt(indexOfId(at(_buffer, idAt)));
            _buffer.remove(0, 1);
            continue;
        }
        // The request looped back goes to the broadcast id, which no servo answers with, and in
        // Protocol 2 it is an instruction packet: either way it is no servo's answer.
        if (!form1 &&
            (at(_buffer, 7) != statusInstruction || frameSize < frame2Overhead + status2MinimumLength)) {
            _buffer.remove(0, frameSize);
            continue;
        }
        const int index = indexOfId(at(_buffer, idAt));
        if (index >= 0 && _answers[index].state == MultiReadAnswer::State::Pending)
            takeSeparate(index, raw(_buffer), frameSize);
        _buffer.remove(0, frameSize);
    }
}

void MultiAnswerFramer::takeSeparate(int index, const uint8_t* frame, int frameSize)
{
    const int overhead = ProtocolSizes::of(_protocol).statusOverhead;
    const int errorAt = hasProtocol1Form(_protocol) ? 4 : 8;
    const uint8_t error = frame[errorAt];
    const bool refused = (errorAsProtocol2(error, _protocol) & errorNumberMask) != 0;
    const int length = _targets[index].length;
    QByteArray data(reinterpret_cast<const char*>(frame + errorAt + 1), frameSize - overhead);
    if (!hasProtocol1Form(_protocol) && data.size() > length)
        data = unstuffed(frame + errorAt + 1, frameSize - overhead);
    if (data.size() != length && !(data.isEmpty() && refused))
        return; // a whole packet of the servo, but not this transaction's answer: a late one
    _answers[index].error = error;
    if (refused) {
        settle(index, MultiReadAnswer::State::Failed, FailureKind::Refused);
        return;
    }
    _answers[index].data = data;
    settle(index, MultiReadAnswer::State::Answered);
}

void MultiAnswerFramer::scanCombined()
{
    const QByteArray header = QByteArray::fromRawData(header2, header2Bytes);
    const int expected = answerBytes(_protocol, _kind, _targets);
    const int largest = std::max({expected, int(_echo.size()), StatusPacketFramer::errorStatusSize});
    while (_pending > 0) {
        if (_inCombined) {
            if (!scanParts())
                return;
            continue;
        }
        if (!alignToHeader(_buffer, header) || _buffer.size() < combinedHeaderBytes)
            return;
        const int length = at(_buffer, 5) | (at(_buffer, 6) << 8);
        if (at(_buffer, 4) == combinedId && at(_buffer, 7) == statusInstruction &&
            frame2Overhead + length == expected) {
            // This transaction's combined answer: its parts are checked one by one as they come.
            _partCrc = StatusPacketFramer::crc16(raw(_buffer), combinedHeaderBytes);
            _lineCrc = _partCrc;
            _buffer.remove(0, combinedHeaderBytes);
            _inCombined = true;
            _sawUnnamedDamage = false; // whatever it was, it was not this answer
            _nextPart = 0;
            continue;
        }
        // Any other packet is passed over whole once its CRC holds: an echo, a late answer, or a
        // servo's own refusal of the instruction.
        const int frameSize = frontFrameSize(largest);
        if (frameSize == 0)
            return;
        if (frameSize < 0 || !frontChecksumGood(frameSize)) {
            if (frameSize > 0) // most likely the combined answer hit in its header
                markCorrupt(-1);
            _buffer.remove(0, 1);
            continue;
        }
        const int index = indexOfId(at(_buffer, 4));
        if (index >= 0 && at(_buffer, 7) == statusInstruction &&
            frameSize == StatusPacketFramer::errorStatusSize && (at(_buffer, 8) & errorNumberMask) != 0) {
            _answers[index].error = at(_buffer, 8);
            settle(index, MultiReadAnswer::State::Failed, FailureKind::Refused);
        }
        _buffer.remove(0, frameSize);
    }
}

bool MultiAnswerFramer::scanParts()
{
    while (_nextPart < _answers.size() && _answers[_nextPart].state != MultiReadAnswer::State::Pending)
        ++_nextPart;
    if (_nextPart >= _answers.size()) {
        _inCombined = false;
        return true;
    }
    if (_buffer.size() < 2)
        return false;
    // The part's id tells which servo sent it: those before it that are still pending were silent.
    int index = indexOfId(at(_buffer, 1), _nextPart);
    const bool idKnown = index >= 0 && _answers[index].state == MultiReadAnswer::State::Pending;
    if (!idKnown)
        index = _nextPart; // a damaged id: take the part for the one due
    const int length = _targets[index].length;
    if (_buffer.size() < partOverhead + length)
        return false;
    const uint8_t* part = raw(_buffer);
    const uint16_t received = static_cast<uint16_t>(part[2 + length] | (part[3 + length] << 8));
    // A servo continues the CRC over the bytes it heard. Where damage reached only us, that is the CRC
    // the part before it carried; where the servo heard the damage too, it is the CRC of the bytes as
    // they came. Either way the part stands or falls by itself.
    const uint16_t overLine = StatusPacketFramer::crc16(part, 2 + length, _lineCrc);
    const bool good = idKnown && (StatusPacketFramer::crc16(part, 2 + length, _partCrc) == received ||
                                  overLine == received);
    for (int skipped = _nextPart; skipped < index; ++skipped)
        settle(skipped, MultiReadAnswer::State::Failed,
               _sawCorrupt[skipped] ? FailureKind::Corrupt : FailureKind::Timeout);
    if (!good) {
        settle(index, MultiReadAnswer::State::Failed, FailureKind::Corrupt);
    } else {
        _answers[index].error = part[0];
        if ((part[0] & errorNumberMask) != 0) {
            settle(index, MultiReadAnswer::State::Failed, FailureKind::Refused);
        } else {
            _answers[index].data = QByteArray(reinterpret_cast<const char*>(part + 2), length);
            settle(index, MultiReadAnswer::State::Answered);
        }
    }
    _partCrc = StatusPacketFramer::crc16(part + 2 + length, 2, received);
    _lineCrc = StatusPacketFramer::crc16(part + 2 + length, 2, overLine);
    _buffer.remove(0, partOverhead + length);
    _nextPart = index + 1;
    return true;
}
