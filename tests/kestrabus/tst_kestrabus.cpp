#include "kestrabus.h"
#include "kestrabusimpl.h"
#include "ptypair.h"
#include "serialportbase.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QtTest>

#include <termios.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

QByteArray bytes(const char* hex)
{
    return QByteArray::fromHex(hex);
}

const QByteArray p1PingOfId1 = bytes("ffff010201fb");
const QByteArray p2PingOfId1 = bytes("fffffd0001030001194e");
const QByteArray p2ReadOf2At0 = bytes("fffffd0001070002000002002151");
// Status packet of servo 1 without error.
const QByteArray acknowledgement = bytes("fffffd000104005500a10c");

const int lineTimeoutMs = 2000;

// The line speed stored in the pseudo-terminal's settings.
speed_t lineSpeed(const PtyPair& pty)
{
    termios settings{};
    if (::tcgetattr(pty.masterFd(), &settings) != 0)
        return B0;
    return cfgetospeed(&settings) == cfgetispeed(&settings) ? cfgetospeed(&settings) : B0;
}

// Runs every call already queued in this thread; false when that did not happen in time.
bool runQueuedCalls()
{
    bool reached = false;
    QObject marker;
    QMetaObject::invokeMethod(
        &marker, [&reached] { reached = true; }, Qt::QueuedConnection);
    return QTest::qWaitFor([&reached] { return reached; }, 20000);
}

// One request to several servos through the public interface, by the rows' name for it.
bool sendMultiServo(Kestrabus& bus, const QString& kind, std::function<void()> callback)
{
    const std::vector<uint8_t> ids{1, 2};
    const std::vector<Kestrabus::BulkReadItem> items{{1, 0, 2}, {2, 0x84, 4}};
    if (kind == "sync read")
        return bus.syncRead(0x84, 4, ids, std::move(callback));
    if (kind == "fast sync read")
        return bus.fastSyncRead(0x84, 4, ids, std::move(callback));
    if (kind == "bulk read")
        return bus.bulkRead(items, std::move(callback));
    if (kind == "fast bulk read")
        return bus.fastBulkRead(items, std::move(callback));
    if (kind == "sync write")
        return bus.syncWrite(0x74, 4, {{1, bytes("96000000")}, {2, bytes("aa000000")}}, std::move(callback));
    if (kind == "sync write, short data")
        return bus.syncWrite(0x74, 4, {{1, bytes("96000000")}, {2, bytes("aa")}}, std::move(callback));
    return bus.syncRead(0x84, 4, {}, std::move(callback)); // no servo
}

} // namespace

Q_DECLARE_METATYPE(QSerialPort::SerialPortError)

class TestKestrabus : public QObject
{
    Q_OBJECT

private slots:
    void portRecord_data();
    void portRecord();

    void protocolSelection_data();
    void protocolSelection();
    void openMissingThenValid();
    void reopenAtSecondRate_data();
    void reopenAtSecondRate();

    void unreadInputDroppedByNextRequest_data();
    void unreadInputDroppedByNextRequest();
    void callbackOncePerArrival();
    void callbacksAccumulateUntilCleanUp();
    void cleanUpWhenIdle();
    void idleArrivalsBetweenRequests_data();
    void idleArrivalsBetweenRequests();
    void oversizedWriteConnectsNothing_data();
    void oversizedWriteConnectsNothing();
    void multiServoRequests_data();
    void multiServoRequests();
    void multiServoRefusalsConnectNothing_data();
    void multiServoRefusalsConnectNothing();
    void rebootAndResetWaitForAnswer_data();
    void rebootAndResetWaitForAnswer();
    void rebootOnClosedPortDoesNotWait();

    void portErrorReportedOncePerEpisode_data();
    void portErrorReportedOncePerEpisode();
    void pendingPortErrorDroppedWithOwner_data();
    void pendingPortErrorDroppedWithOwner();
    void portErrorOnHangup_data();
    void portErrorOnHangup();
};

