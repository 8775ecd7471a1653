// Servos of the built-in families on one simulated bus, driven by the command line as a user does:
// values in their units, the torque-off rule, an id and a rate changed and followed, a
// configuration moved from one servo to another, a reset that keeps the id.
#include "core/model/modelregistry.h"

#include <cliprocess.h>
#include <servosimulator.h>

#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int factoryRate = 57600;
constexpr int velocityLimitAt = 44; // four bytes, 0.229 rpm steps
constexpr int idAt = 7;
constexpr int baudAt = 8;
constexpr int torqueAt = 64;

int valueAt(const QByteArray& table, int address, int size)
{
    int value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | quint8(table.at(address + i));
    return value;
}
} // namespace

class TestServoFamilies : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(_home.isValid());
        servosim::Options options;
        options.description = ModelRegistry::shared().byName(QStringLiteral("xl430"));
        options.ids = {1, 2};
        options.moreGroups.append(
            {{3, 4}, servosim::Model::V1, ModelRegistry::shared().byName(QStringLiteral("xm430"))});
        options.baudRate = factoryRate;
        QVERIFY(options.description && options.moreGroups.first().description);
        _simulator = std::make_unique<servosim::ServoSimulator>(options);
        QVERIFY(_simulator->start());
    }

    // Rows run in order on one bus: each starts from what the rows before left.
    void commands_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("message");
        auto row = [](const char* name, const QStringList& arguments, int status, const QString& output,
                      const QString& message = {}) {
            QTest::newRow(name) << arguments << status << output << message;
        };
        const QStringList one{"--id", "1"};
        row("an XL430 identified", one + QStringList{"info"}, 0, "XL430-W250-T (model number 1060)");
        row("its firmware where it keeps it", one + QStringList{"info"}, 0, "firmware: 45");
        row("an XM430 beside it", {"--id", "3", "info"}, 0, "XM430-W350 (model number 1020)");
        row("half a turn, in radians", one + QStringList{"get", "presentPosition"}, 0,
            "presentPosition 3.14159");
        row("the baud code read as its rate", one + QStringList{"get", "baudRate"}, 0, "baudRate 57600");
        row("a limit in rpm, verified", one + QStringList{"set", "velocityLimit=30rpm"}, 0,
            "written and verified");
        row("torque on", one + QStringList{"set", "torqueEnable=1"}, 0, "written and verified");
        row("a setting refused while the torque is on", one + QStringList{"set", "temperatureLimit=70"}, 1,
            "", "nothing written: temperatureLimit");
        row("torque off", one + QStringList{"set", "torqueEnable=0"}, 0, "written and verified");
        row("a new id, followed", one + QStringList{"set", "id=5"}, 0, "written and verified");
        row("answers at its new id", {"--id", "5", "get", "velocityLimit"}, 0, "velocityLimit 3.1");
        row("a rate of its own codes", {"--id", "5", "set", "baudRate=1000000"}, 0, "written and verified");
        row("saved from one XM430", {"--id", "3", "save", "xm430.json"}, 0, "");
        row("restored onto another", {"--id", "4", "restore", "xm430.json"}, 0, "");
        row("a reset that keeps the id", {"--id", "5", "--baud", "1000000", "reset", "--yes", "--keep", "id"},
            0, "", "it answers at id 5, 57600 baud");
        row("an option the model lacks", {"--id", "2", "reset", "--yes", "--keep", "rate"}, 2, "",
            "--keep rate: this servo's reset keeps nothing or id or id,rate");
        row("torque on at 2", {"--id", "2", "set", "torqueEnable=1"}, 0, "written and verified");
        row("torque on at 3", {"--id", "3", "set", "torqueEnable=1"}, 0, "written and verified");
        // Servo 3 refuses the write: it is named, the others are off, and id 9 is silent.
        row("every motor off, one refusing", {"off", "--ids", "2-4,9"}, 1,
            "servo 2: motor off\nservo 3: still on: the servo did not take the write\nservo 4: motor off\n"
            "servo 9: not answering",
            "1 of 4 motors may still be on");
    }
    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        QFETCH(QString, message);
        if (!arguments.contains("--baud"))
            arguments = QStringList{"--baud", QString::number(factoryRate)} + arguments;
        if (QTest::currentDataTag() == QLatin1String("restored onto another"))
            _simulator->setRegisters(4, velocityLimitAt, QByteArray::fromHex("01000000"));
        if (QTest::currentDataTag() == QLatin1String("every motor off, one refusing")) {
            _simulator->refuseWritesAt(3, torqueAt);
            _simulator->clearReceived();
        }
        const CliRun run = runCli(QStringLiteral(VSM_CLI_PATH), _home.path(),
                                  QStringList{"--port", _simulator->devicePath()} + arguments);
        QVERIFY(run.finished);
        QVERIFY2(run.status == status,
                 qPrintable(QStringLiteral("exit %1: %2%3").arg(run.status).arg(run.out, run.err)));
        QVERIFY2(run.out.contains(output), qPrintable(run.out));
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        checkTheBus(QString::fromLatin1(QTest::currentDataTag()));
    }

    // Feetech servos in their flavour of Protocol 1: a negative offset in sign and magnitude, kept
    // over a power cycle because the write went between opening and closing the lock.
    void feetechCommands_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("message");
        QTest::newRow("an STS3215 identified") << QStringList{"info"} << 0 << "STS3215 (model number 777)"
                                               << "";
        QTest::newRow("a negative offset")
            << QStringList{"--raw", "set", "homingOffset=-7"} << 0 << "written and verified"
            << "";
        QTest::newRow("read back after a power cycle")
            << QStringList{"--raw", "get", "homingOffset"} << 0 << "homingOffset -7"
            << "";
        QTest::newRow("no reset of unknown effect") << QStringList{"reset", "--yes"} << 2 << ""
                                                    << "no factory reset is sent";
    }
    void feetechCommands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        QFETCH(QString, message);
        if (!_feetech) {
            servosim::Options options;
            options.description = ModelRegistry::shared().byName(QStringLiteral("sts3215"));
            options.protocol = 3;
            options.ids = {1};
            _feetech = std::make_unique<servosim::ServoSimulator>(options);
            QVERIFY(_feetech->start());
        }
        if (QTest::currentDataTag() == QLatin1String("read back after a power cycle")) {
            QCOMPARE(_feetech->registers(1).mid(31, 2), QByteArray::fromHex("0708")); // bit 11: the sign
            _feetech->powerCycle();
        }
        const CliRun run = runCli(QStringLiteral(VSM_CLI_PATH), _home.path(),
                                  QStringList{"--port", _feetech->devicePath(), "--baud", "1000000",
                                              "--protocol", "feetech", "--id", "1"} +
                                      arguments);
        QVERIFY(run.finished);
        QVERIFY2(run.status == status,
                 qPrintable(QStringLiteral("exit %1: %2%3").arg(run.status).arg(run.out, run.err)));
        QVERIFY2(run.out.contains(output), qPrintable(run.out));
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
    }

