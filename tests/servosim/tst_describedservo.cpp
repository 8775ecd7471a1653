// A servo played from a model description no code knows, seen over a real pseudo-terminal.
#include "madeupmodel.h"
#include "protocol.h"
#include "servosimulator.h"

#include "core/model/modeldescription.h"

#include <QtSerialPort/QSerialPort>
#include <QtTest>

using namespace servosim;

namespace {

constexpr int Id = 7;
constexpr int Rate = 57600; // code 3 of this model, 34 of the built-in ones

struct Status
{
    bool complete = false;
    quint8 error = 0;
    QByteArray params;
};

// One request and its status packet.
Status exchange(QSerialPort& port, quint8 code, const QByteArray& params = {}, quint8 id = Id)
{
    port.write(instructionPacket(id, code, params));
    port.waitForBytesWritten(1000);
    QByteArray bytes;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        const int at = bytes.indexOf(packetHeader());
        if (at >= 0 && bytes.size() >= at + HeaderSize) {
            const int size = HeaderSize + (quint8(bytes.at(at + 5)) | (quint8(bytes.at(at + 6)) << 8));
            if (bytes.size() >= at + size) {
                const QByteArray packet = bytes.mid(at, size);
                return {true, quint8(packet.at(8)), packet.mid(9, packet.size() - StatusOverhead)};
            }
        }
        if (port.waitForReadyRead(int(qMax<qint64>(1, 5000 - timer.elapsed()))))
            bytes += port.readAll();
    }
    return {};
}

QByteArray addressed(int address, const QByteArray& tail)
{
    return QByteArray(1, char(address)) + '\0' + tail;
}

QByteArray read(QSerialPort& port, int address, int length)
{
    const Status status =
        exchange(port, instruction::Read, addressed(address, QByteArray(1, char(length)) + '\0'));
    return status.complete && status.error == error::None ? status.params : QByteArray();
}

// A register of `table`; two- and four-byte ones are signed.
qint64 value(const QByteArray& table, int address, int size, bool bigEndian)
{
    if (table.size() < address + size)
        return -1;
    quint64 bits = 0;
    for (int i = 0; i < size; ++i)
        bits |= quint64(quint8(table.at(address + i))) << (8 * (bigEndian ? size - 1 - i : i));
    if (size == 2)
        return qint16(quint16(bits));
    return size == 4 ? qint64(qint32(quint32(bits))) : qint64(bits);
}

// Servo `Id` of the X-like test description, with `edits` (text, replacement) made to its file, at `rate`;
// no description when it cannot be read (`problem` says why).
Options xSeries(QString* problem, const QList<QPair<QByteArray, QByteArray>>& edits = {}, int rate = 1000000)
{
    Options options;
    options.ids = {Id};
    options.baudRate = rate;
    QFile file(QStringLiteral(VSM_TEST_DATA "/xseries-test.json"));
    QByteArray json = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    for (const auto& edit : edits)
        json.replace(edit.first, edit.second);
    if (auto read = readModelDescription(json, file.fileName(), problem))
        options.description = std::make_shared<const ModelDescription>(std::move(*read));
    return options;
}

// Addresses of the X-like test description.
namespace x {
constexpr int BaudAddress = 8, TemperatureLimitAddress = 31, VelocityLimitAddress = 44, ShutdownAddress = 63;
constexpr int TorqueAddress = 64, HardwareErrorAddress = 70, GoalAddress = 116;
} // namespace x

// The simulator playing the made-up model (or what `options` say), and a client port open on it.
struct Rig
{
    explicit Rig(bool bigEndian)
    {
        QString problem;
        auto read =
            readModelDescription(madeup::description(bigEndian), QStringLiteral("madeup.json"), &problem);
        if (!read) {
            error = problem;
            return;
        }
        Options options;
        options.ids = {Id};
        options.baudRate = Rate;
        options.description = std::make_shared<const ModelDescription>(std::move(*read));
        open(options);
    }
    explicit Rig(const Options& options) { open(options); }

    void open(const Options& options)
    {
        simulator = std::make_unique<ServoSimulator>(options);
        if (!simulator->start(&error))
            return;
        port.setPortName(simulator->devicePath());
        port.setBaudRate(options.baudRate);
        if (!port.open(QIODevice::ReadWrite))
            error = port.errorString();
    }

    QString error;
    std::unique_ptr<ServoSimulator> simulator;
    QSerialPort port;
};

} // namespace

class TestDescribedServo : public QObject
{
    Q_OBJECT

private slots:
    void byteOrder_data()
    {
        QTest::addColumn<bool>("bigEndian");
        QTest::newRow("little-endian") << false;
        QTest::newRow("big-endian") << true;
    }

