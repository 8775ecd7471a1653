// The bus doctor end to end on the simulator: each trouble the line or a servo can have is named
// with its fix and nothing else is called wrong; a healthy bus gives a clean report.
#include "core/jobs/busdoctor.h"
#include "core/model/modeldescription.h"
#include "core/transport/linecheck.h"

#include <ptypair.h>
#include <servosimulator.h>
#include <testmodels.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using Verdict = DoctorFinding::Verdict;

namespace {

// Two rates and a few ids: enough to find a servo where the settings do not point, short enough
// for a row to take seconds on a pseudo-terminal.
DoctorPlan narrowPlan(const QString& port)
{
    DoctorPlan plan;
    plan.portName = port;
    plan.baudRate = 1000000;
    plan.protocol = BusProtocol::Two;
    plan.servoId = 1;
    plan.rates = {57600, 1000000};
    plan.lower = 0;
    plan.upper = 3;
    return plan;
}

DoctorReport runDoctor(const DoctorPlan& plan)
{
    BusDoctor doctor(plan);
    QSignalSpy finished(&doctor, &BusDoctor::finished);
    QSignalSpy announced(&doctor, &BusDoctor::findingAdded);
    doctor.start();
    if (!finished.wait(120000))
        qFatal("the doctor did not finish");
    // Every verdict in the report was announced as it was reached.
    if (announced.size() != doctor.report().findings.size())
        qFatal("%d verdicts announced, %d in the report", int(announced.size()),
               int(doctor.report().findings.size()));
    return doctor.report();
}

QStringList problemChecks(const DoctorReport& report)
{
    QStringList checks;
    for (const DoctorFinding& finding : report.findings)
        if (finding.isProblem())
            checks << finding.check;
    return checks;
}

} // namespace

class TestBusDoctor : public QObject
{
    Q_OBJECT

private slots:
    void troubles_data()
    {
        QTest::addColumn<QString>("trouble");
        QTest::addColumn<QStringList>("problems"); // the checks that find something wrong, in order
        QTest::addColumn<QString>("named");        // a part of the (first) finding that names it
        QTest::addColumn<QString>("fix");          // a part of its fix
        QTest::addColumn<int>("status");
        QTest::newRow("healthy") << "healthy" << QStringList{}
                                 << "Servo 1 (XL430-W250-T) answers at 1,000,000"
                                 << "" << int(DoctorReport::Healthy);
        QTest::newRow("echoing line") << "echo" << QStringList{} << "passes over the echo"
                                      << "direction switch" << int(DoctorReport::Healthy);
        QTest::newRow("noise") << "noise" << QStringList{"Noise"} << "while nothing was sent"
                               << "nothing else drives the bus" << int(DoctorReport::ProblemFound);
        QTest::newRow("two servos at one id")
            << "shared" << QStringList{"Servo 1"} << "two servos share id 1"
            << "one at a time and give each its own id" << int(DoctorReport::ProblemFound);
        QTest::newRow("low supply") << "supply"
                                    << QStringList{"Supply of servo 1", "Hardware errors of servo 1"}
                                    << "below its lowest"
                                    << "power supply" << int(DoctorReport::ProblemFound);
        QTest::newRow("status return level 0")
            << "silent" << QStringList{"Status return level of servo 1"} << "answers pings but no read"
            << "Write 2 to its status return level (address 68)" << int(DoctorReport::ProblemFound);
        // In Protocol 1 a ping carries no model number, and the read that would tell goes unanswered.
        QTest::newRow("status return level 0, Protocol 1")
            << "silent1" << QStringList{"Settings", "Status return level of servo 1"}
            << "Servo 1 (model unknown) answers at 1,000,000 baud in Protocol 1"
            << "Write 2 to its status return level: the servo carries" << int(DoctorReport::ProblemFound);
        QTest::newRow("another rate and protocol")
            << "elsewhere" << QStringList{"Settings"}
            << "Nothing answers at 1,000,000 baud in Protocol 2, where the settings point; servo 1 answers "
               "at 57,600 baud in Protocol 1"
            << "--protocol 1 --baud 57600 --id 1 info" << int(DoctorReport::ProblemFound);
        QTest::newRow("no servo in range")
            << "absent" << QStringList{"Servos"} << "No servo answered at ids 0 to 3 at 2 rates"
            << "supply is switched on" << int(DoctorReport::NoServo);
        QTest::newRow("port held by another program")
            << "held" << QStringList{"Other programs"} << "is open in sleep"
            << "Close sleep" << int(DoctorReport::PortFailed);
        QTest::newRow("no such port") << "missing" << QStringList{"Port"} << "does not exist"
                                      << "ls /dev/serial/by-id/" << int(DoctorReport::PortFailed);
    }

