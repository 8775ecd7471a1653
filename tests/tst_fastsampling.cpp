#include "core/files/csvrecorder.h"
#include "testmodels.h"
#include "core/session/uischeduler.h"
#include "core/transport/portlatency.h"
#include "core/units/unitshelper.h"
#include "window/docks/plotdock.h"
#include "window/editview/uiregisterhelper.h"
#include "window/mainwindow.h"

#include <connectedwindow.h>
#include <servosimulator.h>

#include <QCheckBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cmath>

using servosim::Fault;
using servosim::Model;

namespace {

// Waits with the event loop running: QTRY's rounds sleep 10 ms between looks, which would stretch
// every exchange to that and leave the polls no time between them.
template <typename Done> bool runUntil(Done done, int timeoutMs = 30000)
{
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    look.start(1);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

// A read's start and length and the data its answer carried, in either protocol.
struct Read
{
    int address, length;
    QByteArray data;
};
QList<Read> readsSentWhole(const QList<servosim::SentAnswer>& sent)
{
    QList<Read> reads;
    for (const servosim::SentAnswer& a : sent) {
        const QByteArray& p = a.request.params;
        if (a.request.instruction != 0x02 || !a.whole || a.fault != Fault::None)
            continue;
        const bool one = a.protocol == 1;
        const int length = one ? uint8_t(p.at(1)) : uint8_t(p.at(2)) | uint8_t(p.at(3)) << 8;
        reads.append({one ? uint8_t(p.at(0)) : uint8_t(p.at(0)) | uint8_t(p.at(1)) << 8, length,
                      a.packet.mid(one ? 5 : 9, length)});
    }
    return reads;
}

} // namespace

class TestFastSampling : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedSettings> _home;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

    UiScheduler* scheduler() const { return _window->scheduler().get(); }
    PlotDock* dock() const { return _window->plotDock(); }

    // Polled every 10 ms at 1 Mbaud with the shaft moving, the default curves (actual and target
    // position) ticked and Fast sampling on.
    bool startFastSampling(Model model)
    {
        const bool v1 = model == Model::V1;
        testfixture::openConnected(*_home, model, {}, 1, 10, _sim, _window);
        if (QTest::currentTestFailed())
            return false;
        _sim->setRegisters(1, v1 ? 48 : 24, QByteArray(1, 1));
        _sim->setRegisters(1, v1 ? 78 : 30, QByteArray::fromHex(v1 ? "00a00000" : "ff03"));
        dock()->show();
        dock()->fastSamplingCheckBox()->setChecked(true);
        return runUntil([this] { return scheduler()->statistics().fastSamples() > 20; });
    }

    // Nothing more goes out; the read on the line still ends and is delivered.
    bool stopAndSettle()
    {
        scheduler()->stopScheduler();
        return runUntil([this] { return !_window->serialHelper()->isBusy(); });
    }

private slots:
    void initTestCase() { qRegisterMetaType<LiveSample>(); }
    void init() { _home = std::make_unique<IsolatedSettings>(); }
    void cleanup()
    {
        _window.reset();
        _sim.reset();
        _home.reset();
    }

    // Each answer the servo sent is one sample, in the order sent, timed after the one before and
    // holding what that answer held; span answers carry only their span and never reach the edit
    // view, and the whole table is still read at the interval.
    void samplesAreTheAnswersSent_data()
    {
        QTest::addColumn<Model>("model");
        QTest::newRow("V1, Protocol 2") << Model::V1;
        QTest::newRow("AX-12, Protocol 1") << Model::Ax12;
    }