void TestKestrabus::portRecord_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");
    QTest::addColumn<QStringList>("record");

    QTest::newRow("built-in port") << "ttyS0"
                                   << "/dev/ttyS0"
                                   << ""
                                   << "" << 0 << 0
                                   << QStringList{"ttyS0", "N/A", "N/A", "/dev/ttyS0", "N/A", "N/A"};
    QTest::newRow("usb adapter") << "ttyUSB0"
                                 << "/dev/ttyUSB0"
                                 << "FT232R USB UART"
                                 << "FTDI" << 0x0403 << 0x6001
                                 << QStringList{"ttyUSB0", "FT232R USB UART", "FTDI", "/dev/ttyUSB0", "403",
                                                "6001"};
    QTest::newRow("lower-case hex") << "ttyACM0"
                                    << "/dev/ttyACM0"
                                    << ""
                                    << "Maker" << 0xABCD << 0x00F0
                                    << QStringList{"ttyACM0", "N/A", "Maker", "/dev/ttyACM0", "abcd", "f0"};
}

void TestKestrabus::portRecord()
{
    QFETCH(QString, name);
    QFETCH(QString, location);
    QFETCH(QString, description);
    QFETCH(QString, manufacturer);
    QFETCH(int, vendor);
    QFETCH(int, product);
    QFETCH(QStringList, record);

    const SerialPortItem port(name, location, description, manufacturer, quint16(vendor), quint16(product));
    QCOMPARE(SerialPortBase::portRecord(port), record);
}

void TestKestrabus::protocolSelection_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("ping");

    QTest::newRow("0") << 0 << p2PingOfId1;
    QTest::newRow("1") << 1 << p1PingOfId1;
    QTest::newRow("2") << 2 << p2PingOfId1;
    QTest::newRow("255") << 255 << p2PingOfId1;
}

void TestKestrabus::protocolSelection()
{
    QFETCH(int, protocol);
    QFETCH(QByteArray, ping);

    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, uint8_t(protocol));
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 57600), QString());
    QVERIFY(bus.ping(1, [] {}));
    QCOMPARE(pty.read(ping.size(), lineTimeoutMs).toHex(' '), ping.toHex(' '));
}

void TestKestrabus::openMissingThenValid()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, 2);
    QVERIFY(!bus.openSerialPort("/dev/kestrabus-no-such-port", 57600).isEmpty());
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 57600), QString());
    QVERIFY(bus.ping(1, [] {}));
    QCOMPARE(pty.read(p2PingOfId1.size(), lineTimeoutMs).toHex(' '), p2PingOfId1.toHex(' '));
}

void TestKestrabus::reopenAtSecondRate_data()
{
    QTest::addColumn<int>("firstRate");
    QTest::addColumn<uint>("firstSpeed");
    QTest::addColumn<int>("secondRate");
    QTest::addColumn<uint>("secondSpeed");

    QTest::newRow("57600 then 115200") << 57600 << uint(B57600) << 115200 << uint(B115200);
    QTest::newRow("9600 then 1000000") << 9600 << uint(B9600) << 1000000 << uint(B1000000);
}

void TestKestrabus::reopenAtSecondRate()
{
    QFETCH(int, firstRate);
    QFETCH(uint, firstSpeed);
    QFETCH(int, secondRate);
    QFETCH(uint, secondSpeed);

    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, 2);
    QCOMPARE(bus.openSerialPort(pty.slavePath(), firstRate), QString());
    QCOMPARE(uint(lineSpeed(pty)), firstSpeed);
    // Opening an open port would fail; success shows it was closed first.
    QCOMPARE(bus.openSerialPort(pty.slavePath(), secondRate), QString());
    QCOMPARE(uint(lineSpeed(pty)), secondSpeed);
    QVERIFY(bus.ping(1, [] {}));
    QCOMPARE(pty.read(p2PingOfId1.size(), lineTimeoutMs).toHex(' '), p2PingOfId1.toHex(' '));
}

