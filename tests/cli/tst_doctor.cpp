// velkora-servo doctor as a shell user runs it: on simulated servos, on a port another program
// holds and on one that is not there; its verdicts, its exit status, the JSON report agreeing with
// that status, and Ctrl+C still giving the report so far.
#include <cliprocess.h>
#include <ptypair.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {
// One rate and a few ids: each run stays short.
const QStringList narrow{"--bauds", "1000000", "--ids", "0-3"};
} // namespace

class TestDoctor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(_home.isValid());
        QVERIFY2(_line.isOpen(), qPrintable(_line.errorString()));
        // Another program with the port as its standard input, as a terminal program has it.
        _holder.setStandardInputFile(_line.slavePath());
        _holder.start(QStringLiteral("sleep"), {QStringLiteral("600")});
        QVERIFY(_holder.waitForStarted(10000));
    }
    void cleanupTestCase()
    {
        _holder.kill();
        _holder.waitForFinished(10000);
    }
    void verdicts_data();
    void verdicts();
    void interruptedStillReports();

private:
    CliRun run(QStringList arguments)
    {
        arguments.replaceInStrings(QStringLiteral("@held"), _line.slavePath());
        return runCli(QStringLiteral(VSM_CLI_PATH), _home.path(), arguments);
    }

    QTemporaryDir _home;
    PtyPair _line;    // this process is the far end of the line
    QProcess _holder; // and another program holds the port
};

void TestDoctor::verdicts_data()
{
    QTest::addColumn<QStringList>("arguments"); // "@held": the port this test holds
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("present"); // texts the report must hold
    QTest::addColumn<QStringList>("absent");  // and must not

    QTest::newRow("healthy bus") << QStringList{"--simulate", "--id", "1,2", "doctor"} + narrow << 0
                                 << QStringList{"[ok] Servo 1:", "[ok] Servo 2:",
                                                "2 servos found, nothing wrong."}
                                 << QStringList{"[PROBLEM]"};
    QTest::newRow("two servos at one id")
        << QStringList{"--simulate", "--id", "1,1", "doctor"} + narrow << 1
        << QStringList{"[PROBLEM] Servo 1:", "share id 1", "    fix: "} << QStringList{"nothing wrong"};
    // An AX-12 answers no broadcast ping: one outside the ids asked is not found.
    QTest::newRow("no servo in the range")
        << QStringList{"--simulate", "--model", "ax12", "--id", "9", "doctor"} + narrow << 3
        << QStringList{"[PROBLEM] Servos:", "No servo answered."} << QStringList{"[ok] Servo "};
    QTest::newRow("no such port") << QStringList{"--port", "/dev/ttyNoSuchAdapter", "doctor"} + narrow << 4
                                  << QStringList{"[PROBLEM] Port: /dev/ttyNoSuchAdapter",
                                                 "The port cannot be opened."}
                                  << QStringList{"No servo answered."};
    QTest::newRow("held by another program")
        << QStringList{"--port", "@held", "doctor"} + narrow << 4
        << QStringList{"[PROBLEM] Other programs:", "is open in sleep"} << QStringList{"[ok] Servo "};
    // The command's own --port goes before the stored or simulated one.
    QTest::newRow("the command's own port")
        << QStringList{"--simulate", "doctor", "--port", "/dev/ttyNoSuchAdapter"} + narrow << 4
        << QStringList{"Bus doctor on /dev/ttyNoSuchAdapter"} << QStringList{"[ok] Servo "};
}

// Each case twice: as a person reads it, and as JSON whose status is the exit status.
void TestDoctor::verdicts()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);

    const CliRun human = run(arguments);
    QVERIFY2(human.finished, qPrintable(human.out + human.err));
    QVERIFY2(human.status == status,
             qPrintable(QStringLiteral("exit %1: %2%3").arg(human.status).arg(human.out, human.err)));
    for (const QString& text : present)
        QVERIFY2(human.out.contains(text), qPrintable(text + " not in:\n" + human.out));
    for (const QString& text : absent)
        QVERIFY2(!human.out.contains(text), qPrintable(text + " in:\n" + human.out));
    // Progress is for a terminal only: a log or pipe keeps no carriage returns.
    QVERIFY2(!human.err.contains('\r'), qPrintable(human.err));

    const CliRun json = run(QStringList{"--json"} + arguments);
    QVERIFY(json.finished);
    QCOMPARE(json.status, status);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json.out.toUtf8(), &error);
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString() + ":\n" + json.out));
    QCOMPARE(document.object().value("status").toInt(-1), status);
}

// Ctrl+C in the middle of a long run (every rate) stops it, and the verdicts reached are still
// followed by the summary.
void TestDoctor::interruptedStillReports()
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* variable : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
        environment.insert(variable, _home.path());
    process.setProcessEnvironment(environment);
    QString output;
    connect(&process, &QProcess::readyReadStandardOutput,
            [&] { output += QString::fromUtf8(process.readAllStandardOutput()); });
    process.start(QStringLiteral(VSM_CLI_PATH), {"--simulate", "doctor", "--bauds", "all", "--ids", "0-40"});
    QVERIFY(process.waitForStarted(30000));
    // A verdict: the doctor runs, and Ctrl+C is heard by then.
    QTRY_VERIFY_WITH_TIMEOUT(output.contains("\n["), 60000);
    QCOMPARE(process.state(), QProcess::Running);
    QVERIFY(::kill(pid_t(process.processId()), SIGINT) == 0);
    QVERIFY2(process.waitForFinished(60000), qPrintable(output));
    output += QString::fromUtf8(process.readAllStandardOutput());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(output.contains("[note] Stopped:"), qPrintable(output));
    // The summary closes it.
    QVERIFY2(output.contains(
                 QRegularExpression("(nothing wrong|problems? found|Stopped before a servo answered)\\.\n$")),
             qPrintable(output));
    QVERIFY(QList<int>({0, 1, 3}).contains(process.exitCode()));
}

QTEST_GUILESS_MAIN(TestDoctor)
#include "tst_doctor.moc"
