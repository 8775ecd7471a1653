#include "serialportops.h"

#include "serialportbase.h"

bool SerialPortOps::writeUnderLock(QMutex& lock, int waitMs, const QByteArray& packet)
{
    if (!lock.tryLock(waitMs))
        return false;
    SerialPortBase base;
    base.setBaudRate(_serial->baudRate(QSerialPort::AllDirections));
    const qint64 written = base.writeSerialData(_serial, packet);
    lock.unlock();
    // Outside the lock: the callback may take its time.
    if (_sent && written > 0)
        _sent(written < packet.size() ? packet.left(int(written)) : packet);
    // A closed or failed port takes nothing: that is a request not sent, not one left unanswered.
    return written == packet.size();
}