void TestKestrabus::unreadInputDroppedByNextRequest_data()
{
    QTest::addColumn<bool>("portReadIt");

    QTest::newRow("held by the port") << true;
    QTest::newRow("still in the driver") << false;
}

void TestKestrabus::unreadInputDroppedByNextRequest()
{
    QFETCH(bool, portReadIt);

    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, 2);
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 115200), QString());
    int arrivals = 0;
    QVERIFY(bus.ping(1, [&arrivals] { ++arrivals; }));
    QCOMPARE(pty.read(p2PingOfId1.size(), lineTimeoutMs).size(), p2PingOfId1.size());

    QVERIFY(pty.write("stale"));
    if (portReadIt)
        QTRY_COMPARE_WITH_TIMEOUT(arrivals, 1, 20000);
    const int arrivalsBefore = arrivals;
    QVERIFY(bus.readData(1, 0, 2, [] {}));
    QCOMPARE(pty.read(p2ReadOf2At0.size(), lineTimeoutMs).toHex(' '), p2ReadOf2At0.toHex(' '));
    QVERIFY(pty.write("fresh"));
    QTRY_COMPARE_WITH_TIMEOUT(arrivals, arrivalsBefore + 1, 20000);
    QCOMPARE(bus.readPendingSerialData(), QByteArray("fresh"));
}

void TestKestrabus::callbackOncePerArrival()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, 2);
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 115200), QString());
    QList<QByteArray> chunks;
    QVERIFY(bus.ping(1, [&] { chunks << bus.readPendingSerialData(); }));
    QCOMPARE(pty.read(p2PingOfId1.size(), lineTimeoutMs).size(), p2PingOfId1.size());

    const QList<QByteArray> sent{"AB", "CDE", acknowledgement};
    for (int i = 0; i < sent.size(); ++i) {
        QVERIFY(pty.write(sent[i]));
        QTRY_COMPARE_WITH_TIMEOUT(chunks.size(), i + 1, 20000);
    }
    // A second call for one arrival would have read an empty chunk.
    QCOMPARE(chunks, sent);
}

void TestKestrabus::callbacksAccumulateUntilCleanUp()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, 2);
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 115200), QString());
    int first = 0;
    int second = 0;
    QVERIFY(bus.ping(1, [&first] { ++first; }));
    QCOMPARE(pty.read(p2PingOfId1.size(), lineTimeoutMs).size(), p2PingOfId1.size());
    QVERIFY(bus.readData(1, 0, 2, [&second] { ++second; }));
    QCOMPARE(pty.read(p2ReadOf2At0.size(), lineTimeoutMs).size(), p2ReadOf2At0.size());

    for (int arrival = 1; arrival <= 2; ++arrival) {
        QVERIFY(pty.write(acknowledgement));
        QTRY_VERIFY_WITH_TIMEOUT(first == arrival && second == arrival, 20000);
    }

    bus.cleanUp();
    int third = 0;
    QVERIFY(bus.ping(1, [&third] { ++third; }));
    QCOMPARE(pty.read(p2PingOfId1.size(), lineTimeoutMs).size(), p2PingOfId1.size());
    QVERIFY(pty.write(acknowledgement));
    QTRY_COMPARE_WITH_TIMEOUT(third, 1, 20000);
    QCOMPARE(first, 2);
    QCOMPARE(second, 2);
}

void TestKestrabus::cleanUpWhenIdle()
{
    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, 2);
    bus.cleanUp();
    bus.cleanUp();
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 115200), QString());
    int arrivals = 0;
    QVERIFY(bus.ping(1, [&arrivals] { ++arrivals; }));
    QCOMPARE(pty.read(p2PingOfId1.size(), lineTimeoutMs).size(), p2PingOfId1.size());
    QVERIFY(pty.write(acknowledgement));
    QTRY_COMPARE_WITH_TIMEOUT(arrivals, 1, 20000);
}

