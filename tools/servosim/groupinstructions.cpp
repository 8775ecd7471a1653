// Broadcast instructions for many servos at once: sync and bulk reads, their fast forms answered in one
// combined status packet, and sync write.
#include "servobus.h"

#include "crc16.h"
#include "protocol.h"
#include "servo.h"

#include <algorithm>

namespace servosim {

namespace {

QString instructionName(quint8 code)
{
    switch (code) {
    case instruction::SyncRead:
        return QStringLiteral("syncRead");
    case instruction::FastSyncRead:
        return QStringLiteral("fastSyncRead");
    case instruction::BulkRead:
        return QStringLiteral("bulkRead");
    case instruction::FastBulkRead:
        return QStringLiteral("fastBulkRead");
    default:
        return QStringLiteral("syncWrite");
    }
}

// The reads a Protocol 2 sync or bulk read asks for, in its order; none when the parameters do not fit.
std::vector<GroupRead> readsP2(const ReceivedPacket& request)
{
    const QByteArray& params = request.params;
    std::vector<GroupRead> reads;
    const bool bulk =
        request.instruction == instruction::BulkRead || request.instruction == instruction::FastBulkRead;
    if (bulk) {
        // id, address (2), length (2) for each servo
        if (params.isEmpty() || params.size() % 5 != 0)
            return {};
        for (int at = 0; at < params.size(); at += 5)
            reads.push_back({quint8(params.at(at)), params.mid(at + 1, 4), tableU16(params, at + 3)});
    } else {
        // address (2), length (2), then the ids
        for (int at = 4; at < params.size(); ++at)
            reads.push_back({quint8(params.at(at)), params.left(4), tableU16(params, 2)});
    }
    return reads;
}

void appendU16(QByteArray& bytes, int value)
{
    bytes.append(char(value & 0xFF));
    bytes.append(char((value >> 8) & 0xFF));
}

} // namespace

void ServoBus::handleGroupP2(const ReceivedPacket& request, const std::vector<int>& servos, qint64 nowUs,
                             QList<Transmission>& out)
{
    if (request.instruction == instruction::SyncWrite) {
        syncWrite(request, 2, servos, nowUs);
        return;
    }
    const std::vector<GroupRead> reads = readsP2(request);
    const QString name = instructionName(request.instruction);
    if (request.instruction == instruction::FastSyncRead || request.instruction == instruction::FastBulkRead)
        combinedAnswer(reads, name, request, servos, nowUs, out);
    else
        separateAnswers(reads, name, request, servos, nowUs, out);
}

// Each servo listed answers a read of its own, in the order of the list (the line schedules each after
// the answer before it and its own return delay); one absent or silent leaves a gap, the others answer
// all the same.
void ServoBus::separateAnswers(const std::vector<GroupRead>& reads, const QString& instructionName,
                               const ReceivedPacket& request, const std::vector<int>& servos, qint64 nowUs,
                               QList<Transmission>& out)
{
    QList<quint8> listed;
    for (const GroupRead& read : reads) {
        // A servo listed twice still answers once: it waits for its own place in the list.
        if (listed.contains(read.id))
            continue;
        listed.append(read.id);
        for (int index : servos) {
            Servo* servo = m_servos[index].get();
            if (servo->id() != read.id || !servo->hasInstruction(instructionName))
                continue;
            const Servo::Reply reply = servo->execute(instruction::Read, read.readParams, nowUs);
            if (!reply.silent)
                answer(index, read.id, reply.error, reply.params, request, out);
        }
    }
}

// "FF FF FD 00 FE length 55", then for each servo listed: error, id, its data and a CRC over the packet
// so far, the last one being the packet's own. The first servo sends the header after its return delay;
// each next one sends its part as soon as the part before it has left the line. Every servo reckons the
// length from the request, so a listed servo that is absent, lacks the instruction or stays silent cuts
// the packet short there: the ones after it wait for a part that never comes.
void ServoBus::combinedAnswer(const std::vector<GroupRead>& reads, const QString& instructionName,
                              const ReceivedPacket& request, const std::vector<int>& servos, qint64 nowUs,
                              QList<Transmission>& out)
{
    std::vector<GroupRead> listed;
    for (const GroupRead& read : reads)
        if (std::none_of(listed.begin(), listed.end(), [&](const GroupRead& r) { return r.id == read.id; }))
            listed.push_back(read);
    if (listed.empty())
        return;
    int length = 1; // the instruction, then error, id, data and CRC of each
    for (const GroupRead& read : listed)
        length += 4 + read.length;
    QByteArray header = packetHeader();
    header.append(char(BroadcastId));
    appendU16(header, length);
    header.append(char(instruction::Status));

    QByteArray line; // what the parts before put on the line, as the next servo heard it
    for (const GroupRead& read : listed) {
        const auto found = std::find_if(servos.begin(), servos.end(), [&](int index) {
            return m_servos[index]->id() == read.id && m_servos[index]->hasInstruction(instructionName);
        });
        if (found == servos.end())
            return;
        Servo* servo = m_servos[*found].get();
        const Servo::Reply reply = servo->execute(instruction::Read, read.readParams, nowUs);
        if (reply.silent)
            return;
        const QPair<Fault, quint8> fault = nextFault(protocolNumber::P2);
        if (fault.first != Fault::None)
            ++m_faultsInjected;
        quint8 error = fault.first == Fault::ErrorByte ? fault.second : reply.error;
        if (servo->hardwareError() != 0)
            error |= error::Alert;
        const quint8 id = fault.first == Fault::WrongId ? quint8(read.id >= 252 ? 0 : read.id + 1) : read.id;
        // A refused read keeps its place in the packet: the error says the data means nothing.
        QByteArray data = reply.params.left(read.length);
        data.append(QByteArray(read.length - data.size(), '\0'));

        QByteArray part = line.isEmpty() ? header : QByteArray();
        part.append(char(error));
        part.append(char(id));
        part.append(data);
        appendU16(part, crc16(line + part));
        Transmission transmission;
        transmission.servo = *found;
        transmission.servoId = read.id;
        transmission.delayUs = line.isEmpty() ? servo->returnDelayUs() : 0;
        transmission.followsPrevious = !line.isEmpty();
        transmission.request = request;
        transmission.chunks = {part};
        transmission.packet = part;
        applyPartFault(transmission, fault.first, line.isEmpty());
        out.append(transmission);
        // A part cut off leaves the next servo waiting, as a missing one does.
        if (fault.first == Fault::NoAnswer || fault.first == Fault::Truncated)
            return;
        line += transmission.chunks.join();
    }
}

// The line spoils one servo's part of a combined packet; a wrong id or error byte is already in it.
void ServoBus::applyPartFault(Transmission& part, Fault fault, bool first)
{
    part.fault = fault;
    QByteArray bytes = part.chunks.first();
    switch (fault) {
    case Fault::None:
    case Fault::WrongId:
    case Fault::ErrorByte:
        return;
    case Fault::NoAnswer:
        part.chunks.clear();
        return;
    case Fault::BadCrc:
        bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0xFF);
        bytes[bytes.size() - 2] = char(bytes.at(bytes.size() - 2) ^ 0xFF);
        break;
    case Fault::Truncated:
        bytes.truncate(1 + m_random.bounded(bytes.size() - 1));
        break;
    case Fault::GarbageBefore: {
        // No false header in the stray bytes; the first part's header stays where the garbage ends.
        const QByteArray headerStart("\xFF\xFF\xFD", 3);
        bytes.prepend(garbageBefore(bytes, headerStart, first));
        break;
    }
    case Fault::Split:
        splitInThree(part, bytes);
        return;
    case Fault::Delayed:
        part.delayUs += LateAnswerUs;
        return;
    }
    part.chunks = {bytes};
}

void ServoBus::syncWrite(const ReceivedPacket& request, int fieldBytes, const std::vector<int>& servos,
                         qint64 nowUs)
{
    const QByteArray& params = request.params;
    const int head = 2 * fieldBytes;
    const int length =
        params.size() > head ? (fieldBytes == 1 ? quint8(params.at(1)) : tableU16(params, 2)) : 0;
    if (length == 0 || (params.size() - head) % (length + 1) != 0)
        return;
    // A servo whose id a block changes must not take a later block for its new id too.
    std::vector<int> written;
    for (int at = head; at < params.size(); at += length + 1) {
        for (int index : servos) {
            Servo* servo = m_servos[index].get();
            if (servo->id() != quint8(params.at(at)) || !servo->hasInstruction(QStringLiteral("syncWrite")) ||
                std::find(written.begin(), written.end(), index) != written.end())
                continue;
            written.push_back(index);
            servo->execute(instruction::Write, params.left(fieldBytes) + params.mid(at + 1, length), nowUs);
            servo->completeBaudSwitch();
        }
    }
}

} // namespace servosim
