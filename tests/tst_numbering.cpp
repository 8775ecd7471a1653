// Factory-new servos numbered one at a time, against simulated servos on a pseudo-terminal (with line
// time): the core, velkora-servo number and the dialog.
#include "core/jobs/servonumbering.h"
#include "core/launch/launchoptions.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/modelregistry.h"
#include "core/transport/serialhelper.h"
#include "testmodels.h"
#include "window/dialogs/numberingdialog.h"

#include <cliprocess.h>
#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <tuple>

namespace {

constexpr int factoryRate = 1000000;
constexpr uint8_t instructionWrite = 0x03;
constexpr int temperatureLimit = 67; // what the configuration gives; not the factory's

const FieldCatalogue& v1Catalogue()
{
    static const VelkoraV1 device;
    static const FieldCatalogue catalogue(device);
    return catalogue;
}

int rawIn(const QByteArray& table, const char* key)
{
    return v1Catalogue().byKey(QLatin1String(key))->rawIn(table);
}

// The file's id and rate are never given: each servo keeps the one it was numbered with.
ServoConfiguration hotterConfiguration()
{
    ServoConfiguration configuration;
    configuration.modelNumber = 1025;
    configuration.values = {{"temperatureLimit", temperatureLimit}, {"id", 9}, {"baudRate", 3}};
    return configuration;
}

// Whether `id` answers a ping at `rate`; the port is left at that rate.
bool answers(SerialHelper& serial, int id, int rate)
{
    if (serial.baudRate() != rate) {
        const QString port = serial.portName();
        serial.closeSerialPort();
        if (!serial.openSerialPort(port, rate).isEmpty())
            return false;
    }
    bool done = false;
    bool answered = false;
    serial.ping(
        uint8_t(id), [&](QByteArray) { answered = done = true; },
        [&](FailureKind, const RequestInfo&, uint8_t) { done = true; });
    return QTest::qWaitFor([&] { return done; }, 20000) && answered;
}

QString cliPath()
{
    return QStringLiteral(VSM_CLI_PATH);
}

} // namespace

class TestNumbering : public QObject
{
    Q_OBJECT

    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::shared_ptr<SerialHelper> _serial;

    // `ids` already on the bus, listening at `rate`; the port open at the factory rate.
    void startBus(const QList<int>& ids, int rate)
    {
        servosim::Options options;
        options.ids = ids;
        options.baudRate = factoryRate;
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        for (int id : ids)
            QVERIFY(rate == factoryRate || _sim->setServoBaudRate(id, rate));
        _serial = std::make_shared<SerialHelper>();
        QCOMPARE(_serial->openSerialPort(_sim->portName(), factoryRate), QString());
    }

    int writesTo(const QList<int>& ids) const
    {
        int writes = 0;
        for (const auto& packet : _sim->receivedPackets())
            writes +=
                packet.instruction == instructionWrite && (ids.isEmpty() || ids.contains(packet.id)) ? 1 : 0;
        return writes;
    }

private slots:
    void cleanup()
    {
        _serial.reset();
        _sim.reset();
    }

    // A model that keeps settings only when written with its lock open: numbering and the command
    // line open it, write the id and close it at the new id, and the id outlives a power cycle; a
    // write without the lock (as a servo without one takes it) is gone again after it.
    void idBehindTheLockSurvivesPowerCycle_data()
    {
        QTest::addColumn<QString>("modelName");
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("survives");
        for (const char* name : {"lock-test", "sts3215"}) {
            QTest::addRow("%s: numbering", name) << name << "numbering" << true;
            QTest::addRow("%s: velkora-servo set id=7", name) << name << "set" << true;
            QTest::addRow("%s: a raw write, without the lock", name) << name << "raw" << false;
        }
    }

