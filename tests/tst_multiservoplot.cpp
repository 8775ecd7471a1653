// Several servos of the Bus table plotted and recorded together, against simulated servos on a
// pseudo-terminal: each servo's curve and CSV columns hold what the simulator sent for it.
#include "core/files/csvrecorder.h"
#include "core/jobs/busroster.h"
#include "core/session/uischeduler.h"
#include "core/units/unitshelper.h"
#include "testmodels.h"
#include "window/controllers/buscontrol.h"
#include "window/docks/plotdock.h"
#include "window/mainwindow.h"

#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <messageboxes.h>

#include <QtTest>

#include <qwt_plot_curve.h>

#include <cmath>

namespace {

QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

QByteArray le32(qint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

bool near(double a, double b)
{
    return std::abs(a - b) <= 1e-8 * (1 + std::abs(b));
}

} // namespace

class TestMultiServoPlot : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedSettings> _home;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;
    QString _model;

    PlotDock* dock() const { return _window->plotDock(); }

    // The program connected to servo 1 of two simulated servos of `model`, servo 2 in the Bus table
    // with its model known, and both typed into "Servos".
    void plotBoth(const QString& model)
    {
        _model = model;
        servosim::Options options;
        options.description = builtInModel(qPrintable(model));
        options.ids = {1, 2};
        options.linkPath = _home->path() + "/velkora-sim";
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
        settings.setValue("port settings/serialPortName", _sim->portName());
        settings.setValue("port settings/baudRate", 1000000);
        settings.setValue("port settings/protocol", 2);
        settings.setValue("main window settings/servoId", 1);
        settings.setValue("main window settings/pollingInterval", 20);
        settings.setValue("units settings/angle", 1);
        settings.sync();
        _window = std::make_unique<MainWindow>();
        _window->show();
        _window->getConnectAction()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(), QStringLiteral("Connected"), 20000);
        BusRoster* roster = _window->bus()->roster();
        roster->add(2, 1000000);
        QTRY_VERIFY_WITH_TIMEOUT(roster->modelNumberAt(roster->rowOf(2)) >= 0, 20000);
        dock()->show();
        dock()->servosLineEdit()->setText(QStringLiteral("1-2"));
        emit dock()->servosLineEdit()->editingFinished();
        QTRY_COMPARE_WITH_TIMEOUT(dock()->sampledServos(), QList<int>({1, 2}), 20000);
    }

    // The value a curve and a CSV cell show for a raw present position, worked out from the
    // model's description and the unit choice.
    double expectedPosition(qint32 raw) const
    {
        const DescribedDevice device(builtInModel(qPrintable(_model)));
        const auto m = device.getFieldDeviceMetadata(LiveLayout::fieldName(int(LiveChannel::ActualPosition)));
        const double physical = (m->max - m->min) * double(raw - m->rawMin) / double(m->rawMax - m->rawMin) + m->min;
        return UnitsHelper(_window->getPhysicalQuantityUnits())
            .convertToTargetUnit(physical, FieldCore::lookUpQuantity(QStringLiteral("actualPositionLineEdit")));
    }

    double newestPosition(int id) const
    {
        const SampleHistory* history = dock()->servoHistory(id);
        if (!history || history->points().empty() || history->points().back().gap)
            return std::nan("");
        return history->points().back().values[size_t(LiveChannel::ActualPosition)];
    }

    int positionAddress() const { return _model == QLatin1String("v1") ? 86 : 132; }

