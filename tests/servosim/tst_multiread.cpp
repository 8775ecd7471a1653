// Protocol 2 reads and writes of many servos in one request, on a clock the test moves: sync and bulk reads
// answered servo by servo, their fast forms in one combined packet, sync write.
#include "crc16.h"
#include "protocol.h"
#include "servobus.h"
#include "servosimulator.h"
#include "testmodels.h"

#include <QtSerialPort/QSerialPort>
#include <QtTest>

using namespace servosim;

namespace {

constexpr int ReturnDelayAddress = 9, GoalAddress = 116, PwmAddress = 124, PositionAddress = 132;
constexpr int TemperatureAddress = 146;

// The built-in XL430 (which lists every group instruction), or the same without any.
std::shared_ptr<const ModelDescription> xl430(bool withInstructions = true)
{
    const auto model = builtInModel("xl430");
    if (withInstructions || !model)
        return model;
    auto bare = std::make_shared<ModelDescription>(*model);
    bare->instructions.clear();
    return bare;
}

QByteArray u16(int value)
{
    return QByteArray(1, char(value & 0xFF)) + char(value >> 8);
}

QByteArray u32(int value)
{
    return u16(value & 0xFFFF) + u16(value >> 16);
}

// The parameters of a read of `kind` for each id: the sync reads ask all for `length` bytes at the present
// position, the bulk reads ask servo i of the list for i + 1 bytes there.
QByteArray readRequest(quint8 kind, const QList<int>& ids, int length = 4)
{
    const bool bulk = kind == instruction::BulkRead || kind == instruction::FastBulkRead;
    QByteArray params = bulk ? QByteArray() : u16(PositionAddress) + u16(length);
    for (int i = 0; i < ids.size(); ++i)
        params += bulk ? char(ids.at(i)) + u16(PositionAddress) + u16(i + 1) : QByteArray(1, char(ids.at(i)));
    return instructionPacket(BroadcastId, kind, params);
}

// Servos 1 to 3 at 1,000,000 baud (2 lacking the group instructions: of the bare XL430, or a V1), each with
// a return delay of its own and a position of its own.
struct Rig
{
    qint64 nowUs = 0;
    ServoBus bus;

    explicit Rig(const QString& lacking = {})
        : bus(
              groups(lacking), 1000000, [this] { return nowUs; }, protocolNumber::P2)
    {
        for (int id : {1, 2, 3}) {
            if (id == 2 && lacking == QLatin1String("v1")) // another table
                continue;
            bus.setRegisters(id, ReturnDelayAddress, QByteArray(1, char(10 * id)));
            bus.setRegisters(id, PositionAddress, u32(1000 * id + 7));
        }
    }
    static QList<ServoGroup> groups(const QString& lacking)
    {
        if (lacking.isEmpty())
            return {{{1, 2, 3}, Model::V1, xl430()}};
        if (lacking == QLatin1String("v1"))
            return {{{1, 3}, Model::V1, xl430()}, {{2}, Model::V1, nullptr}};
        return {{{1, 3}, Model::V1, xl430()}, {{2}, Model::V1, xl430(false)}};
    }
};

// Whether each part's CRC covers the packet up to it, as the bytes went on the line.
QList<bool> chainedCrcs(const QList<Transmission>& parts)
{
    QList<bool> valid;
    QByteArray line;
    for (const Transmission& part : parts) {
        line += part.chunks.join();
        valid.append(line.size() >= 2 &&
                     crc16(line.left(line.size() - 2)) == tableU16(line, line.size() - 2));
    }
    return valid;
}

} // namespace

