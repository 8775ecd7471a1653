// The Bus dock: the servos of a port at a glance, live while connected, and one configuration
// written to several of them.
#include "core/files/servoconfiguration.h"
#include "core/jobs/busroster.h"
#include "core/session/devicehelper.h"
#include "window/controllers/windowdevicehelper.h"
#include "core/session/uischeduler.h"
#include "core/units/unitshelper.h"
#include "window/controllers/buscontrol.h"
#include "window/dialogs/applyconfigurationdialog.h"
#include "window/dialogs/numberingdialog.h"
#include "window/docks/busdock.h"
#include "window/editview/uiregisterhelper.h"

#include <connectedwindow.h>
#include <messageboxes.h>

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTableWidget>

class TestBus : public QObject
{
    Q_OBJECT

    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

    BusRoster* roster() const { return _window->bus()->roster(); }
    QString cell(int id, int column) const
    {
        return roster()->data(roster()->index(roster()->rowOf(id), column), Qt::DisplayRole).toString();
    }

private slots:
    void cleanup()
    {
        _window.reset();
        _sim.reset();
        WindowDeviceHelper::_instance.reset();
        UiRegisterHelper::_instance.reset();
    }

    void rowsStayLive_data()
    {
        QTest::addColumn<servosim::Model>("model");
        QTest::addColumn<QString>("firmware");
        QTest::newRow("V1, Protocol 2") << servosim::Model::V1 << "3";
        // Its alarms come in its answers' error byte, it has no status register.
        QTest::newRow("AX-12, Protocol 1") << servosim::Model::Ax12 << "24";
    }

