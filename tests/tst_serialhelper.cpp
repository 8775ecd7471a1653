#include "core/model/idevice.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
#include "window/controllers/windowdevicehelper.h"
#include "core/transport/serialhelper.h"

#include <answerdelivery.h>
#include <ptypair.h>
#include <servosimulator.h>
#include <testmodels.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using servosim::Fault;

Q_DECLARE_METATYPE(BusProtocol)

namespace {

constexpr uint8_t servoId = 1;

struct Outcome
{
    QList<QByteArray> answers;
    QList<FailureKind> failures;
};

// Collects what one request layer reports.
SerialHelper::ResponseCallback answerInto(Outcome& outcome)
{
    return [&outcome](QByteArray answer) { outcome.answers.append(answer); };
}

SerialHelper::FailureCallback failureInto(Outcome& outcome)
{
    return [&outcome](FailureKind kind, const RequestInfo&, uint8_t) { outcome.failures.append(kind); };
}

servosim::Options simOptions(servosim::Model model = servosim::Model::V1, const AnswerDelivery& delivery = {},
                             BusProtocol protocol = BusProtocol::Two)
{
    servosim::Options options = deliveredAs(delivery);
    options.model = model;
    options.protocol = static_cast<int>(protocol);
    return options;
}

// The servo each protocol is tried with: the V1 speaks Protocol 2, a real AX-12 only Protocol 1.
servosim::Model modelOf(BusProtocol protocol)
{
    return protocol == BusProtocol::One ? servosim::Model::Ax12 : servosim::Model::V1;
}

const QList<BusProtocol> bothProtocols{BusProtocol::Two, BusProtocol::One};

QByteArray protocolTag(const QByteArray& tag, BusProtocol protocol)
{
    return tag + (protocol == BusProtocol::One ? ", Protocol 1" : ", Protocol 2");
}

} // namespace

class TestSerialHelper : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::shared_ptr<SerialHelper> _serial;

    void startSimulator(servosim::Options options = simOptions())
    {
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        _serial = std::make_shared<SerialHelper>();
        _serial->setProtocol(options.protocol == 1 ? BusProtocol::One : BusProtocol::Two);
        QCOMPARE(_serial->openSerialPort(_sim->portName(), options.baudRate), QString());
    }

