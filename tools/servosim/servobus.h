#pragma once

#include "fault.h"
#include "servomodel.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QRandomGenerator>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace servosim {

class Servo;

// One servo's share of a sync or bulk read: its id and the parameters of a read in its protocol's form.
struct GroupRead
{
    quint8 id = 0;
    QByteArray readParams;
    int length = 0; // bytes asked for
};

// An instruction packet as it came off the line (framed by its header and length, CRC or checksum not
// required).
struct ReceivedPacket
{
    quint8 id = 0;
    quint8 instruction = 0;
    QByteArray params;
    QByteArray raw;
    int protocol = 2; // by its header: 2 for FF FF FD 00, else 1 (Feetech servos' form too)
};

// One answer on its way out.
struct Transmission
{
    int servo = -1;           // which servo of the bus answers (its position in the bus)
    quint8 servoId = 0;       // the id in the answer: the one the request used
    qint64 delayUs = 0;       // before the first byte: return delay, plus the lateness of a delayed answer
    QList<QByteArray> chunks; // written one after another; none when the answer is lost
    qint64 chunkGapUs = 0;    // pause between chunks
    Fault fault = Fault::None;
    ReceivedPacket request; // what it answers
    QByteArray packet;      // the status packet as built, before the line spoiled it
    // Several servos at one id answered at once: the bytes are their answers' mixture.
    bool collided = false;
    // A later servo's part of a combined status packet: it goes out right after the part before it
    // has left the line, however late that was.
    bool followsPrevious = false;
};

// An answer as it left the line, for checking what a client made of it.
struct SentAnswer
{
    ReceivedPacket request;
    // The status packet (a wrong-id or error-byte fault already in it); of a combined packet, this
    // servo's part (the first with the header).
    QByteArray packet;
    Fault fault = Fault::None;
    // The packet reached the line complete and with its CRC: late, split or after garbage, maybe.
    bool whole = false;
    int protocol = 2; // the packet form: the answering servo's, which is the request's
};

// Why a servo of `model` cannot speak `protocol` (1, 2 or 3, Feetech's); empty when it can. Protocol 1 is the
// AX-12's, Feetech's for described models only.
QString protocolProblem(Model model, int protocol);

// Servos of one model on a bus: a built-in model, or the description played instead of it.
struct ServoGroup
{
    QList<int> ids{1};
    Model model = Model::V1;
    std::shared_ptr<const ModelDescription> description;
};

// The short name of the group's model: the description's, or v1 and ax12.
QString modelName(const ServoGroup& group);
// Why servos of the group's model cannot be on a bus at `baudRate` speaking `protocol`: a description
// the simulator cannot play, a protocol or a rate the model has not (the message lists its rates).
// Empty when they can; the ids are not looked at.
QString servoProblem(const ServoGroup& group, int baudRate, int protocol);

// The servos of one bus and the protocols they speak, without any I/O: request bytes in, answers out.
// Each packet is framed by its header and goes to the servos of its packet form only (Protocol 1's reaches
// Protocol 1 and Feetech servos alike), so servos of every protocol may share the bus. Not thread-safe;
// ServoSimulator guards it.
class ServoBus
{
public:
    // Monotonic time in microseconds; drives the live values.
    using Clock = std::function<qint64()>;

    // `ids` are servo ids (0 to 252) and `baudRate` one of the rates of the baud-rate codes. `protocol`
    // must suit `model` (see protocolProblem(); ServoSimulator::start checks it).
    // `description`, when given, is what every servo plays instead of `model` (unless plugServo names one).
    ServoBus(const QList<int>& ids, Model model, int baudRate, Clock clock, int protocol = 2,
             std::shared_ptr<const ModelDescription> description = {});
    // Servos of several models on one bus; the first group's model is the one plugServo plugs by default.
    ServoBus(const QList<ServoGroup>& groups, int baudRate, Clock clock, int protocol = 2);
    ~ServoBus();

    // A servo as it leaves the factory but for `id` (0 to 252) and `baudRate` (0: the rate the bus was
    // made with) is plugged in, of `model` and speaking `protocol` (not given, 0: the bus's). Another
    // servo may already answer to that id: both then answer, as on a real bus. False for an id or a rate
    // without a baud code, or a protocol the model does not speak.
    bool plugServo(int id, int baudRate = 0, std::optional<Model> model = std::nullopt, int protocol = 0);
    // The same with a servo playing `description`.
    bool plugServo(int id, int baudRate, const std::shared_ptr<const ModelDescription>& description,
                   int protocol = 0);
    // Pulls the servo that answers to `id` (the latest plugged of several); false when none does. It never
    // hears or answers again; an answer of it still on its way counts as lost.
    bool unplugServo(int id);
    // The ids of the servos plugged in, ascending; an id shows once per servo answering to it.
    QList<int> servoIds() const;
    // Whether the servo at this position of the bus (Transmission::servo) is still plugged in.
    bool servoPresent(int servo) const;

    // Bytes that arrived while the line ran at `lineBaudRate`. Returns the answers in the order they
    // go on the line; only servos listening at that rate hear the request.
    QList<Transmission> receive(const QByteArray& bytes, int lineBaudRate);
    // The answer left the line (or was lost): a servo given a new baud code switches to it now.
    void transmissionDone(const Transmission& transmission);