    // The other servos are read between the connected one's polls: their rows fill and follow the
    // servos; one pulled off the bus is marked; a double-click connects to a row's servo.
    void rowsStayLive()
    {
        QFETCH(servosim::Model, model);
        QFETCH(QString, firmware);
        IsolatedSettings home;
        testfixture::openConnected(home, model, {}, 1, 20, _sim, _window, {1, 2, 3});
        _window->bus()->list({1, 2, 3}, 1000000);
        QCOMPARE(roster()->servoCount(), 3);
        QTRY_VERIFY_WITH_TIMEOUT(cell(3, BusRoster::VoltageColumn).endsWith(" V"), 20000);
        QCOMPARE(cell(2, BusRoster::ModelColumn), cell(1, BusRoster::ModelColumn));
        QCOMPARE(cell(2, BusRoster::FirmwareColumn), firmware);

        _sim->setHardwareError(2, 0x04);
        QTRY_VERIFY_WITH_TIMEOUT(cell(2, BusRoster::HardwareErrorColumn).contains("Overheating"), 20000);
        QCOMPARE(cell(3, BusRoster::HardwareErrorColumn), QStringLiteral("none"));
        // The connected servo's row shows its alarms too, from the polls' answers.
        _sim->setHardwareError(1, 0x04);
        QTRY_VERIFY_WITH_TIMEOUT(cell(1, BusRoster::HardwareErrorColumn).contains("Overheating"), 20000);

        QVERIFY(_sim->unplugServo(3));
        QTRY_VERIFY_WITH_TIMEOUT(!roster()->isAnswering(roster()->rowOf(3)), 20000);
        QVERIFY(cell(3, BusRoster::LastAnswerColumn).startsWith("not answering"));
        QVERIFY(roster()->isAnswering(roster()->rowOf(2)));
        QVERIFY(
            _window->scheduler()->isServoAnswering()); // another servo's silence is not the connected one's

        auto* table = _window->bus()->dock()->findChild<QTableView*>("busTable");
        QVERIFY(table);
        _window->bus()->dock()->show();
        const QRect row = table->visualRect(table->model()->index(roster()->rowOf(2), 0));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
                          row.center()); // a double-click follows a press
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, row.center());
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler() && _window->scheduler()->servoId() == 2 &&
                                     _window->statusBar()->currentMessage() == QStringLiteral("Connected"),
                                 20000);
    }

    // A servo a search found in the other protocol is not asked in this one, where it would look
    // silent; a double-click on its row connects in its own protocol.
    void otherProtocolRowIsNotRead()
    {
        IsolatedSettings home;
        testfixture::openConnected(home, servosim::Model::V1, {}, 1, 20, _sim, _window, {1});
        QVERIFY(_sim->plugServo(4, 1000000, servosim::Model::Ax12, 1));
        roster()->add(4, 1000000, 12, 24, 1);
        _sim->clearReceived();
        const int polls = _window->scheduler()->statistics().polls();
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > polls + 20, 20000);
        for (const servosim::ReceivedPacket& packet : _sim->receivedPackets())
            QCOMPARE(int(packet.id), 1);
        QCOMPARE(cell(4, BusRoster::LastAnswerColumn), QString());
        QCOMPARE(cell(4, BusRoster::ProtocolColumn), QStringLiteral("1"));

        auto* table = _window->bus()->dock()->findChild<QTableView*>("busTable");
        _window->bus()->dock()->show();
        const QRect row = table->visualRect(table->model()->index(roster()->rowOf(4), 0));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, row.center());
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, row.center());
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler() && _window->scheduler()->servoId() == 4 &&
                                     _window->statusBar()->currentMessage() == QStringLiteral("Connected"),
                                 20000);
        QCOMPARE(_window->serialHelper()->protocol(), BusProtocol::One);
    }

    void oneFileOntoThree_data()
    {
        QTest::addColumn<servosim::Model>("model");
        QTest::addColumn<int>("modelNumber");
        QTest::addColumn<QString>("key"); // a second setting the file changes, 2 bytes
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("motor"); // its enable register
        QTest::addColumn<int>("limit"); // the file's temperature limit
        QTest::addColumn<int>("held");  // the servos'
        QTest::newRow("V1, Protocol 2")
            << servosim::Model::V1 << 1025 << "positionProportionalTerm" << 54 << 48 << 70 << 80;
        // Each servo is identified by its model number, which a Protocol 1 ping answer does not carry.
        QTest::newRow("AX-12, Protocol 1")
            << servosim::Model::Ax12 << 12 << "torqueLimit" << 34 << 24 << 60 << 70;
    }

    // A file written to three servos: each gets its settings and keeps its id, and the table then
    // shows what each servo holds; a servo whose motor is on refuses, and says so, without
    // stopping the others.
    void oneFileOntoThree()
    {
        QFETCH(servosim::Model, model);
        QFETCH(int, modelNumber);
        QFETCH(QString, key);
        QFETCH(int, address);
        QFETCH(int, motor);
        QFETCH(int, limit);
        QFETCH(int, held);
        IsolatedSettings home;
        testfixture::openConnected(home, model, {}, 1, 20, _sim, _window, {1, 2, 3, 4});
        const auto device = DeviceHelper::createDevice(modelNumber);
        const FieldCatalogue catalogue(*device);
        ServoConfiguration file = ServoConfiguration::fromTable(catalogue, _sim->registers(1), 1000000);
        file.values["temperatureLimit"] = limit;
        file.values[key] = 0x210;
        file.values["id"] = 9; // never taken from the file here
        const QString path = home.path() + "/arm.json";
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(file.toJson(catalogue, UnitsHelper(std::make_shared<PhysicalQuantities>())));
        out.close();
        _sim->setRegisters(4, motor, QByteArray(1, '\1'));

        ApplyConfigurationDialog* dialog = _window->bus()->applyDialog();
        dialog->start({{1, 1000000}, {2, 1000000}, {3, 1000000}, {4, 1000000}}, home.path());
        QVERIFY(dialog->compare(path));
        auto* table = dialog->findChild<QTableWidget*>("applyTable");
        QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 2, 20000);
        QCOMPARE(table->columnCount(), 2 + 4 + 1);
        QCOMPARE(dialog->tickedKeys(), QStringList({"temperatureLimit", key}));
        QCOMPARE(table->item(0, 2)->text(), QString::number(held));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->isBusy(), 20000);

        dialog->writeTicked();
        auto* results = dialog->findChild<QListWidget*>("applyResultsList");
        QTRY_COMPARE_WITH_TIMEOUT(results->count(), 4, 20000);
        for (int id = 1; id <= 3; ++id) {
            QCOMPARE(results->item(id - 1)->text(), QStringLiteral("Servo %1: written and verified").arg(id));
            const QByteArray registers = _sim->registers(id);
            QCOMPARE(int(uint8_t(registers.at(11))), limit);
            QCOMPARE(int(uint8_t(registers.at(address)) | uint8_t(registers.at(address + 1)) << 8), 0x210);
            QCOMPARE(int(registers.at(3)), id);
        }
        QVERIFY2(results->item(3)->text().startsWith("Servo 4: refused: its motor is on"),
                 qPrintable(results->item(3)->text()));
        QCOMPARE(int(uint8_t(_sim->registers(4).at(11))), held);
        // What each servo holds now: the file's values, but on the servo that refused.
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->isBusy(), 20000);
        for (int row = 0; row < 2; ++row) {
            for (int column = 2; column < 5; ++column)
                QCOMPARE(table->item(row, column)->text(), QStringLiteral("="));
            QVERIFY(table->item(row, 5)->text() != QStringLiteral("="));
        }
        QCOMPARE(table->item(0, 5)->text(), QString::number(held));
        // The connected servo is polled again afterwards.
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->isRunning(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(int(uint8_t(UiRegisterHelper::_instance->lastTable().at(11))), limit,
                                  20000);
    }

    void comparisonSaysWhatItCouldNotRead_data()
    {
        QTest::addColumn<QList<int>>("ids");
        QTest::addColumn<bool>("differs"); // servo 1 has another temperature limit than the file
        QTest::addColumn<QString>("state");
        QTest::newRow("all hold it") << QList<int>{1, 2} << false
                                     << "Every servo holds the file's settings already.";
        QTest::newRow("none answers") << QList<int>{7, 8} << false
                                      << "Could not compare servo 7: not answering; servo 8: not answering.";
        QTest::newRow("one answers")
            << QList<int>{1, 7} << false
            << "The other servos hold the file's settings already. Could not compare "
               "servo 7: not answering.";
        QTest::newRow("one differs")
            << QList<int>{1, 7} << true
            << "1 value(s) differ; the ticked ones will be written. Could not compare "
               "servo 7: not answering.";
    }

    // "Every servo holds the file" only when every servo was read; otherwise the servos that
    // could not be compared, and why.
    void comparisonSaysWhatItCouldNotRead()
    {
        QFETCH(QList<int>, ids);
        QFETCH(bool, differs);
        QFETCH(QString, state);
        IsolatedSettings home;
        testfixture::openConnected(home, servosim::Model::V1, {}, 1, 20, _sim, _window, {1, 2});
        const auto device = DeviceHelper::createDevice(1025);
        const FieldCatalogue catalogue(*device);
        const ServoConfiguration file = ServoConfiguration::fromTable(catalogue, _sim->registers(2), 1000000);
        const QString path = home.path() + "/arm.json";
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(file.toJson(catalogue, UnitsHelper(std::make_shared<PhysicalQuantities>())));
        out.close();
        if (differs)
            _sim->setRegisters(1, 11, QByteArray(1, char(70)));

        ApplyConfigurationDialog* dialog = _window->bus()->applyDialog();
        QList<BusAddress> servos;
        for (int id : ids)
            servos.append({id, 1000000});
        dialog->start(servos, home.path());
        QVERIFY(dialog->compare(path));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->isBusy(), 20000);
        QCOMPARE(dialog->findChild<QLabel*>("applyStateLabel")->text(), state);
        QCOMPARE(dialog->findChild<QPushButton*>("applyWriteButton")->isEnabled(), differs);
    }

    // A servo the table knows at the factory id would be numbered as if new: the first start only
    // says so; numbered, its row moves to the new id.
    // Every motor of the table off while connected: one refuses and is named, one at another
    // rate is named as not reached, the rest are off, and the connected servo is polled again.
    void allMotorsOffWhileConnected()
    {
        IsolatedSettings home;
        testfixture::openConnected(home, servosim::Model::V1, {}, 1, 20, _sim, _window, {1, 2, 3});
        _window->bus()->list({1, 2, 3}, 1000000);
        _window->bus()->list({9}, 57600);
        constexpr int motorAt = 48;
        for (int id : {1, 2, 3})
            _sim->setRegisters(id, motorAt, QByteArray(1, '\1'));
        _sim->refuseWritesAt(2, motorAt);
        _window->findChild<QAction*>("allMotorsOffAction")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(messageboxes::visible(), 20000);
        const QString text = messageboxes::visible()->text();
        QVERIFY2(text.contains("Servo 2: still on") && text.contains("Servo 9: at another rate") &&
                     !text.contains("Servo 1") && !text.contains("Servo 3"),
                 qPrintable(text));
        for (int id : {1, 2, 3})
            QCOMPARE(int(_sim->registers(id).at(motorAt)), id == 2 ? 1 : 0);
        messageboxes::visible()->close();
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->isRunning(), 20000);
    }

    void numberingWarnsOfAKnownServo()
    {
        IsolatedSettings home;
        testfixture::openConnected(home, servosim::Model::V1, {}, 1, 20, _sim, _window, {1});
        _window->getDisconnectAction()->trigger();
        _window->bus()->list({1}, 1000000);
        _window->findChild<QAction*>("numberServosAction")->trigger();
        NumberingDialog* dialog = _window->bus()->numberingDialog();
        QVERIFY(dialog);
        auto* start = dialog->findChild<QPushButton*>("connectNewServoButton");
        start->click();
        QVERIFY(!dialog->isNumbering());
        QVERIFY(dialog->findChild<QLabel*>("numberingStateLabel")->text().contains("is in the Bus table"));
        start->click();
        QVERIFY(dialog->isNumbering());
        QTRY_VERIFY_WITH_TIMEOUT(roster()->rowOf(2) >= 0, 20000);
        QCOMPARE(roster()->rowOf(1), -1);
        QCOMPARE(int(_sim->registers(2).at(3)), 2);
        dialog->stopNumbering();

        // Connected, the window's polls own the bus: numbering waits for Disconnect.
        _window->findChild<QSpinBox*>("servoIdSpinBox")->setValue(2);
        _window->getConnectAction()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(), QStringLiteral("Connected"), 20000);
        QVERIFY(!start->isEnabled());
        QVERIFY(!dialog->startNumbering());
        QVERIFY(!dialog->isNumbering());
        QVERIFY(dialog->findChild<QLabel*>("numberingStateLabel")->text().startsWith("Disconnect first"));
        _window->getDisconnectAction()->trigger();
        QVERIFY(start->isEnabled());
    }

    // Connecting to a servo the table does not list adds its row; the one connected before keeps
    // its own. Rows of servos that never answered say the protocol they are asked in.
    void connectingElsewhereKeepsEveryRow()
    {
        IsolatedSettings home;
        testfixture::openConnected(home, servosim::Model::V1, {}, 1, 20, _sim, _window, {1, 2});
        _window->bus()->list({1, 7}, 1000000);
        QCOMPARE(cell(7, BusRoster::ProtocolColumn), QStringLiteral("2"));
        QTRY_VERIFY_WITH_TIMEOUT(!cell(1, BusRoster::ModelColumn).isEmpty(), 20000);
        _window->getDisconnectAction()->trigger();
        _window->findChild<QSpinBox*>("servoIdSpinBox")->setValue(2);
        _window->getConnectAction()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(), QStringLiteral("Connected"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(roster()->rowOf(2) >= 0 && !cell(2, BusRoster::ModelColumn).isEmpty(),
                                 20000);
        QVERIFY(roster()->rowOf(1) >= 0);
        QCOMPARE(cell(1, BusRoster::ModelColumn), QStringLiteral("Velkora V1"));
        QCOMPARE(roster()->servoCount(), 3);
    }
};

QTEST_MAIN(TestBus)
#include "tst_bus.moc"