private slots:
    void init() { WindowDeviceHelper::_instance.reset(); }

    void cleanup()
    {
        WindowDeviceHelper::_instance.reset();
        _serial.reset();
        _sim.reset();
    }

    void deliversWholeAnswerOnce_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<AnswerDelivery>("delivery");
        QTest::addColumn<BusProtocol>("protocol");
        for (BusProtocol protocol : bothProtocols) {
            for (const AnswerDelivery& delivery : answerDeliveries()) {
                QTest::newRow(protocolTag(deliveryTag("as sent", delivery), protocol))
                    << Fault::None << delivery << protocol;
                QTest::newRow(protocolTag(deliveryTag("after garbage", delivery), protocol))
                    << Fault::GarbageBefore << delivery << protocol;
            }
            // Pieces of its own; cut further, its pauses would outlast the deadline of a pseudo-terminal.
            QTest::newRow(protocolTag("in chunks with gaps", protocol))
                << Fault::Split << AnswerDelivery{} << protocol;
        }
    }

    void deliversWholeAnswerOnce()
    {
        QFETCH(Fault, fault);
        QFETCH(AnswerDelivery, delivery);
        QFETCH(BusProtocol, protocol);
        startSimulator(simOptions(modelOf(protocol), delivery, protocol));
        if (fault != Fault::None)
            _sim->injectFault(fault);
        Outcome outcome;
        QVERIFY(_serial->readData(servoId, 0, 4, answerInto(outcome), failureInto(outcome)));
        QTRY_COMPARE_WITH_TIMEOUT(outcome.answers.size(), 1, 20000);
        QCOMPARE(outcome.answers.first().size(), SerialHelper::readAnswerBytes(protocol, 4));
        QCOMPARE(readanswer::isProtocol1(outcome.answers.first()), protocol == BusProtocol::One);
        QCOMPARE(readanswer::table(outcome.answers.first()), _sim->registers(servoId).left(4));
        QCOMPARE(readanswer::errorByte(outcome.answers.first(), protocol), uint8_t(0));
        // Nothing of this transaction may leak into the next one.
        QVERIFY(_serial->readData(servoId, 0, 4, answerInto(outcome), failureInto(outcome)));
        QTRY_COMPARE_WITH_TIMEOUT(outcome.answers.size(), 2, 20000);
        QCOMPARE(outcome.answers.last(), outcome.answers.first());
        QVERIFY(outcome.failures.isEmpty());
        QVERIFY(!_serial->isBusy());
    }

    void failsWithTheRightKind_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<FailureKind>("kind");
        QTest::addColumn<BusProtocol>("protocol");
        for (BusProtocol protocol : bothProtocols) {
            QTest::newRow(protocolTag("silent servo", protocol))
                << Fault::NoAnswer << FailureKind::Timeout << protocol;
            QTest::newRow(protocolTag("corrupt crc", protocol))
                << Fault::BadCrc << FailureKind::Corrupt << protocol;
            QTest::newRow(protocolTag("cut short", protocol))
                << Fault::Truncated << FailureKind::Incomplete << protocol;
            QTest::newRow(protocolTag("another id", protocol))
                << Fault::WrongId << FailureKind::WrongId << protocol;
            QTest::newRow(protocolTag("too late", protocol))
                << Fault::Delayed << FailureKind::Timeout << protocol;
        }
    }

    void failsWithTheRightKind()
    {
        QFETCH(Fault, fault);
        QFETCH(FailureKind, kind);
        QFETCH(BusProtocol, protocol);
        startSimulator(simOptions(modelOf(protocol), {}, protocol));
        _sim->injectFault(fault);
        QSignalSpy failed(_serial.get(), &SerialHelper::transactionFailed);
        Outcome outcome;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(_serial->readData(servoId, 0, 4, answerInto(outcome), failureInto(outcome)));
        QVERIFY(failed.wait(20000));
        // By the transaction's own deadline (a late thread gets it once more), not by the library's
        // one-second limit; a loaded machine adds its scheduling delays on top.
        QVERIFY2(clock.elapsed() < 2 * _serial->transactionDeadlineMs(14, 15) + 500,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(failed.first().at(0).value<FailureKind>(), kind);
        QCOMPARE(outcome.failures, QList<FailureKind>{kind});
        QVERIFY(outcome.answers.isEmpty());
        QVERIFY(!_serial->isBusy());
    }

    // A read of the whole table: 129 bytes.
    void backToBackTransactionsDeliverExactlyTheValidAnswers_data() { addDeliveryRows(129); }

    void backToBackTransactionsDeliverExactlyTheValidAnswers()
    {
        QFETCH(AnswerDelivery, delivery);
        startSimulator(simOptions(servosim::Model::V1, delivery));
        // Only faults that break an answer, so every injected fault is one failed transaction.
        _sim->setFaultRate(0.05, {Fault::NoAnswer, Fault::BadCrc, Fault::Truncated, Fault::WrongId});
        const QByteArray identity = _sim->registers(servoId).left(5);
        Outcome outcome;
        int started = 0;
        // Each transaction starts the next one as soon as it has ended, one way or the other.
        std::function<void()> next = [&] {
            if (started++ < 200)
                QVERIFY(_serial->readData(
                    servoId, 0, 118,
                    [&](QByteArray answer) {
                        outcome.answers.append(answer);
                        next();
                    },
                    [&](FailureKind kind, const RequestInfo&, uint8_t) {
                        outcome.failures.append(kind);
                        next();
                    }));
        };
        next();
        QTRY_COMPARE_WITH_TIMEOUT(outcome.answers.size() + outcome.failures.size(), 200, 30000);
        QVERIFY(_sim->faultsInjected() > 0);
        QCOMPARE(outcome.failures.size(), _sim->faultsInjected());
        for (const QByteArray& answer : qAsConst(outcome.answers)) {
            QCOMPARE(answer.size(), 129);
            QCOMPARE(answer.mid(9, 5), identity); // no bytes of one answer shifted into another
        }
    }

    void writesReportTheirOutcome_data()
    {
        QTest::addColumn<AnswerDelivery>("delivery");
        QTest::addColumn<BusProtocol>("protocol");
        QTest::addColumn<int>("address"); // a writable register of two bytes
        QTest::addColumn<int>("refusal"); // what a write to the model number is refused with
        for (const AnswerDelivery& delivery : answerDeliveries()) {
            // The V1's moving threshold; its access error.
            QTest::newRow(protocolTag(delivery.name, BusProtocol::Two))
                << delivery << BusProtocol::Two << 24 << 7;
            // The AX-12's goal position; its range flag, read as a data range error.
            QTest::newRow(protocolTag(delivery.name, BusProtocol::One))
                << delivery << BusProtocol::One << 30 << 4;
        }
    }

    void writesReportTheirOutcome()
    {
        QFETCH(AnswerDelivery, delivery);
        QFETCH(BusProtocol, protocol);
        QFETCH(int, address);
        QFETCH(int, refusal);
        startSimulator(simOptions(modelOf(protocol), delivery, protocol));
        QSignalSpy acknowledged(_serial.get(), &SerialHelper::writeAcknowledged);
        Outcome outcome;
        bool answerCallbackCalled = false;
        auto answerCallback = [&](QByteArray) { answerCallbackCalled = true; };
        const auto at = static_cast<uint8_t>(address);

        QVERIFY(
            _serial->writeData(servoId, at, QByteArray("\x20\x00", 2), answerCallback, failureInto(outcome)));
        QVERIFY(acknowledged.wait(20000));
        QCOMPARE(acknowledged.last().at(1).value<uint8_t>(), uint8_t(0));
        QCOMPARE(_sim->registers(servoId).mid(address, 2), QByteArray("\x20\x00", 2));

        // The model number is read-only: the servo refuses.
        QVERIFY(_serial->writeData(servoId, 0, QByteArray("\x01", 1), answerCallback, failureInto(outcome)));
        QVERIFY(acknowledged.wait(20000));
        QCOMPARE(acknowledged.last().at(1).value<uint8_t>(), uint8_t(refusal));
        QCOMPARE(outcome.failures, QList<FailureKind>{FailureKind::Refused});
        QVERIFY(!answerCallbackCalled);

        // A write nobody answers is a failure, not a success.
        QSignalSpy failed(_serial.get(), &SerialHelper::transactionFailed);
        _sim->injectFault(Fault::NoAnswer);
        QVERIFY(
            _serial->writeData(servoId, at, QByteArray("\x21\x00", 2), answerCallback, failureInto(outcome)));
        QVERIFY(failed.wait(20000));
        QCOMPARE(failed.first().at(1).value<RequestInfo>().address, at);
        QCOMPARE(acknowledged.size(), 2);

        // A write that cannot go out at all is reported too.
        outcome.failures.clear();
        QVERIFY(
            !_serial->writeData(servoId, 54, QByteArray(253, '\0'), answerCallback, failureInto(outcome)));
        QCOMPARE(outcome.failures, QList<FailureKind>{FailureKind::NotSent});
        QCOMPARE(failed.size(), 2);
        QVERIFY(!_serial->isBusy());

        // An alarm alone (overheating) does not make an acknowledged write a refusal.
        _sim->setHardwareError(servoId, 0x04);
        QVERIFY(
            _serial->writeData(servoId, at, QByteArray("\x22\x00", 2), answerCallback, failureInto(outcome)));
        QVERIFY(acknowledged.wait(20000));
        QCOMPARE(acknowledged.last().at(1).value<uint8_t>(), uint8_t(0x80));
        QCOMPARE(outcome.failures.size(), 1);
        QCOMPARE(_sim->registers(servoId).mid(address, 2), QByteArray("\x22\x00", 2));
        QVERIFY(!answerCallbackCalled);
    }

    void lateAnswerIsNoWriteAcknowledgement_data()
    {
        QTest::addColumn<bool>("readFirst");
        QTest::addRow("late read answer") << true;
        QTest::addRow("late ping answer") << false;
    }

    void lateAnswerIsNoWriteAcknowledgement()
    {
        QFETCH(bool, readFirst);
        // At 9600 baud a long write waits longer than the simulator's late answers take (250 ms);
        // without line time they arrive in the order of their requests.
        servosim::Options options = simOptions();
        options.baudRate = 9600;
        options.wireTime = false;
        startSimulator(options);
        _sim->injectFault(Fault::Delayed, 2);
        QSignalSpy failed(_serial.get(), &SerialHelper::transactionFailed);
        QSignalSpy acknowledged(_serial.get(), &SerialHelper::writeAcknowledged);
        Outcome first;
        // A short read: its deadline, even given twice to a late thread, ends before the late answer.
        QVERIFY(readFirst ? _serial->readData(servoId, 0, 4, answerInto(first), failureInto(first))
                          : _serial->ping(servoId, answerInto(first), failureInto(first)));
        QVERIFY(failed.wait(20000));
        QCOMPARE(first.failures, QList<FailureKind>{FailureKind::Timeout});

        // The servo refuses the write (past the end of the table); its refusal comes after the late
        // answer, which must not count as the write's acknowledgement.
        Outcome write;
        QVERIFY(
            _serial->writeData(servoId, 0, QByteArray(240, '\x01'), answerInto(write), failureInto(write)));
        QTRY_VERIFY_WITH_TIMEOUT(!_serial->isBusy(), 20000);
        QCOMPARE(write.failures, QList<FailureKind>{FailureKind::Refused});
        QCOMPARE(acknowledged.size(), 1);
        QCOMPARE(acknowledged.first().at(1).value<uint8_t>(), uint8_t(4)); // data range error
        QVERIFY(first.answers.isEmpty() && write.answers.isEmpty());
        const QList<servosim::SentAnswer> sent = _sim->sentAnswers();
        QCOMPARE(sent.size(), 2);
        QCOMPARE(int(sent.first().request.instruction), readFirst ? 0x02 : 0x01);
        QVERIFY(sent.first().whole && sent.last().whole);
    }

    // The deadline comes due in the same pass of the event loop in which the answer reaches the port
    // (a busy thread, a timer ahead of it): the answer waiting there is the transaction's answer.
    void answerWaitingAtTheDeadlineIsTaken()
    {
        PtyPair line;
        QVERIFY2(line.isOpen(), qPrintable(line.errorString()));
        SerialHelper serial;
        QCOMPARE(serial.openSerialPort(line.slavePath(), 1000000), QString());
        const int watch =
            ::open(line.slavePath().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        QVERIFY(watch >= 0);
        QByteArray answer = QByteArray::fromHex("fffffd0001080055000a0b0c0d");
        const uint16_t crc =
            StatusPacketFramer::crc16(reinterpret_cast<const uint8_t*>(answer.constData()), answer.size());
        answer.append(char(crc & 0xFF)).append(char(crc >> 8));

        // A round in which this thread lost the processor between starting the deadline and
        // starting the answer's timer puts the answer after the deadline and shows nothing: such
        // rounds (a loaded machine has them) are run again, up to a generous number.
        int shown = 0;
        for (int round = 0; round < 200 && shown < 10; ++round) {
            Outcome outcome;
            QElapsedTimer sent;
            sent.start();
            QVERIFY(serial.readData(servoId, 0, 4, answerInto(outcome), failureInto(outcome)));
            const int deadlineMs = serial.transactionDeadlineMs(14, answer.size());
            // Due just before the deadline: it runs in the same pass and the answer arrives from it.
            QTimer::singleShot(deadlineMs - 2, Qt::PreciseTimer, [&] {
                QVERIFY(line.write(answer));
                pollfd arrived{watch, POLLIN, 0};
                QVERIFY(::poll(&arrived, 1, 1000) == 1);
            });
            const bool answerBeforeDeadline = sent.nsecsElapsed() < 1500000;
            // Busy past both, too little for the request layer to count the thread as late.
            while (sent.nsecsElapsed() < qint64(deadlineMs) * 1000000 + 300000) {
            }
            QTRY_VERIFY_WITH_TIMEOUT(!serial.isBusy(), 20000);
            if (!answerBeforeDeadline)
                continue;
            QCOMPARE(outcome.failures, QList<FailureKind>());
            QCOMPARE(outcome.answers, QList<QByteArray>{answer});
            ++shown;
        }
        QCOMPARE(shown, 10);
        ::close(watch);
    }

    void deadlineGrowsWithLineTime()
    {
        // A read-all at 9600 baud needs about 149 ms on the wire alone.
        QVERIFY(SerialHelper::transactionDeadlineMs(9600, 14, 129) >= 149 + 32);
        QVERIFY(SerialHelper::transactionDeadlineMs(1000000, 14, 129) < 40);
    }

    // A Feetech servo on a port set to plain Protocol 1 answers the same packets: identification
    // finds its model at its own place and the port takes its flavour, without reopening.
    void feetechServoAskedInProtocol1TakesItsFlavour()
    {
        servosim::Options options;
        options.description = builtInModel("sts3215");
        options.protocol = int(BusProtocol::Feetech);
        startSimulator(options);
        _serial->setProtocol(BusProtocol::One);
        auto helper = WindowDeviceHelper::getInstance(_serial, [] {});
        QSignalSpy identified(helper.get(), &DeviceHelper::identified);
        helper->triggerDeviceInfoRead(servoId);
        QVERIFY(identified.wait(20000));
        QCOMPARE(helper->getDevice()->description().name, QString("sts3215"));
        QCOMPARE(helper->modelNumber(), 777);
        QCOMPARE(_serial->protocol(), BusProtocol::Feetech);
        QVERIFY(_serial->isOpen());
        // The next answers are read in the flavour: a read still round-trips on the open port.
        QByteArray answer;
        QVERIFY(_serial->readData(servoId, 3, 2, [&answer](QByteArray a) { answer = a; }));
        QTRY_VERIFY_WITH_TIMEOUT(!answer.isEmpty(), 20000);
        QCOMPARE(readanswer::table(answer), QByteArray::fromHex("0903"));
    }

    void identifiesTheModel_data()
    {
        QTest::addColumn<servosim::Model>("model");
        QTest::addColumn<int>("memoryLimit");
        QTest::addColumn<AnswerDelivery>("delivery");
        QTest::addColumn<BusProtocol>("protocol");
        for (const AnswerDelivery& delivery : answerDeliveries()) {
            QTest::newRow(deliveryTag("V1", delivery))
                << servosim::Model::V1 << 118 << delivery << BusProtocol::Two;
            QTest::newRow(deliveryTag("AX-12", delivery))
                << servosim::Model::Ax12 << 50 << delivery << BusProtocol::Two;
            QTest::newRow(deliveryTag("AX-12 in Protocol 1", delivery))
                << servosim::Model::Ax12 << 50 << delivery << BusProtocol::One;
        }
    }

    void identifiesTheModel()
    {
        QFETCH(servosim::Model, model);
        QFETCH(int, memoryLimit);
        QFETCH(AnswerDelivery, delivery);
        QFETCH(BusProtocol, protocol);
        startSimulator(simOptions(model, delivery, protocol));
        QStringList events;
        auto helper = WindowDeviceHelper::getInstance(_serial, [&events] { events << "initialised"; });
        connect(helper.get(), &DeviceHelper::loadDeviceMetadata, this, [&events] { events << "loaded"; });
        helper->triggerDeviceInfoRead(servoId);
        QTRY_COMPARE_WITH_TIMEOUT(events, (QStringList{"loaded", "initialised"}), 20000);
        QCOMPARE(helper->getDevice()->getMemoryUpperLimit(), memoryLimit);
    }

    void modelNumberSelectsTheModel_data()
    {
        QTest::addColumn<int>("modelNumber");
        QTest::addColumn<int>("memoryLimit"); // 0: no description covers the number
        QTest::addRow("V1") << 1025 << 118;
        QTest::addRow("1024") << 1024 << 0;
        QTest::addRow("AX-12") << 12 << 50;
        QTest::addRow("0") << 0 << 0;
        QTest::addRow("13") << 13 << 0;
        QTest::addRow("another maker's 4660") << 4660 << 0;
    }

    void modelNumberSelectsTheModel()
    {
        QFETCH(int, modelNumber);
        QFETCH(int, memoryLimit);
        int initialised = 0;
        auto helper = WindowDeviceHelper::getInstance(std::make_shared<SerialHelper>(), [&] { ++initialised; });
        QByteArray answer = QByteArray::fromHex("FFFFFD0001060055000000");
        answer[9] = char(modelNumber & 0xFF);
        answer[10] = char(modelNumber >> 8);
        QSignalSpy unknown(helper.get(), &DeviceHelper::unknownModel);
        QSignalSpy loaded(helper.get(), &DeviceHelper::loadDeviceMetadata);
        helper->readDeviceInfoCallback(answer + QByteArray(2, '\0'));
        if (memoryLimit == 0) {
            // Never taken for another model: nothing is loaded, and whoever connects hears why.
            QVERIFY(!helper->getDevice());
            QCOMPARE(unknown.count(), 1);
            QCOMPARE(unknown.at(0).at(1).toInt(), modelNumber);
            QCOMPARE(loaded.count(), 0);
            QCOMPARE(initialised, 0);
            return;
        }
        QCOMPARE(helper->getDevice()->getMemoryUpperLimit(), memoryLimit);
        QCOMPARE(unknown.count(), 0);
        QCOMPARE(initialised, 1);
    }

    // The window's helper is made once. A later caller's port or callback would be dropped without
    // a word (its requests would go to another port): giving them again is refused, and the helper
    // keeps its first ones.
    void getInstanceRefusesArgumentsOnceMade_data()
    {
        QTest::addColumn<bool>("serial");
        QTest::addColumn<bool>("callback");
        QTest::newRow("a port") << true << false;
        QTest::newRow("a callback") << false << true;
        QTest::newRow("both") << true << true;
    }

    void getInstanceRefusesArgumentsOnceMade()
    {
        QFETCH(bool, serial);
        QFETCH(bool, callback);
        auto first = std::make_shared<SerialHelper>();
        int firstCalls = 0;
        auto helper = WindowDeviceHelper::getInstance(first, [&] { ++firstCalls; });
        QVERIFY_EXCEPTION_THROWN(
            WindowDeviceHelper::getInstance(serial ? std::make_shared<SerialHelper>() : nullptr,
                                      callback ? std::function<void()>([] { QFAIL("second callback"); })
                                               : nullptr),
            std::logic_error);
        QCOMPARE(WindowDeviceHelper::getInstance().get(), helper.get());
        helper->readDeviceInfoCallback(QByteArray::fromHex("FFFFFD0001060055000104") + QByteArray(2, '\0'));
        QCOMPARE(firstCalls, 1);
    }

    // A servo asked in the other protocol hears nothing it understands: no answer, whichever way.
    void otherProtocolGetsNoAnswer_data()
    {
        QTest::addColumn<BusProtocol>("servoSpeaks");
        QTest::newRow("Protocol 2 request, Protocol 1 servo") << BusProtocol::One;
        QTest::newRow("Protocol 1 request, Protocol 2 servo") << BusProtocol::Two;
    }

    void otherProtocolGetsNoAnswer()
    {
        QFETCH(BusProtocol, servoSpeaks);
        startSimulator(simOptions(servosim::Model::Ax12, {}, servoSpeaks));
        _serial->setProtocol(servoSpeaks == BusProtocol::One ? BusProtocol::Two : BusProtocol::One);
        QVERIFY(_serial->isOpen());
        Outcome outcome;
        QVERIFY(_serial->readData(servoId, 0, 4, answerInto(outcome), failureInto(outcome)));
        QTRY_COMPARE_WITH_TIMEOUT(outcome.failures, QList<FailureKind>{FailureKind::Timeout}, 20000);
        QVERIFY(outcome.answers.isEmpty());
        QCOMPARE(_sim->packetsAnswered(), 0);
    }

    void silentServoFailsIdentification()
    {
        startSimulator();
        _sim->injectFault(Fault::NoAnswer);
        auto helper = WindowDeviceHelper::getInstance(_serial, [] { QFAIL("identified a silent servo"); });
        QSignalSpy failed(helper.get(), &DeviceHelper::identificationFailed);
        helper->triggerDeviceInfoRead(servoId);
        QVERIFY(failed.wait(20000));
        QCOMPARE(failed.first().at(0).toInt(), int(servoId));
        QCOMPARE(failed.first().at(1).value<FailureKind>(), FailureKind::Timeout);
        QVERIFY(!helper->getDevice());
    }

    void rebootAndResetAreAcknowledged_data() { addDeliveryRows(); }

    void rebootAndResetAreAcknowledged()
    {
        QFETCH(AnswerDelivery, delivery);
        startSimulator(simOptions(servosim::Model::V1, delivery));
        auto helper = WindowDeviceHelper::getInstance(_serial, [] {});
        QByteArray acknowledgement;
        bool silent = false;
        auto acknowledge = [&](QByteArray answer) { acknowledgement = answer; };
        auto noAnswer = [&] { silent = true; };
        QElapsedTimer clock;
        clock.start();
        QVERIFY(helper->triggerDeviceReboot(servoId, acknowledge, noAnswer));
        QCOMPARE(acknowledgement.size(), 11);
        QCOMPARE(uint8_t(acknowledgement.at(4)), servoId);
        QCOMPARE(uint8_t(acknowledgement.at(8)), uint8_t(0));
        QVERIFY(!silent);
        QVERIFY(!_serial->isOpen()); // the helper closes the port right after
        // Answered: no wait for the limit.
        QVERIFY2(clock.elapsed() < 900, qPrintable(QString::number(clock.elapsed())));

        // Chunks a few milliseconds apart, as a slow adapter delivers them.
        QCOMPARE(_serial->openSerialPort(_sim->portName(), 1000000), QString());
        _sim->injectFault(Fault::Split);
        acknowledgement.clear();
        QVERIFY(helper->triggerDeviceReset(servoId, acknowledge, noAnswer));
        QCOMPARE(acknowledgement.size(), 11);
        QVERIFY(!silent);
        QTRY_COMPARE_WITH_TIMEOUT(_sim->packetsAnswered(), 2, 20000);

        QCOMPARE(_serial->openSerialPort(_sim->portName(), 1000000), QString());
        _sim->injectFault(Fault::NoAnswer);
        acknowledgement.clear();
        clock.restart();
        QVERIFY(helper->triggerDeviceReset(servoId, acknowledge, noAnswer));
        QVERIFY(silent);
        QVERIFY(acknowledgement.isEmpty());
        QVERIFY(clock.elapsed() >= 900);
    }
};

QTEST_GUILESS_MAIN(TestSerialHelper)
#include "tst_serialhelper.moc"
