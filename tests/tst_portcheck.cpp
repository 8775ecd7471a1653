// The bus doctor's checks of the port itself: a port that is not there, a device that is no
// serial port, one this user may not open, one another program holds, and a healthy one.
#include "core/transport/portcheck.h"

#include <ptypair.h>

#include <QProcess>
#include <QtTest>

#include <sys/stat.h>

using Verdict = DoctorFinding::Verdict;

class TestPortCheck : public QObject
{
    Q_OBJECT

    static QStringList problems(const QList<DoctorFinding>& findings)
    {
        QStringList texts;
        for (const DoctorFinding& finding : findings) {
            if (finding.isProblem())
                texts << finding.check + ": " + finding.text + " / " + finding.fix;
        }
        return texts;
    }

private slots:
    // Mode, owner and group against a user and the user's groups; root may open anything.
    void whoMayOpen_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("user");
        QTest::addColumn<QList<int>>("groups");
        QTest::addColumn<bool>("may");
        // The file: owner 1000, group 20 (dialout).
        QTest::newRow("the owner, rw-") << 0600 << 1000 << QList<int>{100} << true;
        QTest::newRow("the owner, r--") << 0400 << 1000 << QList<int>{20} << false;
        QTest::newRow("in the group, rw") << 0660 << 1001 << QList<int>{100, 20} << true;
        QTest::newRow("not in the group") << 0660 << 1001 << QList<int>{100} << false;
        QTest::newRow("others may") << 0666 << 1001 << QList<int>{100} << true;
        QTest::newRow("others read only") << 0664 << 1001 << QList<int>{100} << false;
        QTest::newRow("the owner is not helped by the group bits") << 0060 << 1000 << QList<int>{20} << false;
        QTest::newRow("root") << 0000 << 0 << QList<int>{0} << true;
    }

    void whoMayOpen()
    {
        QFETCH(int, mode);
        QFETCH(int, user);
        QFETCH(QList<int>, groups);
        QFETCH(bool, may);
        QList<gid_t> own;
        for (int group : groups)
            own << gid_t(group);
        QCOMPARE(mayReadAndWrite({mode_t(S_IFCHR | mode), 1000, 20}, uid_t(user), own), may);
    }

    // What each kind of port gives: the problems in words with their fix, nothing wrong where all
    // is well.
    void portFindings_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("expected"); // parts of the one problem; empty: none
        QTest::newRow("no such port")
            << "missing" << QStringList{"Port: ", "does not exist", "ls /dev/serial/by-id/"};
        QTest::newRow("not a serial port")
            << "/dev/null" << QStringList{"Port: ", "/dev/null is not a serial port"};
        QTest::newRow("held by another program")
            << "held" << QStringList{"Other programs: ", "is open in sleep (process ", "Close sleep"};
        QTest::newRow("a free serial port") << "free" << QStringList{};
    }

    void portFindings()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, expected);
        PtyPair pty;
        QVERIFY2(pty.isOpen(), qPrintable(pty.errorString()));
        QProcess holder;
        QString port = kind == "missing"      ? pty.slavePath() + "-gone"
                       : kind.startsWith('/') ? kind
                                              : pty.slavePath();
        if (kind == "held") {
            // Another process with the port as its standard input, as a terminal program has it.
            holder.setStandardInputFile(pty.slavePath());
            holder.start("sleep", {"30"});
            QVERIFY(holder.waitForStarted(10000));
            QTRY_VERIFY_WITH_TIMEOUT(!processesHolding(pty.slavePath()).isEmpty(), 10000);
        }
        const QList<DoctorFinding> findings = checkPort(port);
        if (holder.state() != QProcess::NotRunning) {
            holder.kill();
            holder.waitForFinished(10000);
        }
        const QStringList found = problems(findings);
        if (expected.isEmpty()) {
            QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
            QCOMPARE(findings.size(), 3); // the device, the permission, other programs
            return;
        }
        QCOMPARE(found.size(), 1);
        for (const QString& part : expected)
            QVERIFY2(found.first().contains(part), qPrintable(found.first()));
    }

    // A simulator running as a program of its own keeps its line's device open as well as the far
    // end: it is the line, not another program using the port.
    void simulatorIsNotAnotherProgram()
    {
        QProcess simulator;
        simulator.start(VSM_SIMULATOR_PATH, {"--id", "1"});
        QVERIFY(simulator.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(simulator.canReadLine(), 30000);
        const QString device = QString::fromLocal8Bit(simulator.readLine()).trimmed();
        QVERIFY2(device.startsWith("/dev/pts/"), qPrintable(device));
        const QStringList found = problems(checkPort(device));
        const auto holders = processesHolding(device);
        simulator.terminate();
        QVERIFY(simulator.waitForFinished(10000));
        QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
        QVERIFY(holders.isEmpty());
    }

    // The adapter's latency timer: too long is a problem with the commands that fix it.
    void latency_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("timerMs");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("fix"); // a part of it; empty: none
        QTest::newRow("16 ms") << int(PortLatency::Kind::UsbWithTimer) << 16 << int(Verdict::Problem)
                               << "echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer";
        QTest::newRow("1 ms") << int(PortLatency::Kind::UsbWithTimer) << 1 << int(Verdict::Fine) << "";
        QTest::newRow("unknown timer") << int(PortLatency::Kind::UsbOther) << 0 << int(Verdict::Note) << "";
        QTest::newRow("built-in UART") << int(PortLatency::Kind::NotUsb) << 0 << int(Verdict::Fine) << "";
        QTest::newRow("pseudo-terminal")
            << int(PortLatency::Kind::PseudoTerminal) << 0 << int(Verdict::Fine) << "";
    }

    void latency()
    {
        QFETCH(int, kind);
        QFETCH(int, timerMs);
        QFETCH(int, verdict);
        QFETCH(QString, fix);
        PortLatency latency;
        latency.kind = PortLatency::Kind(kind);
        latency.device = "ttyUSB0";
        latency.latencyTimerMs = timerMs;
        latency.latencyTimerPath = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer";
        const DoctorFinding found = latencyFinding(latency);
        QCOMPARE(int(found.verdict), verdict);
        QVERIFY2(fix.isEmpty() ? found.fix.isEmpty() : found.fix.contains(fix), qPrintable(found.fix));
        if (found.isProblem())
            QVERIFY2(found.text.contains("32 ms") && found.fix.contains("/etc/udev/rules.d/"),
                     qPrintable(found.text));
    }
};

QTEST_GUILESS_MAIN(TestPortCheck)
#include "tst_portcheck.moc"
