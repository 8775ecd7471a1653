#include "core/transport/linecheck.h"

#include "core/protocol/linetime.h"
#include "core/protocol/statuspacketframer.h"
#include "core/transport/portlatency.h"

#include <algorithm>

namespace {

// An echo is the packet itself, back within the adapter's round trip; a busy machine may hold
// the far end of a pseudo-terminal back longer, so the window is never shorter than this.
constexpr int shortestEchoWindowMs = 150;
constexpr uint8_t probeId = 252;
constexpr int settleMs = 50;

} // namespace

LineCheck::LineCheck(QString portName, int baudRate, int quietWindowMs, QObject* parent)
    : QObject(parent), _portName(std::move(portName)), _baudRate(baudRate), _quietWindowMs(quietWindowMs)
{
    _timer.setSingleShot(true);
    connect(&_port, &QSerialPort::readyRead, this, &LineCheck::bytesArrived);
}

QByteArray LineCheck::probePacket()
{
    // FF FF FD 00, id, length 3 (instruction and CRC), ping, CRC over everything before it.
    QByteArray packet = QByteArray::fromHex("fffffd00") + char(probeId) + QByteArray::fromHex("030001");
    const uint16_t crc =
        StatusPacketFramer::crc16(reinterpret_cast<const uint8_t*>(packet.constData()), int(packet.size()));
    packet.append(char(crc & 0xff));
    packet.append(char(crc >> 8));
    return packet;
}

bool LineCheck::holdsEcho(const QByteArray& sent, const QByteArray& received)
{
    return !sent.isEmpty() && received.contains(sent);
}

int LineCheck::echoWindowMs(int baudRate, int adapterAllowanceUs)
{
    const double lineUs = linetime::bytesUs(int(probePacket().size()), baudRate);
    return std::max(shortestEchoWindowMs, int((2 * lineUs + adapterAllowanceUs) / 1000) + 1);
}

void LineCheck::start()
{
    _result = {};
    _received.clear();
    _probing = false;
    _port.setPortName(_portName);
    if (!_port.open(QIODevice::ReadWrite) || !_port.setBaudRate(_baudRate)) {
        _result.openError = _port.errorString();
        _port.close();
        QTimer::singleShot(0, this, &LineCheck::finished);
        return;
    }
    _running = true;
    _port.setDataBits(QSerialPort::Data8);
    _port.setParity(QSerialPort::NoParity);
    _port.setStopBits(QSerialPort::OneStop);
    _port.setFlowControl(QSerialPort::NoFlowControl);
    // An adapter may hand on a byte or two as its line settles after opening: what comes before
    // the window is not the line's doing.
    _timer.disconnect();
    connect(&_timer, &QTimer::timeout, this, [this] {
        _port.clear(QSerialPort::Input);
        _received.clear();
        _timer.disconnect();
        connect(&_timer, &QTimer::timeout, this, &LineCheck::quietWindowEnded);
        _timer.start(_quietWindowMs);
    });
    _timer.start(settleMs);
}

void LineCheck::stop()
{
    if (_running)
        end();
}

void LineCheck::bytesArrived()
{
    _received += _port.readAll();
    if (_probing && holdsEcho(probePacket(), _received))
        end(); // seen: no need to wait out the window
}

void LineCheck::quietWindowEnded()
{
    bytesArrived();
    _result.quietBytes = int(_received.size());
    _result.quietMs = _quietWindowMs;
    _received.clear();
    _probing = true;
    _port.write(probePacket());
    _timer.disconnect();
    connect(&_timer, &QTimer::timeout, this, &LineCheck::end);
    _timer.start(echoWindowMs(_baudRate, probePortLatency(_portName).allowanceUs()));
}

void LineCheck::end()
{
    _timer.stop();
    if (_probing) {
        _received += _port.readAll();
        _result.echoed = holdsEcho(probePacket(), _received);
    }
    _probing = false;
    _running = false;
    _port.close();
    emit finished();
}
