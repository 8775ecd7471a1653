#include "core/files/csvrecorder.h"
#include "testmodels.h"
#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"
#include "core/units/unitshelper.h"
#include "window/docks/plotdock.h"
#include "window/editview/uiregisterhelper.h"
#include "window/mainwindow.h"
#include "window/widgets/velkoradoublespinbox.h"
#include "window/widgets/velkoralineedit.h"

#include <connectedwindow.h>
#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <qwt_plot.h>
#include <qwt_plot_curve.h>

#include <cmath>

using QMapStringInt = QMap<QString, int>;
Q_DECLARE_METATYPE(QMapStringInt)

namespace {

constexpr int servoId = 1;

// Where the V1 keeps each plotted value, in channel order: address, width, signedness, the
// magnitude bits (the targets keep their direction in bit 15).
struct Location
{
    int address;
    int bytes;
    bool isSigned;
    uint32_t mask;
};
const Location v1Locations[liveChannelCount] = {
    {86, 4, true, 0xFFFFFFFF}, {90, 2, false, 0xFFFF}, {92, 2, false, 0xFFFF},
    {94, 1, false, 0xFF},      {95, 2, false, 0xFFFF}, {97, 1, false, 0xFF},
    {78, 4, true, 0xFFFFFFFF}, {82, 2, false, 0x7FFF}, {84, 2, false, 0x7FFF}};

// Worked out from the model's table and the unit choice alone, not with the program's code.
double expectedValue(int channel, const QByteArray& table, const UnitsHelper& units)
{
    const Location& at = v1Locations[channel];
    uint32_t bits = 0;
    for (int i = 0; i < at.bytes; ++i)
        bits |= uint32_t(uint8_t(table.at(at.address + i))) << (8 * i);
    const int raw = at.isSigned ? int32_t(bits) : int(bits & at.mask);
    const auto m = VelkoraV1().getFieldDeviceMetadata(LiveLayout::fieldName(channel));
    const double physical =
        (m->max - m->min) * double(raw - m->rawMin) / double(m->rawMax - m->rawMin) + m->min;
    return units.convertToTargetUnit(physical, FieldCore::lookUpQuantity(LiveLayout::fieldName(channel)));
}

QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

QString openMessageText(QWidget* window)
{
    const auto boxes = window->findChildren<QMessageBox*>();
    return boxes.isEmpty() ? QString() : boxes.last()->text();
}

} // namespace

class TestLivePlot : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<IsolatedSettings> _settingsHome;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

    void openConnected(servosim::Model model, const QMap<QString, int>& units = {})
    {
        testfixture::openConnected(*_settingsHome, model, units, servoId, 10, _sim, _window);
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->liveLayout(), 20000);
    }