    void samplesAreTheAnswersSent()
    {
        QFETCH(Model, model);
        constexpr int pollIntervalMs = 40;
        QVERIFY(startFastSampling(model));
        QVERIFY(stopAndSettle()); // started again with nothing on the line: every answer recorded is a sample
        _sim->clearSentAnswers();
        if (model == Model::Ax12) {
            // Slowly (5.6 rpm) to the far end from where the shaft is now: however long the set-up
            // took on a loaded machine, it is moving for every sample.
            const QByteArray table = _sim->registers(1);
            const int present = quint8(table.at(36)) | quint8(table.at(37)) << 8;
            _sim->setRegisters(1, 32, QByteArray::fromHex("3200"));
            _sim->setRegisters(1, 30, QByteArray::fromHex(present > 511 ? "0000" : "ff03"));
        }
        QSignalSpy samples(scheduler(), &UiScheduler::liveSample);
        QSignalSpy decoded(scheduler(), &UiScheduler::tableDecoded);
        // Polls far enough apart that span reads fit between them even when a loaded machine
        // stretches every exchange to several milliseconds.
        scheduler()->startScheduler(pollIntervalMs);
        QElapsedTimer clock;
        clock.start();
        // Ends after a span sample, so the edit view's last table shows whether spans reach it.
        QVERIFY(runUntil(
            [&] {
                return samples.count() >= 400 &&
                       std::isnan(samples.last().at(0).value<LiveSample>().values[size_t(
                           LiveChannel::ActualTemperature)]);
            },
            60000));
        const qint64 elapsedMs = clock.elapsed();
        QVERIFY(stopAndSettle());

        // The actual position worked out from the model's table, not with the program's code.
        const bool v1 = model == Model::V1;
        const int tableLength = v1 ? 118 : 50;
        const QString field = LiveLayout::fieldName(int(LiveChannel::ActualPosition));
        const auto m = (v1 ? std::shared_ptr<const IDevice>(std::make_shared<VelkoraV1>())
                           : std::make_shared<DynamixelAx12>())
                           ->getFieldDeviceMetadata(field);
        const UnitsHelper units(_window->getPhysicalQuantityUnits());
        auto position = [&](const Read& read) {
            const QByteArray bytes = read.data.mid((v1 ? 86 : 36) - read.address, v1 ? 4 : 2);
            const int raw = v1 ? qFromLittleEndian<qint32>(bytes.constData())
                               : qFromLittleEndian<quint16>(bytes.constData());
            return units.convertToTargetUnit(
                (m->max - m->min) * (raw - m->rawMin) / double(m->rawMax - m->rawMin) + m->min,
                FieldCore::lookUpQuantity(field));
        };

        const QList<Read> reads = readsSentWhole(_sim->sentAnswers());
        QCOMPARE(samples.count(), reads.size());
        int tables = 0;
        QSet<double> positions;
        for (int i = 0; i < reads.size(); ++i) {
            const auto sample = samples.at(i).at(0).value<LiveSample>();
            QVERIFY(i == 0 || sample.arrivalNs > samples.at(i - 1).at(0).value<LiveSample>().arrivalNs);
            const double value = sample.values[size_t(LiveChannel::ActualPosition)];
            QVERIFY2(std::abs(value - position(reads[i])) <= 1e-9 * (1 + std::abs(value)),
                     qPrintable(QStringLiteral("sample %1: %2, the answer held %3")
                                    .arg(i)
                                    .arg(value)
                                    .arg(position(reads[i]))));
            positions.insert(value);
            const bool table = reads[i].length == tableLength;
            tables += table;
            // A span of the positions holds no temperature; a table does.
            QCOMPARE(std::isnan(sample.values[size_t(LiveChannel::ActualTemperature)]), !table);
        }
        QVERIFY(positions.size() > 10);
        QCOMPARE(decoded.count(), tables);
        const auto lastTable = std::find_if(reads.rbegin(), reads.rend(),
                                            [&](const Read& read) { return read.length == tableLength; });
        QCOMPARE(UiRegisterHelper::_instance->lastTable(), lastTable->data); // no span in the edit view
        // Rates are the benchmark's; here only that span reads fill the time between the polls and
        // do not crowd them out, also on a loaded machine, which stretches every exchange (a span
        // read every other poll) and makes timer ticks come late (a tenth of the polls).
        QVERIFY2(2 * (reads.size() - tables) >= tables && tables >= elapsedMs / (10 * pollIntervalMs),
                 qPrintable(QStringLiteral("%1 polls among %2 reads in %3 ms")
                                .arg(tables)
                                .arg(reads.size())
                                .arg(elapsedMs)));
        QCOMPARE(scheduler()->statistics().failures(), 0);
    }