    void idBehindTheLockSurvivesPowerCycle()
    {
        QFETCH(QString, modelName);
        QFETCH(QString, how);
        QFETCH(bool, survives);
        const QString models = QStringLiteral(VSM_TEST_DATA "/locked");
        ModelRegistry::use({models});
        const auto model = ModelRegistry::shared().byName(modelName);
        QVERIFY(model);
        const int rate = model->factoryBaudRate;
        const auto protocol = BusProtocol(model->protocols.first());
        const int idAt = model->entry("id")->address;
        const int lockAt = model->entry(model->lockKey)->address;
        servosim::Options options;
        options.description = model;
        options.baudRate = rate;
        options.protocol = int(protocol);
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        QTemporaryDir home;
        const auto cli = [&](int id, const QStringList& command) {
            return runCli(cliPath(), home.path(),
                          QStringList{"--port", _sim->portName(), "--baud", QString::number(rate), "--id",
                                      QString::number(id), "--models", models, "--protocol",
                                      protocolWord(protocol)} +
                              command);
        };
        if (how == "set") {
            const CliRun run = cli(1, {"set", "id=7"});
            QVERIFY2(run.finished && run.status == 0, qPrintable(run.out + run.err));
        } else {
            _serial = std::make_shared<SerialHelper>();
            _serial->setProtocol(protocol);
            QCOMPARE(_serial->openSerialPort(_sim->portName(), rate), QString());
            if (how == "numbering") {
                ServoNumbering numbering(_serial);
                QSignalSpy ready(&numbering, &ServoNumbering::servoReady);
                QSignalSpy failed(&numbering, &ServoNumbering::failed);
                numbering.start({1, rate, 7, 0, std::nullopt});
                QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty() || !failed.isEmpty(), 30000);
                QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
            } else {
                QSignalSpy acknowledged(_serial.get(), &SerialHelper::writeAcknowledged);
                QVERIFY(_serial->writeData(1, uint8_t(idAt), QByteArray(1, 7), {}));
                QTRY_COMPARE_WITH_TIMEOUT(acknowledged.count(), 1, 20000);
            }
            _serial.reset();
        }
        QCOMPARE(_sim->servoIds(), QList<int>{7});
        // The writes as they reached the servo: the close went to the id the servo has now.
        QStringList writes;
        for (const auto& packet : _sim->receivedPackets()) {
            const int addressBytes = packet.protocol == 2 ? 2 : 1;
            if (packet.instruction == instructionWrite)
                writes << QStringLiteral("%1:%2=%3")
                              .arg(packet.id)
                              .arg(uint8_t(packet.params.at(0)) |
                                   (addressBytes == 2 ? uint8_t(packet.params.at(1)) << 8 : 0))
                              .arg(QString::fromLatin1(packet.params.mid(addressBytes).toHex()));
        }
        const QString open = QStringLiteral("1:%1=00").arg(lockAt);
        const QString id = QStringLiteral("1:%1=07").arg(idAt);
        const QString close = QStringLiteral("7:%1=01").arg(lockAt);
        const QStringList expected = survives ? QStringList{open, id, close} : QStringList{id};
        QCOMPARE(writes, expected);