private slots:
    void initTestCase() { qRegisterMetaType<LiveSample>(); }

    void init()
    {
        _settingsHome = std::make_unique<IsolatedSettings>();
        QVERIFY(_settingsHome->isValid());
    }

    void cleanup()
    {
        _window.reset();
        _sim.reset();
        _settingsHome.reset();
    }

    // With answers going wrong in every way, each valid answer gives exactly one sample (the
    // plot and the recording see each once), failures none, and time only moves forward.
    void oneSamplePerValidAnswer()
    {
        openConnected(servosim::Model::V1);
        _window->plotDock()->show();
        QSignalSpy samples(_window->scheduler().get(), &UiScheduler::liveSample);
        const BusStatistics& statistics = _window->scheduler()->statistics();
        const int pollsBefore = statistics.polls();
        const int failuresBefore = statistics.failures();
        const size_t plottedBefore = _window->plotDock()->history().points().size();
        _sim->setFaultRate(0.2, servosim::allFaults());
        QTRY_VERIFY_WITH_TIMEOUT(statistics.failures() - failuresBefore >= 10 && samples.count() >= 100,
                                 20000);
        _sim->setFaultRate(0, {});
        _window->getDisconnectAction()->trigger();

        QCOMPARE(samples.count(), statistics.polls() - pollsBefore);
        QCOMPARE(_window->plotDock()->history().points().size() - plottedBefore, size_t(samples.count()));
        qint64 previous = 0;
        for (const QList<QVariant>& signal : samples) {
            const auto sample = signal.at(0).value<LiveSample>();
            QVERIFY(sample.arrivalNs > previous);
            previous = sample.arrivalNs;
        }

        // Thinned to the canvas, each curve keeps every pixel column's lowest and highest value.
        PlotDock* dock = _window->plotDock();
        for (QCheckBox* box : dock->findChildren<QCheckBox*>())
            box->setChecked(true);
        const auto& points = dock->history().points();
        const double window = dock->timeWindow();
        const double start = std::max(0.0, points.back().time - window);
        const double columnWidth =
            window / dock->curve(LiveChannel::ActualPosition)->plot()->canvas()->width();
        for (int channel = 0; channel < liveChannelCount; ++channel) {
            const QwtSeriesData<QPointF>* shown = dock->curve(LiveChannel(channel))->data();
            QMap<long, QPair<double, double>> expected; // column -> lowest, highest
            QMap<long, QPair<double, double>> drawn;
            auto widen = [start, columnWidth](QMap<long, QPair<double, double>>& columns, QPointF p) {
                const long column = long((p.x() - start) / columnWidth);
                const auto it = columns.find(column);
                if (it == columns.end())
                    columns.insert(column, {p.y(), p.y()});
                else
                    *it = {std::min(it->first, p.y()), std::max(it->second, p.y())};
            };
            for (const SampleHistory::Point& point : points)
                if (point.time >= start)
                    widen(expected, {point.time, point.values[size_t(channel)]});
            for (size_t i = 0; i < shown->size(); ++i)
                widen(drawn, shown->sample(i));
            QCOMPARE(drawn, expected);
        }
    }

    // Every plotted value is the number its edit-view field shows, for random tables in
    // each unit set.
    void valuesMatchTheEditView_data()
    {
        QTest::addColumn<QMapStringInt>("units");
        QTest::newRow("defaults") << QMapStringInt{};
        QTest::newRow("degrees, rpm, kg-cm, mA, Fahrenheit") << QMapStringInt{
            {"angle", 1}, {"angularVelocity", 1}, {"torque", 1}, {"current", 1}, {"temperature", 1}};
    }

    void valuesMatchTheEditView()
    {
        QFETCH(QMapStringInt, units);
        openConnected(servosim::Model::V1, units);
        UiScheduler* scheduler = _window->scheduler().get();
        scheduler->stopScheduler();
        QTRY_VERIFY_WITH_TIMEOUT(!_window->serialHelper()->isBusy(), 20000);
        QSignalSpy samples(scheduler, &UiScheduler::liveSample);
        const UnitsHelper helper(_window->getPhysicalQuantityUnits());
        const VelkoraV1 model;
        QRandomGenerator random(13);
        QByteArray table = _sim->registers(servoId);
        for (int round = 0; round < 100; ++round) {
            // Raw values inside each field's range, so the spin boxes need not clamp.
            for (int channel = 0; channel < liveChannelCount; ++channel) {
                const Location& at = v1Locations[channel];
                const auto m = model.getFieldDeviceMetadata(LiveLayout::fieldName(channel));
                const int raw = m->rawMin + int(random.bounded(quint32(qint64(m->rawMax) - m->rawMin + 1)));
                const uint32_t direction = at.mask == 0x7FFF ? random.bounded(2) << 15 : 0;
                for (int i = 0; i < at.bytes; ++i)
                    table[at.address + i] = char(((uint32_t(raw) | direction) >> (8 * i)) & 0xFF);
            }
            scheduler->readAllDataCallback(testfixture::statusPacket(table));
            QCOMPARE(samples.count(), round + 1);
            const auto sample = samples.last().at(0).value<LiveSample>();
            for (int channel = 0; channel < liveChannelCount; ++channel) {
                const double value = sample.values[size_t(channel)];
                QVERIFY(std::abs(value - expectedValue(channel, table, helper)) <=
                        1e-9 * (1 + std::abs(value)));
                QWidget* field = dynamic_cast<QWidget*>(
                    UiRegisterHelper::_instance->getRegisteredField(LiveLayout::fieldName(channel)));
                if (auto* edit = qobject_cast<VelkoraLineEdit*>(field)) {
                    const int decimals = int(helper.getTargetUnitDecimalPlaces(edit->getPhysicalQuantity()));
                    QCOMPARE(QStringLiteral("%L1").arg(value, 1, 'f', decimals), edit->text());
                } else {
                    auto* box = qobject_cast<VelkoraDoubleSpinBox*>(field);
                    QVERIFY(box);
                    QCOMPARE(box->textFromValue(value), box->textFromValue(box->value()));
                }
            }
        }
    }

    // A recording holds one row per sample while it ran, each the values of an answer the
    // simulator sent, under a header that names the units; Disconnect leaves it complete.
    void recordingHoldsWhatTheServoSent()
    {
        openConnected(servosim::Model::V1, {{"angle", 1}, {"temperature", 1}});
        const QTemporaryDir folder;
        const QString path = folder.filePath("run.csv");
        // The shaft moves while recording, so rows differ.
        _sim->setRegisters(servoId, 48, QByteArray(1, 1));
        _sim->setRegisters(servoId, 78, QByteArray::fromHex("00a00000"));
        QSignalSpy samples(_window->scheduler().get(), &UiScheduler::liveSample);
        _window->startRecording(path);
        QVERIFY(_window->recorder()->isRecording());
        QVERIFY(_window->getRecordAction()->isChecked());
        const int samplesBefore = samples.count();
        QTRY_VERIFY_WITH_TIMEOUT(samples.count() - samplesBefore >= 150, 20000);
        // Rows reach the file while recording, not only at the end.
        QTRY_VERIFY_WITH_TIMEOUT(readLines(path).size() > 50, 20000);
        _window->getDisconnectAction()->trigger();
        QVERIFY(!_window->recorder()->isRecording());
        QVERIFY(!_window->getRecordAction()->isChecked());
        const int rowsExpected = samples.count() - samplesBefore;

        const QStringList lines = readLines(path);
        QVERIFY(
            lines.value(0).startsWith("# Velkora Servo Manager " VSM_VERSION "; servo id 1; model number "));
        QVERIFY2(lines.value(0).contains("; 1000000 baud; started 20"), qPrintable(lines.value(0)));
        QCOMPARE(lines.value(1),
                 QString::fromUtf8(u8"time (s),Actual position (degrees),"
                                   u8"Actual angular velocity (rad/s),Actual torque (Nm),"
                                   u8"Voltage (V),Phase current (A),Temperature (°F),"
                                   u8"Target position (degrees),Target angular velocity (rad/s),"
                                   u8"Target torque (Nm),Hardware error status"));
        QCOMPARE(lines.size() - 2, rowsExpected);
        QCOMPARE(_window->recorder()->rowsWritten(), rowsExpected);

        // Walk the answers the simulator sent: each row must be the next one of them.
        const UnitsHelper helper(_window->getPhysicalQuantityUnits());
        const QList<servosim::SentAnswer> sent = _sim->sentAnswers();
        int next = 0;
        double previousTime = -1;
        QSet<QString> positions;
        for (int row = 2; row < lines.size(); ++row) {
            const QStringList cells = lines[row].split(',');
            QCOMPARE(cells.size(), liveChannelCount + 2);
            QVERIFY(cells[0].toDouble() >= previousTime);
            previousTime = cells[0].toDouble();
            positions.insert(cells[1]);
            auto matches = [&](const QByteArray& packet) {
                const QByteArray table = packet.mid(9, packet.size() - 11);
                for (int channel = 0; channel < liveChannelCount; ++channel) {
                    const double expected = expectedValue(channel, table, helper);
                    if (std::abs(cells[channel + 1].toDouble() - expected) > 1e-8 * (1 + std::abs(expected)))
                        return false;
                }
                return cells.last().toInt() == uint8_t(table.at(107));
            };
            while (next < sent.size() && !(sent[next].packet.size() > 120 && matches(sent[next].packet)))
                ++next;
            QVERIFY2(next < sent.size(), qPrintable("no answer sent for row " + lines[row]));
            ++next;
        }
        QVERIFY(positions.size() > 10);
        QVERIFY(
            _window->findChild<QLabel*>("recordingLabel")->text().contains(QString::number(rowsExpected)));
    }

    // A file that cannot be written is said so, and nothing records.
    void unwritableFileIsReported_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing folder") << "/nonexistent-folder/run.csv";
        QTest::newRow("a folder") << "/tmp";
        QTest::newRow("full device") << "/dev/full";
    }

    void unwritableFileIsReported()
    {
        QFETCH(QString, path);
        openConnected(servosim::Model::V1);
        _window->startRecording(path);
        QTRY_VERIFY_WITH_TIMEOUT(openMessageText(_window.get()).startsWith("Cannot record to " + path + ": "),
                                 20000);
        QVERIFY(!_window->recorder()->isRecording());
        QVERIFY(!_window->getRecordAction()->isChecked());
    }

    // Closed or open, the dock keeps only the longest window's values.
    void historyIsBounded()
    {
        PlotDock dock;
        LiveSample sample;
        sample.layout = std::make_shared<LiveLayout>();
        for (int i = 0; i < 3000; ++i) {
            sample.arrivalNs = i * 50'000'000LL; // 150 s in all
            dock.addSample(sample);
        }
        const auto& points = dock.history().points();
        QCOMPARE(points.back().time, 149.95);
        QVERIFY(points.front().time >= points.back().time - PlotDock::longestWindowSeconds);
        QVERIFY(points.front().time <= points.back().time - PlotDock::longestWindowSeconds + 0.05);
    }

    // The dock draws only what the model has, and Pause holds the view while values come.
    void plotFollowsModelAndPause()
    {
        openConnected(servosim::Model::Ax12);
        PlotDock* dock = _window->plotDock();
        _window->findChild<QMenu*>("menuView")->actions().first()->trigger();
        QVERIFY(dock->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!dock->history().points().empty(), 20000);
        for (int channel = 0; channel < liveChannelCount; ++channel) {
            // Its torque and load are in per cent, and it reads no current: no curves for those.
            const bool described = channel != int(LiveChannel::ActualTorque) &&
                                   channel != int(LiveChannel::ActualCurrent) &&
                                   channel != int(LiveChannel::TargetTorque);
            QCOMPARE(dock->checkBox(LiveChannel(channel))->isEnabled(), described);
        }
        dock->checkBox(LiveChannel::TargetAngularVelocity)->setChecked(true);
        QVERIFY(dock->curve(LiveChannel::TargetAngularVelocity)->plot());
        QVERIFY(!dock->curve(LiveChannel::ActualTorque)->plot());
        QCOMPARE(dock->curve(LiveChannel::TargetAngularVelocity)->title().text(),
                 QStringLiteral("Target angular velocity (rad/s)"));

        dock->findChild<QPushButton*>("pauseButton")->click();
        const size_t held = dock->history().points().size();
        const int frames = dock->framesDrawn();
        QSignalSpy samples(_window->scheduler().get(), &UiScheduler::liveSample);
        QTRY_VERIFY_WITH_TIMEOUT(samples.count() >= 20, 20000);
        QCOMPARE(dock->history().points().size(), held);
        QCOMPARE(dock->framesDrawn(), frames);
        dock->findChild<QPushButton*>("pauseButton")->click();
        QVERIFY(dock->history().points().size() >= held + 20);
        QTRY_VERIFY_WITH_TIMEOUT(dock->framesDrawn() > frames, 20000);

        // The saved window state brings the dock back.
        _window->getDisconnectAction()->trigger();
        _window->close();
        _window = std::make_unique<MainWindow>();
        QVERIFY(!_window->plotDock()->isHidden());
    }
};

QTEST_MAIN(TestLivePlot)
#include "tst_liveplot.moc"
