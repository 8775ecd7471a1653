#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"
#include "window/dialogs/searchdialog.h"
#include "window/editview/uigrouphelper.h"
#include "window/editview/uiregisterhelper.h"
#include "window/mainwindow.h"
#include "window/widgets/fieldstyle.h"
#include "window/widgets/velkoracheckbox.h"
#include "window/widgets/velkoracombobox.h"
#include "window/widgets/velkoradoublespinbox.h"
#include "window/widgets/velkoragrouptoolbutton.h"
#include "window/widgets/velkoraparametersgroupbox.h"
#include "window/widgets/velkoraspinbox.h"

#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QSettings>
#include <QStatusBar>
#include <QtTest>

namespace {

constexpr int servoId = 1;
constexpr int writeInstruction = 0x03;
using servosim::Fault;

template <typename T> T* child(QWidget* window, const char* name)
{
    auto* found = window->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no %s", name);
    return found;
}

// Moves a field one step away from what it shows (a list to its next item, a box toggled).
void changeField(QWidget* widget, int steps = 1)
{
    if (auto* spin = qobject_cast<VelkoraDoubleSpinBox*>(widget)) {
        const double target = spin->value() + steps * spin->singleStep();
        spin->setValue(target <= spin->validMaximum() ? target : spin->value() - steps * spin->singleStep());
    } else if (auto* whole = qobject_cast<VelkoraSpinBox*>(widget)) {
        const int target = whole->value() + steps * std::max(2, whole->singleStep());
        whole->setValue(target <= whole->validMaximum() ? target : whole->value() - steps * 2);
    } else if (auto* list = qobject_cast<QComboBox*>(widget)) {
        const int items = list->count() - 1; // without the placeholder
        list->setCurrentIndex((list->currentIndex() + steps) % items);
    } else if (auto* flag = qobject_cast<QCheckBox*>(widget)) {
        flag->toggle();
    }
}

QList<servosim::ReceivedPacket> writesOf(const servosim::ServoSimulator& sim)
{
    QList<servosim::ReceivedPacket> found;
    for (const auto& packet : sim.receivedPackets()) {
        if (packet.instruction == writeInstruction)
            found.append(packet);
    }
    return found;
}

QMessageBox* visibleBox()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            return box;
    }
    return nullptr;
}

QString takeMessageBox()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            const QString text = box->text();
            box->close();
            return text;
        }
    }
    return {};
}

void pressButton(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == text) {
            button->click();
            return;
        }
    }
    QFAIL(qPrintable("no button " + text));
}

} // namespace