void TestKestrabus::idleArrivalsBetweenRequests_data()
{
    QTest::addColumn<bool>("requestFirst");
    QTest::addColumn<int>("cleanUps");
    QTest::newRow("no request yet") << false << 0;
    QTest::newRow("no request yet, cleaned up three times") << false << 3;
    QTest::newRow("after a request, cleaned up once") << true << 1;
    QTest::newRow("after a request, cleaned up three times") << true << 3;
}

// Between requests each arrival reaches the idle callback once, and the ended request's callback
// never; the next request takes the arrivals over.
void TestKestrabus::idleArrivalsBetweenRequests()
{
    QFETCH(bool, requestFirst);
    QFETCH(int, cleanUps);

    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, 2);
    QList<QByteArray> idle;
    bus.setIdleDataCallback([&] { idle << bus.readPendingSerialData(); });
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 115200), QString());
    int answered = 0;
    const auto request = [&] {
        QVERIFY(bus.ping(1, [&] {
            ++answered;
            bus.readPendingSerialData();
        }));
        QCOMPARE(pty.read(p2PingOfId1.size(), lineTimeoutMs).size(), p2PingOfId1.size());
        QVERIFY(pty.write(acknowledgement));
    };
    if (requestFirst) {
        request();
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(answered, 1, 20000);
    }
    for (int i = 0; i < cleanUps; ++i)
        bus.cleanUp();

    const QList<QByteArray> sent{"late", "noise"};
    for (int i = 0; i < sent.size(); ++i) {
        QVERIFY(pty.write(sent[i]));
        QTRY_COMPARE_WITH_TIMEOUT(idle.size(), i + 1, 20000);
    }
    // A callback connected twice would have read an empty chunk.
    QCOMPARE(idle, sent);
    QCOMPARE(answered, requestFirst ? 1 : 0);

    request();
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(answered, requestFirst ? 2 : 1, 20000);
    QCOMPARE(idle, sent);
}

void TestKestrabus::oversizedWriteConnectsNothing_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("ping");

    QTest::newRow("protocol 1, 253 bytes") << 1 << 253 << p1PingOfId1;
    QTest::newRow("protocol 2, 251 bytes") << 2 << 251 << p2PingOfId1;
}

void TestKestrabus::oversizedWriteConnectsNothing()
{
    QFETCH(int, protocol);
    QFETCH(int, size);
    QFETCH(QByteArray, ping);

    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, uint8_t(protocol));
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 115200), QString());
    int refused = 0;
    int answered = 0;
    QVERIFY(!bus.writeData(1, 0, QByteArray(size, 0x11), [&refused] { ++refused; }));
    QVERIFY(bus.ping(1, [&answered] { ++answered; }));
    QCOMPARE(pty.read(ping.size(), lineTimeoutMs).toHex(' '), ping.toHex(' '));
    QVERIFY(pty.write(acknowledgement));
    QTRY_COMPARE_WITH_TIMEOUT(answered, 1, 20000);
    QCOMPARE(refused, 0);
}

void TestKestrabus::multiServoRequests_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("packet");

    QTest::newRow("2 sync read") << 2 << "sync read" << bytes("fffffd00fe0900828400040001 02 cefa");
    QTest::newRow("2 fast sync read") << 2 << "fast sync read" << bytes("fffffd00fe09008a8400040001 02 4d72");
    QTest::newRow("2 bulk read") << 2 << "bulk read" << bytes("fffffd00fe0d0092 0100000200 0284000400 1675");
    QTest::newRow("2 fast bulk read")
        << 2 << "fast bulk read" << bytes("fffffd00fe0d009a 0100000200 0284000400 155f");
    QTest::newRow("2 sync write") << 2 << "sync write"
                                  << bytes("fffffd00fe11008374000400 0196000000 02aa000000 8287");
    QTest::newRow("1 sync read") << 1 << "sync read" << bytes("fffffe0682 8404 0102 ee");
    QTest::newRow("1 sync write") << 1 << "sync write" << bytes("fffffe0e83 7404 0196000000 02aa000000 b5");
}

