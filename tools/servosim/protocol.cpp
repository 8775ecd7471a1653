#include "protocol.h"

#include "crc16.h"

#include <array>
#include <utility>

namespace servosim {

namespace {

constexpr std::array<std::pair<int, int>, 11> BaudCodes{{{0, 2000000},
                                                         {1, 1000000},
                                                         {3, 500000},
                                                         {4, 400000},
                                                         {7, 250000},
                                                         {9, 200000},
                                                         {16, 115200},
                                                         {34, 57600},
                                                         {51, 38400},
                                                         {103, 19200},
                                                         {207, 9600}}};

QByteArray packet(quint8 id, const QByteArray& body)
{
    QByteArray bytes = packetHeader();
    const int length = body.size() + 2;
    bytes.append(static_cast<char>(id));
    bytes.append(static_cast<char>(length & 0xFF));
    bytes.append(static_cast<char>((length >> 8) & 0xFF));
    bytes.append(body);
    const quint16 crc = crc16(bytes);
    bytes.append(static_cast<char>(crc & 0xFF));
    bytes.append(static_cast<char>(crc >> 8));
    return bytes;
}

QByteArray packetP1(quint8 id, quint8 code, const QByteArray& params)
{
    // A longer packet has no length byte; cutting it would send another request than asked for.
    if (params.size() > MaxParamsP1)
        return {};
    QByteArray body;
    body.append(static_cast<char>(id));
    body.append(static_cast<char>(params.size() + 2));
    body.append(static_cast<char>(code));
    body.append(params);
    return packetHeaderP1() + body + static_cast<char>(checksumP1(body));
}

} // namespace

QString protocolName(int protocol)
{
    return protocol == protocolNumber::Feetech ? QStringLiteral("feetech") : QString::number(protocol);
}

QByteArray packetHeader()
{
    return QByteArray("\xFF\xFF\xFD\x00", 4);
}

QByteArray statusPacket(quint8 id, quint8 errorByte, const QByteArray& params)
{
    QByteArray body;
    body.append(static_cast<char>(instruction::Status));
    body.append(static_cast<char>(errorByte));
    body.append(params);
    return packet(id, body);
}

QByteArray instructionPacket(quint8 id, quint8 instructionCode, const QByteArray& params)
{
    return packet(id, static_cast<char>(instructionCode) + params);
}

QByteArray packetHeaderP1()
{
    return QByteArray("\xFF\xFF", 2);
}

quint8 checksumP1(const QByteArray& body)
{
    quint8 sum = 0;
    for (char byte : body)
        sum = quint8(sum + quint8(byte));
    return quint8(~sum);
}

QByteArray statusPacketP1(quint8 id, quint8 errorByte, const QByteArray& params)
{
    return packetP1(id, errorByte, params);
}

QByteArray instructionPacketP1(quint8 id, quint8 instructionCode, const QByteArray& params)
{
    return packetP1(id, instructionCode, params);
}

int baudRateForCode(int code)
{
    for (const auto& entry : BaudCodes)
        if (entry.first == code)
            return entry.second;
    return -1;
}

int codeForBaudRate(int baudRate)
{
    for (const auto& entry : BaudCodes)
        if (entry.second == baudRate)
            return entry.first;
    return -1;
}

qint64 lineTimeUs(int bytes, int baudRate)
{
    const qint64 bits = qint64(bytes) * 10 * 1000000;
    return (bits + baudRate - 1) / baudRate;
}

} // namespace servosim
