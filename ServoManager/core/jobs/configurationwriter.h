#pragma once

#include "core/files/servoconfiguration.h"
#include "core/model/locksequence.h"
#include "core/session/servolocator.h"

#include <QList>
#include <QObject>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class GroupWrite;
class SerialHelper;
enum class FailureKind;
struct RequestInfo;

// What became of a configuration on one servo.
struct ServoWriteResult
{
    enum class Outcome
    {
        Verified,     // every changed value written and read back
        Unchanged,    // the servo held the file's values already
        WouldChange,  // a dry run: `changes` would be written
        Differs,      // a value read back is not the one written, or the settings lock stayed open
        Refused,      // the servo refused a write, or its motor is on
        NotAnswering, // no answer
        OtherModel    // the file is for another model
    };
    BusAddress servo;
    Outcome outcome = Outcome::Verified;
    std::map<QString, int> changes; // key -> raw value wanted, what differed from the servo
    std::map<QString, int> held;    // key -> raw value the servo held before, for the changes
    // key -> raw value the servo holds as last read, for every key asked for; empty when that is
    // not known (no table read, or a write went out that no read has followed)
    std::map<QString, int> now;
    QStringList differing;          // keys that do not hold what was written
    QString problem;                // why, for Refused and NotAnswering
    // "written and verified", "differs: temperatureLimit", "not answering", ...
    QString text() const;
};
Q_DECLARE_METATYPE(ServoWriteResult)

// Writes the chosen values of one configuration to several servos in turn, each as the edit view
// writes (one write per group, only the changed span, the bytes between from what the servo holds)
// and verified by reading the table back (twice before calling a value not written). Ids and baud
// rates are never taken from the file. Runs on the request layer while nothing else uses it; the port
// is reopened at each servo's rate and left at the rate it had.
class ConfigurationWriter : public QObject
{
    Q_OBJECT

public:
    // `keys`: the file's keys to write; empty: all of them.
    ConfigurationWriter(std::shared_ptr<SerialHelper> serial, ServoConfiguration file, QStringList keys = {});
    ~ConfigurationWriter() override;

    // With dryRun nothing is written: each result says what would change (outcome Unchanged or
    // Verified with `changes`).
    void start(const QList<BusAddress>& servos, bool dryRun = false);
    void stop();
    bool isRunning() const { return _running; }
    const QList<ServoWriteResult>& results() const { return _results; }

signals:
    void servoStarted(const BusAddress& servo);
    void servoFinished(const ServoWriteResult& result);
    void finished();
    void portFailed(const QString& error);

private:
    void nextServo();
    void identify(bool firstTry);
    void compareWithModel(int model);
    // What the servo holds of the keys asked for, from the table read last.
    void noteHeld();
    void readTable(std::function<void(const QByteArray&)> then);
    void sendWrite();
    QStringList differingKeys() const;
    void checkWritten(bool secondLook);
    void stepFailed(FailureKind kind, uint8_t errorByte);
    void finishServo(ServoWriteResult::Outcome outcome, const QString& problem = {});
    void failed(FailureKind kind, uint8_t errorByte);
    // Failures of a request of this servo's turn; later ones are not this servo's.
    std::function<void(FailureKind, const RequestInfo&, uint8_t)> failureOf(quint64 generation);

    std::shared_ptr<SerialHelper> _serial;
    ServoConfiguration _file;
    QStringList _keys;
    QList<BusAddress> _servos;
    QList<ServoWriteResult> _results;
    bool _dryRun = false;
    bool _running = false;
    int _originalRate = 0;
    int _index = -1;
    quint64 _generation = 0; // a callback of a stopped run finds a newer one
    std::unique_ptr<FieldCatalogue> _catalogue;
    int _tableLength = 0;
    QByteArray _table;
    QList<GroupWrite> _writes;
    QList<LockStep> _steps; // _writes, behind the model's lock where it has one
    int _nextWrite = 0;     // of _steps
    int _stepSent = -1;     // the step on the line, or the last one sent
    int _failedStep = -1;   // the step whose failure was heard
    struct StepFailure
    {
        FailureKind kind;
        uint8_t errorByte = 0;
    };
    std::optional<StepFailure> _stepFailure; // the first write that failed; the close went after it
    ServoWriteResult _current;
};