class TestMultiRead : public QObject
{
    Q_OBJECT

private slots:
    // Each servo listed that is on the bus and knows the read answers a status packet of its own, in the
    // order of the list, after its own return delay, with the bytes its table holds; the others leave a gap.
    void separateAnswers_data()
    {
        QTest::addColumn<quint8>("kind");
        QTest::addColumn<QList<int>>("listed");
        QTest::addColumn<QString>("lacking"); // the model of servo 2: "bare" has no group instructions
        QTest::addColumn<Fault>("fault");     // on the first answer
        QTest::addColumn<QList<int>>("answering");
        using I = QList<int>;
        for (const quint8 kind : {instruction::SyncRead, instruction::BulkRead}) {
            const QByteArray name = kind == instruction::SyncRead ? "sync read: " : "bulk read: ";
            const auto row = [&name](const char* what) -> QTestData& {
                return QTest::newRow((name + what).constData());
            };
            row("list order") << kind << I{3, 1, 2} << QString() << Fault::None << I{3, 1, 2};
            row("one absent") << kind << I{1, 9, 3} << QString() << Fault::None << I{1, 3};
            row("one without it") << kind << I{1, 2, 3} << "bare" << Fault::None << I{1, 3};
            row("a V1") << kind << I{2, 3, 1} << "v1" << Fault::None << I{3, 1};
            row("one silent") << kind << I{1, 2, 3} << QString() << Fault::NoAnswer << I{2, 3};
        }
        QTest::newRow("listed twice")
            << instruction::SyncRead << I{2, 2, 1} << QString() << Fault::None << I{2, 1};
    }
    void separateAnswers()
    {
        QFETCH(quint8, kind);
        QFETCH(QList<int>, listed);
        QFETCH(QString, lacking);
        QFETCH(Fault, fault);
        QFETCH(QList<int>, answering);
        QVERIFY(xl430() && xl430()->instructions.contains("bulkRead"));
        Rig rig(lacking);
        rig.bus.injectFault(fault, fault == Fault::None ? 0 : 1, 0);
        QList<int> answered;
        const QList<Transmission> sent = rig.bus.receive(readRequest(kind, listed), 1000000);
        for (const Transmission& transmission : sent) {
            const int id = transmission.servoId;
            QCOMPARE(transmission.delayUs, qint64(20 * id)); // 2 µs a unit
            QVERIFY(!transmission.followsPrevious);
            if (transmission.chunks.isEmpty())
                continue;
            const int length = kind == instruction::BulkRead ? listed.indexOf(id) + 1 : 4;
            const QByteArray data = u32(1000 * id + 7).left(length);
            QCOMPARE(transmission.chunks.join().toHex(), statusPacket(quint8(id), 0, data).toHex());
            answered.append(id);
        }
        QCOMPARE(answered, answering);
    }

    // A fast read is answered in one packet, each servo's part chained to the one before by its CRC, the
    // last CRC the packet's own; a gap in the list cuts the packet short there. The first rows are the
    // servo maker's own examples, byte for byte.
    void combinedAnswer_data()
    {
        QTest::addColumn<quint8>("kind");
        QTest::addColumn<QList<int>>("listed");
        QTest::addColumn<QString>("lacking");
        QTest::addColumn<QByteArrayList>("expected"); // the parts as hex
        using L = QByteArrayList;
        const QList<int> example{3, 7, 4};
        QTest::newRow("fast sync read, the maker's example")
            << instruction::FastSyncRead << example << QString()
            << L{"fffffd00fe1900550003a60000008408", "00071f08000016ca", "0004ff030000d19e"};
        QTest::newRow("fast bulk read, the maker's example")
            << instruction::FastBulkRead << example << QString()
            << L{"fffffd00fe1400550003a600000067a4", "0007a5012474", "00041fd9c1"};
        QTest::newRow("one absent") << instruction::FastSyncRead << QList<int>{3, 9, 4} << QString()
                                    << L{"fffffd00fe1900550003a6000000"
                                         "8408"};
        QTest::newRow("the first absent")
            << instruction::FastBulkRead << QList<int>{9, 3} << QString() << L{};
        QTest::newRow("one without it") << instruction::FastSyncRead << QList<int>{3, 2, 4} << "bare"
                                        << L{"fffffd00fe1900550003a6000000"
                                             "8408"};
        QTest::newRow("a V1") << instruction::FastSyncRead << QList<int>{3, 2, 4} << "v1"
                              << L{"fffffd00fe1900550003a6000000"
                                   "8408"};
    }
    void combinedAnswer()
    {
        QFETCH(quint8, kind);
        QFETCH(QList<int>, listed);
        QFETCH(QString, lacking);
        QFETCH(QByteArrayList, expected);
        Rig rig(lacking);
        QVERIFY(rig.bus.unplugServo(3));
        for (int id : {3, 7, 4})
            QVERIFY(rig.bus.plugServo(id, 0, xl430()));
        // The maker's example: present position 166, 2079 and 1023; present PWM 421; 31 °C.
        rig.bus.setRegisters(3, PositionAddress, u32(166));
        rig.bus.setRegisters(7, PositionAddress, u32(2079));
        rig.bus.setRegisters(4, PositionAddress, u32(1023));
        rig.bus.setRegisters(7, PwmAddress, u16(421));
        rig.bus.setRegisters(4, TemperatureAddress, QByteArray(1, char(31)));
        rig.bus.setRegisters(3, ReturnDelayAddress, QByteArray(1, char(50)));
        QByteArray params;
        if (kind == instruction::FastSyncRead) {
            params = u16(PositionAddress) + u16(4);
            for (int id : listed)
                params += char(id);
        } else {
            const QList<QPair<int, int>> asked{
                {PositionAddress, 4}, {PwmAddress, 2}, {TemperatureAddress, 1}};
            for (int i = 0; i < listed.size(); ++i)
                params += char(listed.at(i)) + u16(asked.at(i).first) + u16(asked.at(i).second);
        }
        const QList<Transmission> parts =
            rig.bus.receive(instructionPacket(BroadcastId, kind, params), 1000000);
        QByteArrayList got;
        for (const Transmission& part : parts) {
            got.append(part.chunks.join().toHex());
            QCOMPARE(part.followsPrevious, part.servoId != listed.first());
            QCOMPARE(part.delayUs, qint64(part.followsPrevious ? 0 : 100));
        }
        QCOMPARE(got, expected);
        QVERIFY(!chainedCrcs(parts).contains(false));
    }

