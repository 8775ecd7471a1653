#include "core/files/servoconfiguration.h"
#include "core/jobs/configurationwriter.h"
#include "core/model/describeddevice.h"
#include "core/model/modelregistry.h"
#include "core/session/devicehelper.h"
#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"
#include "core/units/unitshelper.h"
#include "testmodels.h"
#include "window/controllers/windowdevicehelper.h"
#include "window/dialogs/configurationdialog.h"
#include "window/editview/uiregisterhelper.h"

#include <connectedwindow.h>
#include <servosimulator.h>

#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTableWidget>
#include <QtTest>

namespace {

const QString fileName = QStringLiteral("arm-joint-1.json");

// A servo's table with every kept setting drawn at random inside what its field holds; the id
// and the baud code stay as they are.
QByteArray randomSettings(const FieldCatalogue& catalogue, QByteArray table, QRandomGenerator& random)
{
    for (const FieldRecord& field : catalogue.fields()) {
        if (!ServoConfiguration::isKept(field) || field.key == "id" || field.key == "baudRate")
            continue;
        const qint64 low = field.hasRange ? std::min(field.rawMin, field.rawMax) : 0;
        const qint64 high = field.hasRange ? std::max(field.rawMin, field.rawMax) : 4;
        const auto raw = static_cast<uint32_t>(low + qint64(random.bounded(double(high - low + 1))));
        for (int i = 0; i < field.size; ++i)
            table[field.address + i] = char((raw >> (8 * i)) & 0xFF);
    }
    return table;
}

QJsonObject sampleFile()
{
    return QJsonDocument::fromJson(R"({"format": "velkora-servo-configuration", "version": 1,
        "servo": {"id": 1, "baudRate": 1000000, "modelNumber": 1025, "firmware": 3},
        "values": {"temperatureLimit": {"raw": 80, "value": 80, "unit": "°C"}}})")
        .object();
}

// Chooses `path` in a file dialog as a user does: by typing its name where the dialog takes it.
// (selectFile() leaves the name box alone while it has the focus, which the dialog may or may
// not have got by now.)
void chooseFile(QFileDialog* chooser, const QString& path)
{
    chooser->setDirectory(QFileInfo(path).absolutePath());
    auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(name);
    name->setText(QFileInfo(path).fileName());
    QMetaObject::invokeMethod(chooser, "accept");
}

UnitsHelper unitsOf(int choice)
{
    auto units = std::make_shared<PhysicalQuantities>();
    units->angularVelocity = units->angle = units->torque = units->current = units->temperature = choice;
    return UnitsHelper(units);
}

} // namespace

class TestConfiguration : public QObject
{
    Q_OBJECT

    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

private slots:
    void cleanup()
    {
        _window.reset();
        _sim.reset();
        WindowDeviceHelper::_instance.reset();
        UiRegisterHelper::_instance.reset();
    }

    // A file applied to a model that keeps settings only behind its lock: opened before, closed
    // after, and the values outlive a power cycle. A lock the servo leaves open is a failure.
    void lockedModelKeepsTheFile_data()
    {
        QTest::addColumn<bool>("lockStaysOpen");
        QTest::addColumn<QString>("result");       // a pattern
        QTest::addColumn<int>("temperatureLimit"); // after a power cycle
        QTest::newRow("applied") << false << "^written and verified$" << 61;
        // The servo refuses the lock: the open (nothing more is written behind it), then the close.
        QTest::newRow("the lock left open") << true << "^refused: .+; the settings lock was left open$" << 72;
    }

