// The connection without a window: a session against the simulated bus, step by step, as the
// window and the command line see it through its signals.
#include "core/files/servoconfiguration.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/idevice.h"
#include "core/session/devicehelper.h"
#include "window/controllers/windowdevicehelper.h"
#include "core/session/servosession.h"
#include "core/transport/serialhelper.h"

#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using servosim::Fault;

Q_DECLARE_METATYPE(BusProtocol)

namespace {
constexpr int waitMs = 20000;
constexpr int pollMs = 20;
} // namespace

class TestServoSession : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedSettings> _home;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::shared_ptr<SerialHelper> _serial;
    std::shared_ptr<DeviceHelper> _device;
    std::unique_ptr<ServoSession> _session;

    void start(servosim::Options options = {})
    {
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
    }

    SessionTarget target(int id = 1, BusProtocol protocol = BusProtocol::Two) const
    {
        return {_sim->portName(), 1000000, protocol, id};
    }

    // Opens at `id` and waits until the servo identified itself.
    void openIdentified(int id = 1)
    {
        QSignalSpy identified(_session.get(), &ServoSession::identified);
        QVERIFY(_session->open(target(id)));
        QVERIFY(identified.count() == 1 || identified.wait(waitMs));
    }

private slots:
    void initTestCase()
    {
        // The scheduler's live values read the unit choice from the settings.
        _home = std::make_unique<IsolatedSettings>();
        QVERIFY(_home->isValid());
    }

    // Each session has its own helper: nothing here may lean on the window's.
    void init()
    {
        _serial = std::make_shared<SerialHelper>();
        _device = std::make_shared<DeviceHelper>(_serial);
        _session = std::make_unique<ServoSession>(_serial, _device);
        QVERIFY(!WindowDeviceHelper::_instance);
    }

    void cleanup()
    {
        _session.reset();
        _device.reset();
        _serial.reset();
        _sim.reset();
        QVERIFY(!WindowDeviceHelper::_instance);
    }

    // Open → identified → first table → closed, each told once and in this order; the model
    // read is the servo's.
    void opensIdentifiesPollsAndCloses_data()
    {
        QTest::addColumn<servosim::Model>("model");
        QTest::addColumn<BusProtocol>("protocol");
        QTest::addColumn<int>("memoryLimit");
        QTest::newRow("V1") << servosim::Model::V1 << BusProtocol::Two << 118;
        QTest::newRow("AX-12 in Protocol 1") << servosim::Model::Ax12 << BusProtocol::One << 50;
    }

    void opensIdentifiesPollsAndCloses()
    {
        QFETCH(servosim::Model, model);
        QFETCH(BusProtocol, protocol);
        QFETCH(int, memoryLimit);
        servosim::Options options;
        options.model = model;
        options.protocol = static_cast<int>(protocol);
        start(options);
        QStringList steps;
        const auto step = [&](const char* name) { return [&steps, name] { steps << name; }; };
        connect(_session.get(), &ServoSession::opened, this, step("opened"));
        connect(_session.get(), &ServoSession::identified, this, step("identified"));
        connect(_session.get(), &ServoSession::firstTable, this, step("first table"));
        connect(_session.get(), &ServoSession::closed, this, step("closed"));
        connect(_session.get(), &ServoSession::identificationFailed, this, step("identification failed"));
        connect(_session.get(), &ServoSession::portFailed, this, step("port failed"));

        QVERIFY(_session->open(target(1, protocol)));
        QCOMPARE(steps, QStringList{"opened"});
        QCOMPARE(_session->state(), ServoSession::State::Identifying);
        QVERIFY(_session->scheduler() && !_session->scheduler()->isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(steps.size(), 2, waitMs);
        QCOMPARE(steps.last(), QStringLiteral("identified"));
        QCOMPARE(_session->state(), ServoSession::State::Connected);
        QCOMPARE(_session->device()->getMemoryUpperLimit(), memoryLimit);

        // Nothing is polled until asked; then the first table is told once, however many follow.
        _session->startPolling(pollMs);
        QTRY_COMPARE_WITH_TIMEOUT(steps.size(), 3, waitMs);
        QCOMPARE(steps.last(), QStringLiteral("first table"));
        const std::shared_ptr<UiScheduler> scheduler = _session->scheduler();
        QCOMPARE(scheduler->lastTable().size(), memoryLimit);
        QCOMPARE(scheduler->lastTable().left(2), _sim->registers(1).left(2)); // the model number
        QSignalSpy tables(scheduler.get(), &UiScheduler::tableDecoded);
        QVERIFY(tables.wait(waitMs));

        QCOMPARE(_session->close(), QString()); // no write was lost
        QCOMPARE(steps, (QStringList{"opened", "identified", "first table", "closed"}));
        QCOMPARE(_session->state(), ServoSession::State::Closed);
        QVERIFY(!scheduler->isRunning());
        QVERIFY(!_serial->isOpen()); // no close delay asked for
    }

    // A servo that does not identify itself is said so, with how the read failed; nothing is
    // polled, and only closing is left.
    void identificationFailureSaysHow_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<FailureKind>("kind");
        QTest::newRow("no servo at that id") << 7 << Fault::None << FailureKind::Timeout;
        QTest::newRow("silent servo") << 1 << Fault::NoAnswer << FailureKind::Timeout;
        QTest::newRow("corrupt answer") << 1 << Fault::BadCrc << FailureKind::Corrupt;
        QTest::newRow("cut short") << 1 << Fault::Truncated << FailureKind::Incomplete;
        QTest::newRow("another servo answers") << 1 << Fault::WrongId << FailureKind::WrongId;
    }

    void identificationFailureSaysHow()
    {
        QFETCH(int, id);
        QFETCH(Fault, fault);
        QFETCH(FailureKind, kind);
        start();
        _sim->injectFault(fault);
        QSignalSpy failed(_session.get(), &ServoSession::identificationFailed);
        QSignalSpy identified(_session.get(), &ServoSession::identified);
        QVERIFY(_session->open(target(id)));
        QVERIFY(failed.wait(waitMs));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().at(0).toInt(), id);
        QCOMPARE(failed.first().at(1).value<FailureKind>(), kind);
        QCOMPARE(_session->state(), ServoSession::State::NotIdentified);
        QVERIFY(!_session->device());
        QVERIFY(identified.isEmpty());
        // A late answer identifies nothing once the session gave up.
        _device->readDeviceInfoCallback(QByteArray::fromHex("fffffd0001060055000000000000"));
        QVERIFY(identified.isEmpty());
        _session->close();
        QCOMPARE(_session->state(), ServoSession::State::Closed);
        QVERIFY(!_serial->isOpen());
    }

    // A port that cannot be opened is told with the port's own words; no connection is made.
    void portThatCannotBeOpenedIsTold_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("error"); // part of it
        QTest::newRow("gone") << QStringLiteral("/nonexistent/ttyUSB9") << QStringLiteral("No such file");
        QTest::newRow("not a serial port")
            << QStringLiteral("/dev/null") << QStringLiteral("not a serial port");
    }

    void portThatCannotBeOpenedIsTold()
    {
        QFETCH(QString, port);
        QFETCH(QString, error);
        QSignalSpy failed(_session.get(), &ServoSession::portFailed);
        QSignalSpy opened(_session.get(), &ServoSession::opened);
        QVERIFY(!_session->open({port, 1000000, BusProtocol::Two, 1}));
        QCOMPARE(failed.size(), 1);
        const QString told = failed.first().at(0).toString();
        QVERIFY2(told.contains(error), qPrintable(told));
        QVERIFY(opened.isEmpty());
        QVERIFY(!_session->scheduler());
        QCOMPARE(_session->state(), ServoSession::State::Closed);
        QCOMPARE(_session->portName(), port); // for the message that names it
    }

    // With a close delay the port outlives a close for a moment, a session opened meanwhile keeps
    // it, and releasing it closes it at once.
    void closeDelayKeepsThePortForAReconnect()
    {
        start();
        _session->setCloseDelay(100);
        openIdentified();
        _session->close();
        QVERIFY(_serial->isOpen());
        QTRY_VERIFY_WITH_TIMEOUT(!_serial->isOpen(), waitMs);

        openIdentified();
        _session->startPolling(pollMs);
        _session->close();
        openIdentified();
        _session->startPolling(pollMs);
        // Ten polls at 20 ms outlast the delay of the close before.
        const std::shared_ptr<UiScheduler> scheduler = _session->scheduler();
        QTRY_VERIFY_WITH_TIMEOUT(scheduler->statistics().polls() > 10, waitMs);
        QVERIFY(_serial->isOpen());
        QCOMPARE(scheduler->statistics().failures(), 0);

        _session->close();
        _session->releasePort();
        QVERIFY(!_serial->isOpen());
    }

    // A write that gives the servo a new id is followed: the session says where it went (its own
    // address still the old one while it says so) and polls it there.
    void followsAServoAWriteMoved()
    {
        start();
        openIdentified();
        _session->startPolling(pollMs);
        QSignalSpy firstTable(_session.get(), &ServoSession::firstTable);
        QVERIFY(firstTable.wait(waitMs));
        struct Told
        {
            int id, baudRate;
            WriteOutcome::Answer answer;
            int sessionIdThen;
        };
        QList<Told> told;
        connect(_session.get(), &ServoSession::servoMoved, this,
                [&](int id, int baudRate, WriteOutcome::Answer answer) {
                    told.append({id, baudRate, answer, _session->servoId()});
                });
        const FieldCatalogue catalogue(*_session->device());
        const QList<GroupWrite> writes = groupWrites(catalogue, {{QStringLiteral("id"), 5}});
        QCOMPARE(writes.size(), 1);
        _session->scheduler()->addWrite(writes.first());
        QTRY_COMPARE_WITH_TIMEOUT(told.size(), 1, waitMs);
        QCOMPARE(told.first().id, 5);
        QCOMPARE(told.first().baudRate, 1000000);
        QVERIFY(told.first().answer == WriteOutcome::Answer::Acknowledged);
        QCOMPARE(told.first().sessionIdThen, 1);
        QCOMPARE(_session->servoId(), 5);
        QCOMPARE(_session->baudRate(), 1000000);
        QCOMPARE(_session->scheduler()->servoId(), 5);
        const int polls = _session->scheduler()->statistics().polls();
        QTRY_VERIFY_WITH_TIMEOUT(_session->scheduler()->statistics().polls() > polls + 3, waitMs);
        QVERIFY(_session->scheduler()->isServoAnswering());
    }

    // An unplugged adapter is told while connected; the session leaves the ending to its driver.
    void lostPortIsToldWhileConnected()
    {
        start();
        openIdentified();
        QSignalSpy lost(_session.get(), &ServoSession::portLost);
        _sim->unplug();
        QVERIFY(lost.wait(waitMs));
        QCOMPARE(lost.size(), 1);
        QCOMPARE(_session->state(), ServoSession::State::Connected);
        _session->close();
        QVERIFY(!_serial->isOpen());
    }
};

QTEST_GUILESS_MAIN(TestServoSession)
#include "tst_servosession.moc"
