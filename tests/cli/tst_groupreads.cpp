// Several servos read together from the command line: watch's rows hold every servo's values as the
// simulator holds them, read with one multi-servo read a round where the models answer one, one by
// one otherwise; a silent servo is named in its cells and the exit status; dump prints a table each.
#include "core/model/modeldescription.h"

#include <cliprocess.h>
#include <servosimulator.h>
#include <testmodels.h>

#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr quint8 readInstruction = 0x02;
const QList<quint8> multiReadInstructions{0x82, 0x8A, 0x92, 0x9A};

// The servos on the simulated bus: a first group, and a second of another model where named.
struct Bus
{
    const char* model;
    QList<int> ids;
    const char* otherModel;
    QList<int> otherIds;
    int protocol;
};

const Bus sts3215Bus{"sts3215", {1, 2, 3, 4, 5, 6}, nullptr, {}, 3};
const Bus xl430Bus{"xl430", {1, 2, 3, 4, 5, 6}, nullptr, {}, 2};
const Bus v1Bus{"v1", {1, 2, 3}, nullptr, {}, 2};
const Bus mixedBus{"xl430", {1, 2}, "v1", {3, 4}, 2};

std::unique_ptr<servosim::ServoSimulator> simulatorOf(const Bus& bus)
{
    servosim::Options options;
    options.description = builtInModel(bus.model);
    options.ids = bus.ids;
    options.protocol = bus.protocol;
    if (bus.otherModel)
        options.moreGroups.append({bus.otherIds, servosim::Model::V1, builtInModel(bus.otherModel)});
    return std::make_unique<servosim::ServoSimulator>(options);
}

QByteArray rawBytes(qint64 value, int size, bool bigEndian)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char(value >> (8 * i)));
    if (bigEndian)
        std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// Packets of the instructions `wanted` the bus received.
int received(const servosim::ServoSimulator& simulator, const QList<quint8>& wanted)
{
    int count = 0;
    for (const auto& packet : simulator.receivedPackets())
        count += wanted.contains(packet.instruction);
    return count;
}

// A dump's table lines ("0010: 0a 0b ...") back to bytes.
QByteArray tableOf(const QString& lines)
{
    QByteArray bytes;
    for (const QString& line : lines.split('\n', Qt::SkipEmptyParts))
        bytes += QByteArray::fromHex(line.section(": ", 1).toLatin1());
    return bytes;
}

} // namespace

Q_DECLARE_METATYPE(Bus)