private slots:
    void initTestCase() { qRegisterMetaType<ServoSamples>(); }

    void init()
    {
        _home = std::make_unique<IsolatedSettings>();
        QVERIFY(_home->isValid());
    }

    void cleanup()
    {
        _window.reset();
        _sim.reset();
        _home.reset();
    }

    void idsAreParsed_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QList<int>>("ids");
        QTest::newRow("range") << "1-6" << true << QList<int>{1, 2, 3, 4, 5, 6};
        QTest::newRow("list") << "5,1,3" << true << QList<int>{1, 3, 5};
        QTest::newRow("mixed, spaces, twice") << " 7 , 2-3,3" << true << QList<int>{2, 3, 7};
        QTest::newRow("empty") << "" << true << QList<int>{};
        QTest::newRow("backwards") << "3-1" << false << QList<int>{};
        QTest::newRow("too high") << "250-253" << false << QList<int>{};
        QTest::newRow("not a number") << "1,x" << false << QList<int>{};
        QTest::newRow("negative") << "-2" << false << QList<int>{};
        QTest::newRow("two dashes") << "1-2-3" << false << QList<int>{};
    }

    void idsAreParsed()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QList<int>, ids);
        QString problem;
        const std::optional<QList<int>> parsed = servoIdsOf(text, &problem);
        QCOMPARE(parsed.has_value(), valid);
        QCOMPARE(problem.isEmpty(), valid);
        if (valid)
            QCOMPARE(*parsed, ids);
    }

    // Distinct positions on both servos: each curve, named after its servo, and each CSV column
    // hold that servo's, read with a multi-servo read where the models have one and one by one
    // where they have none.
    void curvesAndColumnsHoldEachServosValues_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<bool>("multiRead");
        QTest::newRow("XL430: sync read") << "xl430" << true;
        QTest::newRow("V1: one by one") << "v1" << false;
    }

    void curvesAndColumnsHoldEachServosValues()
    {
        QFETCH(QString, model);
        QFETCH(bool, multiRead);
        plotBoth(model);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(_window->scheduler()->multiReadKind().has_value(), multiRead);
        const QList<qint32> raw{1000, 3000};
        for (int id = 1; id <= 2; ++id)
            _sim->setRegisters(id, positionAddress(), le32(raw[id - 1]));
        QVERIFY(std::isnan(expectedPosition(raw[0])) == false);
        QTRY_VERIFY_WITH_TIMEOUT(near(newestPosition(1), expectedPosition(raw[0])) &&
                                     near(newestPosition(2), expectedPosition(raw[1])),
                                 20000);
        QVERIFY(dock()->servoCurve(2, LiveChannel::ActualPosition)->title().text().startsWith("Actual position (id 2"));
        QVERIFY(dock()->servoCurve(1, LiveChannel::ActualPosition)->plot());
        QVERIFY(!dock()->curve(LiveChannel::ActualPosition)->plot()); // the connected servo's own is replaced

        const QTemporaryDir folder;
        const QString path = folder.filePath("both.csv");
        _window->startRecording(path);
        QVERIFY(_window->recorder()->isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(_window->recorder()->rowsRecorded() >= 30, 20000);
        _window->getDisconnectAction()->trigger();

        const QStringList lines = readLines(path);
        QVERIFY2(lines.value(0).contains("; servos 1, 2"), qPrintable(lines.value(0)));
        const QStringList header = lines.value(1).split(',');
        const int first = header.indexOf(QRegularExpression("^Actual position \\(id 1\\) \\(degrees\\)$"));
        const int second = header.indexOf(QRegularExpression("^Actual position \\(id 2\\) \\(degrees\\)$"));
        QVERIFY2(first > 0 && second > first, qPrintable(lines.value(1)));
        QVERIFY(lines.size() >= 32);
        for (int row = 2; row < lines.size(); ++row) {
            const QStringList cells = lines[row].split(',');
            QCOMPARE(cells.size(), header.size());
            QVERIFY2(near(cells[first].toDouble(), expectedPosition(raw[0])), qPrintable(lines[row]));
            QVERIFY2(near(cells[second].toDouble(), expectedPosition(raw[1])), qPrintable(lines[row]));
        }
        // Each servo was asked in the same packet, or each on its own.
        bool combined = false;
        for (const servosim::ReceivedPacket& packet : _sim->receivedPackets())
            combined |= packet.id == 0xFE && packet.instruction != 0x01;
        QCOMPARE(combined, multiRead);
    }

    // A servo that goes silent leaves gaps in its curve and empty cells while the other's values go on.
    void silentServoLeavesGaps()
    {
        plotBoth(QStringLiteral("xl430"));
        if (QTest::currentTestFailed())
            return;
        _sim->setRegisters(1, positionAddress(), le32(1500));
        QTRY_VERIFY_WITH_TIMEOUT(near(newestPosition(1), expectedPosition(1500)), 20000);
        const QTemporaryDir folder;
        const QString path = folder.filePath("gap.csv");
        _window->startRecording(path);
        QTRY_VERIFY_WITH_TIMEOUT(_window->recorder()->rowsRecorded() >= 10, 20000);
        QVERIFY(_sim->unplugServo(2));
        const int rowsBefore = _window->recorder()->rowsRecorded();
        auto gapAtEnd = [this] {
            const SampleHistory* history = dock()->servoHistory(2);
            return history && !history->points().empty() && history->points().back().gap;
        };
        QTRY_VERIFY_WITH_TIMEOUT(gapAtEnd(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(_window->recorder()->rowsRecorded() >= rowsBefore + 30, 20000);
        QVERIFY(gapAtEnd());
        QVERIFY(near(newestPosition(1), expectedPosition(1500)));
        _window->getDisconnectAction()->trigger();

        const QStringList lines = readLines(path);
        const QStringList header = lines.value(1).split(',');
        const int first = header.indexOf(QRegularExpression("^Actual position \\(id 1\\) \\(degrees\\)$"));
        const int second = header.indexOf(QRegularExpression("^Actual position \\(id 2\\) \\(degrees\\)$"));
        QVERIFY2(first > 0 && second > first, qPrintable(lines.value(1)));
        // The last rows: servo 1's value, servo 2's cells empty.
        for (int row = lines.size() - 20; row < lines.size(); ++row) {
            const QStringList cells = lines[row].split(',');
            QVERIFY2(near(cells[first].toDouble(), expectedPosition(1500)), qPrintable(lines[row]));
            QVERIFY2(cells[second].isEmpty(), qPrintable(lines[row]));
        }
    }

    // Every motor off while both servos are sampled, again and again: the sampling read on the line
    // gives way, each time the motors are off, and neither the connection nor the sampling ends.
    void allMotorsOffWhileSampling()
    {
        plotBoth(QStringLiteral("xl430"));
        if (QTest::currentTestFailed())
            return;
        constexpr int motorAt = 64;
        for (int round = 0; round < 5; ++round) {
            for (int id : {1, 2})
                _sim->setRegisters(id, motorAt, QByteArray(1, '\1'));
            _window->statusBar()->clearMessage();
            _window->findChild<QAction*>("allMotorsOffAction")->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(_window->statusBar()->currentMessage().startsWith("All motors off"), 20000);
            const QMessageBox* box = messageboxes::visible();
            QVERIFY2(!box, qPrintable(box ? box->text() : QString()));
            for (int id : {1, 2})
                QCOMPARE(int(_sim->registers(id).at(motorAt)), 0);
        }
        const size_t before = dock()->servoHistory(2)->points().size();
        QTRY_VERIFY_WITH_TIMEOUT(dock()->servoHistory(2)->points().size() > before + 10, 20000);
        QVERIFY(_window->scheduler() && _window->scheduler()->isRunning());
    }

    // An id that is not a row of the Bus table is refused, said so, and not read.
    void unknownIdIsRefused()
    {
        plotBoth(QStringLiteral("xl430"));
        if (QTest::currentTestFailed())
            return;
        auto* message = dock()->findChild<QLabel*>(QStringLiteral("servosMessageLabel"));
        QVERIFY(message && message->text().isEmpty());
        dock()->servosLineEdit()->setText(QStringLiteral("1,7"));
        emit dock()->servosLineEdit()->editingFinished();
        QCOMPARE(message->text(), QStringLiteral("Servo 7 is not in the Bus table."));
        // Only the connected servo is left: its own curves again.
        QTRY_COMPARE_WITH_TIMEOUT(dock()->sampledServos(), QList<int>(), 20000);
        QVERIFY(!_window->scheduler()->isFastSampling());
        dock()->servosLineEdit()->setText(QStringLiteral("1-x"));
        emit dock()->servosLineEdit()->editingFinished();
        QVERIFY2(message->text().contains("1-x"), qPrintable(message->text()));
        _sim->clearReceived();
        QTRY_VERIFY_WITH_TIMEOUT(_sim->receivedPackets().size() > 5, 20000);
        for (const servosim::ReceivedPacket& packet : _sim->receivedPackets())
            QVERIFY(packet.id != 7);
    }
};

QTEST_MAIN(TestMultiServoPlot)
#include "tst_multiservoplot.moc"
