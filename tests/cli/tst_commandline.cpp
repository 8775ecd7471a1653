// velkora-servo as a shell user runs it, against simulated servos on a pseudo-terminal.
#include <servosimulator.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(_home.isValid());
        QVERIFY(_simulator.start());
    }
    void init()
    {
        _simulator.setSilent(false);
        // Motor off, target 0: each row starts from the same servo.
        _simulator.setRegisters(1, 48, QByteArray(1, '\0'));
        _simulator.clearReceived();
    }
    void commands_data();
    void commands();

private:
    struct Run
    {
        int status;
        QString out;
        QString err;
    };
    Run run(const QStringList& arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), _home.path()); // no stored settings of the user's
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), _home.path());
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(_home.path());
        process.start(QStringLiteral(VSM_CLI_PATH), arguments);
        if (!process.waitForFinished(20000))
            return {-1, {}, QStringLiteral("did not finish")};
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    int writesReceived() const
    {
        int writes = 0;
        for (const auto& packet : _simulator.receivedPackets())
            writes += packet.instruction == 0x03 ? 1 : 0;
        return writes;
    }

    QTemporaryDir _home;
    servosim::ServoSimulator _simulator;
};

void TestCommandLine::commands_data()
{
    QTest::addColumn<QStringList>("setUp");  // run first, must exit 0
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");     // a line standard output must contain
    QTest::addColumn<int>("writes");         // write requests the servo must have received; -1: any
    QTest::addColumn<bool>("silent");

    // Each row saves the servo as the rows before left it; setUp values differ from row to row.
    const QStringList none;
    QTest::newRow("info") << none << QStringList{"info"} << 0 << "model number 1025" << 0 << false;
    QTest::newRow("get in units") << none << QStringList{"get", "actualVoltage"} << 0 << " V\n" << 0 << false;
    QTest::newRow("get raw") << none << QStringList{"--raw", "get", "actualVoltage"} << 0 << "actualVoltage 1" << 0 << false;
    QTest::newRow("set with unit") << none << QStringList{"set", "targetPosition=90deg", "enableMotor=1"} << 0
                                   << "targetPosition: written and verified" << -1 << false;
    QTest::newRow("read back in radians") << QStringList{"set", "targetPosition=90deg"}
                                          << QStringList{"get", "targetPosition"} << 0 << "targetPosition 1.57" << -1 << false;
    QTest::newRow("temperature in degF") << none << QStringList{"set", "temperatureLimit=158degF"} << 0
                                         << "temperatureLimit: written and verified" << -1 << false;
    QTest::newRow("non-volatile while the motor is on") << QStringList{"set", "enableMotor=1"}
                                                        << QStringList{"set", "temperatureLimit=70"} << 1 << "" << 0 << false;
    QTest::newRow("dry run writes nothing") << QStringList{"set", "temperatureLimit=60"}
                                            << QStringList{"restore", "saved.json", "--dry-run"} << 0 << "temperatureLimit:" << 0 << false;
    QTest::newRow("diff differs") << QStringList{"set", "temperatureLimit=65"} << QStringList{"diff", "saved.json"} << 1
                                  << "temperatureLimit: servo" << 0 << false;
    QTest::newRow("restore") << QStringList{"set", "temperatureLimit=55"} << QStringList{"restore", "saved.json"} << 0
                             << "temperatureLimit: written and verified" << -1 << false;
    QTest::newRow("watch") << none << QStringList{"watch", "actualVoltage", "--count", "3", "--interval", "10"} << 0
                           << "time (s),actualVoltage (V)" << 0 << false;
    // The bytes between two written settings keep what the servo holds.
    QTest::newRow("span keeps the bytes between") << QStringList{"set", "ackResponseTime=100", "temperatureLimit=75"}
                                                  << QStringList{"get", "operatingMode"} << 0 << "operatingMode 2" << 0 << false;
    QTest::newRow("silent servo") << none << QStringList{"info"} << 3 << "" << 0 << true;
    QTest::newRow("unknown key") << none << QStringList{"get", "noSuchKey"} << 2 << "" << 0 << false;
    QTest::newRow("out of range") << none << QStringList{"set", "temperatureLimit=900"} << 2 << "" << 0 << false;
    QTest::newRow("read-only") << none << QStringList{"set", "actualVoltage=3"} << 2 << "" << 0 << false;
    QTest::newRow("reset wants --yes") << none << QStringList{"reset"} << 2 << "" << 0 << false;
    QTest::newRow("unknown command") << none << QStringList{"frobnicate"} << 2 << "" << 0 << false;
}

void TestCommandLine::commands()
{
    QFETCH(QStringList, setUp);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(int, writes);
    QFETCH(bool, silent);
    const QStringList port{"--port", _simulator.devicePath(), "--baud", "1000000", "--id", "1"};

    // The file the rows restore and compare: the servo as it starts.
    QCOMPARE(run(port + QStringList{"save", "saved.json"}).status, 0);
    if (!setUp.isEmpty()) {
        const Run prepared = run(port + setUp);
        QVERIFY2(prepared.status == 0, qPrintable(prepared.err));
    }
    _simulator.clearReceived();
    _simulator.setSilent(silent);
    const Run result = run(port + arguments);
    _simulator.setSilent(false);
    QVERIFY2(result.status == status, qPrintable(QStringLiteral("exit %1: %2%3").arg(result.status).arg(result.out, result.err)));
    QVERIFY2(result.out.contains(output), qPrintable(result.out));
    if (status > 1) // differences are a result, not a failure
        QVERIFY2(!result.err.isEmpty(), "a failure says why on standard error");
    if (writes >= 0)
        QCOMPARE(writesReceived(), writes);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
