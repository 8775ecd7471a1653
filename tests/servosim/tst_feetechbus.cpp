// Feetech servos on a bus without a device, on a clock the test moves: Protocol 1's packets with that
// maker's rules, and sync read.
#include "feetechmodel.h"
#include "protocol.h"
#include "servobus.h"

#include "core/model/modeldescription.h"

#include <QtTest>

using namespace servosim;

namespace {

// The Feetech-like test model listing `instructions`; none when its description is refused.
std::shared_ptr<const ModelDescription> feetechModel(bool bigEndian,
                                                     const QByteArray& instructions = "\"syncWrite\"")
{
    QString problem;
    auto read =
        readModelDescription(feetech::description(bigEndian, instructions), "feetech-test.json", &problem);
    if (!read)
        qWarning() << problem;
    return read ? std::make_shared<const ModelDescription>(std::move(*read)) : nullptr;
}

// Servos of Feetech's flavour; answers are taken off the line at once.
struct Rig
{
    qint64 nowUs = 0;
    ServoBus bus;

    explicit Rig(const QList<ServoGroup>& groups)
        : bus(
              groups, 1000000, [this] { return nowUs; }, protocolNumber::Feetech)
    {
    }

    QList<QByteArray> sendRaw(const QByteArray& bytes)
    {
        QList<QByteArray> answers;
        for (const Transmission& transmission : bus.receive(bytes, 1000000)) {
            answers.append(transmission.chunks.join());
            bus.transmissionDone(transmission);
        }
        return answers;
    }
};

} // namespace

class TestFeetechBus : public QObject
{
    Q_OBJECT

private slots:
    // Feetech servos take Protocol 1's packets but refuse nothing aloud: a broken packet gets no answer,
    // the rest is carried out or ignored with error 0, and the error byte holds the alarms. An AX-12 at
    // id 2 hears the same packets. Each request gets its answers joined, or none.
    void feetechFlavour_data()
    {
        QTest::addColumn<bool>("bigEndian");
        QTest::addColumn<quint8>("alarms");
        QTest::addColumn<QByteArrayList>("requests");
        QTest::addColumn<QByteArrayList>("answers");
        const auto p1 = [](quint8 code, const char* params = "", quint8 id = 1) {
            return instructionPacketP1(id, code, QByteArray::fromHex(params));
        };
        const auto ack = [](const char* params = "", quint8 error = 0, quint8 id = 1) {
            return statusPacketP1(id, error, QByteArray::fromHex(params));
        };
        QByteArray spoiled = p1(instruction::Write, "0505");
        spoiled[spoiled.size() - 1] = char(spoiled.back() ^ 1);
        using L = QByteArrayList;
        // Model number 4646 at 3, present position -100 (sign and magnitude) at 56.
        const L reads{p1(instruction::Ping), p1(instruction::Read, "0302"), p1(instruction::Read, "3802")};
        QTest::newRow("little-endian") << false << quint8(0) << reads << L{ack(), ack("2612"), ack("6480")};
        QTest::newRow("big-endian") << true << quint8(0) << reads << L{ack(), ack("1226"), ack("8064")};
        QTest::newRow("beside a Protocol 1 servo, no broadcast ping")
            << false << quint8(0)
            << L{p1(instruction::Ping, "", 2), p1(instruction::Ping, "", BroadcastId), p1(instruction::Ping)}
            << L{ack("", 0, 2), {}, ack()};
        QTest::newRow("broken packets")
            << false << quint8(0)
            << L{spoiled, p1(instruction::Read, "03"), p1(instruction::Read, "4502"),
                 p1(instruction::Ping, "00"), p1(instruction::Read, "0501")}
            << L{{}, {}, {}, {}, ack("01")};
        QTest::newRow("refusals and unknown instructions")
            << false << quint8(0)
            << L{p1(instruction::Write, "030000"), p1(instruction::Write, "05fd"),
                 p1(instruction::Write, "450000"), p1(instruction::Reboot), p1(instruction::Read, "0303")}
            << L{ack(), ack(), ack(), ack(), ack("261201")};
        QTest::newRow("alarms") << false << quint8(errorFeetech::Temperature | errorFeetech::Overload)
                                << L{p1(instruction::Ping), p1(instruction::Write, "030000")}
                                << L{ack("", 0x24), ack("", 0x24)};
        QTest::newRow("reset as its description says: the id kept")
            << false << quint8(0)
            << L{p1(instruction::Write, "0505"), p1(instruction::Write, "070a", 5),
                 p1(instruction::FactoryReset, "", 5), p1(instruction::Read, "0503", 5)}
            << L{ack(), ack("", 0, 5), ack("", 0, 5), ack("050000", 0, 5)};
        QTest::newRow("status return level 0: reads answered only")
            << false << quint8(0)
            << L{p1(instruction::Write, "0800"), p1(instruction::Write, "2a0100"),
                 p1(instruction::Read, "0801"), p1(instruction::Ping)}
            << L{{}, {}, ack("00"), ack()};
        QTest::newRow("sync write") << true << quint8(0)
                                    << L{p1(instruction::SyncWrite, "2a02 01 03e8 02 0001", BroadcastId),
                                         p1(instruction::Read, "2a02")}
                                    << L{{}, ack("03e8")};
    }
    void feetechFlavour()
    {
        QFETCH(bool, bigEndian);
        QFETCH(quint8, alarms);
        QFETCH(QByteArrayList, requests);
        QFETCH(QByteArrayList, answers);
        const auto model = feetechModel(bigEndian);
        QVERIFY(model);
        Rig rig({{{1}, Model::V1, model}});
        QVERIFY(rig.bus.plugServo(2, 0, Model::Ax12, protocolNumber::P1));
        rig.bus.setHardwareError(1, alarms);
        for (int i = 0; i < requests.size(); ++i)
            QCOMPARE(rig.sendRaw(requests.at(i)).join().toHex(), answers.at(i).toHex());
    }

