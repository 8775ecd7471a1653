#pragma once

#include "core/session/servolocator.h"
#include "core/session/writeverifier.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class SerialHelper;

// "Servo id changed to 7", "Baud rate changed to 57600" or both, and how the servo answered the
// write that moved it; id or baudRate below 1 when it did not change.
QString servoMovedText(int id, int baudRate, WriteOutcome::Answer answer);

// Follows the polled servo after a write gave it a new id or rate. Acknowledged, it answers at its
// new address from now on, and the port moves to the new rate once the answer is out. Otherwise
// the program cannot know where the servo is and looks at the old and the new address. Nothing
// else may go on the line while it is busy.
class MoveFollower : public QObject
{
    Q_OBJECT

public:
    explicit MoveFollower(std::shared_ptr<SerialHelper> serial, QObject* parent = nullptr);

    // The servo at `from` was written to move to `to`, and the write was answered so.
    void follow(const BusAddress& from, const BusAddress& to, WriteOutcome::Answer answer);
    bool isBusy() const { return _busy; }
    // Stops looking; the line is free again.
    void abandon();
    // The connection ended: the port stays as it is.
    void stop() { ++_generation; }

signals:
    // The servo is at this address from now on.
    void addressChanged(int id, int baudRate);
    // The line is free again: the servo was found (or not), or the port moved to its new rate.
    void resumed();
    void servoMoved(int id, int baudRate, WriteOutcome::Answer answer);
    void servoNotFound(const QList<BusAddress>& tried);
    void portFailed(const QString& error);

private:
    void moveTo(const BusAddress& to, WriteOutcome::Answer answer);
    void locate(const BusAddress& from, const BusAddress& to, WriteOutcome::Answer answer);
    void resume();
    void endLocator();

    std::shared_ptr<SerialHelper> _serial;
    ServoLocator* _locator = nullptr; // a child: it may end inside its own signal
    bool _busy = false;
    int _generation = 0; // a port move still to come is dropped once this changed
};
