#include "core/traffic/trafficlog.h"

#include "core/traffic/busstatistics.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>

namespace {

const uint8_t p2Signature[] = {0xFF, 0xFF, 0xFD, 0x00};
constexpr int p2HeaderSize = 7;    // signature, id, length (2)
constexpr int p1HeaderSize = 4;    // FF FF, id, length
constexpr int p2MinimumLength = 3; // instruction and CRC
constexpr int p1MinimumLength = 2; // instruction (or error) and checksum
// Stray bytes are shown in rows of this many, so a burst of noise stays readable.
constexpr int maxStrayBytes = 64;

constexpr uint8_t flagReceived = 0x01;
constexpr uint8_t flagEcho = 0x02;
constexpr uint8_t flagProtocol1 = 0x04;
constexpr uint8_t flagFeetech = 0x08; // Protocol 1's form with that maker's error bits
constexpr uint8_t none = 0xFF; // no id or instruction: 0xFF is neither

QString tr(const char* text)
{
    return QCoreApplication::translate("Traffic", text);
}

QString instructionName(int instruction)
{
    switch (instruction) {
    case 0x01:
        return tr("ping");
    case 0x02:
        return tr("read");
    case 0x03:
        return tr("write");
    case 0x04:
        return tr("reg write");
    case 0x05:
        return tr("action");
    case 0x06:
        return tr("factory reset");
    case 0x08:
        return tr("reboot");
    case TrafficPacket::statusInstruction:
        return tr("status");
    }
    return QStringLiteral("0x") +
           QString::number(instruction, 16).rightJustified(2, QLatin1Char('0')).toUpper();
}

// Where a frame may start at or after `from`: a whole header signature, or one cut by the end of
// the bytes. `n` when there is none.
int findHeader(BusProtocol protocol, const uint8_t* b, int n, int from)
{
    for (int i = from; i < n; ++i) {
        if (b[i] != 0xFF)
            continue;
        if (protocol == BusProtocol::Two) {
            int k = 1;
            while (k < 4 && i + k < n && b[i + k] == p2Signature[k])
                ++k;
            if (k == 4 || i + k == n)
                return i;
            continue;
        }
        // Protocol 1: FF FF and an id, which is never 0xFF (FF FF FF starts one byte later).
        if (i + 1 == n)
            return i;
        if (b[i + 1] != 0xFF)
            continue;
        if (i + 2 == n || b[i + 2] != 0xFF)
            return i;
    }
    return n;
}

} // namespace

TrafficOutcome trafficOutcomeOf(FailureKind kind)
{
    switch (kind) {
    case FailureKind::Timeout:
        return TrafficOutcome::NoAnswer;
    case FailureKind::Incomplete:
        return TrafficOutcome::Incomplete;
    case FailureKind::Corrupt:
        return TrafficOutcome::Corrupt;
    case FailureKind::WrongId:
        return TrafficOutcome::WrongId;
    case FailureKind::Refused:
        return TrafficOutcome::Refused;
    case FailureKind::NotSent:
        return TrafficOutcome::NotSent;
    }
    return TrafficOutcome::Corrupt;
}

QString trafficOutcomeText(TrafficOutcome outcome)
{
    switch (outcome) {
    case TrafficOutcome::Answered:
        return tr("answered");
    case TrafficOutcome::NoAnswer:
        return failureKindText(FailureKind::Timeout);
    case TrafficOutcome::Incomplete:
        return failureKindText(FailureKind::Incomplete);
    case TrafficOutcome::Corrupt:
        return failureKindText(FailureKind::Corrupt);
    case TrafficOutcome::WrongId:
        return failureKindText(FailureKind::WrongId);
    case TrafficOutcome::Refused:
        return failureKindText(FailureKind::Refused);
    case TrafficOutcome::NotSent:
        return failureKindText(FailureKind::NotSent);
    case TrafficOutcome::Cancelled:
        return tr("cancelled");
    case TrafficOutcome::Outside:
        return tr("outside any transaction");
    case TrafficOutcome::Sent:
        return tr("sent, no answer expected");
    }
    return {};
}

