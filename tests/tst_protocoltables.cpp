// The baud-rate codes of the servos' register and the line-time arithmetic behind every deadline,
// as pure functions: no port, no event loop.
#include "core/protocol/linetime.h"

#include <QRandomGenerator>
#include <QtTest>

Q_DECLARE_METATYPE(BusProtocol)

class TestProtocolTables : public QObject
{
    Q_OBJECT

private slots:
    void readSizes_data()
    {
        QTest::addColumn<BusProtocol>("protocol");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("request");
        QTest::addColumn<int>("answer");
        QTest::newRow("Protocol 2, a V1's whole table") << BusProtocol::Two << 118 << 14 << 129;
        QTest::newRow("Protocol 2, the model number") << BusProtocol::Two << 2 << 14 << 13;
        QTest::newRow("Protocol 1, an AX-12's whole table") << BusProtocol::One << 50 << 8 << 56;
    }

    void readSizes()
    {
        QFETCH(BusProtocol, protocol);
        QFETCH(int, length);
        QFETCH(int, request);
        QFETCH(int, answer);
        QCOMPARE(linetime::readRequestBytes(protocol), request);
        QCOMPARE(linetime::readAnswerBytes(protocol, length), answer);
    }

    void lineTime_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::addColumn<int>("baudRate");
        QTest::addColumn<double>("microseconds");
        QTest::newRow("a read-all answer at 1 Mbaud") << 129 << 1000000 << 1290.0;
        QTest::newRow("a read-all at 9600 baud") << 143 << 9600 << 148958.33333333334;
        QTest::newRow("one byte at 2 Mbaud") << 1 << 2000000 << 5.0;
        QTest::newRow("a rate of 0 is taken as 1") << 1 << 0 << 1e7;
    }

    // Ten bits a byte on the line: start, eight data bits, stop.
    void lineTime()
    {
        QFETCH(int, bytes);
        QFETCH(int, baudRate);
        QFETCH(double, microseconds);
        QCOMPARE(linetime::bytesUs(bytes, baudRate), microseconds);
    }

    void transactionDeadline_data()
    {
        QTest::addColumn<int>("baudRate");
        QTest::addColumn<int>("request");
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("allowanceUs");
        QTest::addColumn<int>("deadlineMs");
        QTest::newRow("read-all, 1 Mbaud, unknown adapter") << 1000000 << 14 << 129 << 34000 << 36;
        QTest::newRow("read-all, 9600 baud, unknown adapter") << 9600 << 14 << 129 << 34000 << 184;
        QTest::newRow("read-all, 57600 baud, no adapter") << 57600 << 14 << 129 << 0 << 26;
        QTest::newRow("Protocol 1 read-all, 9600 baud") << 9600 << 8 << 56 << 34000 << 102;
        // 210 µs on the line and 508 µs of return delay: exactly one millisecond with 282 µs more.
        QTest::newRow("a whole millisecond stays one") << 1000000 << 10 << 11 << 282 << 1;
        QTest::newRow("a microsecond more is two") << 1000000 << 10 << 11 << 283 << 2;
    }

    void transactionDeadline()
    {
        QFETCH(int, baudRate);
        QFETCH(int, request);
        QFETCH(int, answer);
        QFETCH(int, allowanceUs);
        QFETCH(int, deadlineMs);
        QCOMPARE(linetime::transactionDeadlineMs(baudRate, request, answer, allowanceUs), deadlineMs);
    }

    // More bytes or a slower line never shorten a deadline, and it always covers the line time.
    void deadlinesFollowTheLine()
    {
        QRandomGenerator random(34);
        const int rates[] = {9600, 57600, 115200, 1000000, 2000000};
        for (int i = 0; i < 1000; ++i) {
            const int bytes = random.bounded(1, 300);
            const int rate = rates[random.bounded(int(std::size(rates)))];
            const int allowance = random.bounded(40000);
            const int deadline = linetime::transactionDeadlineMs(rate, bytes, 0, allowance);
            QVERIFY(deadline * 1000.0 >=
                    linetime::bytesUs(bytes, rate) + linetime::longestReturnDelayUs + allowance);
            QVERIFY(linetime::transactionDeadlineMs(rate, bytes + 1, 0, allowance) >= deadline);
            QVERIFY(linetime::transactionDeadlineMs(rate / 2, bytes, 0, allowance) >= deadline);
        }
    }

    void broadcastWindow_data()
    {
        QTest::addColumn<int>("baudRate");
        QTest::addColumn<int>("highestId");
        QTest::addColumn<int>("allowanceUs");
        QTest::addColumn<int>("windowMs");
        QTest::newRow("one servo at 1 Mbaud") << 1000000 << 0 << 0 << 4;
        QTest::newRow("no id below 0") << 1000000 << -5 << 0 << 4;
        QTest::newRow("ids to 20 at 57600 baud") << 57600 << 20 << 4000 << 121;
        QTest::newRow("every id at 9600 baud") << 9600 << 252 << 34000 << 4494;
    }

    // Each id answers in its turn: its answer's line time and the gap after it.
    void broadcastWindow()
    {
        QFETCH(int, baudRate);
        QFETCH(int, highestId);
        QFETCH(int, allowanceUs);
        QFETCH(int, windowMs);
        QCOMPARE(linetime::broadcastPingWindowMs(baudRate, highestId, allowanceUs), windowMs);
    }
};

QTEST_APPLESS_MAIN(TestProtocolTables)
#include "tst_protocoltables.moc"
