#pragma once

#include "core/session/servolocator.h"
#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class DeviceHelper;
class IDevice;
class ServoViews;

// Where a session connects: a port, its rate and protocol, and the servo's id.
struct SessionTarget
{
    QString portName;
    int baudRate = 1000000;
    BusProtocol protocol = BusProtocol::Two;
    int id = 1;
};

// One connected servo, the same for the window and the command line: the port is opened, the
// servo identified (its model read), then polled until the session is closed; a write that moves
// the servo to another id or rate is followed. Every step is a signal: whoever drives the session
// shows it, nothing here does.
class ServoSession : public QObject
{
    Q_OBJECT

public:
    enum class State
    {
        Closed,
        Identifying,
        // The servo did not identify itself: nothing is left but to close.
        NotIdentified,
        // The model is known; polling or not.
        Connected
    };

    ServoSession(std::shared_ptr<SerialHelper> serial, std::shared_ptr<DeviceHelper> device,
                 QObject* parent = nullptr);
    ~ServoSession() override;

    // The views each new connection's scheduler shows its answers in (none: nothing shown).
    void setViews(ServoViews* views) { _views = views; }
    // How long the port stays open after close(); a session opened meanwhile keeps it. 0: closed at once.
    void setCloseDelay(int ms) { _closeDelayMs = ms; }

    // Opens the port and asks the servo for its model: opened() before the request goes out, then
    // identified() or identificationFailed(). False, after portFailed(), when the port cannot be opened.
    bool open(const SessionTarget& target);
    // Polls every `intervalMs` (once identified); firstTable() follows the first table read.
    void startPolling(int intervalMs);
    void stopPolling();
    // Ends the connection: polls stop, the transaction under way is dropped, the port closes after
    // the close delay. Says what became of writes not yet shown written (empty when none).
    QString close();
    // After close(): the port closes now instead of after the delay.
    void releasePort();
    // The port as open() opens it, for a request outside a connection; the error text, empty when open.
    QString openPort(const QString& portName, int baudRate, BusProtocol protocol);

    State state() const { return _state; }
    // The scheduler of the newest connection (kept after it closed); none before the first.
    std::shared_ptr<UiScheduler> scheduler() const { return _scheduler; }
    std::shared_ptr<DeviceHelper> deviceHelper() const { return _device; }
    // The model of the servo identified last.
    std::shared_ptr<IDevice> device() const;
    // The port and rate open() was last asked for, following the servo when a write moved it.
    const QString& portName() const { return _target.portName; }
    int baudRate() const { return _target.baudRate; }
    int servoId() const { return _target.id; }
    // The port's protocol: the one asked for, or the Feetech flavour identification found.
    BusProtocol protocol() const;

signals:
    // The port is open and the connection's scheduler made: listeners attach to it now, before
    // the servo is asked for its model.
    void opened();
    // The port could not be opened (by open(), or again at the new rate of a moved servo).
    void portFailed(const QString& error);
    // The open port failed while connected (the adapter was unplugged, say).
    void portLost(const QString& error);
    void identified();
    void identificationFailed(int id, FailureKind kind);
    // The first table read since polling started.
    void firstTable();
    // A write moved the servo and it answers at its new place; servoId() and baudRate() still
    // give the old one while this is told.
    void servoMoved(int id, int baudRate, WriteOutcome::Answer answer);
    // After a write that may have moved it, the servo answers at none of `tried`.
    void servoNotFound(const QList<BusAddress>& tried);
    void closed();

private:
    void attach(UiScheduler* scheduler);
    void onIdentified();
    void onIdentificationFailed(int id, FailureKind kind);
    void onMoved(int id, int baudRate, WriteOutcome::Answer answer);

    std::shared_ptr<SerialHelper> _serial;
    std::shared_ptr<DeviceHelper> _device;
    ServoViews* _views = nullptr;
    std::shared_ptr<UiScheduler> _scheduler;
    State _state = State::Closed;
    SessionTarget _target;
    int _closeDelayMs = 0;
    QTimer _closeTimer;
    bool _tableSeen = false;
};
