// The servo logic without a device: requests in, status packets out, on a clock the test moves.
#include "crc16.h"
#include "protocol.h"
#include "servobus.h"

#include <QtTest>

using namespace servosim;

namespace {

struct Status
{
    quint8 id = 0;
    quint8 error = 0;
    QByteArray params;
    bool crcValid = false;
};

Status parse(const QByteArray& bytes)
{
    Status status;
    if (bytes.size() < StatusOverhead)
        return status;
    status.id = quint8(bytes.at(4));
    status.error = quint8(bytes.at(8));
    status.params = bytes.mid(9, bytes.size() - StatusOverhead);
    status.crcValid = crc16(bytes.left(bytes.size() - 2)) == tableU16(bytes, bytes.size() - 2) &&
                      tableU16(bytes, 5) == bytes.size() - HeaderSize && quint8(bytes.at(7)) == 0x55;
    return status;
}

QByteArray u16(int value)
{
    QByteArray bytes(2, '\0');
    setTableU16(bytes, 0, value);
    return bytes;
}

QByteArray readParams(int address, int length)
{
    return u16(address) + u16(length);
}

// A bus on a clock of its own; answers are taken off the line at once.
struct Rig
{
    qint64 nowUs = 0;
    ServoBus bus;

    explicit Rig(const QList<int>& ids = {1}, Model model = Model::V1, int baudRate = 1000000,
                 int protocol = 2)
        : bus(ids, model, baudRate, clock(), protocol)
    {
    }

    ServoBus::Clock clock()
    {
        return [this] { return nowUs; };
    }

    QList<QByteArray> send(quint8 id, quint8 code, const QByteArray& params = {}, int rate = 1000000)
    {
        return sendRaw(instructionPacket(id, code, params), rate);
    }

    QList<QByteArray> sendRaw(const QByteArray& bytes, int rate = 1000000)
    {
        QList<QByteArray> answers;
        for (const Transmission& transmission : bus.receive(bytes, rate)) {
            answers.append(transmission.chunks.join());
            bus.transmissionDone(transmission);
        }
        return answers;
    }

    Status one(quint8 id, quint8 code, const QByteArray& params = {})
    {
        const QList<QByteArray> answers = send(id, code, params);
        return answers.size() == 1 ? parse(answers.first()) : Status{};
    }
};

} // namespace

class TestServoBus : public QObject
{
    Q_OBJECT

private slots:
    void crcAndPackets()
    {
        QCOMPARE(crc16("123456789"), quint16(0xFEE8));
        QCOMPARE(instructionPacket(1, instruction::Ping).toHex(), QByteArray("fffffd0001030001194e"));
        QCOMPARE(statusPacket(1, 0).toHex(), QByteArray("fffffd000104005500a10c"));
        QVERIFY(instructionPacketP1(1, instruction::Write, QByteArray(MaxParamsP1 + 1, 0)).isEmpty());
    }

