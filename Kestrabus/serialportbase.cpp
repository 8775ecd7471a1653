#include "serialportbase.h"

#include "serialportitem.h"

#include <cerrno>

#include <termios.h>
#include <unistd.h>

SerialPortBase::SerialPortBase() = default;

void SerialPortBase::setBaudRate(int baudRate)
{
    _baudRate = baudRate;
}

int SerialPortBase::getBaudRate() const
{
    return _baudRate;
}

QList<QSerialPortInfo> SerialPortBase::getAvailablePortInfo() const
{
    return QSerialPortInfo::availablePorts();
}

QStringList SerialPortBase::getSerialPortList() const
{
    QStringList list;
    for (const QSerialPortInfo& info : getAvailablePortInfo())
        list += portRecord(*makePortItem(info));
    return list;
}

bool SerialPortBase::openSerialPort(std::shared_ptr<QSerialPort> serial, QString portName)
{
    serial->close();
    serial->setPortName(portName);
    serial->setBaudRate(_baudRate, QSerialPort::AllDirections);
    serial->setDataBits(_dataBits);
    serial->setParity(_parity);
    serial->setStopBits(_stopBits);
    serial->setFlowControl(_flowControl);
    const bool opened = serial->open(QIODevice::ReadWrite);
    if (opened) {
        // Some adapters hand over bytes received before the open.
        serial->clear(QSerialPort::AllDirections);
        serial->flush();
    }
    return opened;
}

void SerialPortBase::closeSerialPort(std::shared_ptr<QSerialPort> serial)
{
    serial->close();
}

qint64 SerialPortBase::writeSerialData(std::shared_ptr<QSerialPort> serial, const QByteArray& data)
{
    // Stale input would pass for the answer; stale output is a request still leaving (a sync write
    // no servo answers), which must reach the line whole.
    // Between two requests the port object holds nothing: then the input is dropped in the driver
    // and the packet handed over in one system call, without the port object's buffering and
    // without waiting for the line to drain (what is queued leaves in order all the same). This
    // runs once per request and sets the pace of back-to-back reads.
    const int descriptor = serial->isOpen() ? static_cast<int>(serial->handle()) : -1;
    if (descriptor >= 0 && serial->bytesAvailable() == 0 && serial->bytesToWrite() == 0) {
        ::tcflush(descriptor, TCIFLUSH);
        qint64 written = 0;
        while (written < data.size()) {
            const ssize_t n = ::write(descriptor, data.constData() + written, size_t(data.size() - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            written += n;
        }
        if (written == data.size())
            return written;
        // The rest (a full output queue, or a failure the port object reports as its error) goes
        // the port object's way.
        const qint64 rest = serial->write(data.constData() + written, data.size() - written);
        serial->flush();
        return rest < 0 ? (written > 0 ? written : -1) : written + rest;
    }
    serial->clear(QSerialPort::Input);
    const qint64 written = serial->write(data);
    serial->flush();
    return written;
}

QByteArray SerialPortBase::readSerialData(std::shared_ptr<QSerialPort> serial)
{
    return serial->readAll();
}

std::shared_ptr<SerialPortItem> SerialPortBase::makePortItem(const QSerialPortInfo& info)
{
    return std::make_shared<SerialPortItem>(info.portName(), info.systemLocation(), info.description(),
                                            info.manufacturer(), info.vendorIdentifier(),
                                            info.productIdentifier());
}

QStringList SerialPortBase::portRecord(const SerialPortItem& port)
{
    static const QString notAvailable = QStringLiteral("N/A");
    const auto text = [](const QString& value) { return value.isEmpty() ? notAvailable : value; };
    const auto hex = [](quint16 id) { return id == 0 ? notAvailable : QString::number(id, 16); };
    return {port.getPortName(),       text(port.getDescription()),     text(port.getManufacturer()),
            port.getSystemLocation(), hex(port.getVendorIdentifier()), hex(port.getProductIdentifier())};
}