    void lockedModelKeepsTheFile()
    {
        QFETCH(bool, lockStaysOpen);
        ModelRegistry::use({QStringLiteral(VSM_TEST_DATA "/locked")});
        const auto model = ModelRegistry::shared().byName(QStringLiteral("lock-test"));
        QVERIFY(model);
        servosim::Options options;
        options.description = model;
        options.baudRate = model->factoryBaudRate;
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        const FieldCatalogue catalogue{DescribedDevice(model)};
        const int lock = catalogue.lockField()->address;
        const int limit = catalogue.byKey("temperatureLimit")->address;
        if (lockStaysOpen) {
            _sim->setRegisters(1, lock, QByteArray(1, char(catalogue.lockOpen())));
            _sim->refuseWritesAt(1, lock);
        }
        auto serial = std::make_shared<SerialHelper>();
        QCOMPARE(serial->openSerialPort(_sim->portName(), model->factoryBaudRate), QString());
        ServoConfiguration file;
        file.modelNumber = model->modelNumbers.first();
        file.values = {{"temperatureLimit", 61}, {"returnDelayTime", 20}};
        ConfigurationWriter writer(serial, file);
        QSignalSpy finished(&writer, &ConfigurationWriter::finished);
        writer.start({BusAddress{1, model->factoryBaudRate}});
        QVERIFY(finished.wait(20000));
        QCOMPARE(writer.results().size(), 1);
        QFETCH(QString, result);
        const QString text = writer.results().first().text();
        QVERIFY2(QRegularExpression(result).match(text).hasMatch(), qPrintable(text));
        // The close was the last write, whatever became of the ones before.
        int lastWrite = -1;
        for (const auto& packet : _sim->receivedPackets())
            if (packet.instruction == 0x03)
                lastWrite = uint8_t(packet.params.at(0));
        QCOMPARE(lastWrite, lock);
        serial.reset();
        _sim->powerCycle();
        QTEST(int(_sim->registers(1).at(limit)), "temperatureLimit");
        ModelRegistry::use({});
    }

    // As a user goes: save, a few values change, Compare shows exactly those ticked, Apply
    // selected puts them back and says so.
    void saveChangeCompareRestore()
    {
        IsolatedSettings home;
        testfixture::openConnected(home, servosim::Model::V1, {}, 1, 20, _sim, _window);
        const QString path = home.path() + "/joint.json";
        ConfigurationDialog* dialog = _window->configurationDialog();
        _window->findChild<QAction*>("actionSaveConfiguration")->trigger(); // once the first table is read
        QTRY_VERIFY_WITH_TIMEOUT(_window->findChild<QFileDialog*>(), 20000);
        auto* chooser = _window->findChild<QFileDialog*>();
        chooseFile(chooser, path); // as the user's Save
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!_window->findChild<QFileDialog*>(), 20000); // closed and gone
        const QByteArray saved = _sim->registers(1);

        _sim->setRegisters(1, 11, QByteArray(1, char(70)));   // temperature limit
        _sim->setRegisters(1, 54, QByteArray("\x10\x02", 2)); // position P gain
        _sim->setRegisters(1, 3, QByteArray(1, char(1)));     // the id as it is
        QTRY_COMPARE_WITH_TIMEOUT(int(UiRegisterHelper::_instance->lastTable().at(54)), 0x10, 20000);
        _window->findChild<QAction*>("actionCompareConfiguration")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(
            _window->findChild<QFileDialog*>() && _window->findChild<QFileDialog*>()->isVisible(), 20000);
        chooser = _window->findChild<QFileDialog*>();
        chooseFile(chooser, path);
        QTRY_VERIFY_WITH_TIMEOUT(dialog->isVisible(), 20000);
        QCOMPARE(dialog->tickedKeys(), QStringList({"temperatureLimit", "positionProportionalTerm"}));
        QCOMPARE(dialog->findChild<QTableWidget*>("configurationTable")->rowCount(), 2);
        dialog->applySelected();
        QTRY_VERIFY_WITH_TIMEOUT(
            _window->statusBar()->currentMessage().startsWith(
                "Configuration from joint.json: 2 values written and verified, 0 differ"),
            20000);
        QCOMPARE(_sim->registers(1).mid(0, 86).toHex(), saved.mid(0, 86).toHex());

