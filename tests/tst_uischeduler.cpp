#include "core/jobs/busroster.h"
#include "core/session/devicehelper.h"
#include "window/controllers/windowdevicehelper.h"
#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"
#include "core/units/unitshelper.h"
#include "window/editview/uiregisterhelper.h"

#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QElapsedTimer>
#include <QtTest>

using servosim::Fault;

class TestUiScheduler : public QObject
{
    Q_OBJECT

    IsolatedSettings _home; // a scheduler starts with the stored units

private slots:
    void cleanup()
    {
        WindowDeviceHelper::_instance.reset();
        UiRegisterHelper::_instance.reset();
    }

    // Two writes queued back to back (a temperature limit at 11, two gain bytes at 54 and 55), each
    // judged by what the servo holds afterwards, whatever its answer said. Answers come late, go
    // missing or lie; the servo may take part of a block it refuses.
    void writeOutcomesFollowWhatTheServoHolds_data()
    {
        using Answer = WriteOutcome::Answer;
        QTest::addColumn<int>("firstAddress"); // 11: the temperature limit; 40: a register and an unused byte
        QTest::addColumn<Fault>("fault");      // on the first write's answer
        QTest::addColumn<quint8>("errorByte");
        QTest::addColumn<int>("refusedAt"); // the servo refuses writes covering it (-1: none)
        QTest::addColumn<int>("firstAnswer");
        QTest::addColumn<bool>("firstHeld");
        QTest::addColumn<int>("secondAnswer");
        QTest::addColumn<int>("secondHeld"); // fields of the second write the servo holds
        QTest::newRow("both taken") << 11 << Fault::None << quint8(0) << -1 << int(Answer::Acknowledged)
                                    << true << int(Answer::Acknowledged) << 2;
        QTest::newRow("first answer lost") << 11 << Fault::NoAnswer << quint8(0) << -1 << int(Answer::Lost)
                                           << true << int(Answer::Acknowledged) << 2;
        // The late answer of the first must not pass for the second's.
        QTest::newRow("first answer late, second refused")
            << 11 << Fault::Delayed << quint8(0) << 54 << int(Answer::Lost) << true << int(Answer::Refused)
            << 0;
        QTest::newRow("second taken in part")
            << 11 << Fault::None << quint8(0) << 55 << int(Answer::Acknowledged) << true
            << int(Answer::Refused) << 1;
        QTest::newRow("taken, answered with an error")
            << 11 << Fault::ErrorByte << quint8(7) << -1 << int(Answer::Refused) << true
            << int(Answer::Acknowledged) << 2;
        // Acknowledged, but the unused byte 41 keeps its 0: the first of two acknowledged writes,
        // judged together by the read after both.
        QTest::newRow("acknowledged, not all taken")
            << 40 << Fault::None << quint8(0) << -1 << int(Answer::Acknowledged) << false
            << int(Answer::Acknowledged) << 2;
    }

    void writeOutcomesFollowWhatTheServoHolds()
    {
        QFETCH(int, firstAddress);
        QFETCH(Fault, fault);
        QFETCH(quint8, errorByte);
        QFETCH(int, refusedAt);
        QFETCH(int, firstAnswer);
        QFETCH(bool, firstHeld);
        QFETCH(int, secondAnswer);
        QFETCH(int, secondHeld);
        servosim::ServoSimulator sim;
        QVERIFY(sim.start());
        const auto serial = identifiedServo(sim, 1000000);
        QVERIFY(serial);
        UiScheduler scheduler(1, serial, WindowDeviceHelper::getInstance());
        QSignalSpy finished(&scheduler, &UiScheduler::writeFinished);
        sim.refuseWritesAt(1, refusedAt);
        // Queued before the first tick: the fault hits the first write's answer.
        sim.injectFault(fault, 1, errorByte);
        const QByteArray firstData = firstAddress == 11 ? QByteArray(1, char(70)) : QByteArray("\x05\x07", 2);
        scheduler.addQueueRequest(uint8_t(firstAddress), firstData);
        scheduler.addQueueRequest(54, QByteArray("\x21\x03", 2));
        scheduler.startScheduler(20);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 20000);