    // A write queued while sampling goes out with at most the read on the line before it, and is
    // judged by a read as always.
    void writeGoesOutBeforeTheNextSample_data()
    {
        QTest::addColumn<Model>("model");
        QTest::addColumn<int>("address"); // a register the servo takes with the motor on
        QTest::newRow("V1, a gain") << Model::V1 << 54;
        QTest::newRow("AX-12, compliance margin") << Model::Ax12 << 26;
    }

    void writeGoesOutBeforeTheNextSample()
    {
        QFETCH(Model, model);
        QFETCH(int, address);
        QVERIFY(startFastSampling(model));
        QSignalSpy finished(scheduler(), &UiScheduler::writeFinished);
        const BusStatistics& statistics = scheduler()->statistics();
        for (int round = 0; round < 5; ++round) {
            const int fast = statistics.fastSamples(); // a different point of the interval each time
            QVERIFY(runUntil([&] { return statistics.fastSamples() >= fast + 3 + round * 2; }));
            _sim->clearReceived();
            scheduler()->addQueueRequest(uint8_t(address), QByteArray(1, char(60 + round)));
            QVERIFY(runUntil([&] { return finished.count() == round + 1; }));
            const QList<servosim::ReceivedPacket> received = _sim->receivedPackets();
            const auto write =
                std::find_if(received.begin(), received.end(),
                             [](const servosim::ReceivedPacket& p) { return p.instruction == 0x03; });
            QVERIFY2(write != received.end() && write - received.begin() <= 1,
                     qPrintable(QString::number(write - received.begin())));
            const auto outcome = finished.last().at(1).value<WriteOutcome>();
            QVERIFY(outcome.answer == WriteOutcome::Answer::Acknowledged && outcome.readBack &&
                    outcome.check.allHeld());
            QCOMPARE(int(uint8_t(_sim->registers(1).at(address))), 60 + round);
        }
    }

    // Without the box the plot gets one sample per poll, only whole tables are read, and the
    // status bar no longer counts samples beside the polls.
    void offReturnsToOneSamplePerPoll()
    {
        QVERIFY(startFastSampling(Model::V1));
        QVERIFY(scheduler()->takeStatisticsSummary().contains(
            QRegularExpression("polls/s, [0-9.]+ samples/s, ")));
        dock()->fastSamplingCheckBox()->setChecked(false);
        QVERIFY(!scheduler()->isFastSampling());
        const int pollsAtOff = scheduler()->statistics().polls(); // one more: the last span read has ended
        QVERIFY(runUntil([&] { return scheduler()->statistics().polls() > pollsAtOff; }));
        scheduler()->takeStatisticsSummary();
        QSignalSpy samples(scheduler(), &UiScheduler::liveSample);
        _sim->clearReceived();
        const int pollsBefore = scheduler()->statistics().polls();
        const int fastBefore = scheduler()->statistics().fastSamples();
        QVERIFY(runUntil([&] { return samples.count() >= 30; }));
        QVERIFY(stopAndSettle());
        QCOMPARE(scheduler()->statistics().fastSamples(), fastBefore);
        QCOMPARE(samples.count(), scheduler()->statistics().polls() - pollsBefore);
        QVERIFY(!scheduler()->takeStatisticsSummary().contains("samples/s"));
        for (const servosim::ReceivedPacket& request : _sim->receivedPackets())
            QCOMPARE(int(uint8_t(request.params.at(2))), 118);
    }

