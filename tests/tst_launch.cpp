#include "core/launch/launchoptions.h"
#include "core/session/uischeduler.h"
#include "core/units/physicalquantities.h"
#include "window/dialogs/settingsdialog.h"
#include "window/mainwindow.h"

#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QAction>
#include <QCommandLineParser>
#include <QProcess>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QtTest>

namespace {
QSettings store()
{
    return QSettings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class TestLaunch : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        // simulate|ids|model|port|baud|id|protocol, or "!" and a piece of the error text
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing") << QStringList() << "0||0||0|-1|0";
        QTest::newRow("simulate") << QStringList{"--simulate"} << "1|1|0||1000000|1|0";
        QTest::newRow("simulate all")
            << QStringList{"--simulate", "--id", "5, 1", "--model", "AX12", "--baud", "57600"}
            << "1|5,1|1||57600|5|0";
        QTest::newRow("overrides") << QStringList{"--port", "/dev/ttyUSB1", "--baud=115200", "--id", "253"}
                                   << "0|253|0|/dev/ttyUSB1|115200|253|0";
        QTest::newRow("port with simulate") << QStringList{"--simulate", "--port", "x"} << "!--port";
        QTest::newRow("model alone") << QStringList{"--model", "v1"} << "!--model";
        QTest::newRow("rate not offered") << QStringList{"--baud", "12345"} << "!--baud";
        QTest::newRow("id too high") << QStringList{"--id", "254"} << "!--id";
        // Several ids: the first is connected to, all go into the bus table.
        QTest::newRow("list for the bus") << QStringList{"--id", "3, 2"} << "0|3,2|0||0|3|0";
        QTest::newRow("listed id twice") << QStringList{"--id", "3,3"} << "!twice";
        QTest::newRow("reserved simulated id") << QStringList{"--simulate", "--id", "1,253"} << "!--id";
        // Two servos at one id, listed once in the bus table.
        QTest::newRow("simulated id twice")
            << QStringList{"--simulate", "--id", "4,4"} << "1|4|0||1000000|4|0";
        QTest::newRow("stray word") << QStringList{"demo"} << "!demo";
        QTest::newRow("protocol for one run") << QStringList{"--protocol", "1"} << "0||0||0|-1|1";
        QTest::newRow("protocol 3") << QStringList{"--protocol", "3"} << "!--protocol is 1, 2 or feetech";
        QTest::newRow("the Feetech flavour") << QStringList{"--protocol", "Feetech"} << "0||0||0|-1|3";
        QTest::newRow("simulated V1 in Protocol 1")
            << QStringList{"--simulate", "--protocol", "1"} << "!--model ax12";
        QTest::newRow("simulated AX-12 in Protocol 1")
            << QStringList{"--simulate", "--model", "ax12", "--protocol", "1"} << "1|1|1||1000000|1|1";
        QTest::newRow("model no description has")
            << QStringList{"--simulate", "--model", "xl999"} << "!--model: no model is called \"xl999\"";
        QTest::newRow("model file missing")
            << QStringList{"--simulate", "--model", "/nonexistent/servo.json"} << "!--model: /nonexistent/servo.json";
        QTest::newRow("missing models folder") << QStringList{"--models", "/nonexistent"} << "0||0||0|-1|0";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QCommandLineParser parser;
        addLaunchOptions(parser);
        QVERIFY2(parser.parse(QStringList{"VelkoraServoManager"} + arguments),
                 qPrintable(parser.errorText()));
        LaunchOptions options;
        const QString problem = readLaunchOptions(parser, &options);
        if (expected.startsWith('!')) {
            QVERIFY2(problem.contains(expected.mid(1)), qPrintable(problem));
            return;
        }
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QStringList ids;
        // The ids the bus table lists (with --simulate, the simulated ones).
        for (int id : options.listedIds)
            ids.append(QString::number(id));
        QCOMPARE(QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
                     .arg(int(options.simulate))
                     .arg(ids.join(','))
                     .arg(int(options.model == servosim::Model::Ax12))
                     .arg(options.portName)
                     .arg(options.baudRate)
                     .arg(options.servoId)
                     .arg(options.protocol),
                 expected);
    }

    // A run with --simulate or with overrides shows a live servo, and afterwards the store holds what
    // it held before: everything for a simulated run, the overridden port, rate and id otherwise.
    void runLeavesTheStoredChoices_data()
    {
        QTest::addColumn<bool>("simulate");
        QTest::newRow("simulated") << true;
        QTest::newRow("overridden") << false;
    }