class TestGroupReads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(_home.isValid()); }

    void watch_data()
    {
        QTest::addColumn<Bus>("bus");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QList<int>>("asked");
        QTest::addColumn<int>("status");
        QTest::addColumn<QList<quint8>>("multiRead"); // the instruction each round sends; empty: one by one
        QTest::addColumn<int>("silentAnswer"); // the servo answer, counted from 0, that never comes; -1: none
        QTest::newRow("STS3215 in its Protocol 1 form")
            << sts3215Bus << "presentPosition" << QList<int>{1, 2, 3, 4, 5, 6} << 0 << QList<quint8>{0x82}
            << -1;
        QTest::newRow("XL430 in Protocol 2") << xl430Bus << "presentPosition" << QList<int>{1, 2, 3, 4, 5, 6}
                                             << 0 << QList<quint8>{0x8A} << -1;
        QTest::newRow("one servo missing") << xl430Bus << "presentPosition" << QList<int>{1, 2, 3, 4, 5, 6, 7}
                                           << 3 << QList<quint8>{0x8A} << -1;
        // After six identifications and two rounds, servo 3's answer in the third: each servo answers a
        // sync read on its own, so the others' values stay.
        QTest::newRow("one servo silent in one round")
            << sts3215Bus << "presentPosition" << QList<int>{1, 2, 3, 4, 5, 6} << 3 << QList<quint8>{0x82}
            << 6 + 2 * 6 + 2;
        QTest::newRow("V1s, which answer no group read")
            << v1Bus << "actualPosition" << QList<int>{1, 2, 3} << 0 << QList<quint8>{} << -1;
    }
    void watch()
    {
        QFETCH(Bus, bus);
        QFETCH(QString, key);
        QFETCH(QList<int>, asked);
        QFETCH(int, status);
        QFETCH(QList<quint8>, multiRead);
        QFETCH(int, silentAnswer);
        constexpr int rounds = 5;
        const auto simulator = simulatorOf(bus);
        QVERIFY(simulator->start());
        if (silentAnswer >= 0) {
            simulator->injectFault(servosim::Fault::None, silentAnswer);
            simulator->injectFault(servosim::Fault::NoAnswer, 1);
        }
        const ModelEntry* position = builtInModel(bus.model)->entry(key);
        QVERIFY(position);
        for (int id : bus.ids)
            simulator->setRegisters(
                id, position->address,
                rawBytes(100 + 37 * id, position->size, builtInModel(bus.model)->bigEndian));

        QStringList idsText;
        for (int id : asked)
            idsText << QString::number(id);
        const CliRun run =
            runCli(QStringLiteral(VSM_CLI_PATH), _home.path(),
                   {"--port", simulator->devicePath(), "--protocol",
                    bus.protocol == 3 ? "feetech" : QString::number(bus.protocol), "--raw", "watch", key,
                    "--ids", idsText.join(','), "--count", QString::number(rounds)});
        QVERIFY(run.finished);
        QVERIFY2(run.status == status,
                 qPrintable(QStringLiteral("exit %1: %2").arg(run.status).arg(run.err)));

        const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1 + rounds);
        QCOMPARE(lines[0].section(',', 1, 1), QStringLiteral("id%1.%2 (raw)").arg(asked[0]).arg(key));
        for (int row = 1; row <= rounds; ++row) {
            const QStringList cells = lines[row].split(',');
            QCOMPARE(cells.size(), 1 + asked.size());
            for (int i = 0; i < asked.size(); ++i) {
                const bool silent = !bus.ids.contains(asked[i]) || silentAnswer == row * asked.size() + i;
                QCOMPARE(cells[1 + i],
                         silent ? QStringLiteral("no answer") : QString::number(100 + 37 * asked[i]));
            }
        }
        for (int id : asked)
            if (!bus.ids.contains(id))
                QVERIFY2(run.err.contains(QStringLiteral("servo %1 did not answer\n").arg(id)),
                         qPrintable(run.err));
        if (silentAnswer >= 0)
            QVERIFY2(run.err.contains(QStringLiteral("servo %1 did not answer in 1 of %2 rounds")
                                          .arg(asked[silentAnswer % asked.size()])
                                          .arg(rounds)),
                     qPrintable(run.err));

        // Identification reads one servo at a time; each round is one read of all, where they answer one.
        QCOMPARE(received(*simulator, multiRead), multiRead.isEmpty() ? 0 : rounds);
        QCOMPARE(received(*simulator, multiReadInstructions), multiRead.isEmpty() ? 0 : rounds);
        QCOMPARE(received(*simulator, {readInstruction}),
                 asked.size() + (multiRead.isEmpty() ? rounds * bus.ids.size() : 0));
    }

    void dump_data()
    {
        QTest::addColumn<Bus>("bus");
        QTest::addColumn<QList<int>>("asked");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("multiReads"); // the table's parts, each read of all servos at once
        QTest::newRow("two XL430s, in two parts") << xl430Bus << QList<int>{1, 2} << 0 << 2;
        QTest::newRow("STS3215s") << sts3215Bus << QList<int>{1, 3, 5} << 0 << 1;
        // Past the V1's table only the XL430s are left, and they answer a read of both.
        QTest::newRow("XL430s and V1s, the shared part one by one")
            << mixedBus << QList<int>{1, 2, 3, 4} << 0 << 1;
        QTest::newRow("one servo missing") << xl430Bus << QList<int>{2, 9} << 3 << 0;
    }
    void dump()
    {
        QFETCH(Bus, bus);
        QFETCH(QList<int>, asked);
        QFETCH(int, status);
        QFETCH(int, multiReads);
        const auto simulator = simulatorOf(bus);
        QVERIFY(simulator->start());
        QStringList idsText;
        for (int id : asked)
            idsText << QString::number(id);
        const CliRun run = runCli(QStringLiteral(VSM_CLI_PATH), _home.path(),
                                  {"--port", simulator->devicePath(), "--protocol",
                                   bus.protocol == 3 ? "feetech" : QString::number(bus.protocol), "dump",
                                   "--ids", idsText.join(',')});
        QVERIFY(run.finished);
        QVERIFY2(run.status == status,
                 qPrintable(QStringLiteral("exit %1: %2").arg(run.status).arg(run.err)));

        const QStringList tables = run.out.split("\n\n");
        QCOMPARE(tables.size(), asked.size());
        for (int i = 0; i < asked.size(); ++i) {
            const int id = asked[i];
            const QString heading = tables[i].section('\n', 0, 0);
            if (!bus.ids.contains(id) && !bus.otherIds.contains(id)) {
                QCOMPARE(heading, QStringLiteral("servo %1: no answer").arg(id));
                continue;
            }
            QVERIFY2(heading.startsWith(QStringLiteral("servo %1 (").arg(id)), qPrintable(heading));
            const auto model = builtInModel(bus.ids.contains(id) ? bus.model : bus.otherModel);
            QByteArray table = tableOf(tables[i].section('\n', 1));
            QByteArray held = simulator->registers(id).left(model->tableLength);
            QCOMPARE(table.size(), model->tableLength);
            // Voltage and temperature wander between the read and this look.
            for (const char* role : {"presentVoltage", "presentTemperature"})
                if (const ModelEntry* entry = model->entryWithRole(role)) {
                    table.replace(entry->address, entry->size, QByteArray(entry->size, '\0'));
                    held.replace(entry->address, entry->size, QByteArray(entry->size, '\0'));
                }
            QCOMPARE(table.toHex(' '), held.toHex(' '));
        }
        QCOMPARE(received(*simulator, multiReadInstructions), multiReads);
    }

    // The command as a new user tries it: six simulated servos inside the program.
    void watchSimulated()
    {
        const CliRun run = runCli(QStringLiteral(VSM_CLI_PATH), _home.path(),
                                  {"--simulate", "--model", "sts3215", "--id", "1-6", "watch",
                                   "presentPosition", "--ids", "1-6", "--count", "5"});
        QVERIFY(run.finished);
        QVERIFY2(run.status == 0, qPrintable(run.err));
        const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 6);
        QVERIFY2(lines[0].endsWith(",id6.presentPosition (radians)"), qPrintable(lines[0]));
        for (const QString& line : lines.mid(1)) {
            const QStringList cells = line.split(',');
            QCOMPARE(cells.size(), 7);
            for (const QString& cell : cells) {
                bool number = false;
                cell.toDouble(&number);
                QVERIFY2(number, qPrintable(line));
            }
        }
    }

private:
    QTemporaryDir _home;
};

QTEST_GUILESS_MAIN(TestGroupReads)
#include "tst_groupreads.moc"