    // An AX-12 speaking Protocol 1 at id 1, and a V1 speaking Protocol 2 at the same id and rate: each
    // request is heard by the servo of its protocol only. Each request gets its answers joined, or none.
    void protocol1_data()
    {
        QTest::addColumn<Fault>("fault"); // on the first answer
        QTest::addColumn<quint8>("alarms");
        QTest::addColumn<QByteArrayList>("requests");
        QTest::addColumn<QByteArrayList>("answers");
        const auto p1 = [](quint8 code, const char* params = "", quint8 id = 1) {
            return instructionPacketP1(id, code, QByteArray::fromHex(params));
        };
        const auto ack = [](const char* params = "", quint8 error = 0, quint8 id = 1) {
            return statusPacketP1(id, error, QByteArray::fromHex(params));
        };
        const auto spoiled = [](QByteArray packet) {
            packet[packet.size() - 1] = char(packet.back() ^ 1);
            return packet;
        };
        const QByteArray v1Ping = instructionPacket(1, instruction::Ping);
        const QByteArray instructionError = ack("", errorP1::Instruction);
        const Fault none = Fault::None;
        using L = QByteArrayList;

        QTest::newRow("ping") << none << quint8(0) << L{QByteArray::fromHex("ffff010201fb")}
                              << L{QByteArray::fromHex("ffff010200fc")};
        QTest::newRow("read") << none << quint8(0) << L{QByteArray::fromHex("ffff0104020002f6")}
                              << L{QByteArray::fromHex("ffff0104000c00ee")};
        QTest::newRow("write, read back")
            << none << quint8(0) << L{p1(instruction::Write, "050a"), p1(instruction::Read, "0501")}
            << L{ack(), ack("0a")};
        QTest::newRow("read-only, past the table")
            << none << quint8(0)
            << L{p1(instruction::Write, "0000"), p1(instruction::Write, "310000"),
                 p1(instruction::Read, "3102"), p1(instruction::Read, "0002")}
            << L{ack("", errorP1::Range), ack("", errorP1::Range), ack("", errorP1::Range), ack("0c00")};
        QTest::newRow("bad checksum")
            << none << quint8(0)
            << L{spoiled(p1(instruction::Ping)), spoiled(p1(instruction::Write, "050a")),
                 p1(instruction::Read, "0501")}
            << L{ack("", errorP1::Checksum), ack("", errorP1::Checksum), ack("fa")};
        QTest::newRow("unknown instruction, bad lengths")
            << none << quint8(0)
            << L{p1(0x07), p1(instruction::Read, "00"), p1(instruction::Ping, "00"),
                 p1(instruction::Write, "05"), p1(instruction::FactoryReset, "ff")}
            << L{instructionError, instructionError, instructionError, instructionError, instructionError};
        QTest::newRow("broadcast") << none << quint8(0)
                                   << L{p1(instruction::Ping, "", BroadcastId),
                                        p1(instruction::Write, "050a", BroadcastId),
                                        p1(instruction::Read, "0501")}
                                   << L{{}, {}, ack("0a")};
        // The V1 answers Protocol 2 alone and keeps its own table.
        QTest::newRow("other protocol")
            << none << quint8(0)
            << L{v1Ping, instructionPacket(BroadcastId, instruction::Ping),
                 instructionPacket(1, instruction::Write, QByteArray::fromHex("05000a")),
                 p1(instruction::Read, "0501")}
            << L{statusPacket(1, 0, QByteArray::fromHex("010403")),
                 statusPacket(1, 0, QByteArray::fromHex("010403")), statusPacket(1, 0), ack("fa")};
        QTest::newRow("new id") << none << quint8(0)
                                << L{p1(instruction::Write, "0305"), p1(instruction::Ping, "", 5),
                                     p1(instruction::Ping)}
                                << L{ack(), ack("", 0, 5), {}};
        QTest::newRow("factory reset")
            << none << quint8(0)
            << L{p1(instruction::Write, "0305010a"), p1(instruction::FactoryReset, "", 5),
                 p1(instruction::Read, "0303")}
            << L{ack(), ack("", 0, 5), ack("0101fa")};
        QTest::newRow("alarms") << none << quint8(errorP1::Overheating | errorP1::Overload)
                                << L{p1(instruction::Ping), p1(instruction::Write, "0000")}
                                << L{ack("", 0x24), ack("", 0x2c)};
        // Only the checksum byte is spoiled, not the error byte in front of it.
        QTest::newRow("corrupt checksum")
            << Fault::BadCrc << quint8(0) << L{p1(instruction::Ping), p1(instruction::Ping)}
            << L{QByteArray::fromHex("ffff01020003"), ack()};
        QTest::newRow("error byte") << Fault::ErrorByte << quint8(0) << L{p1(instruction::Read, "0302")}
                                    << L{ack("0101", errorP1::Overload)};
    }
    void protocol1()
    {
        QFETCH(Fault, fault);
        QFETCH(quint8, alarms);
        QFETCH(QByteArrayList, requests);
        QFETCH(QByteArrayList, answers);
        Rig rig({1}, Model::Ax12, 1000000, 1);
        QVERIFY(rig.bus.plugServo(1, 0, Model::V1, 2));
        rig.bus.setHardwareError(1, alarms);
        rig.bus.injectFault(fault, fault == Fault::None ? 0 : 1, errorP1::Overload);
        for (int i = 0; i < requests.size(); ++i)
            QCOMPARE(rig.sendRaw(requests.at(i)).join().toHex(), answers.at(i).toHex());

        // Framed one by one, and recorded with the protocol of their header.
        const QList<ReceivedPacket> received = rig.bus.receivedPackets();
        QCOMPARE(received.size(), requests.size());
        for (int i = 0; i < requests.size(); ++i) {
            QCOMPARE(received.at(i).raw, requests.at(i));
            QCOMPARE(received.at(i).protocol, requests.at(i).startsWith(packetHeader()) ? 2 : 1);
        }
        for (const SentAnswer& sent : rig.bus.sentAnswers())
            QCOMPARE(sent.protocol, sent.request.protocol);
    }