    void troubles()
    {
        QFETCH(QString, trouble);
        QFETCH(QStringList, problems);
        QFETCH(QString, named);
        QFETCH(QString, fix);
        QFETCH(int, status);

        servosim::Options options;
        options.description = builtInModel("xl430");
        options.echo = trouble == "echo";
        options.noiseIntervalMs = trouble == "noise" ? 20 : 0;
        options.allowSharedIds = trouble == "shared";
        options.ids = trouble == "shared" ? QList<int>{1, 1} : QList<int>{1};
        options.supplyVoltage = trouble == "supply" ? 4.0 : 0;
        if (trouble == "silent1") {
            options.description = builtInModel("ax12");
            options.protocol = 1;
        }
        if (trouble == "elsewhere") {
            options.description = builtInModel("ax12");
            options.protocol = 1;
            options.baudRate = 57600;
        }
        servosim::ServoSimulator simulator(options);
        QString error;
        QVERIFY2(simulator.start(&error), qPrintable(error));
        simulator.setSilent(trouble == "absent");
        if (trouble.startsWith("silent")) {
            const ModelEntry* level = options.description->entryWithRole("statusReturnLevel");
            QVERIFY(level);
            simulator.setRegisters(1, level->address, QByteArray(1, '\0'));
        }
        QProcess holder;
        if (trouble == "held") {
            // Another process with the port as its standard input, as a terminal program has it.
            holder.setStandardInputFile(simulator.devicePath());
            holder.start("sleep", {"60"});
            QVERIFY(holder.waitForStarted(10000));
            QTRY_VERIFY_WITH_TIMEOUT(!processesHolding(simulator.devicePath()).isEmpty(), 10000);
        }
        const QString port = trouble == "missing" ? simulator.devicePath() + "-gone" : simulator.devicePath();

        const DoctorReport report = runDoctor(narrowPlan(port));
        if (holder.state() != QProcess::NotRunning) {
            holder.kill();
            holder.waitForFinished(10000);
        }
        const QString text = report.text();
        QVERIFY2(problemChecks(report) == problems, qPrintable(text));
        QVERIFY2(text.contains(named), qPrintable(text));
        QVERIFY2(text.contains(fix), qPrintable(text));
        QCOMPARE(int(report.status()), status);
        if (problems.isEmpty())
            QVERIFY2(text.contains("nothing wrong"), qPrintable(text));

        // Only the servo that sits elsewhere is offered, with its own settings.
        QCOMPARE(report.elsewhere.has_value(), trouble == "elsewhere" || trouble == "silent1");
        if (trouble == "elsewhere") {
            QCOMPARE(report.elsewhere->baudRate, 57600);
            QCOMPARE(report.elsewhere->protocol, BusProtocol::One);
            QCOMPARE(report.elsewhere->id, 1);
        }
        // The report for scripts says the same.
        const QJsonObject json = QJsonDocument::fromJson(report.json()).object();
        QCOMPARE(json.value("status").toInt(-1), status);
        QCOMPARE(json.value("findings").toArray().size(), report.findings.size());
        QCOMPARE(json.value("servos").toArray().size(), report.servos.size());
        // The doctor only asks: it never writes to a servo.
        for (const servosim::ReceivedPacket& packet : simulator.receivedPackets())
            QVERIFY2(packet.instruction != 0x03, "a write was sent");
    }

