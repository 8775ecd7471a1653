// The one way a request goes out: submit() and the reply a caller waits on, against the simulated
// bus and against a line the test plays itself.
#include "core/protocol/readanswer.h"
#include "core/protocol/statuspacketframer.h"
#include "core/transport/busreply.h"
#include "core/transport/serialhelper.h"

#include <ptypair.h>
#include <servosimulator.h>

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using servosim::Fault;

Q_DECLARE_METATYPE(BusRequest)

namespace {
constexpr int waitMs = 20000;

// A Protocol 1 status packet of servo `id` carrying `data`.
QByteArray protocol1Answer(uint8_t id, const QByteArray& data)
{
    QByteArray packet("\xFF\xFF", 2);
    packet.append(char(id)).append(char(data.size() + 2)).append(char(0)).append(data);
    packet.append(char(StatusPacketFramer::checksum1(reinterpret_cast<const uint8_t*>(packet.constData()) + 2,
                                                     packet.size() - 2)));
    return packet;
}
} // namespace

class TestBusReply : public QObject
{
    Q_OBJECT

private slots:
    // Each request's result is told once: its whole answer, or how it failed. Every failure but a
    // write's refusal is reported on the helper's signal too.
    void resultIsToldOnce_data()
    {
        QTest::addColumn<BusRequest>("request");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<FailureKind>("failure");
        QTest::addColumn<int>("answerBytes");
        QTest::addColumn<int>("reported"); // transactionFailed signals
        const auto none = FailureKind::Timeout;
        QTest::newRow("ping") << BusRequest::ping(1) << Fault::None << true << none << 14 << 0;
        QTest::newRow("read") << BusRequest::read(1, 0, 4) << Fault::None << true << none << 15 << 0;
        QTest::newRow("write") << BusRequest::write(1, 11, QByteArray(1, char(70))) << Fault::None << true
                               << none << 11 << 0;
        // The model number is read-only.
        QTest::newRow("write refused") << BusRequest::write(1, 0, QByteArray(1, char(5))) << Fault::None
                                       << false << FailureKind::Refused << 0 << 0;
        QTest::newRow("silent servo")
            << BusRequest::read(1, 0, 4) << Fault::NoAnswer << false << FailureKind::Timeout << 0 << 1;
        QTest::newRow("corrupt answer")
            << BusRequest::read(1, 0, 4) << Fault::BadCrc << false << FailureKind::Corrupt << 0 << 1;
        QTest::newRow("no such servo")
            << BusRequest::ping(9) << Fault::None << false << FailureKind::Timeout << 0 << 1;
    }

    void resultIsToldOnce()
    {
        QFETCH(BusRequest, request);
        QFETCH(Fault, fault);
        QFETCH(bool, answered);
        QFETCH(FailureKind, failure);
        QFETCH(int, answerBytes);
        QFETCH(int, reported);
        servosim::ServoSimulator sim;
        QVERIFY(sim.start());
        SerialHelper serial;
        QCOMPARE(serial.openSerialPort(sim.devicePath(), 1000000), QString());
        sim.injectFault(fault);
        QSignalSpy failed(&serial, &SerialHelper::transactionFailed);

        BusReply reply(serial, request);
        QSignalSpy finished(&reply, &BusReply::finished);
        QVERIFY(reply.wasSent());
        QTRY_VERIFY_WITH_TIMEOUT(reply.isFinished(), waitMs);
        const BusResult& result = reply.result();
        QCOMPARE(result.answered, answered);
        QCOMPARE(result.request.id, request.id);
        if (answered) {
            QCOMPARE(result.answer.size(), answerBytes);
            QCOMPARE(readanswer::servoId(result.answer), int(request.id));
            if (request.kind == BusRequest::Kind::Read)
                QCOMPARE(readanswer::table(result.answer),
                         sim.registers(1).mid(request.address, request.length));
        } else {
            QCOMPARE(result.failure, failure);
            // A refusal is a whole answer all the same; otherwise there is none.
            QCOMPARE(result.answer.isEmpty(), failure != FailureKind::Refused);
        }
        if (failure == FailureKind::Refused)
            QVERIFY(SerialHelper::isRefusal(result.errorByte));
        QCOMPARE(failed.size(), reported);

        // Told once, also when the next request ends.
        BusReply next(serial, BusRequest::ping(1));
        QTRY_VERIFY_WITH_TIMEOUT(next.isFinished(), waitMs);
        QCOMPARE(finished.size(), 1);
    }