    void pingAndRead_data()
    {
        QTest::addColumn<Model>("model");
        QTest::addColumn<QByteArray>("ping");
        QTest::addColumn<int>("tableSize");
        QTest::newRow("V1") << Model::V1 << QByteArray::fromHex("010403") << 118;
        QTest::newRow("AX-12") << Model::Ax12 << QByteArray::fromHex("0c0018") << 50;
    }
    void pingAndRead()
    {
        QFETCH(Model, model);
        QFETCH(QByteArray, ping);
        QFETCH(int, tableSize);
        Rig rig({7}, model);
        const Status pong = rig.one(7, instruction::Ping);
        QVERIFY(pong.crcValid);
        QCOMPARE(pong.id, quint8(7));
        QCOMPARE(pong.params, ping);

        const Status all = rig.one(7, instruction::Read, readParams(0, tableSize));
        QVERIFY(all.crcValid);
        QCOMPARE(all.error, error::None);
        QCOMPARE(all.params.size(), tableSize);
        QCOMPARE(all.params.left(3), ping);
        QCOMPARE(quint8(all.params.at(3)), quint8(7));
        QCOMPARE(quint8(all.params.at(5)), quint8(250)); // 500 µs return delay

        QCOMPARE(rig.one(7, instruction::Read, readParams(tableSize - 1, 2)).error, error::DataRange);
        QCOMPARE(rig.one(7, instruction::Read, readParams(0, 2).left(3)).error, error::DataLength);
        QCOMPARE(rig.one(7, 0x07).error, error::Instruction);
        QVERIFY(rig.send(8, instruction::Ping).isEmpty());
    }

    void framing()
    {
        Rig rig;
        const QByteArray ping = instructionPacket(1, instruction::Ping);
        // Stray bytes and a false header with an absurd length do not hide the packet behind them.
        QCOMPARE(rig.sendRaw(QByteArray::fromHex("0102ff") + ping).size(), 1);
        QCOMPARE(rig.sendRaw(QByteArray::fromHex("fffffd0001ffff") + ping).size(), 1);
        // A packet cut in two, and two packets at once.
        QVERIFY(rig.sendRaw(ping.left(5)).isEmpty());
        QCOMPARE(rig.sendRaw(ping.mid(5)).size(), 1);
        QCOMPARE(rig.sendRaw(ping + ping).size(), 2);
        // A broken CRC is answered with error 3 and changes nothing.
        QByteArray write = instructionPacket(1, instruction::Write, u16(5) + QByteArray(1, 10));
        write[write.size() - 1] = char(write.at(write.size() - 1) ^ 1);
        QCOMPARE(parse(rig.sendRaw(write).value(0)).error, error::Crc);
        QCOMPARE(quint8(rig.bus.registers(1).at(5)), quint8(250));
        // Another device's status packet is not a request.
        QVERIFY(rig.sendRaw(statusPacket(1, 0)).isEmpty());
        QCOMPARE(rig.bus.packetsReceived(), 7);
        QCOMPARE(rig.bus.receivedPackets().last().instruction, instruction::Status);
    }