    void runLeavesTheStoredChoices()
    {
        QFETCH(bool, simulate);
        IsolatedSettings home;
        QString storePath;
        {
            QSettings settings = store();
            settings.setValue("port settings/serialPortName", "/dev/ttyNothingHere");
            settings.setValue("port settings/baudRate", 9600);
            settings.setValue("units settings/servoData", 1);
            settings.setValue("main window settings/servoId", 7);
            settings.setValue("main window settings/pollingInterval", 500);
            storePath = settings.fileName();
        }
        const QByteArray before = fileBytes(storePath);
        QVERIFY(!before.isEmpty());

        // Without --simulate the servos are the test's own, as an adapter would be.
        servosim::Options servos;
        servos.ids = {3, 4};
        servos.baudRate = 57600;
        servosim::ServoSimulator adapter(servos);
        QStringList arguments{"VelkoraServoManager", "--baud", "57600"};
        if (simulate) {
            arguments << "--simulate"
                      << "--id"
                      << "3,4";
        } else {
            QVERIFY(adapter.start());
            arguments << "--port" << adapter.devicePath() << "--id"
                      << "3";
        }
        QCommandLineParser parser;
        addLaunchOptions(parser);
        QVERIFY(parser.parse(arguments));
        LaunchOptions options;
        QCOMPARE(readLaunchOptions(parser, &options), QString());

        {
            LaunchSession session(options);
            QString error;
            QVERIFY2(session.start(&error), qPrintable(error));
            QCOMPARE(session.simulator() != nullptr, simulate);
            MainWindow window;
            window.setWindowTitle(session.windowTitle(window.windowTitle()));
            QCOMPARE(window.windowTitle().contains("simulated"), simulate);
            // Ids and rates change while the program runs; the title must not go on naming the old ones.
            QVERIFY2(!window.windowTitle().contains(" id ") && !window.windowTitle().contains("baud"),
                     qPrintable(window.windowTitle()));
            window.show();
            QCOMPARE(window.getPhysicalQuantityUnits()->servoData, 1); // units still come from the store
            auto* idBox = window.findChild<QSpinBox*>("servoIdSpinBox");
            QCOMPARE(idBox->value(), 3);

            window.getConnectAction()->trigger();
            QTRY_COMPARE_WITH_TIMEOUT(window.statusBar()->currentMessage(), QStringLiteral("Connected"),
                                      20000);
            QTRY_VERIFY_WITH_TIMEOUT(window.scheduler()->statistics().polls() >= 3, 20000);
            QCOMPARE(window.scheduler()->statistics().failures(), 0);
            window.getDisconnectAction()->trigger();

            // What a user does that is stored at once, then on apply, then on closing.
            idBox->setValue(4);
            window.findChild<QSpinBox*>("pollingIntervalSpinBox")->setValue(250);
            SettingsDialog::_instance->apply();
            window.close();
            QCOMPARE(Settings(QStringLiteral("main window settings")).getValue("servoId", 0).toInt(), 4);
        }

        QSettings settings = store();
        QCOMPARE(settings.value("port settings/serialPortName").toString(),
                 QStringLiteral("/dev/ttyNothingHere"));
        QCOMPARE(settings.value("port settings/baudRate").toInt(), 9600);
        QCOMPARE(settings.value("main window settings/servoId").toInt(), 7);
        QCOMPARE(Settings(QStringLiteral("main window settings")).getValue("servoId", 0).toInt(), 7);
        if (simulate) {
            QCOMPARE(fileBytes(storePath), before);
        } else {
            QCOMPARE(settings.value("main window settings/pollingInterval").toInt(), 250);
            QVERIFY(settings.contains("main window settings/geometry"));
        }
    }

    // --help and --version need no display (the xcb platform would fail without one).
    void programCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("platform");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("version") << QStringList{"--version"} << "xcb" << 0
                                 << "VelkoraServoManager " VSM_VERSION;
        QTest::newRow("help") << QStringList{"--help"} << "xcb" << 0 << "--simulate";
        QTest::newRow("bad rate") << QStringList{"--baud", "3"} << "offscreen" << 2 << "--baud wants";
        // Without a display the program says so instead of ending in the windowing plugin's abort.
        QTest::newRow("no display") << QStringList{"--simulate"} << "" << 1 << "needs a display";
        QTest::newRow("xcb, no display") << QStringList{} << "xcb" << 1 << "QT_QPA_PLATFORM=offscreen";
    }

    void programCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, platform);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.remove("QT_QPA_PLATFORM");
        if (!platform.isEmpty())
            environment.insert("QT_QPA_PLATFORM", platform);
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(VSM_PROGRAM_PATH), arguments);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        const QString printed = program.readAllStandardOutput() + program.readAllStandardError();
        QVERIFY2(printed.contains(output), qPrintable(printed));
        QCOMPARE(program.exitCode(), exitCode);
    }
};

QTEST_MAIN(TestLaunch)
#include "tst_launch.moc"
