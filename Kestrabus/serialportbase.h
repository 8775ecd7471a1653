#pragma once

#include <QByteArray>
#include <QList>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>

#include <memory>

class SerialPortItem;

// The fixed line settings of the servo bus (8N1, no flow control, variable rate) and the raw
// operations on a port object owned elsewhere. Made on the stack where a port operation is needed.
class SerialPortBase
{
public:
    SerialPortBase();

    void setBaudRate(int baudRate);
    int getBaudRate() const;

    QList<QSerialPortInfo> getAvailablePortInfo() const;
    // Six strings per available port, in enumeration order (see portRecord).
    QStringList getSerialPortList() const;

    // Closes the port first, so that an open port is reopened with the current settings.
    bool openSerialPort(std::shared_ptr<QSerialPort> serial, QString portName);
    void closeSerialPort(std::shared_ptr<QSerialPort> serial);
    // Discards unread input before writing, so every packet starts a transaction on an empty buffer.
    qint64 writeSerialData(std::shared_ptr<QSerialPort> serial, const QByteArray& data);
    QByteArray readSerialData(std::shared_ptr<QSerialPort> serial);

    static std::shared_ptr<SerialPortItem> makePortItem(const QSerialPortInfo& info);
    // Name, description, manufacturer, location, vendor id, product id; "N/A" for what is missing,
    // ids in lower-case hexadecimal.
    static QStringList portRecord(const SerialPortItem& port);

private:
    int _baudRate = 1000000;
    const QSerialPort::DataBits _dataBits = QSerialPort::Data8;
    const QSerialPort::Parity _parity = QSerialPort::NoParity;
    const QSerialPort::StopBits _stopBits = QSerialPort::OneStop;
    const QSerialPort::FlowControl _flowControl = QSerialPort::NoFlowControl;
};