    // A fault spoils the second servo's part alone; the third chains its CRC over what went on the line.
    // A part lost or cut off ends the packet.
    void faultInOnePart_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QList<bool>>("valid"); // each part's chained CRC
        QTest::addColumn<int>("id");            // in the second part
        QTest::addColumn<int>("error");         // in the second part
        using B = QList<bool>;
        QTest::newRow("bad CRC") << Fault::BadCrc << B{true, false, true} << 2 << 0;
        QTest::newRow("wrong id") << Fault::WrongId << B{true, true, true} << 3 << 0;
        QTest::newRow("error byte") << Fault::ErrorByte << B{true, true, true} << 2 << 6;
        QTest::newRow("no answer") << Fault::NoAnswer << B{true, true} << -1 << -1; // the second is lost
        QTest::newRow("truncated") << Fault::Truncated << B{true, false} << -1 << -1;
        QTest::newRow("garbage before") << Fault::GarbageBefore << B{true, false, true} << -1 << -1;
        QTest::newRow("split") << Fault::Split << B{true, true, true} << 2 << 0;
        QTest::newRow("delayed") << Fault::Delayed << B{true, true, true} << 2 << 0;
    }
    void faultInOnePart()
    {
        QFETCH(Fault, fault);
        QFETCH(QList<bool>, valid);
        QFETCH(int, id);
        QFETCH(int, error);
        Rig rig;
        rig.bus.injectFault(Fault::None, 1, 0);
        rig.bus.injectFault(fault, 1, 6);
        const QList<Transmission> parts =
            rig.bus.receive(readRequest(instruction::FastSyncRead, {1, 2, 3}), 1000000);
        // A lost part is still the servo's (empty) answer; the servos after it send nothing.
        QCOMPARE(chainedCrcs(parts), valid);
        QCOMPARE(parts.at(1).fault, fault);
        QCOMPARE(parts.at(1).chunks.size(), fault == Fault::Split ? 3 : fault == Fault::NoAnswer ? 0 : 1);
        QCOMPARE(parts.at(1).delayUs, fault == Fault::Delayed ? qint64(250000) : qint64(0));
        if (id >= 0) {
            const QByteArray part = parts.at(1).chunks.join();
            QCOMPARE(int(quint8(part.at(0))), error);
            QCOMPARE(int(quint8(part.at(1))), id);
            QCOMPARE(part.mid(2, 4), u32(2007));
        }
        for (const Transmission& part : parts)
            rig.bus.transmissionDone(part);
        QList<bool> whole;
        for (const SentAnswer& answer : rig.bus.sentAnswers())
            whole.append(answer.whole);
        QCOMPARE(whole.value(1),
                 fault != Fault::NoAnswer && fault != Fault::BadCrc && fault != Fault::Truncated);
    }

    // Each servo listed that knows sync write takes its own bytes; nobody answers.
    void syncWrite_data()
    {
        QTest::addColumn<QString>("lacking");
        QTest::addColumn<bool>("spoiled"); // a bad CRC
        QTest::addColumn<QList<int>>("taking");
        QTest::newRow("all three") << QString() << false << QList<int>{1, 2, 3};
        QTest::newRow("one without it") << "bare" << false << QList<int>{1, 3};
        QTest::newRow("a V1") << "v1" << false << QList<int>{1, 3};
        QTest::newRow("bad CRC") << QString() << true << QList<int>{};
    }
    void syncWrite()
    {
        QFETCH(QString, lacking);
        QFETCH(bool, spoiled);
        QFETCH(QList<int>, taking);
        Rig rig(lacking);
        QByteArray params = u16(GoalAddress) + u16(4);
        for (int id : {3, 1, 2})
            params += char(id) + u32(100 * id + 1);
        QByteArray packet = instructionPacket(BroadcastId, instruction::SyncWrite, params);
        if (spoiled)
            packet[packet.size() - 1] = char(packet.back() ^ 1);
        QVERIFY(rig.bus.receive(packet, 1000000).isEmpty());
        for (int id : {1, 2, 3}) {
            const int goal = int(tableU16(rig.bus.registers(id), GoalAddress));
            QCOMPARE(goal == 100 * id + 1, taking.contains(id));
        }
    }

    // Protocol 1's sync write ("address length" then "id data", a byte each) reaches described models
    // that list it; the built-in AX-12 lists nothing and keeps its goal.
    void protocol1SyncWrite()
    {
        const auto ax12w = builtInModel("ax12w");
        QVERIFY(ax12w && ax12w->instructions.contains("syncWrite"));
        qint64 nowUs = 0;
        ServoBus bus(
            {{{1, 2}, Model::V1, ax12w}, {{3}, Model::Ax12, nullptr}}, 1000000, [&nowUs] { return nowUs; },
            protocolNumber::P1);
        constexpr int Goal = 30;
        QByteArray params("\x1e\x02", 2);
        for (int id : {2, 3, 1})
            params += char(id) + u16(100 * id + 1);
        QVERIFY(
            bus.receive(instructionPacketP1(BroadcastId, instruction::SyncWrite, params), 1000000).isEmpty());
        QCOMPARE(tableU16(bus.registers(1), Goal), 101);
        QCOMPARE(tableU16(bus.registers(2), Goal), 201);
        QVERIFY(tableU16(bus.registers(3), Goal) != 301);
    }

    // On a real line the parts of a fast read leave one after another even when the first is late: the
    // client gets one whole packet.
    void combinedPacketOnTheLine()
    {
        Options options;
        options.ids = {1, 2, 3};
        options.description = xl430();
        QVERIFY(options.description);
        ServoSimulator simulator(options);
        QString problem;
        QVERIFY2(simulator.start(&problem), qPrintable(problem));
        simulator.setRegisters(2, PositionAddress, u32(2007));
        simulator.injectFault(Fault::Delayed, 1);
        QSerialPort port(simulator.portName());
        port.setBaudRate(1000000);
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        port.write(readRequest(instruction::FastSyncRead, {2, 3, 1}));
        QByteArray bytes;
        const int size = HeaderSize + 1 + 3 * 8;
        QTRY_VERIFY_WITH_TIMEOUT((bytes += port.readAll()).size() >= size, 10000);
        QCOMPARE(bytes.size(), size);
        QVERIFY(bytes.startsWith(packetHeader() + char(BroadcastId) + u16(size - HeaderSize)));
        QCOMPARE(crc16(bytes.left(size - 2)), quint16(tableU16(bytes, size - 2)));
        QCOMPARE(bytes.mid(8, 6).toHex(), (QByteArray::fromHex("0002") + u32(2007)).toHex());
    }
};

QTEST_GUILESS_MAIN(TestMultiRead)
#include "tst_multiread.moc"