class TestGroupEditing : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<IsolatedSettings> _settingsHome;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

    VelkoraGroupToolButton* editButton(bool nonVolatile)
    {
        return child<VelkoraGroupToolButton>(_window.get(), nonVolatile ? "nvParamsEditSaveToolButton"
                                                                        : "vParamsEditSaveToolButton");
    }

    void open(servosim::Model model = servosim::Model::V1, int protocol = 2)
    {
        servosim::Options options;
        options.model = model;
        options.protocol = protocol;
        options.linkPath = _settingsHome->path() + "/velkora-sim";
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
        settings.setValue("port settings/serialPortName", _sim->portName());
        settings.setValue("port settings/baudRate", 1000000);
        settings.setValue("port settings/protocol", protocol);
        settings.setValue("main window settings/servoId", servoId);
        settings.setValue("main window settings/pollingInterval", 20);
        settings.setValue("units settings/angle", 1); // degrees
        settings.sync();
        _window = std::make_unique<MainWindow>();
        _window->show();
    }

    void connectAndWait()
    {
        _window->getConnectAction()->trigger();
        // Not before the first table is shown: the fields would still be empty.
        QVERIFY(!editButton(true)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(editButton(true)->isEnabled() && editButton(false)->isEnabled(), 20000);
    }

    // Waits until a poll has shown `value` at `address`.
    void waitForTable(int address, char value)
    {
        QTRY_VERIFY_WITH_TIMEOUT(UiRegisterHelper::_instance->lastTable().size() > address &&
                                     UiRegisterHelper::_instance->lastTable().at(address) == value,
                                 20000);
    }

private slots:
    void init()
    {
        _settingsHome = std::make_unique<IsolatedSettings>();
        QVERIFY(_settingsHome->isValid());
    }

    void cleanup()
    {
        while (!takeMessageBox().isEmpty()) {
        }
        _window.reset();
        _sim.reset();
        _settingsHome.reset();
    }

    // One random field changed over many servo tables: the block keeps every other byte of
    // the table, and the changed slot holds the field's raw value.
    void blocksCarryOnlyTheChange_data()
    {
        QTest::addColumn<bool>("nonVolatile");
        QTest::newRow("non-volatile") << true;
        QTest::newRow("volatile") << false;
    }

    void blocksCarryOnlyTheChange()
    {
        QFETCH(bool, nonVolatile);
        open();
        if (!nonVolatile)
            _sim->setRegisters(servoId, 6, QByteArray(1, 1)); // wheel: target velocity and direction editable
        connectAndWait();
        // The mode shown at the first poll takes effect at the second.
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > 2, 20000);
        _window->scheduler()->stopScheduler();
        QTRY_VERIFY_WITH_TIMEOUT(!_window->serialHelper()->isBusy(), 20000);
        editButton(nonVolatile)->click();
        auto* group = child<VelkoraParametersGroupBox>(
            _window.get(), nonVolatile ? "nonVolatileParamsGroupBox" : "volatileParamsGroupBox");
        QList<QWidget*> fields;
        for (QObject* object : group->children()) {
            if (dynamic_cast<IUnitDataField*>(object) && static_cast<QWidget*>(object)->isEnabled())
                fields.append(static_cast<QWidget*>(object));
        }
        QVERIFY(fields.size() >= 6);

        QRandomGenerator random(5);
        for (int round = 0; round < 200; ++round) {
            QByteArray table(118, '\0');
            for (char& byte : table)
                byte = char(random.bounded(256));
            QWidget* widget = fields.at(int(random.bounded(fields.size())));
            auto* field = dynamic_cast<IUnitDataField*>(widget);
            changeField(widget);
            QVERIFY2(dynamic_cast<IGroupInputComponent*>(widget)->hasUserChange(),
                     qPrintable(widget->objectName()));

            const GroupWrite write = nonVolatile ? UiGroupHelper::_instance->nonVolatileWrite()
                                                 : UiGroupHelper::_instance->volatileWrite();
            const QByteArray block = write.block(table);
            const int raw = field->getServoValue();
            const QString name = widget->objectName();
            auto tableWord = [&](int address) {
                return uint32_t(uint8_t(table.at(address))) | uint32_t(uint8_t(table.at(address + 1))) << 8;
            };
            const QMap<QString, QPair<int, int>> registerOf{
                {"idSpinBox", {3, 1}},
                {"baudRateComboBox", {4, 1}},
                {"ackResponseTimeSpinBox", {5, 1}},
                {"operatingModeComboBox", {6, 1}},
                {"clockwiseLimitDoubleSpinBox", {7, 2}},
                {"counterClockwiseLimitDoubleSpinBox", {9, 2}},
                {"temperatureLimitDoubleSpinBox", {11, 1}},
                {"minVoltageLimitDoubleSpinBox", {12, 1}},
                {"maxVoltageLimitDoubleSpinBox", {13, 1}},
                {"quadratureCurrentLimitDoubleSpinBox", {14, 2}},
                {"angularVelocityLimitDoubleSpinBox", {16, 2}},
                {"accelerationLimitDoubleSpinBox", {18, 2}},
                {"hornPositionOffsetDoubleSpinBox", {20, 4}},
                {"movingThresholdDoubleSpinBox", {24, 2}},
                {"inputModeComboBox", {26, 1}},
                {"defPositionProportionalTermDoubleSpinBox", {27, 2}},
                {"defVelocityFeedforwardTermDoubleSpinBox", {29, 2}},
                {"defCurrentFeedforwardTermDoubleSpinBox", {31, 2}},
                {"defVelocityIntegralTermDoubleSpinBox", {33, 2}},
                {"defVelocityProportionalTermDoubleSpinBox", {35, 2}},
                {"defAngularVelocityProfileDoubleSpinBox", {37, 2}},
                {"defAccelerationProfileDoubleSpinBox", {39, 2}},
                {"enableMotorCheckBox", {48, 1}},
                {"pendingShadowInstructionCheckBox", {49, 1}},
                {"positionProportionalTermDoubleSpinBox", {54, 2}},
                {"velocityFeedforwardTermDoubleSpinBox", {56, 2}},
                {"currentFeedforwardTermDoubleSpinBox", {58, 2}},
                {"velocityIntegralTermDoubleSpinBox", {60, 2}},
                {"velocityProportionalTermDoubleSpinBox", {62, 2}},
                {"angularVelocityProfileDoubleSpinBox", {68, 2}},
                {"accelerationProfileDoubleSpinBox", {70, 2}},
                {"targetPositionDoubleSpinBox", {78, 4}},
                {"targetAngularVelocityDoubleSpinBox", {82, 2}},
                {"targetAngularVelocityDirectionComboBox", {82, 2}},
                {"targetTorqueDoubleSpinBox", {84, 2}},
                {"targetTorqueDirectionComboBox", {84, 2}}};
            QVERIFY2(registerOf.contains(name), qPrintable(name));
            // Only the changed register goes out; nothing else of the group.
            const auto [address, bytes] = registerOf[name];
            QCOMPARE(int(write.address()), address);
            QCOMPARE(write.length(), bytes);
            uint32_t value = uint32_t(raw);
            if (name == "targetAngularVelocityDoubleSpinBox" || name == "targetTorqueDoubleSpinBox")
                value = (tableWord(address) & 0x8000) | uint32_t(std::min(raw, 0x7FFF));
            else if (name.endsWith("DirectionComboBox"))
                value = (tableWord(address) & 0x7FFF) | (raw ? 0x8000 : 0);
            QByteArray expected(bytes, '\0');
            for (int i = 0; i < bytes; ++i)
                expected[i] = char((value >> (8 * i)) & 0xFF);
            QCOMPARE(block.toHex(), expected.toHex());
            auto* input = dynamic_cast<IGroupInputComponent*>(widget);
            input->cancelUpdate();
            input->setEnabled(true);
            QVERIFY2(!dynamic_cast<IGroupInputComponent*>(widget)->hasUserChange(), qPrintable(name));
        }

        // Magnitudes beyond 15 bits never flip the direction; "1000000" is baud code 1.
        if (!nonVolatile) {
            auto* velocity = child<VelkoraDoubleSpinBox>(_window.get(), "targetAngularVelocityDoubleSpinBox");
            auto* direction = child<VelkoraComboBox>(_window.get(), "targetAngularVelocityDirectionComboBox");
            velocity->setServoValue(50);
            direction->setServoValue(0);
            direction->setCurrentIndex(1);
            velocity->setValue(velocity->maximum());
            velocity->setValue(0.1);
            QCOMPARE(UiGroupHelper::_instance->volatileWrite().block(QByteArray(118, '\0')).toHex(),
                     QByteArray("6480"));
        } else {
            auto* baud = child<QComboBox>(_window.get(), "baudRateComboBox");
            dynamic_cast<IUnitDataField*>(baud)->setServoValue(34); // 57600
            baud->setCurrentIndex(baud->findText("1000000"));
            QByteArray table(118, '\0');
            table[4] = char(34);
            QCOMPARE(UiGroupHelper::_instance->nonVolatileWrite().block(table).toHex(), QByteArray("01"));
        }
    }

    // Edit, change one value, Apply: one write of the whole block, and the servo holds what
    // it held before everywhere else, even a register another host changed meanwhile.
    void applyWritesTheBlockAsTheServoHoldsIt_data()
    {
        QTest::addColumn<bool>("nonVolatile");
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("fieldAddress");
        QTest::addColumn<int>("otherAddress");
        QTest::newRow("non-volatile") << true << "temperatureLimitDoubleSpinBox" << 11 << 12;
        QTest::newRow("volatile") << false << "targetPositionDoubleSpinBox" << 78 << 70;
    }

    void applyWritesTheBlockAsTheServoHoldsIt()
    {
        QFETCH(bool, nonVolatile);
        QFETCH(QString, field);
        QFETCH(int, fieldAddress);
        QFETCH(int, otherAddress);
        open();
        connectAndWait();
        VelkoraGroupToolButton* edit = editButton(nonVolatile);
        edit->click();
        QVERIFY(edit->isChecked());
        QVERIFY(!edit->isEnabled()); // nothing changed yet
        QVERIFY(!editButton(!nonVolatile)->isEnabled());
        QWidget* widget = child<QWidget>(_window.get(), qPrintable(field));
        changeField(widget, 3);
        QVERIFY(edit->isEnabled());
        const int raw = dynamic_cast<IUnitDataField*>(widget)->getServoValue();

        const char otherValue = char(_sim->registers(servoId).at(otherAddress) ^ 0x05);
        _sim->setRegisters(servoId, otherAddress, QByteArray(1, otherValue));
        waitForTable(otherAddress, otherValue);
        const QByteArray before = _sim->registers(servoId);
        _sim->clearReceived();
        edit->click();
        QVERIFY(!edit->isChecked());
        QVERIFY(!edit->isEnabled()); // until the write is acknowledged and read back
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(),
                                  QStringLiteral("Parameters written"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(edit->isEnabled(), 20000);

        const auto writes = writesOf(*_sim);
        QCOMPARE(writes.size(), 1);
        QCOMPARE(writes.at(0).params.size(), 2 + (fieldAddress == 78 ? 4 : 1)); // the changed register alone
        QByteArray expected = before;
        const QByteArray after = _sim->registers(servoId);
        for (int i = 0; i < (fieldAddress == 78 ? 4 : 1); ++i)
            expected[fieldAddress + i] = char((uint32_t(raw) >> (8 * i)) & 0xFF);
        // The simulated servo moves on its own: compare the parameters, not the live state.
        const int end = nonVolatile ? 41 : 86;
        QCOMPARE(after.mid(0, end).toHex(), expected.mid(0, end).toHex());
        QCOMPARE(after.at(otherAddress), otherValue);
    }

    // What the buttons allow, step by step as a user goes.
    void buttonsFollowTheServoAndTheUser()
    {
        open();
        connectAndWait();
        VelkoraGroupToolButton* nv = editButton(true);
        VelkoraGroupToolButton* v = editButton(false);
        auto* motor = child<VelkoraCheckBox>(_window.get(), "enableMotorCheckBox");

        // The motor running closes the non-volatile group, stopping opens it.
        _sim->setRegisters(servoId, 48, QByteArray(1, 1));
        QTRY_VERIFY_WITH_TIMEOUT(motor->isChecked() && !nv->isEnabled(), 20000);
        QVERIFY(v->isEnabled());
        _sim->setRegisters(servoId, 48, QByteArray(1, 0));
        QTRY_VERIFY_WITH_TIMEOUT(nv->isEnabled(), 20000);

        // Volatile editing keeps the other group closed whatever the motor does.
        v->click();
        QVERIFY(!nv->isEnabled());
        motor->toggle(); // the user's own change while editing
        QVERIFY(!nv->isEnabled());
        QVERIFY(v->isEnabled());
        motor->toggle();
        QVERIFY(!v->isEnabled()); // changed back: nothing to apply

        // Cancel restores every field and both buttons.
        auto* position = child<VelkoraDoubleSpinBox>(_window.get(), "targetPositionDoubleSpinBox");
        const double shown = position->value();
        changeField(position, 5);
        child<VelkoraGroupToolButton>(_window.get(), "vParamsCancelToolButton")->click();
        QCOMPARE(position->value(), shown);
        QVERIFY(!position->isEnabled());
        QCOMPARE(v->text(), QStringLiteral("Edit"));
        QVERIFY(!v->isChecked());
        QVERIFY(v->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(nv->isEnabled(), 20000);

        // Disconnect while editing (and with the motor on): both groups offline.
        nv->click();
        changeField(child<QWidget>(_window.get(), "temperatureLimitDoubleSpinBox"));
        _sim->setRegisters(servoId, 48, QByteArray(1, 1));
        _window->getDisconnectAction()->trigger();
        for (VelkoraGroupToolButton* button : {nv, v}) {
            QVERIFY(!button->isEnabled());
            QVERIFY(!button->isChecked());
        }
        QVERIFY(!child<VelkoraParametersGroupBox>(_window.get(), "nonVolatileParamsGroupBox")->isEditing);
        _sim->setRegisters(servoId, 48, QByteArray(1, 0));
        connectAndWait();
    }

    // An id and a baud rate changed from the edit view: the program stays with the servo, also when
    // the acknowledgement is lost, and says so when the servo cannot be found anywhere.
    void theProgramFollowsTheServo_data()
    {
        QTest::addColumn<bool>("changeBaud");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<bool>("silent"); // the servo hears nothing from before the write on
        QTest::addColumn<QString>("message");
        QTest::newRow("acknowledged")
            << true << Fault::None << false << "Servo id changed to 7 and baud rate to 57600";
        QTest::newRow("acknowledgement lost")
            << true << Fault::NoAnswer << false
            << "Servo id changed to 7 and baud rate to 57600 (the acknowledgement was lost)";
        QTest::newRow("id only, acknowledgement lost")
            << false << Fault::NoAnswer << false << "Servo id changed to 7 (the acknowledgement was lost)";
        QTest::newRow("refused") << false << Fault::ErrorByte << false
                                 << "Servo id changed to 7 (although the servo reported an error)";
        QTest::newRow("answers nowhere") << true << Fault::NoAnswer << true << QString();
    }

    void theProgramFollowsTheServo()
    {
        QFETCH(bool, changeBaud);
        QFETCH(Fault, fault);
        QFETCH(bool, silent);
        QFETCH(QString, message);
        open();
        connectAndWait();
        VelkoraGroupToolButton* nv = editButton(true);
        nv->click();
        child<QSpinBox>(_window.get(), "idSpinBox")->setValue(7);
        auto* baud = child<QComboBox>(_window.get(), "baudRateComboBox");
        if (changeBaud)
            baud->setCurrentIndex(baud->findText("57600"));
        // The fault must hit the write's answer, not a poll's: the write is the next request.
        _window->scheduler()->stopScheduler();
        QTRY_VERIFY_WITH_TIMEOUT(!_window->serialHelper()->isBusy(), 20000);
        _sim->injectFault(fault, 1, 7);
        _sim->setSilent(silent);
        nv->click();
        _window->scheduler()->startScheduler(20);
        if (silent) {
            QTRY_VERIFY_WITH_TIMEOUT(visibleBox(), 20000);
            QMessageBox* box = visibleBox();
            QVERIFY2(box->text().contains("id 1 at 1000000 baud") &&
                         box->text().contains("id 7 at 57600 baud"),
                     qPrintable(box->text()));
            QAbstractButton* search = nullptr;
            for (QAbstractButton* button : box->buttons())
                search = button->text() == "Search…" ? button : search;
            QVERIFY(search);
            search->click();
            QVERIFY(_window->getConnectAction()->isEnabled()); // disconnected
            QTRY_VERIFY_WITH_TIMEOUT(_window->searchDialog()->isVisible(), 20000);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(), message, 20000);
        const int rate = changeBaud ? 57600 : 1000000;
        QCOMPARE(_window->serialHelper()->baudRate(), rate);
        QCOMPARE(_window->scheduler()->servoId(), 7);
        // Polls are counted only when answered: the servo answers where the program now looks.
        const int polls = _window->scheduler()->statistics().polls();
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > polls + 5, 20000);
        QCOMPARE(child<QSpinBox>(_window.get(), "idSpinBox")->value(), 7);
        QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
        QCOMPARE(settings.value("main window settings/servoId").toInt(), 7);
        QCOMPARE(settings.value("port settings/baudRate").toInt(), rate);
        QTRY_VERIFY_WITH_TIMEOUT(nv->isEnabled(), 20000);
        if (fault != Fault::None)
            return;

        // A write the servo refuses is reported, and the fields show its values again.
        nv->click();
        auto* limit = child<QDoubleSpinBox>(_window.get(), "temperatureLimitDoubleSpinBox");
        const double shown = limit->value();
        changeField(limit, 4);
        _sim->setRegisters(7, 48, QByteArray(1, 1)); // another host starts the motor
        nv->click();
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(),
                                  QStringLiteral("Parameters not written: access error"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(limit->value(), shown, 20000);
    }

    // An AX-12 in Protocol 1 is configured in its own layout and units: a new id and angle limit
    // in one non-volatile write, the motor and a goal position in one volatile write, each only
    // over the span it changes, verified, and followed to the new id.
    void ax12IsConfiguredInItsOwnLayout()
    {
        open(servosim::Model::Ax12, 1);
        connectAndWait();
        VelkoraGroupToolButton* nv = editButton(true);
        nv->click();
        child<QSpinBox>(_window.get(), "idSpinBox")->setValue(7);
        auto* ccwLimit = child<QDoubleSpinBox>(_window.get(), "counterClockwiseLimitDoubleSpinBox");
        QCOMPARE(ccwLimit->value(), 300.0); // the factory's 1023
        ccwLimit->setValue(240.0);
        _sim->clearReceived();
        nv->click();
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(),
                                  QStringLiteral("Servo id changed to 7"), 20000);
        QCOMPARE(_window->scheduler()->servoId(), 7);
        const QByteArray table = _sim->registers(7);
        QCOMPARE(int(table.at(3)), 7);
        QCOMPARE(int(uint8_t(table.at(8))) | int(uint8_t(table.at(9))) << 8, 818); // 240 / 300 × 1023
        auto writes = writesOf(*_sim);
        QCOMPARE(writes.size(), 1);
        QCOMPARE(writes.at(0).protocol, 1);
        QCOMPARE(writes.at(0).params.size(), 1 + 7); // address, then id to the limit's high byte
        QCOMPARE(int(writes.at(0).params.at(0)), 3);

        VelkoraGroupToolButton* v = editButton(false);
        QTRY_VERIFY_WITH_TIMEOUT(v->isEnabled(), 20000);
        v->click();
        child<QCheckBox>(_window.get(), "enableMotorCheckBox")->setChecked(true);
        child<QDoubleSpinBox>(_window.get(), "targetPositionDoubleSpinBox")->setValue(90.0);
        _sim->clearReceived();
        v->click();
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(),
                                  QStringLiteral("Parameters written"), 20000);
        const QByteArray held = _sim->registers(7);
        QCOMPARE(int(held.at(24)), 1);
        QCOMPARE(int(uint8_t(held.at(30))) | int(uint8_t(held.at(31))) << 8, 307); // 90 / 300 × 1023
        writes = writesOf(*_sim);
        QCOMPARE(writes.size(), 1);
        QCOMPARE(writes.at(0).params.size(), 1 + 8); // torque enable (24) to the goal's high byte (31)
        QCOMPARE(int(writes.at(0).params.at(0)), 24);
    }

    // Only the registers the user changed are written, with what the servo holds between them
    // when the write goes out: a motor the servo switched off itself stays off.
    void applyWritesOnlyTheChangedSpan_data()
    {
        QTest::addColumn<int>("refusedAt");
        QTest::addColumn<QString>("message");
        QTest::newRow("taken") << -1 << "Parameters written";
        // The servo takes the bytes in front of the velocity gain, then refuses the block.
        QTest::newRow("taken in part")
            << 62 << "Parameters written in part: data limit error; Proportional term is ";
    }

    void applyWritesOnlyTheChangedSpan()
    {
        QFETCH(int, refusedAt);
        QFETCH(QString, message);
        open();
        _sim->refuseWritesAt(servoId, refusedAt);
        _sim->setRegisters(servoId, 48, QByteArray(1, 1));
        _window->getConnectAction()->trigger();
        VelkoraGroupToolButton* v = editButton(false);
        QTRY_VERIFY_WITH_TIMEOUT(v->isEnabled(), 20000);
        waitForTable(48, 1);
        v->click();
        auto* positionGain = child<QDoubleSpinBox>(_window.get(), "positionProportionalTermDoubleSpinBox");
        auto* velocityGain = child<QDoubleSpinBox>(_window.get(), "velocityProportionalTermDoubleSpinBox");
        changeField(positionGain, 2);
        changeField(velocityGain, 3);
        const int positionRaw = dynamic_cast<IUnitDataField*>(positionGain)->getServoValue();
        const int velocityRaw = dynamic_cast<IUnitDataField*>(velocityGain)->getServoValue();
        const QString typed =
            QStringLiteral("%L1").arg(velocityGain->value(), 0, 'f', velocityGain->decimals());
        _sim->setRegisters(servoId, 48, QByteArray(1, 0)); // overload: the servo stops its motor
        _window->scheduler()->stopScheduler();
        QTRY_VERIFY_WITH_TIMEOUT(!_window->serialHelper()->isBusy(), 20000);
        _sim->clearReceived();
        v->click(); // queued: it goes out with the next tick
        // Another host changes a gain inside the span; a read shows it before the write goes out.
        _sim->setRegisters(servoId, 58, QByteArray("\x2A\x01", 2));
        _window->scheduler()->readAllData();
        waitForTable(58, 0x2A);
        _window->scheduler()->startScheduler(20);
        QTRY_VERIFY_WITH_TIMEOUT(_window->statusBar()->currentMessage().startsWith(message), 20000);
        if (refusedAt >= 0)
            QVERIFY2(_window->statusBar()->currentMessage().endsWith(" on the servo, not " + typed),
                     qPrintable(_window->statusBar()->currentMessage()));

        const auto writes = writesOf(*_sim);
        QCOMPARE(writes.size(), 1);
        if (refusedAt < 0) {
            const QByteArray expected = QByteArray::fromHex("3600") + _sim->registers(servoId).mid(54, 10);
            QCOMPARE(writes.at(0).params.toHex(), expected.toHex());
        }
        QCOMPARE(int(uint8_t(writes.at(0).params.at(2))) | int(uint8_t(writes.at(0).params.at(3))) << 8,
                 positionRaw);
        QCOMPARE(int(uint8_t(writes.at(0).params.at(10))) | int(uint8_t(writes.at(0).params.at(11))) << 8,
                 velocityRaw);
        QCOMPARE(writes.at(0).params.mid(6, 2), QByteArray("\x2A\x01", 2));
        QCOMPARE(int(_sim->registers(servoId).at(48)), 0);
    }

    // Apply writes only when the click completes; a write cut off by Disconnect is reported.
    void applyOnlyOnACompleteClick()
    {
        open();
        connectAndWait();
        VelkoraGroupToolButton* v = editButton(false);
        v->click();
        changeField(child<QWidget>(_window.get(), "targetPositionDoubleSpinBox"));
        _sim->clearReceived();
        QTest::mousePress(v, Qt::LeftButton);
        QTest::mouseMove(_window.get(), QPoint(5, 5));
        QTest::mouseRelease(_window.get(), Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(v->isChecked());
        const int polls = _window->scheduler()->statistics().polls();
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > polls + 3, 20000);
        QCOMPARE(writesOf(*_sim).size(), 0);

        _window->scheduler()->stopScheduler(); // the write stays queued
        v->click();
        _window->getDisconnectAction()->trigger();
        QCOMPARE(takeMessageBox(),
                 QStringLiteral("Parameters not written: disconnected before they were sent"));
    }

    // A value typed outside its field's range stays as typed, red with the range in its tool tip,
    // and cannot be applied; the arrows bring it back inside the range.
    void typedValuesOutsideTheRangeStayAsTyped_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("range");
        QTest::newRow("maximum voltage above") << "maxVoltageLimitDoubleSpinBox"
                                               << "30"
                                               << "0.0 to 25.5 V";
        QTest::newRow("temperature limit below") << "temperatureLimitDoubleSpinBox"
                                                 << "-5" << QString::fromUtf8("0 to 255 °C");
        QTest::newRow("angle limit above, in degrees") << "clockwiseLimitDoubleSpinBox"
                                                       << "200"
                                                       << "-180.00 to 180.00 degrees";
        QTest::newRow("id above") << "idSpinBox"
                                  << "300"
                                  << "0 to 252";
    }

    void typedValuesOutsideTheRangeStayAsTyped()
    {
        QFETCH(QString, field);
        QFETCH(QString, typed);
        QFETCH(QString, range);
        open();
        connectAndWait();
        VelkoraGroupToolButton* nv = editButton(true);
        nv->click();
        auto* box = child<QAbstractSpinBox>(_window.get(), qPrintable(field));
        auto* input = dynamic_cast<IGroupInputComponent*>(box);
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, typed);
        QCOMPARE(box->text(), typed);
        QTest::keyClick(box, Qt::Key_Return); // taken as it is, not cut to fit
        box->clearFocus();
        QCOMPARE(QLocale().toDouble(box->text()), typed.toDouble());
        QVERIFY(input->holdsValueOutOfRange());
        QVERIFY2(box->toolTip().contains(range), qPrintable(box->toolTip()));
        QVERIFY(box->styleSheet().contains(fieldstyle::warningColour));
        QVERIFY(!nv->isEnabled());
        _sim->clearReceived();
        nv->click();
        QVERIFY(nv->isChecked());
        QCOMPARE(QLocale().toDouble(box->text()), typed.toDouble());

        QTest::keyClick(box, typed.startsWith('-') ? Qt::Key_Up : Qt::Key_Down);
        QVERIFY(!input->holdsValueOutOfRange());
        QVERIFY(!box->styleSheet().contains(fieldstyle::warningColour));
        QVERIFY(box->toolTip().isEmpty());
        QVERIFY(range.startsWith(box->text()) || range.contains(" to " + box->text()));
        QVERIFY(nv->isEnabled());
        child<VelkoraGroupToolButton>(_window.get(), "nvParamsCancelToolButton")->click();
        QCOMPARE(writesOf(*_sim).size(), 0);
    }

    // Apply asks before writing limits that contradict each other or what the servo reads now;
    // declined, nothing is written and the edit goes on with the values typed.
    void contradictoryLimitsAreAskedAbout_data()
    {
        QTest::addColumn<QStringList>("typed");  // field=value in the unit shown
        QTest::addColumn<QStringList>("doubts"); // how the lines of the question begin; none: not asked
        QTest::addColumn<bool>("confirm");
        QTest::addColumn<QByteArray>("preset"); // address, byte: held by the servo before
        const QStringList lowMaximum{"Maximum voltage (8.0 V) is below Minimum voltage (9.0 V).",
                                     "Maximum voltage (8.0 V) is below the present voltage ("};
        QTest::newRow("maximum voltage below the minimum and the supply, declined")
            << QStringList{"maxVoltageLimitDoubleSpinBox=8"} << lowMaximum << false << QByteArray();
        QTest::newRow("maximum voltage below the minimum and the supply, confirmed")
            << QStringList{"maxVoltageLimitDoubleSpinBox=8"} << lowMaximum << true << QByteArray();
        QTest::newRow("minimum voltage above the supply")
            << QStringList{"minVoltageLimitDoubleSpinBox=13"}
            << QStringList{"Minimum voltage (13.0 V) is above the present voltage ("} << true << QByteArray();
        QTest::newRow("clockwise limit above the counter-clockwise one")
            << QStringList{"clockwiseLimitDoubleSpinBox=90", "counterClockwiseLimitDoubleSpinBox=45"}
            // As written: the nearest position steps.
            << QStringList{"Clockwise angle limit (90.04 degrees) is above Counter-clockwise angle limit "
                           "(45.02 degrees)."}
            << false << QByteArray();
        QTest::newRow("temperature limit below the present temperature")
            << QStringList{"temperatureLimitDoubleSpinBox=25"}
            << QStringList{QString::fromUtf8("Temperature limit (25 °C) is below the present temperature (")}
            << true << QByteArray();
        QTest::newRow("limits that fit")
            << QStringList{"maxVoltageLimitDoubleSpinBox=15", "minVoltageLimitDoubleSpinBox=10"}
            << QStringList{} << true << QByteArray();
        QTest::newRow("a contradiction the servo held before is not the user's")
            << QStringList{"temperatureLimitDoubleSpinBox=70"} << QStringList{} << true
            << QByteArray("\x0C\xC8", 2); // minimum voltage 20.0 V
    }

    void contradictoryLimitsAreAskedAbout()
    {
        QFETCH(QStringList, typed);
        QFETCH(QStringList, doubts);
        QFETCH(bool, confirm);
        QFETCH(QByteArray, preset);
        open();
        if (!preset.isEmpty())
            _sim->setRegisters(servoId, uint8_t(preset.at(0)), preset.mid(1));
        connectAndWait();
        VelkoraGroupToolButton* nv = editButton(true);
        nv->click();
        for (const QString& entry : typed)
            child<QDoubleSpinBox>(_window.get(), qPrintable(entry.section('=', 0, 0)))
                ->setValue(entry.section('=', 1).toDouble());
        _sim->clearReceived();
        nv->click();
        if (!doubts.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(visibleBox(), 20000);
            QMessageBox* question = visibleBox();
            QCOMPARE(question->windowTitle(), QStringLiteral("Apply parameters"));
            const QStringList lines = question->text().split('\n');
            QCOMPARE(lines.size(), doubts.size() + 2);
            for (int i = 0; i < doubts.size(); ++i)
                QVERIFY2(lines.at(i).startsWith(doubts.at(i)), qPrintable(lines.at(i)));
            QCOMPARE(lines.last(), QStringLiteral("Write these parameters anyway?"));
            QVERIFY(nv->isChecked()); // the edit goes on while asked
            pressButton(question, confirm ? "Write" : "Cancel");
            QTRY_VERIFY_WITH_TIMEOUT(!visibleBox(), 20000);
        } else {
            QVERIFY(!visibleBox());
        }
        if (!confirm) {
            const int polls = _window->scheduler()->statistics().polls();
            QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > polls + 3, 20000);
            QCOMPARE(writesOf(*_sim).size(), 0);
            QVERIFY(nv->isChecked());
            for (const QString& entry : typed)
                QCOMPARE(child<QDoubleSpinBox>(_window.get(), qPrintable(entry.section('=', 0, 0)))->value(),
                         entry.section('=', 1).toDouble());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(),
                                  QStringLiteral("Parameters written"), 20000);
        QVERIFY(!nv->isChecked());
        QCOMPARE(writesOf(*_sim).size(), 1);
        for (const QString& entry : typed)
            QTRY_COMPARE_WITH_TIMEOUT(
                child<QDoubleSpinBox>(_window.get(), qPrintable(entry.section('=', 0, 0)))->value(),
                entry.section('=', 1).toDouble(), 20000);
    }

    // Which fields each operating mode leaves to the user (captions show it while idle).
    void modesForceFieldsOff_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("input");
        QTest::addColumn<QString>("released"); // captions released, the rest of the list forced off
        QTest::newRow("torque") << 0 << 0 << "targetTorqueLabel quadratureCurrentLimitLabel";
        QTest::newRow("wheel")
            << 1 << 0
            << "currentFeedforwardTermLabel targetAngularVelocityLabel velocityProportionalTermLabel "
               "accelerationProfileLabel defVelocityProportionalTermLabel quadratureCurrentLimitLabel";
        QTest::newRow("joint, trajectory")
            << 2 << 0
            << "inputModeLabel clockwiseAngleLimitLabel positionProportionalTermLabel "
               "currentFeedforwardTermLabel "
               "velocityProportionalTermLabel accelerationProfileLabel targetPositionLabel "
               "defPositionProportionalTermLabel defVelocityProportionalTermLabel "
               "quadratureCurrentLimitLabel";
        QTest::newRow("joint, position")
            << 2 << 1
            << "inputModeLabel clockwiseAngleLimitLabel positionProportionalTermLabel "
               "currentFeedforwardTermLabel "
               "velocityProportionalTermLabel targetPositionLabel defPositionProportionalTermLabel "
               "defVelocityProportionalTermLabel quadratureCurrentLimitLabel";
        QTest::newRow("multi-turn, trajectory")
            << 3 << 0
            << "inputModeLabel positionProportionalTermLabel currentFeedforwardTermLabel "
               "velocityProportionalTermLabel "
               "accelerationProfileLabel targetPositionLabel defPositionProportionalTermLabel "
               "defVelocityProportionalTermLabel quadratureCurrentLimitLabel";
        QTest::newRow("multi-turn, position")
            << 3 << 1
            << "inputModeLabel positionProportionalTermLabel currentFeedforwardTermLabel "
               "velocityProportionalTermLabel "
               "targetPositionLabel defPositionProportionalTermLabel defVelocityProportionalTermLabel "
               "quadratureCurrentLimitLabel";
        QTest::newRow("stepper") << 4 << 0
                                 << "defPositionProportionalTermLabel defVelocityProportionalTermLabel "
                                    "quadratureCurrentLimitLabel";
        QTest::newRow("unknown mode 9 runs the joint pass")
            << 9 << 0
            << "inputModeLabel clockwiseAngleLimitLabel positionProportionalTermLabel "
               "currentFeedforwardTermLabel "
               "velocityProportionalTermLabel accelerationProfileLabel targetPositionLabel "
               "defPositionProportionalTermLabel defVelocityProportionalTermLabel "
               "quadratureCurrentLimitLabel";
    }

    void modesForceFieldsOff()
    {
        QFETCH(int, mode);
        QFETCH(int, input);
        QFETCH(QString, released);
        open();
        _sim->setRegisters(servoId, 6, QByteArray(1, char(mode)));
        _sim->setRegisters(servoId, 26, QByteArray(1, char(input)));
        connectAndWait();
        const QStringList checked{"inputModeLabel",
                                  "clockwiseAngleLimitLabel",
                                  "positionProportionalTermLabel",
                                  "currentFeedforwardTermLabel",
                                  "targetAngularVelocityLabel",
                                  "velocityProportionalTermLabel",
                                  "accelerationProfileLabel",
                                  "targetPositionLabel",
                                  "targetTorqueLabel",
                                  "defPositionProportionalTermLabel",
                                  "defVelocityProportionalTermLabel",
                                  "quadratureCurrentLimitLabel"};
        const QStringList on = released.split(' ');
        // The pass runs before the value is shown: the second poll reflects the servo's mode.
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > 2, 20000);
        for (const QString& name : checked)
            QVERIFY2(child<QLabel>(_window.get(), qPrintable(name))->isEnabled() == on.contains(name),
                     qPrintable(name));
        auto* pending = child<VelkoraCheckBox>(_window.get(), "pendingShadowInstructionCheckBox");
        QCOMPARE(pending->isForceDisabled(), mode == 4);
        auto* list = child<VelkoraComboBox>(_window.get(), "operatingModeComboBox");
        QCOMPARE(list->isValueUnknown(), mode > 4);

        // A dirty field the new mode forces off stops counting and keeps the servo's value.
        if (mode == 2 && input == 0) {
            VelkoraGroupToolButton* nv = editButton(true);
            nv->click();
            auto* limit = child<VelkoraDoubleSpinBox>(_window.get(), "clockwiseLimitDoubleSpinBox");
            const int loaded = limit->getServoValue();
            changeField(limit, 3);
            QVERIFY(nv->isEnabled());
            list->setCurrentIndex(1); // wheel: no angle limits
            QCOMPARE(nv->referenceCount(), 2);
            QTRY_VERIFY_WITH_TIMEOUT(limit->isForceDisabled(), 20000);
            QCOMPARE(nv->referenceCount(), 1); // the mode itself is the change now
            QCOMPARE(limit->getServoValue(), loaded);
            QVERIFY(!limit->hasUserChange());
        }
    }
};

QTEST_MAIN(TestGroupEditing)
#include "tst_groupediting.moc"
