#pragma once

#include <QCoreApplication>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class SerialHelper;
struct ModelDescription;
struct FieldRecord;

// What became of one servo's motor.
struct MotorOffResult
{
    Q_DECLARE_TR_FUNCTIONS(MotorOffResult)

public:
    enum class Outcome
    {
        Off,          // read back off
        StillOn,      // read back on: the write was refused or lost
        NotAnswering, // no answer to the identification or the read-back
        NoMotorEntry, // its model has no motor entry: nothing was written
        UnknownModel, // no description covers its model number: nothing was written
    };
    int id = 0;
    Outcome outcome = Outcome::NotAnswering;
    int modelNumber = -1; // of an unknown model

    bool isOff() const { return outcome == Outcome::Off; }
    QString text() const;
};

// Switches the motor off on several servos of one port and rate, as fast as the line allows: every
// write first, so each motor is off the sooner, then a read of each motor entry, so a servo still
// on (or silent) is named rather than assumed off. Servos whose models take a sync write at the
// same motor entry get one together; those that answer a multi-servo read are read back in one.
// A servo whose model is not given is identified first; one of an unknown model, or of a model
// without a motor entry, is never written.
class MotorsOff : public QObject
{
    Q_OBJECT

public:
    struct Servo
    {
        int id = 0;
        std::shared_ptr<const ModelDescription> model; // empty: identified first
    };

    explicit MotorsOff(std::shared_ptr<SerialHelper> serial, QObject* parent = nullptr);
    ~MotorsOff() override;

    // On the open port, at its rate and in its protocol.
    void start(const QList<Servo>& servos);
    bool isRunning() const { return _phase != Phase::Idle; }
    const QList<MotorOffResult>& results() const { return _results; }

signals:
    // Every servo's result, in the order given.
    void finished(const QList<MotorOffResult>& results);

private:
    enum class Phase
    {
        Idle,
        Identify,
        Write,
        Read
    };
    struct Target;

    void step();
    void identify(const std::shared_ptr<Target>& target);
    void write(const std::shared_ptr<Target>& target);
    void read(const std::shared_ptr<Target>& target);
    // The servos that share one sync write, written at once; they are then passed over one by one.
    void writeTogether();
    // True when one multi-servo read went out for every servo left to read back.
    bool readTogether();
    // The next request goes out from the event loop, not from inside the last one's callback.
    void later();
    void settle(Target& target, MotorOffResult::Outcome outcome);
    // Off or still on, by the motor entry's bytes as read back.
    void settleReadBack(Target& target, const QByteArray& motorBytes);

    std::shared_ptr<SerialHelper> _serial;
    QList<std::shared_ptr<Target>> _targets;
    QList<MotorOffResult> _results;
    Phase _phase = Phase::Idle;
    int _index = 0;
    quint64 _generation = 0;
};