    // Reboot and reset are waited for by the bus library, and a request that cannot be sent fails at
    // once: both are finished when the reply is made, before anyone could wait on its signal.
    void finishedBeforeTheConstructorReturns_data()
    {
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<BusRequest>("request");
        QTest::addColumn<bool>("answered");
        QTest::newRow("reboot") << true << BusRequest::reboot(1) << true;
        QTest::newRow("reset") << true << BusRequest::reset(1) << true;
        QTest::newRow("read, port closed") << false << BusRequest::read(1, 0, 4) << false;
        QTest::newRow("write, port closed")
            << false << BusRequest::write(1, 11, QByteArray(1, char(70))) << false;
    }

    void finishedBeforeTheConstructorReturns()
    {
        QFETCH(bool, portOpen);
        QFETCH(BusRequest, request);
        QFETCH(bool, answered);
        servosim::ServoSimulator sim;
        QVERIFY(sim.start());
        SerialHelper serial;
        if (portOpen)
            QCOMPARE(serial.openSerialPort(sim.devicePath(), 1000000), QString());
        BusReply reply(serial, request);
        QVERIFY(reply.isFinished());
        QCOMPARE(reply.wasSent(), portOpen);
        QCOMPARE(reply.result().answered, answered);
        if (answered)
            QCOMPARE(reply.result().answer.size(), 11);
        else
            QCOMPARE(reply.result().failure, FailureKind::NotSent);
    }

    // A reply deleted while its request is under way is not told; the request still ends.
    void deletedReplyIsNotTold()
    {
        servosim::ServoSimulator sim;
        QVERIFY(sim.start());
        SerialHelper serial;
        QCOMPARE(serial.openSerialPort(sim.devicePath(), 1000000), QString());
        auto* reply = new BusReply(serial, BusRequest::read(1, 0, 4));
        QVERIFY(!reply->isFinished());
        delete reply;
        QSignalSpy ended(&serial, &SerialHelper::transactionFailed);
        QTRY_VERIFY_WITH_TIMEOUT(!serial.isBusy(), waitMs);
        QVERIFY(ended.isEmpty());
    }

    // Some adapters loop the line back: in Protocol 1 the request's own copy comes before the
    // answer and must not pass for it, whatever its size (a two-byte read's answer is as long).
    void protocol1ReadIsNotTakenFromItsEcho_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("one byte") << 1;
        QTest::newRow("two bytes, as long as the echo") << 2;
        QTest::newRow("four bytes") << 4;
    }

    void protocol1ReadIsNotTakenFromItsEcho()
    {
        QFETCH(int, length);
        PtyPair line;
        QVERIFY2(line.isOpen(), qPrintable(line.errorString()));
        SerialHelper serial;
        serial.setProtocol(BusProtocol::One);
        QCOMPARE(serial.openSerialPort(line.slavePath(), 1000000), QString());
        BusReply reply(serial, BusRequest::read(1, 0, uint8_t(length)));
        const QByteArray request = line.read(8, waitMs);
        QCOMPARE(request.size(), 8);
        const QByteArray answer = protocol1Answer(1, QByteArray("\x0C\x00\x18\x01", 4).left(length));
        QVERIFY(line.write(request + answer));
        QTRY_VERIFY_WITH_TIMEOUT(reply.isFinished(), waitMs);
        QVERIFY(reply.result().answered);
        QCOMPARE(reply.result().answer, answer);
    }
};

QTEST_GUILESS_MAIN(TestBusReply)
#include "tst_busreply.moc"