        const auto first = finished.at(0).at(1).value<WriteOutcome>();
        const auto second = finished.at(1).at(1).value<WriteOutcome>();
        QCOMPARE(int(first.answer), firstAnswer);
        QVERIFY(first.readBack && second.readBack);
        QCOMPARE(first.check.allHeld(), firstHeld);
        QCOMPARE(int(second.answer), secondAnswer);
        QCOMPARE(second.check.fieldsHeld, secondHeld);
        QCOMPARE(second.check.allHeld(), secondHeld == 2);
        // What was reported is what the servo holds.
        const QByteArray table = sim.registers(1);
        QCOMPARE(table.mid(firstAddress, firstData.size()) == firstData, firstHeld);
        QCOMPARE(int(table.at(54) == '\x21') + int(table.at(55) == '\x03'), secondHeld);
        scheduler.stopScheduler();
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
        const auto serial = identifiedServo(sim, 9600);
        QVERIFY(serial);

        UiScheduler scheduler(1, serial, WindowDeviceHelper::getInstance());
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

    // The bus table may end before the connection: polls go on, the other servos are no longer read.
    void theRosterMayEndFirst()
    {
        servosim::Options options;
        options.ids = {1, 2};
        servosim::ServoSimulator sim(options);
        QVERIFY(sim.start());
        const auto serial = identifiedServo(sim, 1000000);
        QVERIFY(serial);
        UiScheduler scheduler(1, serial, WindowDeviceHelper::getInstance());
        auto roster = std::make_unique<BusRoster>();
        roster->add(2, 1000000);
        scheduler.setBusRoster(roster.get());
        QSignalSpy polls(&scheduler, &UiScheduler::tableDecoded);
        scheduler.startScheduler(20);
        QTRY_VERIFY_WITH_TIMEOUT(roster->sideReadsAnswered() >= 2, 20000);
        roster.reset();
        const int packets = sim.packetsReceived();
        const int before = polls.count();
        QTRY_VERIFY_WITH_TIMEOUT(polls.count() >= before + 20, 20000);
        // Only polls went out since: one per answer, and perhaps one on the line.
        QVERIFY(sim.packetsReceived() - packets <= polls.count() - before + 2);
        scheduler.stopScheduler();
    }

    // The live values come in the units the scheduler is given, from the next answer on.
    void liveValuesInTheUnitsGiven()
    {
        servosim::ServoSimulator sim;
        QVERIFY(sim.start());
        const auto serial = identifiedServo(sim, 1000000);
        QVERIFY(serial);
        UiScheduler scheduler(1, serial, WindowDeviceHelper::getInstance());
        PhysicalQuantities degrees;
        degrees.angle = Degrees;
        scheduler.setUnits(degrees);
        QSignalSpy samples(&scheduler, &UiScheduler::liveSample);
        scheduler.startScheduler(20);
        QTRY_VERIFY_WITH_TIMEOUT(!samples.isEmpty(), 20000);
        const auto unitOf = [](const QSignalSpy& spy) {
            return spy.last().at(0).value<LiveSample>().layout->units[size_t(LiveChannel::ActualPosition)];
        };
        const QString degreeUnit = UnitsHelper(std::make_shared<PhysicalQuantities>(degrees))
                                       .getUnitString(PhysicalQuantitiesEnum::Angle);
        const QString radianUnit =
            UnitsHelper(std::make_shared<PhysicalQuantities>()).getUnitString(PhysicalQuantitiesEnum::Angle);
        QVERIFY(degreeUnit != radianUnit);
        QCOMPARE(unitOf(samples), degreeUnit);
        scheduler.setUnits(PhysicalQuantities());
        QCOMPARE(scheduler.liveLayout()->units[size_t(LiveChannel::ActualPosition)], radianUnit);
        samples.clear();
        QTRY_VERIFY_WITH_TIMEOUT(!samples.isEmpty(), 20000);
        QCOMPARE(unitOf(samples), radianUnit);
        scheduler.stopScheduler();
    }

private:
    // A port open on the simulator at `baudRate` with servo 1 identified; none when either failed.
    static std::shared_ptr<SerialHelper> identifiedServo(servosim::ServoSimulator& sim, int baudRate)
    {
        auto serial = std::make_shared<SerialHelper>();
        if (!serial->openSerialPort(sim.devicePath(), baudRate).isEmpty())
            return nullptr;
        bool identified = false;
        WindowDeviceHelper::getInstance(serial, [&identified] { identified = true; })->triggerDeviceInfoRead(1);
        return QTest::qWaitFor([&identified] { return identified; }, 20000) ? serial : nullptr;
    }
};

QTEST_GUILESS_MAIN(TestUiScheduler)
#include "tst_uischeduler.moc"
