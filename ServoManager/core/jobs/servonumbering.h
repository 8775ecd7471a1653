#pragma once

#include "core/files/servoconfiguration.h"
#include "core/jobs/configurationwriter.h"
#include "core/model/groupwrite.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class FieldCatalogue;
struct BusResult;
struct WriteField;
class SerialHelper;
enum class FailureKind;

// How new servos are numbered: where a factory-new servo answers, and what each one gets.
struct NumberingPlan
{
    int factoryId = 1;
    int factoryRate = 1000000;
    int nextId = 2;  // the first new servo's id; each one after gets the next free id
    int newRate = 0; // 0: keep the factory rate
    // Written to each servo once it has its id (its id and rate are never taken from it).
    std::optional<ServoConfiguration> configuration;
};

// Gives factory-new servos their own ids, one at a time, as the user plugs them in: waits for a
// servo at the factory id and rate, makes sure nothing answers at the id to give (at the factory
// rate and at the new one), writes the id (and the new rate's code) in one write (between opening and
// closing the lock of a model that has one, closed at the new address), checks that the
// servo answers at its new address and that nothing answers at the factory id any more, applies
// the configuration if there is one, and waits for the next. Runs on the request layer while
// nothing else uses it; the port stays open and is left at the factory rate whenever it waits or
// stops.
class ServoNumbering : public QObject
{
    Q_OBJECT

public:
    enum class State
    {
        Idle,
        Waiting, // for a servo at the factory id
        Working  // giving one its id
    };

    explicit ServoNumbering(std::shared_ptr<SerialHelper> serial, QObject* parent = nullptr);
    ~ServoNumbering() override;

    // The port must be open; it is reopened at other rates as needed.
    void start(const NumberingPlan& plan);
    void stop();
    State state() const { return _state; }
    bool isRunning() const { return _state != State::Idle; }
    const NumberingPlan& plan() const { return _plan; }
    // The rate the servos get.
    int newRate() const { return _rate; }
    // The id the next servo is offered (it gets the first free one from there).
    int nextId() const { return _nextId; }
    // What the configuration made of each servo numbered so far in this run, in order.
    const QList<ServoWriteResult>& results() const { return _results; }

signals:
    // Once each time it starts waiting for a new servo.
    void waiting();
    // Something answers at `id`: it is not given, and the next id is tried.
    void idTaken(int id);
    // The servo that answered gets `id` now.
    void numbering(int id);
    // "Servo 2 ready — connect the next one", and the configuration's result when one was applied.
    void servoReady(int id, int baudRate, const QString& result);
    // Either ends the run.
    void failed(const QString& why);
    void portFailed(const QString& error);

private:
    // Runs `step` from the event loop, never inside the request layer's callback (the port may be
    // reopened), unless the run was stopped meanwhile.
    void later(std::function<void()> step, int delayMs = 0);
    bool moveTo(int baudRate);
    void fail(const QString& why);
    void portFail(int baudRate, const QString& error);
    // Pings `id` at the port's rate: `free` when nothing answers, idIsTaken when something does.
    void probe(int id, std::function<void()> free);

    void wait();
    void pingFactory();
    void servoFound();
    void checkAtFactoryRate();
    void checkAtNewRate();
    void idIsTaken();
    void readTable();
    void writeAddress();
    void sendAddress();
    void refusedAddress(const QString& why);
    static QString resultText(const BusResult& result);
    void sendLockWrite(int id, const WriteField& field, std::function<void(const BusResult&)> then);
    void closeLock(int id, int baudRate, std::function<void(bool closed)> then);
    void onWriteAcknowledged(uint8_t id, uint8_t instruction, uint8_t errorByte);
    void written();
    void pingNewAddress();
    void checkFactoryIdGone();
    void configure();
    void ready();

    std::shared_ptr<SerialHelper> _serial;
    NumberingPlan _plan;
    State _state = State::Idle;
    quint64 _generation = 0; // a callback of a stopped run finds a newer one
    int _rate = 0;
    int _baudCode = -1; // the new rate's code, when the rate changes
    int _nextId = 0;
    int _candidate = 0; // the id the servo at hand is to get
    int _attempt = 0;
    int _modelNumber = 0;
    std::unique_ptr<FieldCatalogue> _catalogue;
    int _tableLength = 0;
    QByteArray _table;
    bool _awaitingAcknowledgement = false;
    GroupWrite _write;    // the id (and rate) of the servo at hand
    bool _locked = false; // its model keeps the id only when written between opening and closing its lock
    std::unique_ptr<ConfigurationWriter> _writer;
    std::optional<ServoWriteResult> _result; // the configuration's, of the servo at hand
    QList<ServoWriteResult> _results;
};

// A configuration file for numbering, read for the model the file itself names (each servo's model
// is checked when it is written).
ServoConfiguration::ReadResult readNumberingConfiguration(const QString& path);