    // A port this user may not open is named with the group command; as root every port opens,
    // so the check runs as an unprivileged user in a child process then.
    void portWithoutPermission()
    {
        PtyPair pty;
        QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
        // No one but root may open it: not even its owner.
        QCOMPARE(::chmod(pty.slavePath().toLocal8Bit().constData(), 0), 0);
        if (geteuid() != 0) {
            const QStringList found = problemTexts(checkPort(pty.slavePath()));
            QCOMPARE(found.size(), 1);
            QVERIFY2(found.first().startsWith("Permission: You may not open"), qPrintable(found.first()));
            return;
        }
        int pipeFds[2];
        QCOMPARE(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(2);
            const QByteArray found = problemTexts(checkPort(pty.slavePath())).join('\n').toUtf8();
            const bool written = ::write(pipeFds[1], found.constData(), size_t(found.size())) == found.size();
            ::_exit(written ? 0 : 3);
        }
        ::close(pipeFds[1]);
        QByteArray found;
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            found.append(buffer, int(n));
        ::close(pipeFds[0]);
        int childStatus = 0;
        QCOMPARE(::waitpid(child, &childStatus, 0), child);
        QVERIFY(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0);
        QVERIFY2(found.startsWith("Permission: You may not open") && !found.contains('\n'),
                 found.constData());
    }

    // The line check on its own: a packet found back among the bytes, wherever noise puts it.
    void echoIsFoundAmongNoise_data()
    {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<bool>("echo");
        const QByteArray sent = LineCheck::probePacket();
        QTest::newRow("nothing") << QByteArray() << false;
        QTest::newRow("the packet") << sent << true;
        QTest::newRow("noise first") << QByteArray("\x01\x02", 2) + sent << true;
        QTest::newRow("cut short") << sent.left(sent.size() - 1) << false;
        QTest::newRow("one byte changed") << QByteArray(sent).replace(5, 1, "\x04") << false;
    }

    void echoIsFoundAmongNoise()
    {
        QFETCH(QByteArray, received);
        QFETCH(bool, echo);
        QCOMPARE(LineCheck::holdsEcho(LineCheck::probePacket(), received), echo);
    }

    // Stop ends a run at its next step with what was found so far, and says it was stopped.
    void stopEndsTheRun()
    {
        servosim::Options options;
        options.description = builtInModel("xl430");
        servosim::ServoSimulator simulator(options);
        QVERIFY(simulator.start());
        DoctorPlan plan = narrowPlan(simulator.devicePath());
        plan.rates.clear(); // every rate: long enough to be stopped in the middle
        BusDoctor doctor(plan);
        QSignalSpy finished(&doctor, &BusDoctor::finished);
        QSignalSpy progress(&doctor, &BusDoctor::progress);
        doctor.start();
        QTRY_VERIFY_WITH_TIMEOUT(progress.size() > 10, 60000);
        doctor.stop();
        QVERIFY(finished.wait(60000));
        QVERIFY(!doctor.isRunning());
        QVERIFY(doctor.report().stopped);
        QCOMPARE(doctor.report().findings.last().check, QString("Stopped"));
        QCOMPARE(finished.size(), 1);
    }

private:
    static QStringList problemTexts(const QList<DoctorFinding>& findings)
    {
        QStringList texts;
        for (const DoctorFinding& finding : findings)
            if (finding.isProblem())
                texts << finding.check + ": " + finding.text + " / " + finding.fix;
        return texts;
    }
};

QTEST_GUILESS_MAIN(TestBusDoctor)
#include "tst_busdoctor.moc"
