// Troubles of the line and the servos, as a client on the pseudo-terminal sees them.
#include "crc16.h"
#include "protocol.h"
#include "servosimulator.h"
#include "testmodels.h"

#include <QtSerialPort/QSerialPort>
#include <QtTest>

using namespace servosim;

namespace {

// The built-in XL430's registers.
constexpr int StatusReturnLevelAddress = 68, HardwareErrorAddress = 70, VoltageAddress = 144;

enum class Trouble { Echo, Noise, SharedId, LowSupply, SilentServo };

QByteArray readParams(int address, int length)
{
    return QByteArray(1, char(address)) + char(address >> 8) + char(length) + '\0';
}

// The first status packet in `bytes` with a valid CRC; empty when there is none.
QByteArray validPacket(const QByteArray& bytes)
{
    for (int at = bytes.indexOf(packetHeader()); at >= 0; at = bytes.indexOf(packetHeader(), at + 1)) {
        if (at + HeaderSize > bytes.size())
            break;
        const QByteArray packet = bytes.mid(at, HeaderSize + tableU16(bytes, at + 5));
        if (packet.size() >= StatusOverhead && packet.size() == HeaderSize + tableU16(bytes, at + 5) &&
            crc16(packet.left(packet.size() - 2)) == tableU16(packet, packet.size() - 2))
            return packet;
    }
    return {};
}

struct Client
{
    QSerialPort port;

    // What arrives until `enough` says so or `timeoutMs` has passed.
    QByteArray collect(int timeoutMs, const std::function<bool(const QByteArray&)>& enough)
    {
        QByteArray bytes;
        QElapsedTimer timer;
        timer.start();
        while (!enough(bytes) && timer.elapsed() < timeoutMs)
            if (port.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - timer.elapsed()))))
                bytes += port.readAll();
        return bytes;
    }

    QByteArray exchange(const QByteArray& request, int timeoutMs = 1000)
    {
        port.write(request);
        port.waitForBytesWritten(1000);
        return collect(timeoutMs, [](const QByteArray& bytes) { return !validPacket(bytes).isEmpty(); });
    }
};

} // namespace

Q_DECLARE_METATYPE(Trouble)

class TestLineTroubles : public QObject
{
    Q_OBJECT

private slots:
    void whatTheClientSees_data()
    {
        QTest::addColumn<Trouble>("trouble");
        QTest::newRow("echoing line") << Trouble::Echo;
        QTest::newRow("noise") << Trouble::Noise;
        QTest::newRow("two servos at one id") << Trouble::SharedId;
        QTest::newRow("low supply") << Trouble::LowSupply;
        QTest::newRow("status return level 0") << Trouble::SilentServo;
    }
    void whatTheClientSees()
    {
        QFETCH(Trouble, trouble);
        Options options;
        options.description = builtInModel("xl430");
        QVERIFY(options.description);
        options.echo = trouble == Trouble::Echo;
        options.noiseIntervalMs = trouble == Trouble::Noise ? 20 : 0;
        options.allowSharedIds = true;
        options.ids = trouble == Trouble::SharedId ? QList<int>{1, 1} : QList<int>{1};
        options.supplyVoltage = trouble == Trouble::LowSupply ? 5.0 : 0;
        ServoSimulator simulator(options);
        QString problem;
        QVERIFY2(simulator.start(&problem), qPrintable(problem));
        Client client;
        client.port.setPortName(simulator.devicePath());
        client.port.setBaudRate(options.baudRate);
        QVERIFY(client.port.open(QIODevice::ReadWrite));

        const QByteArray ping = instructionPacket(1, instruction::Ping, {});
        const QByteArray read = instructionPacket(1, instruction::Read, readParams(VoltageAddress, 2));
        switch (trouble) {
        case Trouble::Echo: {
            const QByteArray bytes = client.exchange(ping);
            QVERIFY(bytes.startsWith(ping));
            QCOMPARE(validPacket(bytes.mid(ping.size())), bytes.mid(ping.size()));
            break;
        }
        case Trouble::Noise: {
            const QByteArray stray = client.collect(5000, [](const QByteArray& b) { return b.size() >= 8; });
            QVERIFY(stray.size() >= 8);
            QVERIFY(!stray.contains('\xFF'));
            QCOMPARE(simulator.packetsReceived(), 0);
            QVERIFY(!validPacket(client.exchange(ping)).isEmpty());
            break;
        }
        case Trouble::SharedId:
            QCOMPARE(simulator.servoIds(), (QList<int>{1, 1}));
            // Identical answers and different ones alike never come out clean.
            simulator.setRegisters(1, 0, QByteArray("\x01\x02", 2));
            for (const QByteArray& request :
                 {ping, read, instructionPacket(1, instruction::Read, readParams(0, 4))}) {
                const QByteArray bytes = client.exchange(request, 300);
                QVERIFY(!bytes.isEmpty());
                QVERIFY2(validPacket(bytes).isEmpty(), bytes.toHex(' ').constData());
            }
            break;
        case Trouble::LowSupply: {
            const QByteArray answer = validPacket(client.exchange(read));
            QCOMPARE(answer.size(), StatusOverhead + 2);
            QCOMPARE(tableU16(answer, 9), 50);        // 0.1 V steps
            QVERIFY(quint8(answer.at(8)) & error::Alert);
            QCOMPARE(simulator.registers(1).at(HardwareErrorAddress) & 0x01, 0x01); // input voltage
            break;
        }
        case Trouble::SilentServo:
            simulator.setRegisters(1, StatusReturnLevelAddress, QByteArray(1, '\0'));
            QVERIFY(client.exchange(read, 200).isEmpty());
            QVERIFY(client.exchange(instructionPacket(1, instruction::Write, QByteArray("\x41\x00\x01", 3)), 200)
                        .isEmpty());
            QCOMPARE(quint8(simulator.registers(1).at(65)), 1); // carried out all the same
            QVERIFY(!validPacket(client.exchange(ping)).isEmpty());
            break;
        }
    }
};

QTEST_GUILESS_MAIN(TestLineTroubles)
#include "tst_linetroubles.moc"
