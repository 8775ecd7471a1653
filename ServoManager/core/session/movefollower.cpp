#include "core/session/movefollower.h"

#include "core/transport/serialhelper.h"

#include <QTimer>

QString servoMovedText(int id, int baudRate, WriteOutcome::Answer answer)
{
    QString text = id >= 0 && baudRate > 0
                       ? MoveFollower::tr("Servo id changed to %1 and baud rate to %2").arg(id).arg(baudRate)
                   : id >= 0 ? MoveFollower::tr("Servo id changed to %1").arg(id)
                             : MoveFollower::tr("Baud rate changed to %1").arg(baudRate);
    if (answer == WriteOutcome::Answer::Lost)
        text += MoveFollower::tr(" (the acknowledgement was lost)");
    else if (answer == WriteOutcome::Answer::Refused)
        text += MoveFollower::tr(" (although the servo reported an error)");
    return text;
}

MoveFollower::MoveFollower(std::shared_ptr<SerialHelper> serial, QObject* parent)
    : QObject(parent), _serial(std::move(serial))
{
}

void MoveFollower::follow(const BusAddress& from, const BusAddress& to, WriteOutcome::Answer answer)
{
    if (answer == WriteOutcome::Answer::Acknowledged)
        moveTo(to, answer);
    else
        locate(from, to, answer);
}

void MoveFollower::moveTo(const BusAddress& to, WriteOutcome::Answer answer)
{
    emit addressChanged(to.id, to.baudRate);
    if (to.baudRate == _serial->baudRate()) {
        emit servoMoved(to.id, to.baudRate, answer);
        return;
    }
    // The servo listens at the new rate once its answer is out; the port follows outside the
    // request layer's own callback.
    _busy = true;
    QTimer::singleShot(0, this, [this, to, answer, generation = _generation] {
        if (generation != _generation)
            return; // disconnected meanwhile
        const QString port = _serial->portName();
        _serial->closeSerialPort();
        const QString error = _serial->openSerialPort(port, to.baudRate);
        if (!error.isEmpty()) {
            emit portFailed(error);
            return;
        }
        resume();
        emit servoMoved(to.id, to.baudRate, answer);
    });
}

void MoveFollower::locate(const BusAddress& from, const BusAddress& to, WriteOutcome::Answer answer)
{
    _busy = true;
    endLocator();
    _locator = new ServoLocator(_serial, {from, to, {to.id, from.baudRate}, {from.id, to.baudRate}});
    _locator->setParent(this);
    connect(_locator, &ServoLocator::found, this, [this, from, answer](const BusAddress& where) {
        endLocator();
        emit addressChanged(where.id, where.baudRate);
        resume();
        if (!(where == from))
            emit servoMoved(where.id, where.baudRate, answer);
    });
    connect(_locator, &ServoLocator::notFound, this, [this] {
        const QList<BusAddress> tried = _locator->candidates();
        endLocator();
        resume();
        emit servoNotFound(tried);
    });
    connect(_locator, &ServoLocator::portFailed, this, &MoveFollower::portFailed);
    _locator->start();
}

void MoveFollower::abandon()
{
    endLocator();
    _busy = false;
}

void MoveFollower::resume()
{
    _busy = false;
    emit resumed();
}

// A locator given up on may still have a ping on the line: whatever it finds is not heard.
void MoveFollower::endLocator()
{
    if (!_locator)
        return;
    disconnect(_locator, nullptr, this, nullptr);
    _locator->deleteLater();
    _locator = nullptr;
}