void TestKestrabus::multiServoRequests()
{
    QFETCH(int, protocol);
    QFETCH(QString, kind);
    QFETCH(QByteArray, packet);

    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, uint8_t(protocol));
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 1000000), QString());
    QList<QByteArray> sent;
    bus.setSentCallback([&sent](const QByteArray& bytes) { sent << bytes; });
    QList<QByteArray> chunks;
    QVERIFY(sendMultiServo(bus, kind, [&] { chunks << bus.readPendingSerialData(); }));
    QCOMPARE(pty.read(packet.size() + 1, lineTimeoutMs).toHex(' '), packet.toHex(' '));
    QCOMPARE(sent, QList<QByteArray>{packet});

    // The answers of several servos arrive as they come; the caller frames them.
    const QList<QByteArray> answers{bytes("fffffd0001"), bytes("0800550000000000ffff")};
    for (int i = 0; i < answers.size(); ++i) {
        QVERIFY(pty.write(answers[i]));
        QTRY_COMPARE_WITH_TIMEOUT(chunks.size(), i + 1, 20000);
    }
    QCOMPARE(chunks, answers);
}

void TestKestrabus::multiServoRefusalsConnectNothing_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("ping");

    QTest::newRow("1 fast sync read") << 1 << "fast sync read" << p1PingOfId1;
    QTest::newRow("1 bulk read") << 1 << "bulk read" << p1PingOfId1;
    QTest::newRow("1 fast bulk read") << 1 << "fast bulk read" << p1PingOfId1;
    QTest::newRow("1 no servo") << 1 << "no servo" << p1PingOfId1;
    QTest::newRow("2 no servo") << 2 << "no servo" << p2PingOfId1;
    QTest::newRow("2 sync write, short data") << 2 << "sync write, short data" << p2PingOfId1;
}

void TestKestrabus::multiServoRefusalsConnectNothing()
{
    QFETCH(int, protocol);
    QFETCH(QString, kind);
    QFETCH(QByteArray, ping);

    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, uint8_t(protocol));
    int refused = 0;
    // Not open yet: nothing can be sent, whatever the request.
    QVERIFY(!sendMultiServo(bus, protocol == 1 ? "sync read" : "fast bulk read", [&refused] { ++refused; }));
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 115200), QString());
    int answered = 0;
    QVERIFY(!sendMultiServo(bus, kind, [&refused] { ++refused; }));
    // The ping is the first thing on the line: the refused request wrote nothing.
    QVERIFY(bus.ping(1, [&answered] { ++answered; }));
    QCOMPARE(pty.read(ping.size(), lineTimeoutMs).toHex(' '), ping.toHex(' '));
    QVERIFY(pty.write(acknowledgement));
    QTRY_COMPARE_WITH_TIMEOUT(answered, 1, 20000);
    QCOMPARE(refused, 0);
}

void TestKestrabus::rebootAndResetWaitForAnswer_data()
{
    QTest::addColumn<bool>("reboot");
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<bool>("complete");

    const QList<QByteArray> none;
    const QList<QByteArray> whole{acknowledgement};
    // As a USB adapter hands them on: the first piece ends inside the header.
    const QList<QByteArray> two{acknowledgement.left(5), acknowledgement.mid(5)};
    const QList<QByteArray> three{acknowledgement.left(2), acknowledgement.mid(2, 6), acknowledgement.mid(8)};
    QTest::newRow("reboot, silent") << true << none << false;
    QTest::newRow("reboot, whole answer") << true << whole << true;
    QTest::newRow("reboot, answer in two pieces") << true << two << true;
    QTest::newRow("reboot, answer cut short") << true << two.mid(0, 1) << false;
    QTest::newRow("reset, silent") << false << none << false;
    QTest::newRow("reset, whole answer") << false << whole << true;
    QTest::newRow("reset, answer in three pieces") << false << three << true;
}

