#pragma once

#include "core/transport/serialhelper.h"

#include <QObject>

// A request's result for a caller that waits on a signal: the request is submitted when the reply
// is made, and finished() comes once its result is in. A request that cannot be sent, and a reboot
// or reset (which the bus library waits for), finish before the constructor returns: look at
// isFinished() before waiting. A reply deleted first is simply not told.
class BusReply : public QObject
{
    Q_OBJECT

public:
    BusReply(SerialHelper& serial, const BusRequest& request, QObject* parent = nullptr);

    bool isFinished() const { return _finished; }
    // False when the request never went out (its result then says NotSent).
    bool wasSent() const { return _sent; }
    const BusResult& result() const { return _result; }

signals:
    void finished();

private:
    BusResult _result;
    bool _finished = false;
    bool _sent = false;
};