QString trafficColumnTitle(TrafficColumn column)
{
    switch (column) {
    case TrafficColumn::Time:
        return tr("Time (ms)");
    case TrafficColumn::Direction:
        return tr("Dir");
    case TrafficColumn::Protocol:
        return tr("Protocol");
    case TrafficColumn::Id:
        return tr("Id");
    case TrafficColumn::Instruction:
        return tr("Instruction");
    case TrafficColumn::Address:
        return tr("Address");
    case TrafficColumn::Length:
        return tr("Length");
    case TrafficColumn::Error:
        return tr("Error");
    case TrafficColumn::Checksum:
        return tr("Checksum");
    case TrafficColumn::Outcome:
        return tr("Outcome");
    case TrafficColumn::Bytes:
        return tr("Bytes");
    case TrafficColumn::Count:
        break;
    }
    return {};
}

int TrafficPacket::headerSize() const
{
    return hasProtocol1Form(protocol) ? p1HeaderSize : p2HeaderSize;
}

int TrafficPacket::frameSize() const
{
    if (size < headerSize())
        return 0;
    if (hasProtocol1Form(protocol))
        return at(0) == 0xFF && at(1) == 0xFF && at(2) != 0xFF ? p1HeaderSize + at(3) : 0;
    if (std::memcmp(bytes, p2Signature, sizeof p2Signature) != 0)
        return 0;
    return p2HeaderSize + (at(5) | (at(6) << 8));
}

TrafficPacket::Kind TrafficPacket::kind() const
{
    const int frame = frameSize();
    if (frame == 0)
        return Kind::Stray;
    return size >= frame ? Kind::Packet : Kind::Partial;
}

int TrafficPacket::id() const
{
    if (kind() == Kind::Stray)
        return -1;
    return at(hasProtocol1Form(protocol) ? 2 : 4);
}

int TrafficPacket::instruction() const
{
    if (kind() == Kind::Stray)
        return -1;
    if (hasProtocol1Form(protocol)) {
        // A Protocol 1 status carries its error where a request has its instruction: only the
        // direction tells them apart.
        if (received && !echo)
            return statusInstruction;
        return size > 4 ? at(4) : -1;
    }
    return size > 7 ? at(7) : -1;
}

int TrafficPacket::parameterStart() const
{
    if (hasProtocol1Form(protocol))
        return 5;
    return isStatus() ? 9 : 8;
}

int TrafficPacket::parameterCount() const
{
    const int checksumBytes = hasProtocol1Form(protocol) ? 1 : 2;
    const int end = kind() == Kind::Packet ? frameSize() - checksumBytes : size;
    return std::max(0, end - parameterStart());
}

int TrafficPacket::address() const
{
    const int instr = instruction();
    if (instr != 0x02 && instr != 0x03 && instr != 0x04)
        return -1;
    const int start = parameterStart();
    if (hasProtocol1Form(protocol))
        return parameterCount() >= 1 ? at(start) : -1;
    return parameterCount() >= 2 ? at(start) | (at(start + 1) << 8) : -1;
}

int TrafficPacket::length() const
{
    const int instr = instruction();
    const int count = parameterCount();
    const int start = parameterStart();
    if (instr == statusInstruction)
        return errorByte() >= 0 ? count : -1;
    if (instr == 0x02) {
        if (hasProtocol1Form(protocol))
            return count >= 2 ? at(start + 1) : -1;
        return count >= 4 ? at(start + 2) | (at(start + 3) << 8) : -1;
    }
    if (instr == 0x03 || instr == 0x04) {
        const int addressBytes = hasProtocol1Form(protocol) ? 1 : 2;
        return count >= addressBytes ? count - addressBytes : -1;
    }
    return -1;
}

int TrafficPacket::errorByte() const
{
    if (!isStatus())
        return -1;
    const int position = hasProtocol1Form(protocol) ? 4 : 8;
    if (size <= position)
        return -1;
    return errorAsProtocol2(at(position), protocol);
}

