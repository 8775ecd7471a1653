// Reads and writes of many servos in one transaction, through the request layer onto simulated servos on a
// pseudo-terminal: a result per servo, one servo's fault failing it alone, every byte in the traffic log.
#include "core/traffic/trafficlog.h"
#include "core/traffic/trafficrecorder.h"
#include "core/transport/serialhelper.h"

#include <servosimulator.h>
#include <testmodels.h>

#include <QSignalSpy>
#include <QtTest>

using servosim::Fault;

Q_DECLARE_METATYPE(BusProtocol)
Q_DECLARE_METATYPE(MultiReadKind)

namespace {

using Spans = QList<QPair<int, int>>; // address and length, servo by servo
using State = MultiReadAnswer::State;

struct Expected
{
    State state = State::Answered;
    FailureKind failure = FailureKind::Timeout;
};

servosim::Options optionsFor(const char* model, BusProtocol protocol, int servos)
{
    servosim::Options options;
    options.description = builtInModel(model);
    options.protocol = static_cast<int>(protocol);
    options.ids.clear();
    for (int id = 1; id <= servos; ++id)
        options.ids.append(id);
    return options;
}

int receivedBytes(const TrafficLog& log)
{
    int bytes = 0;
    for (quint64 seq = log.endSeq() - log.size(); seq < log.endSeq(); ++seq) {
        const TrafficPacket packet = log.at(seq);
        bytes += packet.received && !packet.echo ? packet.size : 0;
    }
    return bytes;
}

} // namespace

Q_DECLARE_METATYPE(QList<Expected>)

class TestMultiReadBus : public QObject
{
    Q_OBJECT

    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<SerialHelper> _serial;

    void startBus(const servosim::Options& options)
    {
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        _serial = std::make_unique<SerialHelper>();
        _serial->setProtocol(static_cast<BusProtocol>(options.protocol));
        QCOMPARE(_serial->openSerialPort(_sim->portName(), options.baudRate), QString());
    }

    // Every servo a position of its own, so a part handed to the wrong servo shows.
    void givePositions(int address, int servos)
    {
        for (int id = 1; id <= servos; ++id)
            _sim->setRegisters(id, address, QByteArray(1, char(0x10 * id)) + char(id));
    }

private slots:
    void cleanup()
    {
        _serial.reset();
        _sim.reset();
    }

    // Three servos asked at once, the second one's answer faulted: it fails alone, with the right kind,
    // and the others' data is theirs. In one combined packet, the servos after a silent or late part
    // have nothing to follow and send nothing; after stray bytes the parts cannot be told apart.
    void resultPerServo_data()
    {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<BusProtocol>("protocol");
        QTest::addColumn<MultiReadKind>("kind");
        QTest::addColumn<Spans>("spans");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QList<Expected>>("expected");

        const Spans position4{{132, 4}, {132, 4}, {132, 4}};
        const Spans mixed{{132, 4}, {128, 8}, {146, 1}}; // position; velocity and position; temperature
        const Spans sts{{56, 2}, {56, 2}, {56, 2}};
        struct Form
        {
            const char* name;
            const char* model;
            BusProtocol protocol;
            MultiReadKind kind;
            Spans spans;
        };
        const QList<Form> forms{
            {"sync read", "xl430", BusProtocol::Two, MultiReadKind::SyncRead, position4},
            {"fast sync read", "xl430", BusProtocol::Two, MultiReadKind::FastSyncRead, position4},
            {"bulk read", "xl430", BusProtocol::Two, MultiReadKind::BulkRead, mixed},
            {"fast bulk read", "xl430", BusProtocol::Two, MultiReadKind::FastBulkRead, mixed},
            {"Feetech sync read", "sts3215", BusProtocol::Feetech, MultiReadKind::SyncRead, sts},
        };
        const Expected ok;
        const Expected silent{State::Failed, FailureKind::Timeout};
        const Expected corrupt{State::Failed, FailureKind::Corrupt};
        struct Case
        {
            const char* name;
            Fault fault;
            QList<Expected> separate;
            QList<Expected> combined;
        };
        const QList<Case> cases{
            {"all answer", Fault::None, {ok, ok, ok}, {ok, ok, ok}},
            {"one silent", Fault::NoAnswer, {ok, silent, ok}, {ok, silent, silent}},
            {"one corrupt", Fault::BadCrc, {ok, corrupt, ok}, {ok, corrupt, ok}},
            {"stray bytes before one", Fault::GarbageBefore, {ok, ok, ok}, {ok, corrupt, corrupt}},
            {"one in pieces", Fault::Split, {ok, ok, ok}, {ok, ok, ok}},
            {"one late", Fault::Delayed, {ok, silent, ok}, {ok, silent, silent}},
        };
        for (const Form& form : forms) {
            for (const Case& c : cases) {
                QTest::addRow("%s, %s", form.name, c.name)
                    << QByteArray(form.model) << form.protocol << form.kind << form.spans << c.fault
                    << (isCombined(form.kind) ? c.combined : c.separate);
            }
        }
    }