void TestKestrabus::rebootAndResetWaitForAnswer()
{
    QFETCH(bool, reboot);
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, complete);
    const QByteArray request = reboot ? bytes("fffffd00010300082f4e") : bytes("fffffd000104000601a1e6");

    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    QObject target;
    Kestrabus bus(&target, 2);
    QCOMPARE(bus.openSerialPort(pty.slavePath(), 115200), QString());

    // The request blocks this thread, so the servo answers from another one, each piece only
    // after the previous one reached the callback, so that every piece is an arrival of its own.
    std::atomic<int> arrivals{0};
    QByteArray received;
    std::thread servo([&] {
        received = pty.read(request.size(), lineTimeoutMs);
        for (int i = 0; i < pieces.size(); ++i) {
            pty.write(pieces.at(i));
            QDeadlineTimer limit(lineTimeoutMs);
            while (arrivals.load() <= i && !limit.hasExpired())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // Collects like the request layer: the transaction ends when the whole answer is in.
    QByteArray answer;
    const auto callback = [&] {
        answer += bus.readPendingSerialData();
        ++arrivals;
        if (answer == acknowledgement)
            bus.cleanUp();
    };
    QElapsedTimer timer;
    timer.start();
    const bool sent = reboot ? bus.reboot(1, callback) : bus.reset(1, callback);
    const qint64 elapsedMs = timer.elapsed();
    const QByteArray answerAtReturn = answer;
    servo.join();

    QVERIFY(sent);
    QCOMPARE(received.toHex(' '), request.toHex(' '));
    QCOMPARE(arrivals.load(), pieces.size());
    QCOMPARE(answerAtReturn.toHex(' '), pieces.join().toHex(' '));
    if (complete)
        QVERIFY2(elapsedMs < 900, qPrintable(QString::number(elapsedMs)));
    else
        QVERIFY2(elapsedMs >= 900 && elapsedMs <= 2000, qPrintable(QString::number(elapsedMs)));
}

void TestKestrabus::rebootOnClosedPortDoesNotWait()
{
    // Nothing went out, so there is no answer to wait a second for, and no request says it was sent.
    QObject target;
    Kestrabus bus(&target, 2);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!bus.reboot(1, [] {}));
    QVERIFY(!bus.reset(1, [] {}));
    QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!bus.ping(1, [] {}));
    QVERIFY(!bus.readData(1, 0, 4, [] {}));
    QVERIFY(!bus.writeData(1, 5, QByteArray(1, 0), [] {}));
}

void TestKestrabus::portErrorReportedOncePerEpisode_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<bool>("hungUp");
    QTest::addColumn<bool>("reported");

    QTest::newRow("resource, hung up") << QSerialPort::ResourceError << true << true;
    QTest::newRow("read, hung up") << QSerialPort::ReadError << true << true;
    QTest::newRow("write") << QSerialPort::WriteError << false << true;
    // A read that found nothing (the input was dropped after the port announced it) on a port
    // that still works.
    QTest::newRow("read, port still there") << QSerialPort::ReadError << false << false;
    QTest::newRow("resource, port still there") << QSerialPort::ResourceError << false << false;
    QTest::newRow("timeout") << QSerialPort::TimeoutError << false << false;
    QTest::newRow("not open") << QSerialPort::NotOpenError << false << false;
    QTest::newRow("unsupported operation") << QSerialPort::UnsupportedOperationError << false << false;
}