TrafficPacket::Checksum TrafficPacket::checksum() const
{
    switch (kind()) {
    case Kind::Stray:
        return Checksum::None;
    case Kind::Partial:
        return Checksum::Short;
    case Kind::Packet:
        break;
    }
    const int frame = frameSize();
    const auto* data = reinterpret_cast<const uint8_t*>(bytes);
    if (hasProtocol1Form(protocol))
        return StatusPacketFramer::checksum1(data + 2, frame - 3) == data[frame - 1] ? Checksum::Good
                                                                                     : Checksum::Bad;
    const uint16_t carried = static_cast<uint16_t>(data[frame - 2] | (data[frame - 1] << 8));
    return StatusPacketFramer::crc16(data, frame - 2) == carried ? Checksum::Good : Checksum::Bad;
}

QString TrafficPacket::text(TrafficColumn column) const
{
    switch (column) {
    case TrafficColumn::Time:
        return QString::number(timeUs / 1000.0, 'f', 3);
    case TrafficColumn::Direction:
        return received ? QStringLiteral("\u2190") : QStringLiteral("\u2192");
    case TrafficColumn::Protocol:
        return QString::number(static_cast<int>(protocol));
    case TrafficColumn::Id: {
        const int value = id();
        return value >= 0 ? QString::number(value) : QString();
    }
    case TrafficColumn::Instruction: {
        if (kind() == Kind::Stray)
            return tr("stray bytes");
        const int instr = instruction();
        if (instr < 0)
            return {};
        return echo ? tr("%1 (echo)").arg(instructionName(instr)) : instructionName(instr);
    }
    case TrafficColumn::Address: {
        const int value = address();
        return value >= 0 ? QString::number(value) : QString();
    }
    case TrafficColumn::Length: {
        const int value = length();
        return value >= 0 ? QString::number(value) : QString();
    }
    case TrafficColumn::Error: {
        const int value = errorByte();
        return value >= 0 ? servoErrorText(static_cast<uint8_t>(value)) : QString();
    }
    case TrafficColumn::Checksum:
        switch (checksum()) {
        case Checksum::None:
            return {};
        case Checksum::Good:
            return tr("ok");
        case Checksum::Bad:
            return tr("bad");
        case Checksum::Short:
            return tr("cut short");
        }
        return {};
    case TrafficColumn::Outcome:
        return trafficOutcomeText(outcome);
    case TrafficColumn::Bytes:
        return QString::fromLatin1(QByteArray::fromRawData(bytes, size).toHex(' ').toUpper());
    case TrafficColumn::Count:
        break;
    }
    return {};
}

int cutTrafficPieces(BusProtocol protocol, const QByteArray& bytes, bool final,
                     std::vector<TrafficPiece>& pieces)
{
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.constData());
    const int n = bytes.size();
    const int headerSize = hasProtocol1Form(protocol) ? p1HeaderSize : p2HeaderSize;
    int pos = 0;
    int strayFrom = -1;
    const auto markStray = [&](int from) {
        if (strayFrom < 0)
            strayFrom = from;
    };
    const auto flushStray = [&](int to) {
        for (int at = strayFrom; strayFrom >= 0 && at < to; at += maxStrayBytes)
            pieces.push_back({at, std::min(maxStrayBytes, to - at)});
        strayFrom = -1;
    };
    while (pos < n) {
        const int h = findHeader(protocol, b, n, pos);
        if (h > pos)
            markStray(pos);
        if (h == n) {
            flushStray(n);
            pos = n;
            break;
        }
        if (n - h < headerSize) {
            // Perhaps a header still on its way.
            if (final) {
                markStray(h);
                flushStray(n);
                pos = n;
            } else {
                flushStray(h);
                pos = h;
            }
            break;
        }
        const int length = hasProtocol1Form(protocol) ? b[h + 3] : b[h + 5] | (b[h + 6] << 8);
        const int frame = headerSize + length;
        const bool believable = length >= (hasProtocol1Form(protocol) ? p1MinimumLength : p2MinimumLength) &&
                                frame <= TrafficLog::maxPacketBytes;
        if (!believable) {
            markStray(h);
            pos = h + 1;
            continue;
        }
        flushStray(h);
        if (n - h < frame) {
            if (final) {
                pieces.push_back({h, n - h});
                pos = n;
            } else {
                pos = h;
            }
            break;
        }
        pieces.push_back({h, frame});
        pos = h + frame;
    }
    flushStray(pos);
    return pos;
}

