// The bus doctor's verdicts on one servo from its control table: the simulator's factory XL430,
// then one thing wrong at a time.
#include "core/jobs/servocheck.h"

#include <servosimulator.h>
#include <testmodels.h>

#include <QtTest>

class TestServoCheck : public QObject
{
    Q_OBJECT

private slots:
    void verdicts_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("bytes"); // written into the factory table; empty: none
        QTest::addColumn<QString>("problem");  // a part of the one problem; empty: none
        QTest::addColumn<QString>("fix");      // a part of its fix
        QTest::newRow("factory servo") << 0 << QByteArray() << ""
                                       << "";
        QTest::newRow("supply too low")
            << 144 << QByteArray::fromHex("3200") << "gets 5.0 V, below its lowest"
            << "power supply";
        QTest::newRow("supply too high") << 144 << QByteArray::fromHex("c800") << "above its highest"
                                         << "within the servo's range";
        QTest::newRow("input voltage error") << 70 << QByteArray::fromHex("01") << "reports: "
                                             << "reboot";
        QTest::newRow("near the temperature limit")
            << 146 << QByteArray::fromHex("44") << "near its limit of 72"
            << "cool down";
    }

    void verdicts()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, problem);
        QFETCH(QString, fix);
        servosim::Options options;
        options.description = builtInModel("xl430");
        servosim::ServoSimulator simulator(options);
        QByteArray table = simulator.registers(1);
        QVERIFY(table.size() > 146);
        table.replace(address, bytes.size(), bytes);
        const QList<DoctorFinding> findings = checkServo(1, builtInModel("xl430"), table, 1000000);
        QStringList problems;
        for (const DoctorFinding& finding : findings) {
            if (finding.isProblem())
                problems << finding.text + " / " + finding.fix;
        }
        if (problem.isEmpty()) {
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        } else {
            QCOMPARE(problems.size(), 1);
            QVERIFY2(problems.first().contains(problem) && problems.first().contains(fix),
                     qPrintable(problems.first()));
        }
        // The factory return delay is worth a note with the command that lowers it, never a problem.
        bool delayNoted = false;
        for (const DoctorFinding& finding : findings)
            delayNoted =
                delayNoted ||
                (finding.verdict == DoctorFinding::Verdict::Note && finding.text.contains("waits 500 µs") &&
                 finding.fix == "velkora-servo --protocol 2 --baud 1000000 --id 1 set returnDelayTime=0");
        QVERIFY(delayNoted);
    }
};

QTEST_GUILESS_MAIN(TestServoCheck)
#include "tst_servocheck.moc"