void TestKestrabus::portErrorReportedOncePerEpisode()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(bool, hungUp);
    QFETCH(bool, reported);

    QObject target;
    KestrabusImpl bus(&target, 2);
    int reports = 0;
    bus.setPortErrorCallback([&reports](const QString&) { ++reports; });
    // Each episode on a port of its own, hung up first where the row says so.
    for (int episode = 1; episode <= 2; ++episode) {
        PtyPair pty;
        QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
        QCOMPARE(bus.openSerialPort(pty.slavePath(), 115200), QString());
        bus.cleanUp();
        QSerialPort* port = bus.findChild<QSerialPort*>();
        QVERIFY(port);
        if (hungUp)
            pty.closeMaster();
        // Qt repeats the error while a dead port stays open.
        emit port->errorOccurred(error);
        emit port->errorOccurred(error);
        QCOMPARE(reports, reported ? episode - 1 : 0);
        QVERIFY(runQueuedCalls());
        QCOMPARE(reports, reported ? episode : 0);
        if (!reported && !hungUp)
            QVERIFY(port->isOpen());
    }
}

void TestKestrabus::pendingPortErrorDroppedWithOwner_data()
{
    QTest::addColumn<bool>("targetGone");

    QTest::newRow("target destroyed") << true;
    QTest::newRow("bus destroyed") << false;
}

void TestKestrabus::pendingPortErrorDroppedWithOwner()
{
    QFETCH(bool, targetGone);

    PtyPair pty;
    QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
    auto target = std::make_unique<QObject>();
    auto bus = std::make_unique<KestrabusImpl>(target.get(), 2);
    int reports = 0;
    bus->setPortErrorCallback([&reports](const QString&) { ++reports; });
    QCOMPARE(bus->openSerialPort(pty.slavePath(), 115200), QString());
    QSerialPort* port = bus->findChild<QSerialPort*>();
    QVERIFY(port);

    emit port->errorOccurred(QSerialPort::ResourceError);
    if (targetGone)
        target.reset();
    else
        bus.reset();
    QVERIFY(runQueuedCalls());
    QCOMPARE(reports, 0);
}

void TestKestrabus::portErrorOnHangup_data()
{
    QTest::addColumn<bool>("requestAfterHangup");
    QTest::addColumn<bool>("ownerDestroysBus");

    QTest::newRow("read fails, owner closes the port") << false << false;
    QTest::newRow("read fails, owner destroys the bus") << false << true;
    QTest::newRow("write fails, owner destroys the bus") << true << true;
}

// Closing the master hangs up the port as unplugging an adapter does. The owner reacts the way the
// program does, which would crash if the report came from inside the port's error signal.
void TestKestrabus::portErrorOnHangup()
{
    QFETCH(bool, requestAfterHangup);
    QFETCH(bool, ownerDestroysBus);

    auto pty = std::make_unique<PtyPair>();
    QVERIFY2(pty->isOpen(), qPrintable(pty->errorString()));
    QObject target;
    auto bus = std::make_shared<Kestrabus>(&target, 2);
    QStringList reports;
    bool inTargetThread = true;
    bus->setPortErrorCallback([&](const QString& text) {
        reports << text;
        inTargetThread = inTargetThread && QThread::currentThread() == target.thread();
        if (ownerDestroysBus)
            bus.reset();
        else
            bus->closeSerialPort();
    });
    QCOMPARE(bus->openSerialPort(pty->slavePath(), 115200), QString());
    bus->cleanUp();

    pty->closeMaster();
    if (requestAfterHangup) {
        QVERIFY(bus->ping(1, [] {}));
        QCOMPARE(reports.size(), 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(reports.size(), 1, 20000);
    QVERIFY(!reports.first().isEmpty());
    QVERIFY(inTargetThread);
    if (ownerDestroysBus) {
        QVERIFY(!bus);
        return;
    }

    // A port opened again reports its next failure.
    pty = std::make_unique<PtyPair>();
    QVERIFY2(pty->isOpen(), qPrintable(pty->errorString()));
    QCOMPARE(bus->openSerialPort(pty->slavePath(), 115200), QString());
    pty->closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(reports.size(), 2, 20000);
}

QTEST_GUILESS_MAIN(TestKestrabus)
#include "tst_kestrabus.moc"