    // Empty for an id not on the bus.
    QByteArray registers(int id);
    void setRegisters(int id, int address, const QByteArray& bytes);
    // Every servo answering to `id`.
    void setHardwareError(int id, quint8 bits);
    // Every servo powered off and on: what they were told past a closed lock is gone.
    void powerCycle();
    bool setServoBaudRate(int id, int baudRate);
    // While silent the bus hears nothing and answers nothing (a pulled cable, a servo without power).
    void setSilent(bool silent) { m_silent = silent; }
    // The servo refuses (data limit) every write that covers `address`, after taking the bytes in
    // front of it, as some servo firmware does; -1 ends that.
    void refuseWritesAt(int id, int address);
    // Every servo's present voltage reads `volts`, servos plugged later too; see Servo::setSupplyVoltage.
    void setSupplyVoltage(double volts);
    // 0 for an id not on the bus.
    int servoBaudRate(int id) const;

    // The next `count` answers get `fault` (queued behind faults injected before).
    void injectFault(Fault fault, int count, quint8 errorByte);
    // Besides injected faults, each answer gets a fault with this probability, of a kind drawn from
    // `kinds` (every kind when empty).
    void setFaultRate(double probability, const QList<Fault>& kinds);

    int packetsReceived() const { return m_packetsReceived; }
    int packetsAnswered() const { return m_packetsAnswered; }
    int faultsInjected() const { return m_faultsInjected; }
    QList<ReceivedPacket> receivedPackets() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    // Answers in the order they left the line (or were lost), lost ones included.
    QList<SentAnswer> sentAnswers() const { return m_sent; }
    void clearSentAnswers() { m_sent.clear(); }

private:
    // How the line spoils an answer: the pause inside a split one, the lateness of a late one, the most
    // stray bytes before one.
    static constexpr qint64 SplitGapUs = 3000;
    static constexpr qint64 LateAnswerUs = 250000;
    static constexpr int MaxGarbageBytes = 5;

    Servo* servo(int id) const;
    bool plug(int id, int baudRate, std::unique_ptr<ServoModel> model, int protocol);
    // The size of the packet at the front of m_input, header to CRC or checksum, and its protocol: 0 while
    // too little has come to tell, -1 when no packet starts there.
    int frameSize(int* protocol) const;
    void handlePacket(const QByteArray& packet, int protocol, int lineBaudRate, QList<Transmission>& out);
    // An intact packet to the Feetech servos among `servos` (positions in the bus, ascending ids).
    void handleFeetech(const ReceivedPacket& request, const std::vector<int>& servos, qint64 nowUs,
                       QList<Transmission>& out);
    // A broadcast sync or bulk read or sync write to the Protocol 2 servos among `servos`.
    void handleGroupP2(const ReceivedPacket& request, const std::vector<int>& servos, qint64 nowUs,
                       QList<Transmission>& out);
    // One status packet from each servo listed in `reads` that knows `instructionName`, in list order.
    void separateAnswers(const std::vector<GroupRead>& reads, const QString& instructionName,
                         const ReceivedPacket& request, const std::vector<int>& servos, qint64 nowUs,
                         QList<Transmission>& out);
    // One status packet for all, each servo sending its part after the one before.
    void combinedAnswer(const std::vector<GroupRead>& reads, const QString& instructionName,
                        const ReceivedPacket& request, const std::vector<int>& servos, qint64 nowUs,
                        QList<Transmission>& out);
    void applyPartFault(Transmission& part, Fault fault, bool first);
    // "address length" then an id and `length` bytes for each servo; addresses and lengths take
    // `fieldBytes` bytes each (1 in Protocol 1's form, 2 in Protocol 2's).
    void syncWrite(const ReceivedPacket& request, int fieldBytes, const std::vector<int>& servos,
                   qint64 nowUs);
    void answer(int index, quint8 id, quint8 error, const QByteArray& params, const ReceivedPacket& request,
                QList<Transmission>& out);
    QByteArray statusFor(int protocol, quint8 id, quint8 error, const QByteArray& params) const;
    QByteArray garbageBefore(const QByteArray& bytes, const QByteArray& headerStart, bool headerFirst);
    // The answers in `out` from `first` on that share an id go out as one damaged mixture.
    void collide(QList<Transmission>& out, int first);
    static void splitInThree(Transmission& transmission, const QByteArray& bytes);
    QPair<Fault, quint8> nextFault(int protocol);
    void applyFault(Transmission& transmission, Fault fault, quint8 faultErrorByte, quint8 error,
                    const QByteArray& params);

    // A pulled servo leaves an empty slot that is never reused, so a pending Transmission::servo cannot
    // come to mean another servo.
    std::vector<std::unique_ptr<Servo>> m_servos;
    const Model m_model;
    const std::shared_ptr<const ModelDescription> m_description;
    const int m_baudRate;
    const int m_protocol;
    Clock m_clock;
    QByteArray m_input;
    qint64 m_lastInputUs = 0;
    QList<QPair<Fault, quint8>> m_injected;
    double m_faultRate = 0;
    QList<Fault> m_faultKinds;
    QRandomGenerator m_random;
    QList<ReceivedPacket> m_received;
    QList<SentAnswer> m_sent;
    int m_packetsReceived = 0;
    int m_packetsAnswered = 0;
    int m_faultsInjected = 0;
    bool m_silent = false;
    std::optional<double> m_supplyVolts;
};

} // namespace servosim
