#pragma once

#include "fault.h"
#include "servobus.h"
#include "servomodel.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QRandomGenerator>
#include <QString>

#include <memory>
#include <optional>

struct ModelDescription;

namespace servosim {

struct Options
{
    QList<int> ids{1}; // servo ids on the bus, 0 to 252
    Model model = Model::V1;
    // A model description to play instead of `model`; empty: `model`.
    std::shared_ptr<const ModelDescription> description;
    // More servos on the same bus, of other models (the first group is `ids`, `model` and `description`).
    QList<ServoGroup> moreGroups;
    int protocol = 2;        // what every servo speaks: 1, 2 or 3 (Feetech), one every group's model speaks
    int baudRate = 1000000;  // the servos' rate; every group's model has a baud-rate code for it
    bool wireTime = true;    // answers take the line time of request and answer
    double faultRate = 0.0;  // probability that an answer gets a fault
    QList<Fault> faultKinds; // the faults drawn from (all kinds when empty)
    QString linkPath;        // symbolic link to the device, if wanted
    bool quiet = true;       // otherwise the traffic is printed to stderr
    // Answers reach the client in pieces of this many bytes (0: whole), the way USB–serial adapters
    // hand them on, with a pause between pieces.
    int pieceBytes = 0;
    qint64 pieceGapUs = 1000;
    // The line gives the client back every byte it sends, before any answer (half-duplex wiring
    // without a direction switch, or a loop-back adapter).
    bool echo = false;
    // A few stray bytes reach the client every this many milliseconds while the line is quiet; 0: none.
    int noiseIntervalMs = 0;
    // An id named twice in `ids` puts two servos at it; their answers collide. Otherwise one.
    bool allowSharedIds = false;
    // Every servo's present voltage reads this (volts); 0: the model's own reading.
    double supplyVoltage = 0;

    // All groups of servos, the first one first.
    QList<ServoGroup> groups() const;
};

// Servos on a pseudo-terminal. The simulator keeps the master side and serves it from its own thread, so
// the program under test may block its thread (waitForReadyRead, say) while the servos answer.
// All public functions are thread-safe.
class ServoSimulator
{
public:
    explicit ServoSimulator(Options options = {});
    ~ServoSimulator();
    ServoSimulator(const ServoSimulator&) = delete;
    ServoSimulator& operator=(const ServoSimulator&) = delete;

    bool start(QString* error = nullptr);
    void stop();
    QString devicePath() const; // /dev/pts/N
    QString portName() const;   // the link (as an absolute path) if one was asked for, else devicePath()

    // The next `count` answers get `fault`; ErrorByte answers carry `errorByte`.
    void injectFault(Fault fault, int count = 1, quint8 errorByte = 0);
    void setFaultRate(double probability, QList<Fault> kinds);

    // Direct change of a servo's control table, past every access rule.
    void setRegisters(int id, int address, const QByteArray& bytes);
    // A copy of a servo's whole control table; empty for an id not on the bus.
    QByteArray registers(int id) const;
    void setHardwareError(int id, quint8 bits);
    // Every servo powered off and on, as a restart: settings written past a closed lock are lost.
    void powerCycle();
    // Sets the servo's baud code and the rate it listens at; false for a rate without a code.
    bool setServoBaudRate(int id, int baudRate);
    // See ServoBus.
    void setSilent(bool silent);
    void refuseWritesAt(int id, int address);
    // Servos plugged into and pulled from the running bus; see ServoBus (model and protocol not given:
    // the options'). A pulled servo's answer that has not left yet never does.
    bool plugServo(int id, int baudRate = 0, std::optional<Model> model = std::nullopt, int protocol = 0);
    bool plugServo(int id, int baudRate, const std::shared_ptr<const ModelDescription>& description,
                   int protocol = 0);
    bool unplugServo(int id);
    QList<int> servoIds() const;

    int packetsReceived() const;
    int packetsAnswered() const;
    int faultsInjected() const;
    QList<ReceivedPacket> receivedPackets() const;
    void clearReceived();
    // The answers as they left the line, with the faults they got (the last 50,000).
    QList<SentAnswer> sentAnswers() const;
    void clearSentAnswers();
    // Both at once, so no answer is recorded between them unseen.
    QList<SentAnswer> takeSentAnswers();

    // Closes the device as a pulled USB adapter would (the client's reads fail); the link goes too.
    void unplug();
    // A new device after unplug(); the link (if any) points at it. False when it cannot be made.
    bool plug();

private:
    class Thread;
    struct Outgoing
    {
        qint64 dueUs;
        QByteArray bytes;
        bool last; // the transmission is complete once these bytes are out
        Transmission transmission;
    };

    qint64 nowUs() const;
    bool openDevice(QString* error);
    void closeDevice();
    void serve();
    void readRequests();
    void schedule(const QList<Transmission>& transmissions, qint64 requestEndUs, int baudRate);
    // The pieces of an answer as they reach the client, each with the pause before it.
    QList<QPair<QByteArray, qint64>> answerPieces(const Transmission& transmission) const;
    void sendDue();
    // Stray bytes when they are due and the line is quiet.
    void sendNoise();
    void dropOutgoing();
    void wake();
    void log(const char* direction, const QByteArray& bytes) const;

    const Options m_options;
    const QString m_linkPath;
    QElapsedTimer m_clock;
    mutable QMutex m_mutex;
    std::unique_ptr<ServoBus> m_bus;
    std::unique_ptr<Thread> m_thread;
    bool m_stopping = false;
    int m_wakeFd = -1;
    int m_masterFd = -1;
    int m_slaveFd = -1;   // kept open so the device survives the client closing it, and to read its rate
    int m_generation = 0; // counts devices, so a poll on a replaced device is ignored
    QString m_devicePath;
    QList<Outgoing> m_outgoing; // by due time
    qint64 m_lineFreeUs = 0;
    qint64 m_nextNoiseUs = 0;
    QRandomGenerator m_noise{0x6e6f6973};
};

} // namespace servosim
