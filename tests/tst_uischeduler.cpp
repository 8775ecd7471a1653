#include "bus/devicehelper.h"
#include "bus/serialhelper.h"
#include "bus/uischeduler.h"
#include "device/uiregisterhelper.h"

#include <servosimulator.h>

#include <QElapsedTimer>
#include <QtTest>

class TestUiScheduler : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        DeviceHelper::_instance.reset();
        UiRegisterHelper::_instance.reset();
    }

    // At 9600 baud a read of the whole table takes 150 ms. With a 100 ms interval every tick finds
    // the bus busy: its request must go out when the bus is free again, not at the tick after, and
    // short writes after such a request must still keep the interval.
    void requestsFillTheLineButKeepTheInterval_data()
    {
        QTest::addColumn<int>("writes");
        QTest::newRow("polls only") << 0;
        QTest::newRow("writes between polls") << 4;
    }

    void requestsFillTheLineButKeepTheInterval()
    {
        QFETCH(int, writes);
        constexpr int interval = 100;
        constexpr int requests = 9;
        servosim::Options options;
        options.baudRate = 9600;
        servosim::ServoSimulator sim(options);
        QVERIFY(sim.start());
        auto serial = std::make_shared<SerialHelper>();
        QCOMPARE(serial->openSerialPort(sim.devicePath(), 9600), QString());
        bool identified = false;
        DeviceHelper::getInstance(serial, [&identified] { identified = true; })->triggerDeviceInfoRead(1);
        QTRY_VERIFY(identified);

        UiScheduler scheduler(1, serial);
        const int before = sim.packetsReceived();
        scheduler.startScheduler(interval);
        QList<qint64> starts; // when the servo saw each request, in ms
        QTimer look;          // wakes the loop below every millisecond
        look.start(1);
        QElapsedTimer clock;
        clock.start();
        while (starts.size() < requests && clock.elapsed() < 10000) {
            if (starts.size() == 1 && writes > 0) { // queued while the first poll is on the line
                for (int i = 0; i < writes; ++i)
                    scheduler.addQueueRequest(11, QByteArray(1, char(0x50 + i)));
                writes = 0;
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            const int seen = sim.packetsReceived() - before;
            while (starts.size() < seen)
                starts.append(clock.elapsed());
            // Never a request while another is on the line.
            QVERIFY(sim.packetsReceived() - sim.packetsAnswered() <= 1);
        }
        scheduler.stopScheduler();
        QCOMPARE(starts.size(), requests);
        QCOMPARE(scheduler.statistics().failures(), 0);
        QVERIFY(scheduler.statistics().skippedTicks() > 0);
        for (int i = 1; i < starts.size(); ++i) {
            // Not a tick sooner, where a write squeezed in would be 50 ms after a deferred poll.
            // The margin is for a coarse timer (5 %) and for this loop noticing a request late.
            QVERIFY2(starts[i] - starts[i - 1] >= interval * 3 / 4,
                     qPrintable(QStringLiteral("request %1 only %2 ms after the one before")
                                    .arg(i)
                                    .arg(starts[i] - starts[i - 1])));
        }
        // Waiting for the next tick instead would make that 200 ms a poll.
        const double meanGap = double(starts.last() - starts.first()) / (starts.size() - 1);
        QVERIFY2(meanGap < 175, qPrintable(QString::number(meanGap)));
    }
};

QTEST_GUILESS_MAIN(TestUiScheduler)
#include "tst_uischeduler.moc"
