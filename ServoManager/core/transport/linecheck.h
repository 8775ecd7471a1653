#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

// What the line did while the bus doctor listened: the bytes that came with nothing sent, and
// whether a packet sent came straight back.
struct LineCheckResult
{
    QString openError; // the port could not be opened; nothing else was looked at
    int quietBytes = 0;
    int quietMs = 0;
    bool echoed = false;
};

// Listens to the line with nothing sent (noise, another master), then sends one ping and looks
// for its own bytes among what comes back (a loop-back adapter, or a half-duplex line wired
// without a direction switch). The ping goes to id 252 in Protocol 2, which no Protocol 1 servo
// takes for its own and which nothing on a factory-fresh bus answers. Event-driven on the caller's
// thread; the port is closed again before finished().
class LineCheck : public QObject
{
    Q_OBJECT

public:
    LineCheck(QString portName, int baudRate, int quietWindowMs, QObject* parent = nullptr);

    void start();
    void stop();
    const LineCheckResult& result() const { return _result; }

    // The packet sent to see whether it comes back.
    static QByteArray probePacket();
    // True when `received` holds `sent` whole: an answer never repeats the request's bytes.
    static bool holdsEcho(const QByteArray& sent, const QByteArray& received);
    // How long the echo is waited for: twice the packet's line time and the adapter's allowance.
    static int echoWindowMs(int baudRate, int adapterAllowanceUs);

signals:
    void finished();

private:
    void quietWindowEnded();
    void bytesArrived();
    void end();

    QString _portName;
    int _baudRate;
    int _quietWindowMs;
    QSerialPort _port;
    QTimer _timer;
    QByteArray _received;
    bool _probing = false;
    bool _running = false;
    LineCheckResult _result;
};