    void resultPerServo()
    {
        QFETCH(QByteArray, model);
        QFETCH(BusProtocol, protocol);
        QFETCH(MultiReadKind, kind);
        QFETCH(Spans, spans);
        QFETCH(Fault, fault);
        QFETCH(QList<Expected>, expected);

        startBus(optionsFor(model.constData(), protocol, int(spans.size())));
        givePositions(spans.front().first, int(spans.size()));
        TrafficLog log;
        TrafficRecorder recorder(&log);
        _serial->setTrafficRecorder(&recorder);
        _sim->injectFault(Fault::None, 1);
        _sim->injectFault(fault, 1);

        QList<MultiReadItem> items;
        for (int i = 0; i < spans.size(); ++i)
            items.append({uint8_t(i + 1), uint16_t(spans[i].first), uint16_t(spans[i].second), -1});
        QList<QList<MultiReadAnswer>> results;
        QVERIFY(_serial->multiRead(kind, items, [&](const QList<MultiReadAnswer>& answers) {
            results.append(answers);
        }));
        QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 10000);
        QVERIFY(!_serial->isBusy());

        const QList<MultiReadAnswer> answers = results.front();
        QCOMPARE(answers.size(), items.size());
        for (int i = 0; i < answers.size(); ++i) {
            const MultiReadAnswer& answer = answers[i];
            QCOMPARE(answer.id, items[i].id);
            QCOMPARE(int(answer.state), int(expected[i].state));
            if (answer.state == State::Failed) {
                QCOMPARE(answer.failure, expected[i].failure);
                continue;
            }
            QCOMPARE(answer.data, _sim->registers(answer.id).mid(spans[i].first, spans[i].second));
        }