        // Two files, no servo needed: only where they differ.
        QFile original(path);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QJsonObject file = QJsonDocument::fromJson(original.readAll()).object();
        QJsonObject values = file.value("values").toObject();
        values.insert("temperatureLimit", QJsonObject{{"value", 158}, {"unit", "°F"}});
        file.insert("values", values);
        QFile changed(home.path() + "/joint-hot.json");
        QVERIFY(changed.open(QIODevice::WriteOnly));
        changed.write(QJsonDocument(file).toJson());
        changed.close();
        QVERIFY(dialog->compareFiles(path, changed.fileName()));
        auto* table = dialog->findChild<QTableWidget*>("configurationTable");
        QCOMPARE(table->rowCount(), 1);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("Temperature limit"));
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("70"));
    }

    // The window and velkora-servo save the same file for the same servo, in the units chosen
    // in Settings, but for the time of saving.
    void commandLineSavesTheWindowsFile()
    {
        IsolatedSettings home;
        testfixture::openConnected(home, servosim::Model::V1, {{"angle", 1}, {"temperature", 1}}, 1, 20, _sim,
                                   _window);
        const QString windowPath = home.path() + "/window.json";
        _window->findChild<QAction*>("actionSaveConfiguration")->trigger(); // once the first table is read
        QTRY_VERIFY_WITH_TIMEOUT(_window->findChild<QFileDialog*>(), 20000);
        auto* chooser = _window->findChild<QFileDialog*>();
        chooseFile(chooser, windowPath);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(windowPath), 20000);
        _window.reset(); // lets go of the port
        WindowDeviceHelper::_instance.reset();

        QProcess cli;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", home.path() + "/user"); // the window's stored port, id, units
        cli.setProcessEnvironment(environment);
        const QString cliPath = home.path() + "/cli.json";
        cli.start(QStringLiteral(VSM_CLI_PATH), {"save", cliPath});
        QVERIFY(cli.waitForFinished(20000));
        QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());

        auto withoutTime = [](const QString& path) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                return QJsonObject();
            QJsonObject document = QJsonDocument::fromJson(file.readAll()).object();
            document.remove("saved");
            return document;
        };
        const QJsonObject fromWindow = withoutTime(windowPath);
        QCOMPARE(fromWindow.value("values")
                     .toObject()
                     .value("temperatureLimit")
                     .toObject()
                     .value("unit")
                     .toString(),
                 QStringLiteral("°F"));
        QCOMPARE(withoutTime(cliPath), fromWindow);
    }

    // Each kind of doubtful file is refused, naming the file and the field; nothing is taken.
    void doubtfulFilesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("json"); // empty: the sample file changed by `change`
        QTest::addColumn<QString>("path");    // in the sample file, "values/<key>" or "<member>"
        QTest::addColumn<QString>("entry");   // JSON of what goes there
        QTest::addColumn<QString>("error");
        QTest::newRow("not JSON") << QByteArray("{\"format\": ") << ""
                                  << ""
                                  << "not a configuration file";
        QTest::newRow("another format") << QByteArray() << "format"
                                        << "\"photo\""
                                        << "not a servo configuration";
        QTest::newRow("newer version") << QByteArray() << "version"
                                       << "2"
                                       << "format version 2 by a newer";
        QTest::newRow("unknown key") << QByteArray() << "values/tempLimit"
                                     << R"({"raw": 1})"
                                     << "unknown field \"tempLimit\"";
        QTest::newRow("a command") << QByteArray() << "values/enableMotor"
                                   << R"({"raw": 1})"
                                   << "\"enableMotor\" is not a setting";
        QTest::newRow("raw outside the range") << QByteArray() << "values/temperatureLimit"
                                               << R"({"raw": 300})"
                                               << "\"temperatureLimit\": raw value 300 is outside";
        QTest::newRow("value outside the range") << QByteArray() << "values/minVoltageLimit"
                                                 << R"({"value": 40, "unit": "V"})"
                                                 << "\"minVoltageLimit\": 40 V is outside";
        QTest::newRow("unknown unit") << QByteArray() << "values/temperatureLimit"
                                      << R"({"value": 80, "unit": "K"})"
                                      << "unknown unit \"K\"";
        QTest::newRow("raw and value disagree") << QByteArray() << "values/temperatureLimit"
                                                << R"({"raw": 80, "value": 90, "unit": "°C"})"
                                                << "raw value 80 is 80 °C, not 90 °C";
        QTest::newRow("raw not whole") << QByteArray() << "values/temperatureLimit"
                                       << R"({"raw": 80.5})"
                                       << "must be a whole number";
        QTest::newRow("no baud-rate code") << QByteArray() << "values/baudRate"
                                           << R"({"raw": 2})"
                                           << "2 is no baud-rate code";
        QTest::newRow("another model")
            << QByteArray() << "servo"
            << R"({"id": 1, "baudRate": 1000000, "modelNumber": 12, "firmware": 3})"
            << "model number 12; this servo is model number 1025";
    }

    void doubtfulFilesAreRefused()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, path);
        QFETCH(QString, entry);
        QFETCH(QString, error);
        if (json.isEmpty()) {
            QJsonObject file = sampleFile();
            const QJsonValue value = QJsonDocument::fromJson("[" + entry.toUtf8() + "]").array().at(0);
            if (path.startsWith("values/")) {
                QJsonObject values = file.value("values").toObject();
                values.insert(path.mid(7), value);
                file.insert("values", values);
            } else {
                file.insert(path, value);
            }
            json = QJsonDocument(file).toJson();
        }
        const FieldCatalogue catalogue{VelkoraV1()};
        const auto result = ServoConfiguration::fromJson(json, fileName, catalogue, 1025, 3);
        QVERIFY2(result.error.startsWith(fileName + ": ") && result.error.contains(error),
                 qPrintable(result.error));
        // The sample itself is fine.
        QCOMPARE(
            ServoConfiguration::fromJson(QJsonDocument(sampleFile()).toJson(), fileName, catalogue, 1025, 3)
                .error,
            QString());
    }

    void firmwareWarning_data()
    {
        QTest::addColumn<int>("saved");  // the file's firmware; -1: the file names none
        QTest::addColumn<int>("servos"); // -1: not known
        QTest::addColumn<QString>("warning");
        QTest::newRow("same") << 3 << 3 << "";
        QTest::newRow("another") << 2 << 3
                                 << "arm-joint-1.json was saved from firmware 2; this servo runs firmware 3.";
        QTest::newRow("file names none") << -1 << 3 << "";
        QTest::newRow("servo's not known") << 2 << -1 << "";
    }

    // Two firmware versions are compared only when both are known.
    void firmwareWarning()
    {
        QFETCH(int, saved);
        QFETCH(int, servos);
        QFETCH(QString, warning);
        QJsonObject file = sampleFile();
        QJsonObject servo = file.value("servo").toObject();
        if (saved < 0)
            servo.remove("firmware");
        else
            servo.insert("firmware", saved);
        file.insert("servo", servo);
        const FieldCatalogue catalogue{VelkoraV1()};
        const auto result =
            ServoConfiguration::fromJson(QJsonDocument(file).toJson(), fileName, catalogue, 1025, servos);
        QCOMPARE(result.error, QString());
        QCOMPARE(result.warning, warning);
    }

    void noSaveOrCompareBeforeTheFirstTable_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("answers"); // the servo sends its table after a moment
        QTest::newRow("save, table comes") << "actionSaveConfiguration" << true;
        QTest::newRow("save, none comes") << "actionSaveConfiguration" << false;
        QTest::newRow("compare, table comes") << "actionCompareConfiguration" << true;
        QTest::newRow("compare, none comes") << "actionCompareConfiguration" << false;
    }

    // Right after Connect no table has been read: Save and Compare wait for one rather than take
    // zeros (or the table of the servo connected before), and say so when none comes.
    void noSaveOrCompareBeforeTheFirstTable()
    {
        QFETCH(QString, action);
        QFETCH(bool, answers);
        IsolatedSettings home;
        testfixture::openConnected(home, servosim::Model::V1, {}, 1, 20, _sim, _window);
        const QString path = home.path() + "/joint.json";
        // As the user's choice reaches the program, without the file dialog's own checks.
        auto chooseBySignal = [this](const QString& file) {
            QTRY_VERIFY_WITH_TIMEOUT(_window->findChild<QFileDialog*>(), 20000);
            auto* chooser = _window->findChild<QFileDialog*>();
            emit chooser->fileSelected(file);
            chooser->reject();
            QTRY_VERIFY_WITH_TIMEOUT(!_window->findChild<QFileDialog*>(), 20000);
        };
        _window->findChild<QAction*>("actionSaveConfiguration")->trigger();
        chooseBySignal(path);
        QVERIFY(QFile::exists(path));
        QFile::rename(path, path + ".first");
        _window->getDisconnectAction()->trigger();

        _sim->setRegisters(1, 11, QByteArray(1, char(70))); // temperature limit
        // Silent from the moment the servo is identified: the connection gets no table.
        QObject silence;
        connect(WindowDeviceHelper::getInstance().get(), &DeviceHelper::loadDeviceMetadata, &silence,
                [this] { _sim->setSilent(true); });
        _window->getConnectAction()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(), QStringLiteral("Connected"), 20000);
        _window->findChild<QAction*>(action)->trigger();
        QVERIFY(!_window->findChild<QFileDialog*>());
        if (!answers) {
            QTRY_VERIFY_WITH_TIMEOUT(_window->findChild<QMessageBox*>(), 20000);
            QVERIFY2(
                _window->findChild<QMessageBox*>()->text().contains("have not been read yet, so nothing was"),
                qPrintable(_window->findChild<QMessageBox*>()->text()));
            QVERIFY(!_window->findChild<QFileDialog*>());
            return;
        }
        _sim->setSilent(false);
        if (action == "actionSaveConfiguration") {
            chooseBySignal(path);
            QFile saved(path);
            QVERIFY(saved.open(QIODevice::ReadOnly));
            const QJsonObject file = QJsonDocument::fromJson(saved.readAll()).object();
            QCOMPARE(file.value("servo").toObject().value("modelNumber").toInt(), 1025);
            QCOMPARE(
                file.value("values").toObject().value("temperatureLimit").toObject().value("raw").toInt(),
                70);
        } else {
            chooseBySignal(path + ".first");
            ConfigurationDialog* dialog = _window->configurationDialog();
            QVERIFY(dialog->isVisible());
            QCOMPARE(dialog->tickedKeys(), QStringList({"temperatureLimit"}));
        }
    }

    // Saved in any unit set and read back, by raw value or by value and unit alone: the same raw
    // value for every setting, over random tables; commands never reach a file.
    void filesKeepEveryRawValue()
    {
        const VelkoraV1 model;
        const FieldCatalogue catalogue(model);
        QRandomGenerator random(19);
        for (int round = 0; round < 40; ++round) {
            QByteArray table = randomSettings(catalogue, QByteArray(118, '\0'), random);
            table[0] = char(0x01), table[1] = char(0x04), table[2] = 3, table[3] = 9, table[4] = 1;
            const ServoConfiguration saved = ServoConfiguration::fromTable(catalogue, table, 1000000);
            QCOMPARE(saved.id, 9);
            QCOMPARE(saved.modelNumber, 1025);
            QVERIFY(!saved.values.count("enableMotor") && !saved.values.count("targetPosition"));
            QCOMPARE(int(saved.values.size()), 29); // 22 non-volatile settings, 7 volatile ones
            const QJsonObject file =
                QJsonDocument::fromJson(saved.toJson(catalogue, unitsOf(round % 2))).object();
            const auto read =
                ServoConfiguration::fromJson(QJsonDocument(file).toJson(), fileName, catalogue, 1025, 3);
            QCOMPARE(read.error, QString());
            QCOMPARE(read.configuration.values, saved.values);

            // A person's file: values and units only.
            QJsonObject values = file.value("values").toObject();
            for (const QString& key : values.keys()) {
                QJsonObject entry = values.value(key).toObject();
                if (entry.contains("value"))
                    entry.remove("raw");
                values.insert(key, entry);
            }
            QJsonObject byValue = file;
            byValue.insert("values", values);
            const auto typed =
                ServoConfiguration::fromJson(QJsonDocument(byValue).toJson(), fileName, catalogue, 1025, 3);
            QCOMPARE(typed.error, QString());
            QCOMPARE(typed.configuration.values, saved.values);
        }
    }

    // Saved from one servo, restored onto another (its id kept): every setting byte as the first
    // servo's, commands untouched. With the motor on, nothing of the non-volatile group is written.
    void restoreOntoAnotherServo_data()
    {
        QTest::addColumn<bool>("motorOn");
        QTest::newRow("motor off") << false;
        QTest::newRow("motor on") << true;
    }

    void restoreOntoAnotherServo()
    {
        QFETCH(bool, motorOn);
        servosim::Options options;
        options.ids = {1, 2};
        servosim::ServoSimulator sim(options);
        QVERIFY(sim.start());
        const VelkoraV1 model;
        const FieldCatalogue catalogue(model);
        QRandomGenerator random(7);
        sim.setRegisters(1, 0, randomSettings(catalogue, sim.registers(1), random).mid(0, 86));
        const QByteArray source = sim.registers(1);
        const QByteArray before = sim.registers(2);
        if (motorOn)
            sim.setRegisters(2, 48, QByteArray(1, 1));

        auto serial = std::make_shared<SerialHelper>();
        QCOMPARE(serial->openSerialPort(sim.devicePath(), 1000000), QString());
        bool identified = false;
        WindowDeviceHelper::getInstance(serial, [&identified] { identified = true; })->triggerDeviceInfoRead(2);
        QTRY_VERIFY_WITH_TIMEOUT(identified, 20000);
        UiScheduler scheduler(2, serial, WindowDeviceHelper::getInstance());
        QSignalSpy finished(&scheduler, &UiScheduler::writeFinished);
        const ServoConfiguration saved = ServoConfiguration::fromTable(catalogue, source, 1000000);
        QStringList keys;
        for (const auto& [key, raw] : saved.values)
            if (key != "id" && key != "baudRate")
                keys << key;
        const QList<GroupWrite> writes = restoreWrites(saved, catalogue, keys);
        QCOMPARE(writes.size(), 2);
        for (const GroupWrite& write : writes)
            scheduler.addWrite(write);
        scheduler.startScheduler(20);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 20000);
        scheduler.stopScheduler();
        QCOMPARE(finished.at(0).at(1).value<WriteOutcome>().check.allHeld(), !motorOn);
        QVERIFY(finished.at(1).at(1).value<WriteOutcome>().check.allHeld());

        const QByteArray after = sim.registers(2);
        for (const FieldRecord& field : catalogue.fields()) {
            const QByteArray now = after.mid(field.address, field.size);
            if (field.key == "id" || field.key == "baudRate" || !ServoConfiguration::isKept(field) ||
                (motorOn && field.group == FieldGroup::NonVolatile))
                QVERIFY2(field.group == FieldGroup::State || field.key == "enableMotor" ||
                             now == before.mid(field.address, field.size),
                         qPrintable(field.key));
            else
                QVERIFY2(now == source.mid(field.address, field.size), qPrintable(field.key));
        }
        QCOMPARE(int(after.at(3)), 2);
        QCOMPARE(int(after.at(48)), motorOn ? 1 : 0);
    }
};

QTEST_MAIN(TestConfiguration)
#include "tst_configuration.moc"
