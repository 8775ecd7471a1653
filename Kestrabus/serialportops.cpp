#include "serialportops.h"

#include "serialportbase.h"

bool SerialPortOps::writeUnderLock(QMutex& lock, int waitMs, const QByteArray& packet)
{
    if (!lock.tryLock(waitMs))
        return false;
    SerialPortBase base;
    base.setBaudRate(_serial->baudRate(QSerialPort::AllDirections));
    base.writeSerialData(_serial, packet);
    lock.unlock();
    return true;
}