        _sim->powerCycle();
        const CliRun atNew = cli(7, {"get", "id"});
        QVERIFY(atNew.finished);
        QCOMPARE(atNew.status, survives ? 0 : 3);
        if (!survives) {
            QVERIFY2(atNew.err.contains("no answer from servo 7"), qPrintable(atNew.err));
            const CliRun atOld = cli(1, {"get", "id"});
            QVERIFY2(atOld.status == 0 && atOld.out.trimmed().endsWith('1'),
                     qPrintable(atOld.out + atOld.err));
        }
        QCOMPARE(_sim->servoIds(), QList<int>{survives ? 7 : 1});
        ModelRegistry::use({});
    }

    void numbersOneAtATime_data()
    {
        QTest::addColumn<QList<int>>("busIds"); // servos on the bus before the new ones
        QTest::addColumn<int>("busRate");
        QTest::addColumn<int>("newRate"); // 0: the factory rate
        QTest::addColumn<bool>("configured");
        QTest::addColumn<QList<int>>("expectedIds");
        QTest::addColumn<QList<int>>("taken");
        QTest::addColumn<bool>("acknowledgementsLost"); // the servo takes its id, its answer is lost
        QTest::newRow("three new servos")
            << QList<int>{200} << factoryRate << 0 << false << QList<int>{2, 3, 4} << QList<int>{} << false;
        QTest::newRow("id 3 on the bus")
            << QList<int>{3} << factoryRate << 0 << false << QList<int>{2, 4, 5} << QList<int>{3} << false;
        QTest::newRow("each configured")
            << QList<int>{200} << factoryRate << 0 << true << QList<int>{2, 3, 4} << QList<int>{} << false;
        QTest::newRow("a new rate") << QList<int>{200} << factoryRate << 57600 << true << QList<int>{2, 3, 4}
                                    << QList<int>{} << false;
        QTest::newRow("id 3 at the new rate only")
            << QList<int>{3} << 57600 << 57600 << false << QList<int>{2, 4, 5} << QList<int>{3} << false;
        QTest::newRow("id 3 at the factory rate only") << QList<int>{3} << factoryRate << 57600 << false
                                                       << QList<int>{2, 4, 5} << QList<int>{3} << false;
        QTest::newRow("acknowledgements lost")
            << QList<int>{200} << factoryRate << 0 << false << QList<int>{2, 3, 4} << QList<int>{} << true;
    }

    // The user plugs in one factory-new servo each time the numbering waits.
    void numbersOneAtATime()
    {
        QFETCH(QList<int>, busIds);
        QFETCH(int, busRate);
        QFETCH(int, newRate);
        QFETCH(bool, configured);
        QFETCH(QList<int>, expectedIds);
        QFETCH(QList<int>, taken);
        QFETCH(bool, acknowledgementsLost);
        startBus(busIds, busRate);
        ServoNumbering numbering(_serial);
        if (acknowledgementsLost)
            connect(&numbering, &ServoNumbering::numbering, this,
                    [&] { _sim->injectFault(servosim::Fault::NoAnswer); });
        int plugged = 0;
        connect(&numbering, &ServoNumbering::waiting, this, [&] {
            if (plugged < expectedIds.size() && _sim->plugServo(1, factoryRate))
                ++plugged;
        });
        QSignalSpy ready(&numbering, &ServoNumbering::servoReady);
        QSignalSpy idTaken(&numbering, &ServoNumbering::idTaken);
        QSignalSpy failed(&numbering, &ServoNumbering::failed);
        QSignalSpy portFailed(&numbering, &ServoNumbering::portFailed);
        NumberingPlan plan;
        plan.newRate = newRate;
        if (configured)
            plan.configuration = hotterConfiguration();
        numbering.start(plan);
        QTRY_VERIFY_WITH_TIMEOUT(
            ready.count() == expectedIds.size() || !failed.isEmpty() || !portFailed.isEmpty(), 30000);
        QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
        QVERIFY(portFailed.isEmpty());
        // Waiting for the next one, at the factory rate.
        QTRY_COMPARE_WITH_TIMEOUT(numbering.state(), ServoNumbering::State::Waiting, 20000);
        QCOMPARE(_serial->baudRate(), factoryRate);
        numbering.stop();
        QCOMPARE(_serial->baudRate(), factoryRate);

        const int rate = newRate > 0 ? newRate : factoryRate;
        QList<int> ids;
        for (const QList<QVariant>& signal : ready) {
            const int id = signal.at(0).toInt();
            ids << id;
            QCOMPARE(signal.at(1).toInt(), rate);
            const QString text = signal.at(2).toString();
            QVERIFY2(text.startsWith(QStringLiteral("Servo %1 ready — connect the next one").arg(id)),
                     qPrintable(text));
            QCOMPARE(text.endsWith(QStringLiteral("; configuration: written and verified")), configured);
        }
        QCOMPARE(ids, expectedIds);
        QList<int> takenIds;
        for (const QList<QVariant>& signal : idTaken)
            takenIds << signal.at(0).toInt();
        QCOMPARE(takenIds, taken);
        QCOMPARE(numbering.results().size(), configured ? expectedIds.size() : 0);

        // None left at the factory id, and none of the servos there before was written to.
        QList<int> all = busIds + expectedIds;
        std::sort(all.begin(), all.end());
        QCOMPARE(_sim->servoIds(), all);
        QCOMPARE(writesTo(busIds), 0);
        int lostAcknowledgements = 0;
        for (const servosim::SentAnswer& answer : _sim->sentAnswers())
            lostAcknowledgements +=
                answer.fault == servosim::Fault::NoAnswer && answer.request.instruction == instructionWrite;
        QCOMPARE(lostAcknowledgements, acknowledgementsLost ? expectedIds.size() : 0);
        for (int id : expectedIds) {
            QVERIFY2(answers(*_serial, id, rate), qPrintable(QStringLiteral("servo %1").arg(id)));
            const QByteArray table = _sim->registers(id);
            QCOMPARE(rawIn(table, "id"), id);
            QCOMPARE(v1Catalogue().baudCodes().value(rawIn(table, "baudRate")), rate);
            if (configured)
                QCOMPARE(rawIn(table, "temperatureLimit"), temperatureLimit);
        }
    }

    void refuses_data()
    {
        QTest::addColumn<QList<int>>("busIds");
        QTest::addColumn<int>("from");
        QTest::addColumn<QString>("trouble"); // what is wrong with the new servo, or beside it
        QTest::addColumn<int>("writes");      // write requests the bus must have received
        QTest::addColumn<QString>("message");
        QTest::newRow("motor on") << QList<int>{200} << 2 << "motor on" << 0 << "motor is on";
        QTest::newRow("write refused")
            << QList<int>{200} << 2 << "refuses writes" << 1 << "the new servo refused its new id: ";
        QTest::newRow("two new servos")
            << QList<int>{200} << 2 << "second plugged in" << 1
            << "servo 2 has its id, but a servo still answers at id 1, 1000000 baud";
        QTest::newRow("no id left") << QList<int>{252} << 252 << "" << 0 << "no id from 252 to 252 is free";
    }

    void refuses()
    {
        QFETCH(QList<int>, busIds);
        QFETCH(int, from);
        QFETCH(QString, trouble);
        QFETCH(int, writes);
        QFETCH(QString, message);
        startBus(busIds, factoryRate);
        QVERIFY(_sim->plugServo(1, factoryRate));
        const FieldCatalogue& catalogue = v1Catalogue();
        if (trouble == "motor on")
            _sim->setRegisters(1, catalogue.byKey(QStringLiteral("enableMotor"))->address,
                               QByteArray(1, '\1'));
        if (trouble == "refuses writes")
            _sim->refuseWritesAt(1, catalogue.byKey(QStringLiteral("id"))->address);
        // Once the first has its id, as a user plugging the next one in too early.
        bool plugged = false;
        if (trouble == "second plugged in")
            connect(_serial.get(), &SerialHelper::writeAcknowledged, this,
                    [&] { plugged = plugged || _sim->plugServo(1, factoryRate); });
        ServoNumbering numbering(_serial);
        QSignalSpy failed(&numbering, &ServoNumbering::failed);
        QSignalSpy ready(&numbering, &ServoNumbering::servoReady);
        NumberingPlan plan;
        plan.nextId = from;
        numbering.start(plan);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 20000);
        QVERIFY2(failed.first().first().toString().contains(message),
                 qPrintable(failed.first().first().toString()));
        QVERIFY(!numbering.isRunning());
        QCOMPARE(ready.count(), 0);
        QCOMPARE(writesTo({}), writes);
        QCOMPARE(_serial->baudRate(), factoryRate);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("interruptAfter"); // SIGTERM once standard output holds this
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("message");
        const QStringList simulated{"--simulate", "--id", "9", "number"};
        QTest::newRow("two servos") << simulated + QStringList{"--from", "2", "--count", "2"} << "" << 0
                                    << "servo 2 at 1000000 baud: ready\nservo 3 at 1000000 baud: ready\n"
                                    << "simulated: a new servo plugged in at id 1";
        QTest::newRow("until interrupted")
            << simulated + QStringList{"--from", "5", "--rate", "57600"} << "servo 5 at 57600 baud: ready"
            << 0 << "servo 5 at 57600 baud: ready"
            << "waiting for a new servo at id 1, 1000000 baud (Ctrl+C ends)";
        QTest::newRow("without --from") << simulated << "" << 2 << ""
                                        << "--from";
        QTest::newRow("the factory id") << simulated + QStringList{"--from", "1"} << "" << 2 << ""
                                        << "factory id";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, interruptAfter);
        QFETCH(int, status);
        QFETCH(QString, output);
        QFETCH(QString, message);
        QTemporaryDir home;
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path()); // no stored settings of the user's
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        process.setProcessEnvironment(environment);
        process.start(cliPath(), arguments);
        QVERIFY(process.waitForStarted());
        QByteArray out;
        if (!interruptAfter.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(
                (out += process.readAllStandardOutput()).contains(interruptAfter.toUtf8()), 20000);
            process.terminate();
        }
        QVERIFY(process.waitForFinished(20000));
        out += process.readAllStandardOutput();
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == status,
                 qPrintable(QStringLiteral("exit %1: %2").arg(process.exitCode()).arg(err)));
        QVERIFY2(QString::fromUtf8(out).contains(output), out.constData());
        QVERIFY2(err.contains(message), qPrintable(err));
    }

    // The dialog opens the stored port, plugs simulated servos in, lists what it numbered and closes
    // the port it opened; without simulated servos it offers none.
    void dialog()
    {
        IsolatedSettings home;
        LaunchOptions options;
        options.simulate = true;
        options.simulatedIds = {9};
        options.baudRate = factoryRate;
        auto session = std::make_unique<LaunchSession>(options);
        QString error;
        QVERIFY2(session->start(&error), qPrintable(error));
        const auto serial = std::make_shared<SerialHelper>();
        {
            NumberingDialog dialog(serial, nullptr);
            QSignalSpy numbered(&dialog, &NumberingDialog::servoNumbered);
            auto* plug = dialog.findChild<QPushButton*>(QStringLiteral("plugSimulatedButton"));
            auto* stop = dialog.findChild<QPushButton*>(QStringLiteral("stopNumberingButton"));
            auto* state = dialog.findChild<QLabel*>(QStringLiteral("numberingStateLabel"));
            QVERIFY(plug && stop && state);
            dialog.show();
            QVERIFY(!stop->isEnabled());
            dialog.findChild<QPushButton*>(QStringLiteral("connectNewServoButton"))->click();
            QVERIFY(serial->isOpen());
            QVERIFY(stop->isEnabled());
            QTRY_COMPARE_WITH_TIMEOUT(
                state->text(), QStringLiteral("Waiting for a new servo at id 1, 1000000 baud…"), 20000);
            plug->click();
            QTRY_COMPARE_WITH_TIMEOUT(numbered.count(), 1, 20000);
            QCOMPARE(numbered.first(), (QList<QVariant>{2, factoryRate}));
            QCOMPARE(dialog.findChild<QListWidget*>(QStringLiteral("numberedList"))->count(), 1);
            QTRY_VERIFY_WITH_TIMEOUT(
                state->text().startsWith(QStringLiteral("Servo 2 ready — connect the next one\nWaiting")),
                20000);
            stop->click();
            QVERIFY(!serial->isOpen());
            QVERIFY(!stop->isEnabled());
            QCOMPARE(session->simulator()->servoIds(), (QList<int>{2, 9}));
        }
        session.reset();
        QVERIFY(!LaunchSession::runningSimulator());
        NumberingDialog plain(serial, nullptr);
        QVERIFY(!plain.findChild<QPushButton*>(QStringLiteral("plugSimulatedButton")));
        // A model's choice sets where its new servos answer.
        auto* model = plain.findChild<QComboBox*>(QStringLiteral("newModelComboBox"));
        QVERIFY(model);
        QCOMPARE(model->currentData().toString(), QStringLiteral("v1"));
        for (const auto& [name, id, rate] :
             {std::tuple{"xl430", 1, 57600}, {"ax12", 1, 1000000}, {"v1", 1, 1000000}}) {
            model->setCurrentIndex(model->findData(QLatin1String(name)));
            QCOMPARE(plain.factoryId(), id);
            QCOMPARE(plain.factoryRate(), rate);
        }
        // Simulated new servos are of the simulated model, and answer where it leaves the factory.
        LaunchOptions xl430;
        xl430.simulate = true;
        xl430.description = ModelRegistry::shared().byName(QStringLiteral("xl430"));
        xl430.baudRate = 1000000;
        LaunchSession simulatedX(xl430);
        QVERIFY2(simulatedX.start(&error), qPrintable(error));
        NumberingDialog forX(serial, nullptr);
        QCOMPARE(forX.findChild<QComboBox*>(QStringLiteral("newModelComboBox"))->currentData().toString(),
                 QStringLiteral("xl430"));
        QCOMPARE(forX.factoryRate(), 57600);
    }
};

QTEST_MAIN(TestNumbering)
#include "tst_numbering.moc"