TrafficLog::TrafficLog(int capacity) : _capacity(size_t(std::max(1, capacity))) {}

void TrafficLog::append(const Meta& meta, const char* bytes, int size)
{
    size = std::clamp(size, 0, maxPacketBytes);
    if (_count == _capacity)
        dropOldest();
    if (_blocks.empty() || _blockUsed + size > blockBytes) {
        QByteArray block;
        if (!_spare.empty()) {
            block = std::move(_spare.back());
            _spare.pop_back();
        } else {
            block = QByteArray(blockBytes, Qt::Uninitialized);
        }
        _blocks.push_back(std::move(block));
        _blockUsed = 0;
    }
    // data() detaches a block that a copy of the log still reads.
    if (size > 0)
        std::memcpy(_blocks.back().data() + _blockUsed, bytes, size_t(size));

    Record record{};
    record.timeUs = meta.timeUs;
    record.block = _firstBlock + quint32(_blocks.size() - 1);
    record.offset = quint16(_blockUsed);
    record.size = quint16(size);
    record.flags = uint8_t((meta.received ? flagReceived : 0) | (meta.echo ? flagEcho : 0) |
                           (hasProtocol1Form(meta.protocol) ? flagProtocol1 : 0) |
                           (meta.protocol == BusProtocol::Feetech ? flagFeetech : 0));
    record.outcome = static_cast<uint8_t>(meta.outcome);
    record.requestId = meta.requestId >= 0 ? uint8_t(meta.requestId) : none;
    record.requestInstruction = meta.requestInstruction >= 0 ? uint8_t(meta.requestInstruction) : none;
    _blockUsed += size;

    // The whole ring at once, so it never grows again.
    if (_records.capacity() < _capacity)
        _records.reserve(_capacity);
    const size_t index = (_head + _count) % _capacity;
    if (index == _records.size())
        _records.push_back(record);
    else
        _records[index] = record;
    ++_count;
}

TrafficPacket TrafficLog::at(quint64 seq) const
{
    const Record& record = _records[(_head + size_t(seq - _first)) % _capacity];
    TrafficPacket packet;
    packet.timeUs = record.timeUs;
    packet.received = record.flags & flagReceived;
    packet.echo = record.flags & flagEcho;
    packet.protocol = (record.flags & flagFeetech)     ? BusProtocol::Feetech
                      : (record.flags & flagProtocol1) ? BusProtocol::One
                                                       : BusProtocol::Two;
    packet.outcome = static_cast<TrafficOutcome>(record.outcome);
    packet.requestId = record.requestId == none ? -1 : record.requestId;
    packet.requestInstruction = record.requestInstruction == none ? -1 : record.requestInstruction;
    packet.bytes = _blocks[record.block - _firstBlock].constData() + record.offset;
    packet.size = record.size;
    return packet;
}

void TrafficLog::dropOldest()
{
    _head = (_head + 1) % _capacity;
    --_count;
    ++_first;
    ++_dropped;
    releaseBlocks();
}

void TrafficLog::releaseBlocks()
{
    // Blocks before the oldest record's hold nothing kept any more.
    const quint32 oldest = _count > 0 ? _records[_head].block : _firstBlock + quint32(_blocks.size());
    while (_firstBlock < oldest && !_blocks.empty()) {
        if (_spare.size() < spareBlocks)
            _spare.push_back(std::move(_blocks.front()));
        _blocks.pop_front();
        ++_firstBlock;
    }
}

void TrafficLog::clear()
{
    _first += _count;
    _count = 0;
    _head = 0;
    _dropped = 0;
    releaseBlocks();
    _blockUsed = 0;
}

void TrafficLog::setCapacity(int capacity)
{
    clear();
    _capacity = size_t(std::max(1, capacity));
    std::vector<Record>().swap(_records);
}