    // A sync read is answered by each servo listed that is on the bus and knows the instruction, in the
    // order of the list, each after its own return delay, with the bytes as its table holds them.
    void feetechSyncRead_data()
    {
        QTest::addColumn<bool>("bigEndian");
        QTest::addColumn<QList<int>>("listed");
        QTest::addColumn<int>("lacking"); // the servo whose description lists no sync read; 0: none
        QTest::addColumn<Fault>("fault"); // on the first answer
        QTest::addColumn<QList<int>>("answering");
        using I = QList<int>;
        QTest::newRow("list order") << false << I{3, 1, 2} << 0 << Fault::None << I{3, 1, 2};
        QTest::newRow("list order, big-endian") << true << I{2, 3, 1} << 0 << Fault::None << I{2, 3, 1};
        QTest::newRow("one absent") << false << I{1, 9, 3} << 0 << Fault::None << I{1, 3};
        QTest::newRow("one without sync read") << true << I{1, 2, 3} << 2 << Fault::None << I{1, 3};
        QTest::newRow("one silent") << false << I{1, 2, 3} << 0 << Fault::NoAnswer << I{2, 3};
        QTest::newRow("one listed twice") << false << I{2, 2, 1} << 0 << Fault::None << I{2, 1};
    }
    void feetechSyncRead()
    {
        QFETCH(bool, bigEndian);
        QFETCH(QList<int>, listed);
        QFETCH(int, lacking);
        QFETCH(Fault, fault);
        QFETCH(QList<int>, answering);
        const auto model = feetechModel(bigEndian, "\"syncRead\"");
        const auto without = feetechModel(bigEndian, "\"syncWrite\"");
        QVERIFY(model && without);
        QList<int> ids{1, 2, 3};
        ids.removeOne(lacking);
        Rig rig({{ids, Model::V1, model}, {{lacking}, Model::V1, without}});
        for (int id : {1, 2, 3})
            rig.bus.setRegisters(id, feetech::ReturnDelayAddress, QByteArray(1, char(10 * id)));
        rig.bus.injectFault(fault, fault == Fault::None ? 0 : 1, 0);
        QByteArray params = QByteArray::fromHex("3704"); // lock, present position, one more
        for (int id : listed)
            params.append(char(id));
        // The present position -100 in the model's byte order.
        const QByteArray bytes = QByteArray::fromHex(bigEndian ? "01806400" : "01648000");
        QList<int> answered;
        for (const Transmission& sent :
             rig.bus.receive(instructionPacketP1(BroadcastId, instruction::SyncRead, params), 1000000)) {
            QCOMPARE(sent.delayUs, qint64(20 * sent.servoId)); // 2 µs a unit
            if (!sent.chunks.isEmpty()) {
                QCOMPARE(sent.chunks.join().toHex(), statusPacketP1(sent.servoId, 0, bytes).toHex());
                answered.append(sent.servoId);
            }
        }
        QCOMPARE(answered, answering);
    }

    // Drawn error-byte faults of a Feetech servo carry one of its alarms, never a refusal.
    void feetechFaultsDrawAlarms()
    {
        const auto model = feetechModel(false);
        QVERIFY(model);
        Rig rig({{{1}, Model::V1, model}});
        rig.bus.setFaultRate(1.0, {Fault::ErrorByte});
        QSet<int> drawn;
        for (int i = 0; i < 100; ++i) {
            const QByteArray answer = rig.sendRaw(instructionPacketP1(1, instruction::Ping)).value(0);
            drawn.insert(answer.size() == StatusOverheadP1 ? quint8(answer.at(4)) : -1);
        }
        QCOMPARE(drawn, QSet<int>({0x01, 0x02, 0x04, 0x08, 0x20}));
    }
};

QTEST_GUILESS_MAIN(TestFeetechBus)
#include "tst_feetechbus.moc"