    // A read that fails leaves a gap where its sample would be: no sample, no row, the curves
    // break there once, and nothing stands in for it.
    void failedSampleIsAGap_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::newRow("no answer") << Fault::NoAnswer;
        QTest::newRow("bad checksum") << Fault::BadCrc;
        QTest::newRow("cut short") << Fault::Truncated;
    }

    void failedSampleIsAGap()
    {
        QFETCH(Fault, fault);
        QVERIFY(startFastSampling(Model::V1));
        const QTemporaryDir folder;
        const QString path = folder.filePath("run.csv");
        QVERIFY(stopAndSettle());
        _sim->clearSentAnswers();
        QSignalSpy samples(scheduler(), &UiScheduler::liveSample);
        QSignalSpy missed(scheduler(), &UiScheduler::sampleMissed);
        _window->startRecording(path); // every sample from here on is a row
        scheduler()->startScheduler(10);
        QVERIFY(runUntil([&] { return samples.count() >= 50; }));
        _sim->injectFault(fault);
        QVERIFY(runUntil([this] { return scheduler()->statistics().failures() == 1; }));
        const int atFailure = samples.count();
        QVERIFY(runUntil([&] { return samples.count() >= atFailure + 50; }));
        QVERIFY(stopAndSettle());
        _window->getDisconnectAction()->trigger();
        QCOMPARE(scheduler()->statistics().failures(), 1);
        QCOMPARE(missed.count(), 1);
        QCOMPARE(samples.count(), readsSentWhole(_sim->sentAnswers()).size()); // none made up

        const auto& points = dock()->history().points();
        const auto gap =
            std::find_if(points.begin(), points.end(), [](const SampleHistory::Point& p) { return p.gap; });
        QVERIFY(gap != points.begin() && gap + 1 < points.end() && (gap + 1)->time > (gap - 1)->time);
        QVERIFY(std::none_of(gap + 1, points.end(), [](const SampleHistory::Point& p) { return p.gap; }));

        // The columns are what the span reads carry: the default curves' span from the target to
        // the actual position, without the hardware error status; times in microseconds.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.value(0).endsWith("; fast sampling: a row for every read of the values below"));
        QCOMPARE(lines.value(1),
                 QStringLiteral("time (s),Actual position (radians),Target position (radians),"
                                "Target angular velocity (rad/s),Target torque (Nm)"));
        QCOMPARE(lines.size() - 2, samples.count());
        for (int row = 2; row < lines.size(); ++row) {
            const QStringList cells = lines[row].split(',');
            const double previous = row == 2 ? -1 : lines[row - 1].section(',', 0, 0).toDouble();
            QVERIFY2(cells.size() == 5 && !cells[1].isEmpty() && cells[0].section('.', 1).size() == 6 &&
                         cells[0].toDouble() > previous,
                     qPrintable(lines[row]));
        }
    }

    // The adapter, not the line, limits the rate when its latency timer is above 1 ms.
    void adapterLatencyIsShownWhenItLimits_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("timerMs");
        QTest::addColumn<QString>("shown");
        const int timer = int(PortLatency::Kind::UsbWithTimer);
        QTest::newRow("default") << timer << 16
                                 << "USB adapter latency timer 16 ms: about 62 samples/s at most";
        QTest::newRow("2 ms") << timer << 2 << "USB adapter latency timer 2 ms: about 500 samples/s at most";
        QTest::newRow("1 ms") << timer << 1 << "";
        QTest::newRow("not USB") << int(PortLatency::Kind::NotUsb) << 0 << "";
    }

    void adapterLatencyIsShownWhenItLimits()
    {
        QFETCH(int, kind);
        QFETCH(int, timerMs);
        QFETCH(QString, shown);
        PlotDock plot;
        plot.show();
        plot.setAdapterLatency({PortLatency::Kind(kind), "ttyUSB0", timerMs,
                                "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"});
        QCOMPARE(plot.adapterLatencyLabel()->isVisible(), !shown.isEmpty());
        QCOMPARE(plot.adapterLatencyLabel()->text(), shown);
        QCOMPARE(plot.adapterLatencyLabel()->toolTip().contains("sudo tee /sys/bus/usb-serial"),
                 !shown.isEmpty());
    }
};

QTEST_MAIN(TestFastSampling)
#include "tst_fastsampling.moc"