    void writeAccess_data()
    {
        QTest::addColumn<bool>("motorEnabled");
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<quint8>("error");
        QTest::addColumn<QByteArray>("expected"); // the table from `address` afterwards

        // The program's 60-byte volatile block: motor on, nothing pending, 0x11 in every other byte.
        QByteArray volatileBlock(60, char(0x11));
        volatileBlock[0] = 1;
        volatileBlock[1] = 0;
        // 48-85 take it but for the unused 50-53, 64-67 and 72-77; read-only 86-107 are checked below.
        QByteArray volatileAfter = volatileBlock.left(38);
        for (const auto& unused : {qMakePair(2, 4), qMakePair(16, 4), qMakePair(24, 6)})
            volatileAfter.replace(unused.first, unused.second, QByteArray(unused.second, '\0'));

        QTest::newRow("read-only start")
            << false << 0 << QByteArray(2, 9) << error::Access << QByteArray::fromHex("0104");
        QTest::newRow("unused start") << false << 41 << QByteArray(1, 9) << error::Access << QByteArray(1, 0);
        QTest::newRow("past the end")
            << false << 117 << QByteArray(2, 9) << error::DataRange << QByteArray(1, 0);
        QTest::newRow("id 253") << false << 3 << QByteArray(1, char(253)) << error::DataLimit
                                << QByteArray(1, 1);
        QTest::newRow("unknown baud code")
            << false << 4 << QByteArray(1, 2) << error::DataLimit << QByteArray(1, 1);
        QTest::newRow("non-volatile block")
            << false << 5 << QByteArray::fromHex("0a03") << error::None << QByteArray::fromHex("0a03");
        QTest::newRow("motor on, non-volatile")
            << true << 5 << QByteArray(1, 10) << error::Access << QByteArray(1, char(250));
        QTest::newRow("motor on, volatile") << true << 78 << QByteArray::fromHex("64000000") << error::None
                                            << QByteArray::fromHex("64000000");
        QTest::newRow("volatile block skips read-only")
            << false << 48 << volatileBlock << error::None << volatileAfter.left(38);
    }
    void writeAccess()
    {
        QFETCH(bool, motorEnabled);
        QFETCH(int, address);
        QFETCH(QByteArray, data);
        QFETCH(quint8, error);
        QFETCH(QByteArray, expected);
        Rig rig;
        rig.bus.setRegisters(1, 48, QByteArray(1, motorEnabled ? 1 : 0));
        const QByteArray before = rig.bus.registers(1);
        QCOMPARE(rig.one(1, instruction::Write, u16(address) + data).error, error);
        const QByteArray after = rig.bus.registers(1);
        QCOMPARE(after.mid(address, expected.size()), expected);
        // Nothing outside the written block changes, nor the live state (motor off keeps it still).
        QCOMPARE(after.left(address), before.left(address));
        if (!motorEnabled)
            QCOMPARE(after.mid(86), before.mid(86));
    }

    void registeredWrite()
    {
        Rig rig({1, 2});
        const QByteArray write = u16(68) + u16(1500);
        QCOMPARE(rig.one(1, instruction::RegWrite, write).error, error::None);
        QCOMPARE(tableU16(rig.bus.registers(1), 68), 1000);
        QCOMPARE(rig.bus.registers(1).at(49), char(1));
        QCOMPARE(rig.one(1, instruction::Action).error, error::None);
        QCOMPARE(tableU16(rig.bus.registers(1), 68), 1500);
        QCOMPARE(rig.bus.registers(1).at(49), char(0));

        // Clearing the pending flag drops the registered write.
        rig.one(1, instruction::RegWrite, u16(68) + u16(200));
        rig.one(1, instruction::Write, u16(49) + QByteArray(1, 0));
        rig.one(1, instruction::Action);
        QCOMPARE(tableU16(rig.bus.registers(1), 68), 1500);

        QCOMPARE(rig.one(1, instruction::RegWrite, u16(86) + u16(1)).error, error::Access);
        QCOMPARE(rig.bus.registers(1).at(49), char(0));

        // One broadcast Action starts every servo's registered write, silently.
        rig.one(1, instruction::RegWrite, u16(78) + QByteArray::fromHex("10000000"));
        rig.one(2, instruction::RegWrite, u16(78) + QByteArray::fromHex("20000000"));
        QVERIFY(rig.send(BroadcastId, instruction::Action).isEmpty());
        QCOMPARE(tableS32(rig.bus.registers(1), 78), 0x10);
        QCOMPARE(tableS32(rig.bus.registers(2), 78), 0x20);
    }