        // The monitor shows every answer the servos sent, a late one's too once it came.
        int sent = 0;
        for (const auto& answer : _sim->sentAnswers())
            sent += answer.fault == Fault::NoAnswer ? 0 : int(answer.packet.size());
        QVERIFY(sent > 0);
        QTRY_VERIFY_WITH_TIMEOUT(receivedBytes(log) >= sent, 10000);
        // Nothing arrives after the transaction ends that the next one could mistake for its own.
        QList<QByteArray> next;
        QVERIFY(_serial->readData(1, uint8_t(spans.front().first), uint8_t(spans.front().second),
                                  [&](QByteArray answer) { next.append(answer); }));
        QTRY_COMPARE_WITH_TIMEOUT(next.size(), 1, 10000);
    }

    // A request the layer cannot send fails every servo at once, before the call returns.
    void refusedBeforeSending_data()
    {
        QTest::addColumn<BusProtocol>("protocol");
        QTest::addColumn<MultiReadKind>("kind");
        QTest::addColumn<Spans>("spans");
        QTest::newRow("sync read over different spans")
            << BusProtocol::Two << MultiReadKind::SyncRead << Spans{{132, 4}, {128, 4}};
        QTest::newRow("no servo") << BusProtocol::Two << MultiReadKind::FastSyncRead << Spans{};
        QTest::newRow("bulk read in Protocol 1's form")
            << BusProtocol::Feetech << MultiReadKind::BulkRead << Spans{{56, 2}, {56, 2}};
    }

    void refusedBeforeSending()
    {
        QFETCH(BusProtocol, protocol);
        QFETCH(MultiReadKind, kind);
        QFETCH(Spans, spans);
        startBus(optionsFor(protocol == BusProtocol::Two ? "xl430" : "sts3215", protocol, 2));
        QSignalSpy failures(_serial.get(), &SerialHelper::transactionFailed);
        QList<MultiReadItem> items;
        for (int i = 0; i < spans.size(); ++i)
            items.append({uint8_t(i + 1), uint16_t(spans[i].first), uint16_t(spans[i].second), -1});
        QList<MultiReadAnswer> told;
        int calls = 0;
        QVERIFY(!_serial->multiRead(kind, items, [&](const QList<MultiReadAnswer>& answers) {
            told = answers;
            ++calls;
        }));
        QCOMPARE(calls, 1);
        QCOMPARE(told.size(), items.size());
        for (const MultiReadAnswer& answer : told)
            QCOMPARE(answer.failure, FailureKind::NotSent);
        QVERIFY(!_serial->isBusy());
        QCOMPARE(failures.count(), 0);
        QCOMPARE(_sim->packetsReceived(), 0);
    }

    // A request that takes over a multi-servo read still tells that read's caller: every servo not yet
    // heard from has failed.
    void supersededReadIsTold()
    {
        startBus(optionsFor("xl430", BusProtocol::Two, 3));
        QList<MultiReadItem> items{{1, 132, 4, -1}, {2, 132, 4, -1}, {3, 132, 4, -1}};
        QList<QList<MultiReadAnswer>> results;
        QVERIFY(_serial->multiRead(MultiReadKind::SyncRead, items,
                                   [&](const QList<MultiReadAnswer>& answers) { results.append(answers); }));
        QList<QByteArray> pinged;
        QVERIFY(_serial->ping(1, [&](QByteArray answer) { pinged.append(answer); }));
        QCOMPARE(results.size(), 1);
        for (const MultiReadAnswer& answer : results.front())
            QCOMPARE(int(answer.state), int(State::Failed));
        QTRY_COMPARE_WITH_TIMEOUT(pinged.size(), 1, 10000);
        QCOMPARE(results.size(), 1);
    }

    // One sync write sets a register of every servo listed, in both packet forms, and ends at once.
    void syncWriteReachesEveryServo_data()
    {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<BusProtocol>("protocol");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("length");
        QTest::newRow("XL430 goal positions") << QByteArray("xl430") << BusProtocol::Two << 116 << 4;
        QTest::newRow("STS3215 goal positions") << QByteArray("sts3215") << BusProtocol::Feetech << 42 << 2;
    }

    void syncWriteReachesEveryServo()
    {
        QFETCH(QByteArray, model);
        QFETCH(BusProtocol, protocol);
        QFETCH(int, address);
        QFETCH(int, length);
        startBus(optionsFor(model.constData(), protocol, 4));
        std::vector<Kestrabus::SyncWriteItem> items;
        for (uint8_t id : {1, 2, 4})
            items.push_back({id, QByteArray(1, char(id * 7)) + QByteArray(length - 1, '\0')});
        const QByteArray untouched = _sim->registers(3).mid(address, length);
        QVERIFY(_serial->syncWrite(uint16_t(address), items));
        QVERIFY(!_serial->isBusy());
        for (const auto& item : items)
            QTRY_COMPARE_WITH_TIMEOUT(_sim->registers(item.id).mid(address, length), item.data, 10000);
        QCOMPARE(_sim->registers(3).mid(address, length), untouched);
        QCOMPARE(_sim->packetsAnswered(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMultiReadBus)
#include "tst_multireadbus.moc"