    // The factory table as the description gives it, in its byte order; the id and the baud code are the
    // simulator's own; a ping reports the model number as the protocol does, low byte first.
    void factoryTable_data() { byteOrder_data(); }
    void factoryTable()
    {
        QFETCH(bool, bigEndian);
        Rig rig(bigEndian);
        QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));

        const QByteArray table = read(rig.port, 0, madeup::TableLength);
        QCOMPARE(table.size(), madeup::TableLength);
        QCOMPARE(table.left(2), madeup::bytes(madeup::ModelNumber, 2, bigEndian));
        QCOMPARE(int(table.at(2)), madeup::Firmware);
        QCOMPARE(int(table.at(madeup::IdAddress)), Id);
        QCOMPARE(int(table.at(madeup::BaudAddress)), 3);
        QCOMPARE(table.mid(madeup::TorqueAddress, 2), madeup::bytes(madeup::TorqueDefault, 2, bigEndian));
        QCOMPARE(table.mid(madeup::PresentAddress, 4), madeup::bytes(madeup::PresentDefault, 4, bigEndian));
        // The goal starts where the shaft is, so enabling the motor does not move it.
        QCOMPARE(table.mid(madeup::GoalAddress, 4), table.mid(madeup::PresentAddress, 4));
        QCOMPARE(int(table.at(madeup::MotorAddress)), 0);
        QVERIFY(qAbs(quint8(table.at(madeup::VoltageAddress)) - madeup::VoltageDefault) <= 1);

        const Status ping = exchange(rig.port, instruction::Ping);
        QVERIFY(ping.complete);
        QCOMPARE(ping.params, QByteArray::fromHex("921007"));
    }

    // Access: read-only entries, the non-volatile area closed while the motor is on, the model's own baud
    // codes.
    void writes_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("motorOn");
        QTest::addColumn<int>("error");
        QTest::newRow("read-only state entry")
            << madeup::VoltageAddress << QByteArray("\x05", 1) << false << int(error::Access);
        QTest::newRow("model number") << 0 << QByteArray::fromHex("0100") << false << int(error::Access);
        QTest::newRow("setting, motor on")
            << madeup::TorqueAddress << QByteArray::fromHex("2c01") << true << int(error::Access);
        QTest::newRow("setting, motor off")
            << madeup::TorqueAddress << QByteArray::fromHex("2c01") << false << int(error::None);
        QTest::newRow("setting after the live values, motor on")
            << madeup::OffsetAddress << QByteArray::fromHex("0100") << true << int(error::Access);
        QTest::newRow("id, motor on")
            << madeup::IdAddress << QByteArray("\x09", 1) << true << int(error::Access);
        QTest::newRow("goal, motor on")
            << madeup::GoalAddress << QByteArray::fromHex("10000000") << true << int(error::None);
        QTest::newRow("baud code of other models")
            << madeup::BaudAddress << QByteArray("\x22", 1) << false << int(error::DataLimit);
        QTest::newRow("baud code of the model")
            << madeup::BaudAddress << QByteArray("\x03", 1) << false << int(error::None);
    }
    void writes()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, data);
        QFETCH(bool, motorOn);
        QFETCH(int, error);
        Rig rig(false);
        QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));
        if (motorOn)
            QCOMPARE(exchange(rig.port, instruction::Write, addressed(madeup::MotorAddress, "\x01")).error,
                     quint8(error::None));
        const QByteArray before = rig.simulator->registers(Id).mid(address, data.size());

        const Status status = exchange(rig.port, instruction::Write, addressed(address, data));
        QVERIFY(status.complete);
        QCOMPARE(int(status.error), error);
        const QByteArray after = rig.simulator->registers(Id).mid(address, data.size());
        if (address != madeup::VoltageAddress) // it wanders on its own
            QCOMPARE(after, error == error::None ? data : before);
    }

    // With the motor on the shaft travels to the goal, moving and with a speed on the way, then rests; a
    // reboot keeps it there and turns the motor off.
    void goalReached_data()
    {
        QTest::addColumn<bool>("bigEndian");
        QTest::addColumn<int>("goal"); // some seconds away, so a busy machine still sees it on the way
        QTest::newRow("little-endian") << false << 15000;
        QTest::newRow("big-endian") << true << 15000;
        QTest::newRow("backwards") << false << -15000;
    }
    void goalReached()
    {
        QFETCH(bool, bigEndian);
        QFETCH(int, goal);
        const int Goal = goal;
        Rig rig(bigEndian);
        QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));
        QCOMPARE(exchange(rig.port, instruction::Write, addressed(madeup::MotorAddress, "\x01")).error,
                 quint8(error::None));
        QCOMPARE(exchange(rig.port, instruction::Write,
                          addressed(madeup::GoalAddress, madeup::bytes(Goal, 4, bigEndian)))
                     .error,
                 quint8(error::None));

        QByteArray table;
        QTRY_VERIFY_WITH_TIMEOUT(
            (table = rig.simulator->registers(Id), value(table, madeup::MovingAddress, 1, bigEndian) == 1),
            20000);
        const qint64 between = value(table, madeup::PresentAddress, 4, bigEndian);
        QVERIFY2(qMin(Goal, madeup::PresentDefault) < between && between < qMax(Goal, madeup::PresentDefault),
                 qPrintable(QString::number(between)));
        const qint64 velocity = value(table, madeup::VelocityAddress, 2, bigEndian);
        QVERIFY2(Goal > madeup::PresentDefault ? velocity > 0 : velocity < 0,
                 qPrintable(QString::number(velocity)));
        QTRY_COMPARE_WITH_TIMEOUT(value(rig.simulator->registers(Id), madeup::PresentAddress, 4, bigEndian),
                                  qint64(Goal), 30000);
        table = read(rig.port, 0, madeup::TableLength);
        QCOMPARE(table.mid(madeup::PresentAddress, 4), madeup::bytes(Goal, 4, bigEndian));
        QCOMPARE(value(table, madeup::MovingAddress, 1, bigEndian), 0);
        QCOMPARE(value(table, madeup::VelocityAddress, 2, bigEndian), 0);

        QCOMPARE(exchange(rig.port, instruction::Reboot).error, quint8(error::None));
        table = read(rig.port, 0, madeup::TableLength);
        QCOMPARE(value(table, madeup::PresentAddress, 4, bigEndian), qint64(Goal));
        QCOMPARE(value(table, madeup::GoalAddress, 4, bigEndian), qint64(Goal));
        QCOMPARE(value(table, madeup::MotorAddress, 1, bigEndian), 0);
    }

    // A factory reset brings the settings back and keeps the id asked for, the shaft's place and the
    // live values.
    void factoryResetKeepsTheShaft()
    {
        Rig rig(false);
        QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));
        rig.simulator->setRegisters(Id, madeup::PresentAddress, madeup::bytes(1234, 4, false));
        QCOMPARE(exchange(rig.port, instruction::Write,
                          addressed(madeup::TorqueAddress, QByteArray::fromHex("2c01")))
                     .error,
                 quint8(error::None));

        QCOMPARE(exchange(rig.port, instruction::Write,
                          addressed(madeup::OffsetAddress, QByteArray::fromHex("f6ff")))
                     .error,
                 quint8(error::None));
        QCOMPARE(value(rig.simulator->registers(Id), madeup::OffsetAddress, 2, false), -10);

        QCOMPARE(
            exchange(rig.port, instruction::FactoryReset, QByteArray(1, char(resetOption::KeepIdAndBaud)))
                .error,
            quint8(error::None));
        const QByteArray table = read(rig.port, 0, madeup::TableLength);
        QCOMPARE(value(table, madeup::TorqueAddress, 2, false), madeup::TorqueDefault);
        QCOMPARE(value(table, madeup::OffsetAddress, 2, false), madeup::OffsetDefault);
        QCOMPARE(value(table, madeup::PresentAddress, 4, false), 1234);
        QCOMPARE(value(table, madeup::GoalAddress, 4, false), 1234);
        QCOMPARE(int(table.at(madeup::IdAddress)), Id);
    }

    // A model without a baud register cannot be put on the line: refused, with no servo made of it.
    void modelWithoutBaudRegister()
    {
        QByteArray json = madeup::description(false);
        const int at = json.indexOf("{\"key\": \"baudRate\"");
        json.remove(at, json.indexOf('}', at) + 2 - at);
        QString problem;
        auto read = readModelDescription(json, QStringLiteral("madeup.json"), &problem);
        QVERIFY2(read, qPrintable(problem));
        Options options;
        options.baudRate = Rate;
        options.description = std::make_shared<const ModelDescription>(std::move(*read));
        ServoSimulator simulator(options);
        QString error;
        QVERIFY(!simulator.start(&error));
        QVERIFY2(error.contains(QLatin1String("\"baudRate\"")), qPrintable(error));
        QVERIFY(simulator.servoIds().isEmpty());
        QVERIFY(!simulator.plugServo(2));
    }

    // --baud takes the rates of the model's own baud codes and refuses others, listing the model's rates.
    void modelsOwnRates_data()
    {
        QTest::addColumn<bool>("described");
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("4.5 Mbaud, X codes") << true << 4500000 << QString();
        QTest::newRow("500 kbaud, not an X code")
            << true << 500000
            << "500000 baud has no baud-rate code of model xseries-test (its rates: 9600, 57600, 115200, "
               "1000000, 2000000, 3000000, 4000000, 4500000)";
        QTest::newRow("4.5 Mbaud, not a V1 code")
            << false << 4500000 << "of model v1 (its rates: 9600, 19200";
    }
    void modelsOwnRates()
    {
        QFETCH(bool, described);
        QFETCH(int, rate);
        QFETCH(QString, refusal);
        QString problem;
        Options options = xSeries(&problem, {}, rate);
        QVERIFY2(options.description, qPrintable(problem));
        if (!described)
            options.description.reset();
        Rig rig(options);
        QVERIFY2(refusal.isEmpty() ? rig.error.isEmpty() : rig.error.contains(refusal),
                 qPrintable(rig.error));
        if (refusal.isEmpty())
            QVERIFY(exchange(rig.port, instruction::Ping).complete);
    }

    // Factory reset takes the options the description lists; "all" puts the servo at the description's
    // factory id and rate, where it answers after its acknowledgement. An option not listed is refused and
    // changes nothing.
    void factoryResetOptions_data()
    {
        QTest::addColumn<QByteArray>("listed");
        QTest::addColumn<QByteArray>("factory");
        QTest::addColumn<int>("option");
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("baudCode");
        const QByteArray all = R"("all", "allButId", "allButIdAndBaudRate")";
        const QByteArray usual = R"("id": 1, "baudRate": 57600)";
        const int range = error::DataRange;
        QTest::newRow("all") << all << usual << int(resetOption::All) << 0 << 1 << 1;
        // Not the id and baud entries' defaults: the factory's.
        QTest::newRow("all, factory elsewhere")
            << all << QByteArray(R"("id": 9, "baudRate": 115200)") << int(resetOption::All) << 0 << 9 << 2;
        QTest::newRow("all but the id") << all << usual << int(resetOption::KeepId) << 0 << Id << 1;
        QTest::newRow("all but id and rate")
            << all << usual << int(resetOption::KeepIdAndBaud) << 0 << Id << 3;
        QTest::newRow("unknown option") << all << usual << 0x03 << range << Id << 3;
        QTest::newRow("not listed: all but the id")
            << QByteArray(R"("all")") << usual << int(resetOption::KeepId) << range << Id << 3;
        QTest::newRow("not listed: all")
            << QByteArray(R"("allButId")") << usual << int(resetOption::All) << range << Id << 3;
    }
    void factoryResetOptions()
    {
        QFETCH(QByteArray, listed);
        QFETCH(QByteArray, factory);
        QFETCH(int, option);
        QFETCH(int, error);
        QFETCH(int, id);
        QFETCH(int, baudCode);
        QString problem;
        const Options options = xSeries(&problem, {{R"("all", "allButId", "allButIdAndBaudRate")", listed},
                                                   {R"("id": 1, "baudRate": 57600)", factory}});
        QVERIFY2(options.description, qPrintable(problem));
        Rig rig(options);
        QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));
        QCOMPARE(exchange(rig.port, instruction::Write, addressed(x::TemperatureLimitAddress, "\x3c")).error,
                 quint8(error::None));

        const Status status = exchange(rig.port, instruction::FactoryReset, QByteArray(1, char(option)));
        QCOMPARE(int(status.error), error);
        QCOMPARE(rig.simulator->servoIds(), QList<int>{id});
        const QByteArray table = rig.simulator->registers(id);
        QCOMPARE(int(table.at(x::BaudAddress)), baudCode);
        QCOMPARE(int(table.at(x::TemperatureLimitAddress)), error == 0 ? 72 : 60);
        rig.port.setBaudRate(options.description->baudCodes.value(baudCode));
        QVERIFY(exchange(rig.port, instruction::Ping, {}, quint8(id)).complete);
    }

    // The hardware error bits (--hw-error) are in the error register and flag every answer; a reboot
    // clears them where the description says so, else they outlive it.
    void rebootAndHardwareError_data()
    {
        QTest::addColumn<bool>("clears");
        QTest::newRow("reboot clears") << true;
        QTest::newRow("errors outlive the reboot") << false;
    }
    void rebootAndHardwareError()
    {
        QFETCH(bool, clears);
        QString problem;
        Rig rig(xSeries(&problem, {{"\"rebootClearsHardwareError\": true",
                                    clears ? "\"rebootClearsHardwareError\": true"
                                           : "\"rebootClearsHardwareError\": false"}}));
        QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error + problem));
        rig.simulator->setHardwareError(Id, 0x24);
        const QByteArray readError = addressed(x::HardwareErrorAddress, QByteArray::fromHex("0100"));
        Status status = exchange(rig.port, instruction::Read, readError);
        QCOMPARE(status.error, quint8(error::Alert));
        QCOMPARE(status.params, QByteArray("\x24"));

        QVERIFY(exchange(rig.port, instruction::Reboot).complete);
        status = exchange(rig.port, instruction::Read, readError);
        QCOMPARE(status.error, quint8(clears ? error::None : error::Alert));
        QCOMPARE(status.params, QByteArray(1, clears ? '\0' : '\x24'));
    }

    // Behind a lock entry, a setting written while the lock is closed lasts only until the servo
    // restarts; one written while it is open is kept, also once it is closed again.
    void lockedSettingsLastUntilARestart_data()
    {
        QTest::addColumn<QList<int>>(
            "ledWrites"); // the lock's values around the setting's write: before, after
        QTest::addColumn<int>("afterRestart");
        QTest::newRow("written while locked") << QList<int>{1, 1} << 72;
        QTest::newRow("written while open") << QList<int>{0, 0} << 60;
        QTest::newRow("opened, written, locked again") << QList<int>{0, 1} << 60;
    }
    void lockedSettingsLastUntilARestart()
    {
        QFETCH(QList<int>, ledWrites);
        QFETCH(int, afterRestart);
        QString problem;
        Rig rig(xSeries(&problem, {{"\"nonVolatile\": {\"motorOff\": true}",
                                    "\"nonVolatile\": {\"motorOff\": true, \"lock\": {\"key\": \"led\", "
                                    "\"open\": 0, \"close\": 1}}"}}));
        QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error + problem));
        constexpr int ledAddress = 65;
        const auto writeByte = [&rig](int address, int value) {
            return exchange(rig.port, instruction::Write, addressed(address, QByteArray(1, char(value))))
                .error;
        };
        QCOMPARE(writeByte(ledAddress, ledWrites.at(0)), quint8(error::None));
        QCOMPARE(writeByte(x::TemperatureLimitAddress, 60), quint8(error::None));
        QCOMPARE(writeByte(ledAddress, ledWrites.at(1)), quint8(error::None));
        QCOMPARE(quint8(rig.simulator->registers(Id).at(x::TemperatureLimitAddress)), quint8(60));
        rig.simulator->powerCycle();
        QCOMPARE(quint8(rig.simulator->registers(Id).at(x::TemperatureLimitAddress)), quint8(afterRestart));
    }

    // With the torque on, a write touching a non-volatile entry is refused with the access error and
    // changes nothing, however many entries it spans; volatile entries stay open.
    void torqueOnKeepsNonVolatile_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("torqueOn");
        QTest::addColumn<int>("error");
        const QByteArray limits = QByteArray::fromHex("2c010000ff0f0000"); // velocity and max position
        const int access = error::Access;
        QTest::newRow("two settings, torque on") << x::VelocityLimitAddress << limits << true << access;
        QTest::newRow("two settings, torque off") << x::VelocityLimitAddress << limits << false << 0;
        QTest::newRow("last setting into the torque and LED, on")
            << x::ShutdownAddress << QByteArray::fromHex("140101") << true << access;
        QTest::newRow("last setting into the torque and LED, off")
            << x::ShutdownAddress << QByteArray::fromHex("140001") << false << 0;
        QTest::newRow("torque and LED, on") << x::TorqueAddress << QByteArray::fromHex("0101") << true << 0;
    }
    void torqueOnKeepsNonVolatile()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, data);
        QFETCH(bool, torqueOn);
        QFETCH(int, error);
        QString problem;
        Rig rig(xSeries(&problem));
        QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error + problem));
        if (torqueOn)
            QCOMPARE(exchange(rig.port, instruction::Write, addressed(x::TorqueAddress, "\x01")).error,
                     quint8(error::None));
        QByteArray expected = rig.simulator->registers(Id).left(x::GoalAddress); // no live values in it
        if (error == 0)
            expected.replace(address, data.size(), data);

        QCOMPARE(int(exchange(rig.port, instruction::Write, addressed(address, data)).error), error);
        QCOMPARE(rig.simulator->registers(Id).left(x::GoalAddress), expected);
    }
};

QTEST_GUILESS_MAIN(TestDescribedServo)
#include "tst_describedservo.moc"