    void factoryReset_data()
    {
        QTest::addColumn<quint8>("option");
        QTest::addColumn<quint8>("error");
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("baudCode");
        QTest::addColumn<int>("returnDelay");
        QTest::newRow("all") << quint8(0xFF) << error::None << 1 << 1 << 250;
        QTest::newRow("all but id") << quint8(0x01) << error::None << 9 << 1 << 250;
        QTest::newRow("all but id and baud") << quint8(0x02) << error::None << 9 << 34 << 250;
        QTest::newRow("unknown option") << quint8(0x03) << error::DataLimit << 9 << 34 << 10;
    }
    void factoryReset()
    {
        QFETCH(quint8, option);
        QFETCH(quint8, error);
        QFETCH(int, id);
        QFETCH(int, baudCode);
        QFETCH(int, returnDelay);
        Rig rig({9}, Model::V1, 57600);
        rig.bus.setRegisters(9, 5, QByteArray(1, 10));
        rig.bus.setRegisters(9, 48, QByteArray(1, 1));
        const QList<QByteArray> answers =
            rig.send(9, instruction::FactoryReset, QByteArray(1, char(option)), 57600);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(parse(answers.first()).error, error);
        QCOMPARE(parse(answers.first()).id, quint8(9)); // acknowledged as addressed
        const QByteArray table = rig.bus.registers(id);
        QCOMPARE(int(table.at(4)), baudCode);
        QCOMPARE(int(quint8(table.at(5))), returnDelay);
        QCOMPARE(table.at(48), char(error == error::None ? 0 : 1));
        QCOMPARE(rig.bus.servoBaudRate(id), baudRateForCode(baudCode));
    }

    void rebootRestoresVolatile()
    {
        Rig rig;
        rig.one(1, instruction::Write, u16(5) + QByteArray(1, 20));
        rig.one(1, instruction::Write, u16(48) + QByteArray(1, 1));
        rig.one(1, instruction::Write, u16(68) + u16(1800));
        const Status ack = rig.one(1, instruction::Reboot);
        QVERIFY(ack.crcValid);
        QCOMPARE(ack.error, error::None);
        const QByteArray table = rig.bus.registers(1);
        QCOMPARE(table.at(48), char(0));
        QCOMPARE(tableU16(table, 68), tableU16(table, 37)); // the stored default profile again
        QCOMPARE(table.at(5), char(20));                    // settings survive
    }

    void broadcastAndBaudRates()
    {
        Rig rig({5, 1, 3});
        QList<int> order;
        for (const QByteArray& answer : rig.send(BroadcastId, instruction::Ping))
            order.append(parse(answer).id);
        QCOMPARE(order, QList<int>({1, 3, 5}));
        QVERIFY(rig.send(BroadcastId, instruction::Read, readParams(0, 2)).isEmpty());
        QVERIFY(rig.send(BroadcastId, instruction::Write, u16(5) + QByteArray(1, 7)).isEmpty());
        QCOMPARE(rig.bus.registers(3).at(5), char(7));

        // The new rate takes over once the acknowledgement has left, at the old rate.
        const QList<Transmission> ack =
            rig.bus.receive(instructionPacket(3, instruction::Write, u16(4) + QByteArray(1, 34)), 1000000);
        QCOMPARE(ack.size(), 1);
        QCOMPARE(rig.bus.servoBaudRate(3), 1000000);
        rig.bus.transmissionDone(ack.first());
        QCOMPARE(rig.bus.servoBaudRate(3), 57600);
        QVERIFY(rig.send(3, instruction::Ping).isEmpty());
        QCOMPARE(rig.send(3, instruction::Ping, {}, 57600).size(), 1);
        order.clear();
        for (const QByteArray& answer : rig.send(BroadcastId, instruction::Ping))
            order.append(parse(answer).id);
        QCOMPARE(order, QList<int>({1, 5}));
    }

