#include "core/session/servolocator.h"

#include "core/transport/serialhelper.h"

#include <QTimer>

namespace {
constexpr int attemptsPerCandidate = 2;
}

ServoLocator::ServoLocator(std::shared_ptr<SerialHelper> serial, QList<BusAddress> candidates)
    : _serial(std::move(serial))
{
    for (const BusAddress& candidate : candidates) {
        if (!_candidates.contains(candidate))
            _candidates.append(candidate);
    }
}

void ServoLocator::start()
{
    _attempt = 0;
    // Never from inside the request layer's own callback: the port may have to be reopened.
    QTimer::singleShot(0, this, &ServoLocator::tryNext);
}

void ServoLocator::tryNext()
{
    const int candidate = _attempt / attemptsPerCandidate;
    if (candidate >= _candidates.size()) {
        if (!_candidates.isEmpty() && !moveTo(_candidates.first().baudRate))
            return;
        emit notFound();
        return;
    }
    const BusAddress where = _candidates.at(candidate);
    ++_attempt;
    if (moveTo(where.baudRate))
        ping(where);
}

bool ServoLocator::moveTo(int baudRate)
{
    const QString error = _serial->reopenAt(baudRate);
    if (!error.isEmpty()) {
        emit portFailed(error);
        return false;
    }
    return true;
}

void ServoLocator::ping(const BusAddress& where)
{
    _serial->ping(
        static_cast<uint8_t>(where.id), [this, where](QByteArray) { emit found(where); },
        [this](FailureKind, const RequestInfo&, uint8_t) {
            QTimer::singleShot(0, this, &ServoLocator::tryNext);
        });
}
