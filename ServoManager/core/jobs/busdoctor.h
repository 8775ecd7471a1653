#pragma once

#include "core/jobs/servosearch.h"
#include "core/transport/portcheck.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class LineCheck;
class SerialHelper;
struct BusResult;
struct ModelDescription;

Q_DECLARE_METATYPE(FoundServo)

// What one run of the bus doctor looks at.
struct DoctorPlan
{
    QString portName;
    // What the settings say (0 / -1: nothing): a servo found elsewhere is named, and offered.
    int baudRate = 0;
    BusProtocol protocol = BusProtocol::Two;
    int servoId = -1;
    // The rates scanned; empty: every rate a described model takes. The settings' rate goes first.
    QList<int> rates;
    // The ids asked one by one (a broadcast ping covers them too, in Protocol 2).
    int lower = 0;
    int upper = 12;
    // How long the line is listened to, with nothing sent, for bytes nobody asked for.
    int quietWindowMs = 300;
};

// Everything one run of the bus doctor found: the verdicts in the order they were reached, and
// the servos that answered.
struct DoctorReport
{
    // The command line's exit status for it.
    enum Status
    {
        Healthy = 0,     // a servo answered and nothing is wrong
        ProblemFound = 1,
        NoServo = 3,
        PortFailed = 4, // the port cannot be opened
    };

    QString portName;
    QList<DoctorFinding> findings;
    QList<FoundServo> servos;
    bool portFailed = false; // it could not be opened, or failed meanwhile
    bool stopped = false;    // the user stopped it before the end
    QList<int> collidedIds;  // ids whose answers arrive corrupt every time: two servos share them
    // A servo that answers where the settings do not point (another rate or protocol), when no
    // servo answers where they do: the settings to take.
    std::optional<FoundServo> elsewhere;

    Status status() const;
    int problemCount() const;
    // One line: the status in words.
    QString summary() const;
    // The report as a person reads it (copied, saved, printed by the command line).
    QString text() const;
    // One verdict as text() has it: "[PROBLEM] check: text", then "    fix: …" lines.
    static QString findingText(const DoctorFinding& finding);
    // The same for scripts: port, status, findings and servos.
    QByteArray json() const;
};

// Walks the list a person would walk when no servo answers: the port (there, a serial device,
// ours to open, not held by another program), the adapter (latency timer, echo, noise), the bus
// (every rate in both protocols: broadcast pings and ids one by one, collisions named by id, a
// servo that answers only pings), then each servo found (supply, errors, temperature, return
// delay, status return level). Runs on the caller's thread, event by event; nothing is written to
// a servo. Each verdict is announced as it is reached; stop() ends it at the next step.
class BusDoctor : public QObject
{
    Q_OBJECT

public:
    explicit BusDoctor(DoctorPlan plan, QObject* parent = nullptr);
    ~BusDoctor() override;

    void start();
    void stop();
    bool isRunning() const { return _running; }
    const DoctorPlan& plan() const { return _plan; }
    const DoctorReport& report() const { return _report; }

    // The rates a run scans: the plan's, or every described model's, the settings' rate first.
    static QList<int> ratesOf(const DoctorPlan& plan);

signals:
    void findingAdded(const DoctorFinding& finding);
    void servoFound(const FoundServo& servo);
    // Steps done and in all so far (the total grows as servos are found), and what runs now.
    void progress(int done, int total, const QString& step);
    void finished();

private:
    struct Probe;
    void add(const DoctorFinding& finding);
    void next();
    void finish();
    // Each step says whether it waits for the bus (and calls next() when done), or is done now.
    bool checkThePort();
    bool checkTheLine();
    void lineChecked();
    bool planScan();
    bool runProbe(const Probe& probe);
    void probeEnded(const Probe& probe, const BusResult& result);
    void identifyProtocol1(const Probe& probe);
    void addServo(const Probe& probe, int id, const QByteArray& answer, bool pinged);
    void collisionAt(const Probe& probe);
    bool scanEnded();
    void judgeSettings();
    bool checkFoundServo(int index);
    void servoTableRead(const FoundServo& servo, const std::shared_ptr<const ModelDescription>& model,
                        const BusResult& result);
    void answersPingsOnly(const FoundServo& servo, const std::shared_ptr<const ModelDescription>& model);
    bool ensureOpen(int baudRate, BusProtocol protocol);
    bool hasId(int id, int baudRate) const;
    bool hasCollided(int id, int baudRate) const;

    DoctorPlan _plan;
    DoctorReport _report;
    bool _running = false;
    bool _stopping = false;
    std::unique_ptr<LineCheck> _line;
    std::shared_ptr<SerialHelper> _serial;
    QList<std::function<bool()>> _steps;
    int _done = 0;
    int _corruptSeen = 0;             // corrupt answers to the probe under way
    QList<QPair<int, int>> _collided; // id, rate
    QList<int> _pingOnly;             // indexes into the report's servos: answered a ping, not a read
    QList<int> _spoiledWindows;       // rates whose broadcast ping window held a spoiled frame
};