    // A servo plugged into a running bus at 57600 baud where servo 3 already is.
    void hotPlug_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("rate");     // as asked; 0 for the bus's rate
        QTest::addColumn<int>("lineRate"); // where it answers
        QTest::addColumn<bool>("plugged");
        QTest::newRow("factory id, bus rate") << 1 << 0 << 57600 << true;
        QTest::newRow("own rate") << 7 << 1000000 << 1000000 << true;
        QTest::newRow("id of another servo") << 3 << 0 << 57600 << true;
        QTest::newRow("rate without a code") << 1 << 12345 << 57600 << false;
        QTest::newRow("id 253") << 253 << 0 << 57600 << false;
    }
    void hotPlug()
    {
        QFETCH(int, id);
        QFETCH(int, rate);
        QFETCH(int, lineRate);
        QFETCH(bool, plugged);
        Rig rig({3}, Model::V1, 57600);
        rig.bus.setRegisters(3, 5, QByteArray(1, 10)); // tells the first servo 3 from a new one
        const int others = id == 3 ? 1 : 0;
        QCOMPARE(rig.bus.plugServo(id, rate), plugged);
        QList<int> ids{3};
        if (plugged)
            ids = id < 3 ? QList<int>{id, 3} : QList<int>{3, id};
        QCOMPARE(rig.bus.servoIds(), ids);
        // Two servos at one id answer at once: one spoiled mixture goes on the line.
        const QList<QByteArray> answers = rig.send(quint8(id), instruction::Ping, {}, lineRate);
        QCOMPARE(answers.size(), others + plugged > 0 ? 1 : 0);
        QCOMPARE(!answers.isEmpty() && crc16(answers.first().left(answers.first().size() - 2)) ==
                                           tableU16(answers.first(), answers.first().size() - 2),
                 plugged && !others);
        if (plugged && !others) // as it left the factory, but for id and rate
            QCOMPARE(rig.bus.registers(id).left(48),
                     Rig({id}, Model::V1, lineRate).bus.registers(id).left(48));

        // The latest servo at the id goes, and is deaf from then on.
        QCOMPARE(rig.bus.unplugServo(id), plugged);
        QCOMPARE(rig.bus.servoIds(), QList<int>{3});
        QCOMPARE(rig.bus.registers(3).at(5), char(10));
        QCOMPARE(rig.send(quint8(id), instruction::Ping, {}, lineRate).size(), others);
        QCOMPARE(rig.send(BroadcastId, instruction::Ping, {}, lineRate).size(), lineRate == 57600 ? 1 : 0);
    }

    // Answers refer to servos by their place on the bus: a pulled servo's pending acknowledgement of
    // a new baud code must not switch a servo plugged or moved since.
    void unplugWhileAcknowledgementPending()
    {
        Rig rig({1, 2});
        const auto setBaudCode = [&rig](quint8 id, quint8 code) {
            const QList<Transmission> ack = rig.bus.receive(
                instructionPacket(id, instruction::Write, u16(4) + QByteArray(1, code)), 1000000);
            return ack.value(0);
        };
        const Transmission pulled = setBaudCode(1, 34);
        QVERIFY(rig.bus.unplugServo(1));
        QVERIFY(rig.bus.plugServo(1));
        const Transmission second = setBaudCode(2, 16);
        const Transmission replacement = setBaudCode(1, 16);
        rig.bus.transmissionDone(pulled);
        QCOMPARE(rig.bus.servoBaudRate(1), 1000000);
        QCOMPARE(rig.bus.servoBaudRate(2), 1000000);
        QCOMPARE(rig.bus.packetsAnswered(), 0);
        QVERIFY(!rig.bus.sentAnswers().last().whole);
        rig.bus.transmissionDone(second);
        rig.bus.transmissionDone(replacement);
        QCOMPARE(rig.bus.servoBaudRate(1), 115200);
        QCOMPARE(rig.bus.servoBaudRate(2), 115200);
        QCOMPARE(rig.bus.packetsAnswered(), 2);
    }

    void hardwareErrorAlerts()
    {
        Rig rig;
        rig.bus.setHardwareError(1, 0x04);
        QCOMPARE(rig.one(1, instruction::Ping).error, quint8(0x80));
        QCOMPARE(rig.bus.registers(1).at(107), char(0x04));
        QCOMPARE(rig.one(1, instruction::Write, u16(0) + QByteArray(1, 0)).error, quint8(0x87));
    }

    void motion_data()
    {
        QTest::addColumn<Model>("model");
        QTest::addColumn<int>("setupAddress");
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<int>("halfway"); // position after 0.5 s
        QTest::addColumn<int>("final");
        // V1 joint mode: profile 2000 mrad/s is 1304 counts/s; a target past the angle limit stops at 2047.
        QTest::newRow("V1 joint") << Model::V1 << 68
                                  << (u16(2000) + QByteArray(8, 0) + QByteArray::fromHex("10270000")) << 652
                                  << 2047;
        // AX-12: speed 100 is 227 units/s, from 512 toward goal 700.
        QTest::newRow("AX-12 joint") << Model::Ax12 << 30 << (u16(700) + u16(100)) << 512 + 114 << 700;
    }
    void motion()
    {
        QFETCH(Model, model);
        QFETCH(int, setupAddress);
        QFETCH(QByteArray, setup);
        QFETCH(int, halfway);
        QFETCH(int, final);
        const bool v1 = model == Model::V1;
        const auto position = [v1](const QByteArray& table) {
            return v1 ? tableS32(table, 86) : tableU16(table, 36);
        };
        const int moving = v1 ? 99 : 46;
        Rig rig({1}, model);
        QCOMPARE(rig.one(1, instruction::Write, u16(setupAddress) + setup).error, error::None);
        const int start = position(rig.bus.registers(1));
        rig.nowUs = 1000000;
        QCOMPARE(position(rig.bus.registers(1)), start); // the motor is off
        QCOMPARE(rig.one(1, instruction::Write, u16(v1 ? 48 : 24) + QByteArray(1, 1)).error, error::None);
        rig.nowUs += 500000;
        QByteArray table = rig.bus.registers(1);
        QVERIFY2(qAbs(position(table) - halfway) <= 2, qPrintable(QString::number(position(table))));
        QCOMPARE(table.at(moving), char(1));
        rig.nowUs += 10000000;
        table = rig.bus.registers(1);
        QCOMPARE(position(table), final);
        QCOMPARE(table.at(moving), char(0));
    }

    // Wheel mode: bit 10 of the moving speed turns clockwise, toward lower positions; speed and load
    // carry the direction in their bit 10.
    void ax12WheelDirection()
    {
        Rig rig({1}, Model::Ax12);
        QCOMPARE(rig.one(1, instruction::Write, u16(6) + u16(0) + u16(0)).error, error::None);
        QCOMPARE(rig.one(1, instruction::Write, u16(24) + QByteArray(1, 1)).error, error::None);
        QCOMPARE(rig.one(1, instruction::Write, u16(32) + u16(0x400 | 100)).error, error::None);
        rig.nowUs += 100000;
        const QByteArray table = rig.bus.registers(1);
        QCOMPARE(tableU16(table, 36), 512 - 23);
        QCOMPARE(tableU16(table, 38), 0x400 | 100);
        QCOMPARE(tableU16(table, 40) & 0x400, 0x400);
    }

    void liveNoise()
    {
        Rig rig;
        QSet<int> voltages;
        for (int i = 0; i < 50; ++i) {
            rig.nowUs += 10000;
            const QByteArray table = rig.bus.registers(1);
            voltages.insert(quint8(table.at(94)));
            QVERIFY(quint8(table.at(97)) >= 25 && quint8(table.at(97)) <= 40);
        }
        QVERIFY(voltages.size() > 1);
        for (int voltage : voltages)
            QVERIFY(voltage >= 115 && voltage <= 125);
    }

    void faultRate()
    {
        Rig rig;
        rig.bus.setFaultRate(1.0, {Fault::BadCrc});
        for (int i = 0; i < 5; ++i)
            QVERIFY(!parse(rig.send(1, instruction::Ping).value(0)).crcValid);
        rig.bus.setFaultRate(0.5, {});
        for (int i = 0; i < 200; ++i)
            rig.send(1, instruction::Ping);
        QVERIFY(rig.bus.faultsInjected() > 5 + 50 && rig.bus.faultsInjected() < 5 + 150);
        QCOMPARE(rig.bus.packetsReceived(), 205);
    }
};

QTEST_GUILESS_MAIN(TestServoBus)
#include "tst_servobus.moc"
