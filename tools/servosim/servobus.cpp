#include "servobus.h"

#include "crc16.h"
#include "describedmodel.h"
#include "protocol.h"
#include "servo.h"

#include "core/model/modeldescription.h"

#include <algorithm>
#include <iterator>

namespace servosim {

namespace {

// A partial packet older than this is noise from an earlier exchange, not the start of a request.
constexpr qint64 StaleInputUs = 500000;
// Longer than any instruction packet a master sends; a larger length field means a false header.
constexpr int MaxPacketLength = 512;
// Bounds the memory of a long run; tests clear the list long before.
constexpr int MaxRecordedPackets = 50000;

bool isGroupInstructionP2(quint8 code)
{
    return code == instruction::SyncRead || code == instruction::SyncWrite ||
           code == instruction::FastSyncRead || code == instruction::BulkRead ||
           code == instruction::FastBulkRead;
}

// Whether a packet's last bytes are its checksum (Protocol 1's form) or CRC.
bool passesCheck(const QByteArray& packet, int protocol)
{
    if (protocol == 1)
        return packet.size() > 3 && checksumP1(packet.mid(2, packet.size() - 3)) == quint8(packet.back());
    return packet.size() > 2 && crc16(packet.left(packet.size() - 2)) == tableU16(packet, packet.size() - 2);
}

} // namespace

QString protocolProblem(Model model, int protocol)
{
    return ServoModel::create(model)->protocolProblem(protocol);
}

QString modelName(const ServoGroup& group)
{
    if (group.description)
        return group.description->name;
    return group.model == Model::Ax12 ? QStringLiteral("ax12") : QStringLiteral("v1");
}

QString servoProblem(const ServoGroup& group, int baudRate, int protocol)
{
    if (group.description)
        if (const QString problem = DescribedModel::unplayable(*group.description); !problem.isEmpty())
            return problem;
    const auto model = ServoModel::create(group.model, group.description);
    if (const QString problem = model->protocolProblem(protocol); !problem.isEmpty())
        return problem;
    if (model->codeForBaudRate(baudRate) >= 0)
        return {};
    QStringList rates;
    for (int rate : model->baudRates())
        rates.append(QString::number(rate));
    return QStringLiteral("%1 baud has no baud-rate code of model %2 (its rates: %3)")
        .arg(baudRate)
        .arg(modelName(group), rates.join(QStringLiteral(", ")));
}

ServoBus::ServoBus(const QList<int>& ids, Model model, int baudRate, Clock clock, int protocol,
                   std::shared_ptr<const ModelDescription> description)
    : ServoBus(QList<ServoGroup>{{ids, model, std::move(description)}}, baudRate, std::move(clock), protocol)
{
}

ServoBus::ServoBus(const QList<ServoGroup>& groups, int baudRate, Clock clock, int protocol)
    : m_model(groups.value(0).model), m_description(groups.value(0).description), m_baudRate(baudRate),
      m_protocol(protocol), m_clock(std::move(clock)), m_random(0x5e4f0d)
{
    const qint64 now = m_clock();
    // Each group's ids once, all servos in ascending id order (a group's own first on a shared id).
    QList<QPair<int, int>> servos; // id, group
    for (int group = 0; group < groups.size(); ++group) {
        const ServoGroup& servoGroup = groups.at(group);
        // A description the simulator cannot play gets no servos (ServoSimulator::start says why).
        if (servoGroup.description && !DescribedModel::unplayable(*servoGroup.description).isEmpty())
            continue;
        for (int id : servoGroup.ids)
            if (!servos.contains({id, group}))
                servos.append({id, group});
    }
    std::stable_sort(servos.begin(), servos.end(),
                     [](const QPair<int, int>& a, const QPair<int, int>& b) { return a.first < b.first; });
    for (const QPair<int, int>& servo : servos) {
        const ServoGroup& group = groups.at(servo.second);
        m_servos.push_back(std::make_unique<Servo>(ServoModel::create(group.model, group.description),
                                                   quint8(servo.first), baudRate, now, protocol));
    }
}

ServoBus::~ServoBus() = default;

bool ServoBus::plugServo(int id, int baudRate, std::optional<Model> model, int protocol)
{
    if (!model && m_description && !DescribedModel::unplayable(*m_description).isEmpty())
        return false;
    // A model given by name is that model; otherwise the bus's, described or not.
    return plug(id, baudRate, model ? ServoModel::create(*model) : ServoModel::create(m_model, m_description),
                protocol);
}

bool ServoBus::plugServo(int id, int baudRate, const std::shared_ptr<const ModelDescription>& description,
                         int protocol)
{
    if (!description || !DescribedModel::unplayable(*description).isEmpty())
        return false;
    return plug(id, baudRate, ServoModel::create(m_model, description), protocol);
}

bool ServoBus::plug(int id, int baudRate, std::unique_ptr<ServoModel> model, int protocol)
{
    const int rate = baudRate == 0 ? m_baudRate : baudRate;
    const int servoProtocol = protocol == 0 ? m_protocol : protocol;
    if (id < 0 || id > 252 || model->codeForBaudRate(rate) < 0 ||
        !model->protocolProblem(servoProtocol).isEmpty())
        return false;
    m_servos.push_back(std::make_unique<Servo>(std::move(model), quint8(id), rate, m_clock(), servoProtocol));
    if (m_supplyVolts)
        m_servos.back()->setSupplyVoltage(*m_supplyVolts, m_clock());
    return true;
}

bool ServoBus::unplugServo(int id)
{
    for (auto slot = m_servos.rbegin(); slot != m_servos.rend(); ++slot) {
        if (*slot && (*slot)->id() == id) {
            slot->reset();
            return true;
        }
    }
    return false;
}

QList<int> ServoBus::servoIds() const
{
    QList<int> ids;
    for (const auto& servo : m_servos)
        if (servo)
            ids.append(servo->id());
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool ServoBus::servoPresent(int servo) const
{
    return servo >= 0 && servo < int(m_servos.size()) && m_servos[servo];
}

QList<Transmission> ServoBus::receive(const QByteArray& bytes, int lineBaudRate)
{
    if (m_silent)
        return {};
    const qint64 now = m_clock();
    if (!m_input.isEmpty() && now - m_lastInputUs > StaleInputUs)
        m_input.clear();
    m_lastInputUs = now;
    m_input.append(bytes);

    QList<Transmission> out;
    const QByteArray start = packetHeaderP1(); // both protocols' packets begin FF FF
    for (;;) {
        const int at = m_input.indexOf(start);
        if (at < 0) {
            // A last FF may be the beginning of a packet.
            m_input = m_input.endsWith('\xFF') ? start.left(1) : QByteArray();
            break;
        }
        m_input.remove(0, at);
        int protocol = 0;
        const int size = frameSize(&protocol);
        if (size < 0) {
            m_input.remove(0, 1);
            continue;
        }
        if (size == 0 || m_input.size() < size)
            break;
        const QByteArray packet = m_input.left(size);
        m_input.remove(0, packet.size());
        handlePacket(packet, protocol, lineBaudRate, out);
    }
    return out;
}

int ServoBus::frameSize(int* protocol) const
{
    if (m_input.size() < 3)
        return 0;
    // No servo has id 0xFF: the header starts a byte later.
    if (quint8(m_input.at(2)) == 0xFF)
        return -1;
    if (m_input.size() < HeaderSizeP1)
        return 0;
    // FD 00 would be a Protocol 1 packet of length 0, which cannot be: it is the Protocol 2 header.
    if (quint8(m_input.at(2)) == 0xFD && m_input.at(3) == 0) {
        *protocol = 2;
        if (m_input.size() < HeaderSize)
            return 0;
        const int length = tableU16(m_input, 5);
        return length < 3 || length > MaxPacketLength ? -1 : HeaderSize + length;
    }
    *protocol = 1;
    const int length = quint8(m_input.at(3));
    return length < 2 ? -1 : HeaderSizeP1 + length;
}

void ServoBus::handlePacket(const QByteArray& packet, int protocol, int lineBaudRate,
                            QList<Transmission>& out)
{
    const bool p1 = protocol == 1;
    const int codeAt = p1 ? HeaderSizeP1 : HeaderSize;
    const int trailer = p1 ? 1 : 2; // checksum or CRC
    ReceivedPacket request;
    request.id = quint8(packet.at(p1 ? 2 : 4));
    request.instruction = quint8(packet.at(codeAt));
    request.params = packet.mid(codeAt + 1, packet.size() - codeAt - 1 - trailer);
    request.raw = packet;
    request.protocol = protocol;
    ++m_packetsReceived;
    if (m_received.size() == MaxRecordedPackets)
        m_received.removeFirst();
    m_received.append(request);

    if (!p1 && request.instruction == instruction::Status) // another device's answer
        return;
    const bool broadcast = request.id == BroadcastId;
    const bool groupP2 = !p1 && broadcast && isGroupInstructionP2(request.instruction);
    const bool intact = passesCheck(packet, protocol);
    const qint64 now = m_clock();
    // m_servos is kept in ascending id order at construction; ids may change and servos come later, so
    // sort here.
    std::vector<int> listeners;
    for (int i = 0; i < int(m_servos.size()); ++i)
        if (m_servos[i] && packetForm(m_servos[i]->protocol()) == protocol &&
            m_servos[i]->lineBaudRate() == lineBaudRate && (broadcast || m_servos[i]->id() == request.id))
            listeners.push_back(i);
    std::stable_sort(listeners.begin(), listeners.end(),
                     [this](int a, int b) { return m_servos[a]->id() < m_servos[b]->id(); });

    if (groupP2) {
        // Nobody answers a broadcast with a bad CRC.
        if (intact)
            handleGroupP2(request, listeners, now, out);
        return;
    }
    // Protocol 1 and Feetech servos alike take a sync write when their model lists it.
    if (p1 && broadcast && request.instruction == instruction::SyncWrite) {
        if (intact)
            syncWrite(request, 1, listeners, now);
        return;
    }
    std::vector<int> feetech;
    const int firstAnswer = out.size();
    for (int index : listeners) {
        Servo* servo = m_servos[index].get();
        const quint8 servoId = servo->id();
        if (servo->protocol() == protocolNumber::Feetech) {
            feetech.push_back(index);
            continue;
        }
        if (!intact) {
            if (!broadcast)
                answer(index, servoId, p1 ? errorP1::Checksum : error::Crc, {}, request, out);
            continue;
        }
        const Servo::Reply reply = servo->execute(request.instruction, request.params, now);
        // Protocol 1 servos answer no broadcast, not even a ping.
        if (!reply.silent && (!broadcast || (!p1 && request.instruction == instruction::Ping)))
            answer(index, servoId, reply.error, reply.params, request, out);
        else
            servo->completeBaudSwitch();
    }
    // A Feetech servo does not answer a packet with a bad checksum.
    if (intact && !feetech.empty())
        handleFeetech(request, feetech, now, out);
    collide(out, firstAnswer);
}

void ServoBus::collide(QList<Transmission>& out, int first)
{
    for (int i = first; i < out.size(); ++i) {
        Transmission& mixture = out[i];
        for (int j = i + 1; j < out.size();) {
            const Transmission other = out.at(j);
            if (other.servoId != mixture.servoId) {
                ++j;
                continue;
            }
            out.removeAt(j);
            // Its answer is on the line, spoiled; the servo itself is done with the request.
            m_servos[other.servo]->completeBaudSwitch();
            if (other.chunks.isEmpty())
                continue;
            QByteArray bytes = mixture.chunks.join();
            const QByteArray theirs = other.chunks.join();
            if (bytes.isEmpty()) {
                mixture.chunks = other.chunks;
                mixture.delayUs = other.delayUs;
                continue;
            }
            // Both drivers push at once: the line carries what either of them drives high.
            bytes.resize(std::max(bytes.size(), theirs.size()));
            for (int at = 0; at < theirs.size(); ++at)
                bytes[at] = char(quint8(bytes.at(at)) | quint8(theirs.at(at)));
            // Equal answers would mix into a clean one, but the two are never in step: spoil the check.
            if (passesCheck(bytes, mixture.request.protocol))
                bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x5A);
            mixture.chunks = {bytes};
            mixture.delayUs = std::min(mixture.delayUs, other.delayUs);
            mixture.collided = true;
        }
    }
}

void ServoBus::handleFeetech(const ReceivedPacket& request, const std::vector<int>& servos, qint64 nowUs,
                             QList<Transmission>& out)
{
    const bool broadcast = request.id == BroadcastId;
    if (broadcast && request.instruction == instruction::SyncRead) {
        // "address count id…"
        std::vector<GroupRead> reads;
        const QByteArray& params = request.params;
        for (int at = 2; params.size() > 2 && at < params.size(); ++at)
            reads.push_back({quint8(params.at(at)), params.left(2), quint8(params.at(1))});
        separateAnswers(reads, QStringLiteral("syncRead"), request, servos, nowUs, out);
        return;
    }
    for (int index : servos) {
        Servo* servo = m_servos[index].get();
        const quint8 servoId = servo->id(); // a new id is the next request's
        const Servo::Reply reply = servo->execute(request.instruction, request.params, nowUs);
        // No answer to a broadcast, not even to a ping: the program asks id by id.
        if (broadcast || reply.silent)
            servo->completeBaudSwitch();
        else
            answer(index, servoId, reply.error, reply.params, request, out);
    }
}

void ServoBus::answer(int index, quint8 id, quint8 error, const QByteArray& params,
                      const ReceivedPacket& request, QList<Transmission>& out)
{
    const Servo* servo = m_servos[index].get();
    // Protocol 1 has no alert flag: the alarms themselves are in every answer; Feetech's error byte is
    // the servo's status register.
    if (servo->protocol() == protocolNumber::Feetech)
        error |= servo->hardwareError();
    else if (servo->protocol() == protocolNumber::P1)
        error |= servo->hardwareError() & 0x7F;
    else if (servo->hardwareError() != 0)
        error |= error::Alert;
    Transmission transmission;
    transmission.servo = index;
    transmission.servoId = id;
    transmission.delayUs = servo->returnDelayUs();
    transmission.request = request;
    transmission.chunks = {statusFor(servo->protocol(), id, error, params)};
    transmission.packet = transmission.chunks.first();
    const QPair<Fault, quint8> fault = nextFault(servo->protocol());
    if (fault.first != Fault::None) {
        ++m_faultsInjected;
        applyFault(transmission, fault.first, fault.second, error, params);
    }
    out.append(transmission);
}

QByteArray ServoBus::statusFor(int protocol, quint8 id, quint8 error, const QByteArray& params) const
{
    return packetForm(protocol) == protocolNumber::P1 ? statusPacketP1(id, error, params)
                                                      : statusPacket(id, error, params);
}

QPair<Fault, quint8> ServoBus::nextFault(int protocol)
{
    if (!m_injected.isEmpty())
        return m_injected.takeFirst();
    if (m_faultRate > 0 && m_random.generateDouble() < m_faultRate) {
        const QList<Fault> kinds = m_faultKinds.isEmpty() ? allFaults() : m_faultKinds;
        const Fault kind = kinds.at(m_random.bounded(kinds.size()));
        // An error number in Protocol 2, one of the seven error bits in Protocol 1, an alarm in Feetech's.
        if (protocol == protocolNumber::Feetech)
            return {kind, errorFeetech::Alarms[m_random.bounded(int(std::size(errorFeetech::Alarms)))]};
        const int draw = m_random.bounded(7);
        return {kind, quint8(protocol == protocolNumber::P1 ? 1 << draw : 1 + draw)};
    }
    return {Fault::None, 0};
}

// Random stray bytes that hold no false header: the packet's own header (when `bytes` begins with
// one) is the first the client finds after them.
QByteArray ServoBus::garbageBefore(const QByteArray& bytes, const QByteArray& headerStart, bool headerFirst)
{
    QByteArray garbage;
    do {
        garbage.resize(1 + m_random.bounded(MaxGarbageBytes));
        for (char& c : garbage)
            c = char(m_random.bounded(256));
    } while ((garbage + bytes).indexOf(headerStart) != (headerFirst ? garbage.size() : -1));
    return garbage;
}

// The bytes in three pieces with a gap between them, as a slow adapter hands them on.
void ServoBus::splitInThree(Transmission& transmission, const QByteArray& bytes)
{
    const int first = bytes.size() / 3;
    const int second = 2 * bytes.size() / 3;
    transmission.chunks = {bytes.left(first), bytes.mid(first, second - first), bytes.mid(second)};
    transmission.chunkGapUs = SplitGapUs;
}

void ServoBus::applyFault(Transmission& transmission, Fault fault, quint8 faultErrorByte, quint8 error,
                          const QByteArray& params)
{
    transmission.fault = fault;
    const int protocol = transmission.request.protocol;
    QByteArray bytes = transmission.chunks.first();
    switch (fault) {
    case Fault::None:
        return;
    case Fault::NoAnswer:
        transmission.chunks.clear();
        return;
    case Fault::BadCrc:
        // Protocol 1 has a one-byte checksum; the byte before it is data.
        bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0xFF);
        if (protocol != 1)
            bytes[bytes.size() - 2] = char(bytes.at(bytes.size() - 2) ^ 0xFF);
        break;
    case Fault::Truncated:
        bytes.truncate(1 + m_random.bounded(bytes.size() - 1));
        break;
    case Fault::GarbageBefore: {
        const QByteArray headerStart = protocol == 1 ? packetHeaderP1() : QByteArray("\xFF\xFF\xFD", 3);
        bytes.prepend(garbageBefore(bytes, headerStart, true));
        break;
    }
    case Fault::Split:
        splitInThree(transmission, bytes);
        return;
    case Fault::Delayed:
        transmission.delayUs += LateAnswerUs;
        return;
    case Fault::WrongId:
        bytes = statusFor(protocol, quint8(transmission.servoId >= 252 ? 0 : transmission.servoId + 1), error,
                          params);
        break;
    case Fault::ErrorByte:
        bytes = statusFor(protocol, transmission.servoId, faultErrorByte, params);
        break;
    }
    if (fault == Fault::WrongId || fault == Fault::ErrorByte)
        transmission.packet = bytes;
    transmission.chunks = {bytes};
}