private:
    // What the servos must hold after some rows, read past the program.
    void checkTheBus(const QString& row)
    {
        if (row == "a setting refused while the torque is on")
            QCOMPARE(quint8(_simulator->registers(1).at(31)), quint8(72)); // the factory limit
        if (row == "a new id, followed") {
            QCOMPARE(_simulator->servoIds(), QList<int>({2, 3, 4, 5}));
            QCOMPARE(quint8(_simulator->registers(5).at(idAt)), quint8(5));
        }
        if (row == "a rate of its own codes")
            QCOMPARE(quint8(_simulator->registers(5).at(baudAt)), quint8(3)); // not the V1's code 1
        if (row == "restored onto another")
            QCOMPARE(valueAt(_simulator->registers(4), velocityLimitAt, 4),
                     valueAt(_simulator->registers(3), velocityLimitAt, 4));
        if (row == "every motor off, one refusing") {
            for (int id : {2, 3, 4})
                QCOMPARE(quint8(_simulator->registers(id).at(torqueAt)), quint8(id == 3 ? 1 : 0));
            // The models share the motor entry and take a sync write and a fast sync read: one of each.
            QMap<int, int> instructions;
            for (const servosim::ReceivedPacket& packet : _simulator->receivedPackets())
                ++instructions[packet.instruction];
            QCOMPARE(instructions.value(0x83), 1);
            QCOMPARE(instructions.value(0x8A), 1);
            QCOMPARE(instructions.value(0x03), 0);
        }
        if (row == "a reset that keeps the id") {
            QCOMPARE(quint8(_simulator->registers(5).at(baudAt)), quint8(1)); // 57600 again
            QCOMPARE(valueAt(_simulator->registers(5), velocityLimitAt, 4), 265);
        }
    }

    QTemporaryDir _home;
    std::unique_ptr<servosim::ServoSimulator> _simulator;
    std::unique_ptr<servosim::ServoSimulator> _feetech;
};

QTEST_GUILESS_MAIN(TestServoFamilies)
#include "tst_servofamilies.moc"