void ServoBus::transmissionDone(const Transmission& transmission)
{
    // A servo pulled before its answer was out did not finish it.
    const bool present = servoPresent(transmission.servo);
    const bool sent = present && !transmission.chunks.isEmpty();
    if (sent)
        ++m_packetsAnswered;
    if (m_sent.size() == MaxRecordedPackets)
        m_sent.removeFirst();
    const bool spoiled = transmission.collided || transmission.fault == Fault::BadCrc ||
                         transmission.fault == Fault::Truncated;
    m_sent.append({transmission.request, transmission.packet, transmission.fault, sent && !spoiled,
                   transmission.request.protocol});
    if (present)
        m_servos[transmission.servo]->completeBaudSwitch();
}

Servo* ServoBus::servo(int id) const
{
    for (const auto& servo : m_servos)
        if (servo && servo->id() == id)
            return servo.get();
    return nullptr;
}

QByteArray ServoBus::registers(int id)
{
    Servo* target = servo(id);
    return target ? target->table(m_clock()) : QByteArray();
}

void ServoBus::setRegisters(int id, int address, const QByteArray& bytes)
{
    if (Servo* target = servo(id))
        target->poke(address, bytes, m_clock());
}

void ServoBus::setHardwareError(int id, quint8 bits)
{
    // Servos sharing an id are all meant: a fault given for the id is not the first one's alone.
    for (const auto& servo : m_servos)
        if (servo && servo->id() == id)
            servo->setHardwareError(bits);
}

void ServoBus::powerCycle()
{
    for (const auto& servo : m_servos)
        if (servo)
            servo->powerCycle();
}

void ServoBus::setSupplyVoltage(double volts)
{
    m_supplyVolts = volts;
    for (const auto& servo : m_servos)
        if (servo)
            servo->setSupplyVoltage(volts, m_clock());
}

void ServoBus::refuseWritesAt(int id, int address)
{
    if (Servo* target = servo(id))
        target->refuseWritesAt(address);
}

bool ServoBus::setServoBaudRate(int id, int baudRate)
{
    Servo* target = servo(id);
    return target && target->setBaudRate(baudRate);
}

int ServoBus::servoBaudRate(int id) const
{
    const Servo* target = servo(id);
    return target ? target->lineBaudRate() : 0;
}

void ServoBus::injectFault(Fault fault, int count, quint8 errorByte)
{
    for (int i = 0; i < count; ++i)
        m_injected.append({fault, errorByte});
}

void ServoBus::setFaultRate(double probability, const QList<Fault>& kinds)
{
    m_faultRate = probability;
    m_faultKinds = kinds;
}

} // namespace servosim
