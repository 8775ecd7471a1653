#include "core/files/csvrecorder.h"
#include "core/model/modelregistry.h"
#include "core/session/uischeduler.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"
#include "window/controllers/windowgeometry.h"
#include "window/dialogs/searchdialog.h"
#include "window/docks/plotdock.h"
#include "window/editview/registerview.h"
#include "window/mainwindow.h"

#include <answerdelivery.h>
#include <isolatedsettings.h>
#include <processresources.h>
#include <servosimulator.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QtTest>

using servosim::Fault;

namespace {

constexpr int servoId = 1;
constexpr int readAllAnswerBytes = 129; // the polls of a Velkora V1

// Address and value columns of a register view row.
QString valueText(RegisterBank bank, int row)
{
    const QTableWidgetItem* item = RegisterView::_instance->getRegisterBank(bank)->item(row, 1);
    return item ? item->text() : QString();
}

QString addressText(RegisterBank bank, int row)
{
    const QTableWidgetItem* item = RegisterView::_instance->getRegisterBank(bank)->item(row, 0);
    return item ? item->text() : QString();
}

QMessageBox* visibleMessageBox()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            return box;
    }
    return nullptr;
}

// Closes the one message box on screen and returns "title|text".
QString takeMessageBox()
{
    QMessageBox* box = visibleMessageBox();
    if (!box)
        return {};
    const QString seen = box->windowTitle() + "|" + box->text();
    box->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return seen;
}

// Answers the question on screen with the button of that text; returns "title|text" of the question.
QString answerQuestion(const QString& buttonText)
{
    QMessageBox* box = visibleMessageBox();
    if (!box)
        return {};
    const QString seen = box->windowTitle() + "|" + box->text();
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == buttonText) {
            button->click();
            return seen;
        }
    }
    return {};
}

QList<servosim::ReceivedPacket> packetsOf(const servosim::ServoSimulator& sim, int instruction)
{
    QList<servosim::ReceivedPacket> found;
    for (const auto& packet : sim.receivedPackets()) {
        if (packet.instruction == instruction)
            found.append(packet);
    }
    return found;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<IsolatedSettings> _settingsHome;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

    // The settings the window starts from, written before it exists.
    void storeSettings(const QString& port, int baudRate, int servoData = 0, int interval = 500)
    {
        QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
        settings.setValue("port settings/serialPortName", port);
        settings.setValue("port settings/baudRate", baudRate);
        settings.setValue("units settings/servoData", servoData);
        settings.setValue("main window settings/servoId", servoId);
        settings.setValue("main window settings/pollingInterval", interval);
    }

    void startSimulator(servosim::Options options = {})
    {
        options.linkPath = _settingsHome->path() + "/velkora-sim";
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
    }

    void openWindow(int servoData = 0, int interval = 500)
    {
        storeSettings(_sim->portName(), 1000000, servoData, interval);
        createWindow();
    }

    void createWindow()
    {
        _window = std::make_unique<MainWindow>();
        _window->show();
    }

    QString statusText() const { return _window->statusBar()->currentMessage(); }

    void connectAndWait()
    {
        _window->getConnectAction()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(statusText(), QStringLiteral("Connected"), 20000);
    }

    void unplugAndExpectOneReport()
    {
        _sim->unplug();
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
        const QString message = takeMessageBox();
        QCOMPARE(message, "Error|" + portLostText(_sim->portName()));
        QVERIFY2(message.contains(_sim->portName() + " was unplugged"), qPrintable(message));
        QCOMPARE(statusText(), QStringLiteral("Disconnected"));
        QVERIFY(_window->getConnectAction()->isEnabled());
        QVERIFY(!_window->scheduler()->isRunning());
        QVERIFY(!_window->serialHelper()->isOpen());
    }

    // Connect works once the device is back, and the lost port is not reported a second time.
    void replugAndPoll()
    {
        QVERIFY(_sim->plug());
        // A machine loaded far beyond its cores can miss identification's short deadline; that is
        // reported as "No answer" and the user presses Connect again. Anything else fails here.
        for (int attempt = 0; attempt < 3 && statusText() != QStringLiteral("Connected"); ++attempt) {
            _window->getConnectAction()->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(statusText() == QStringLiteral("Connected") || visibleMessageBox(),
                                     20000);
            if (visibleMessageBox()) {
                const QString message = takeMessageBox();
                QVERIFY2(message.startsWith("Error|No answer from servo id 1"), qPrintable(message));
            }
        }
        QCOMPARE(statusText(), QStringLiteral("Connected"));
        const int polls = _window->scheduler()->statistics().polls();
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > polls + 3, 20000);
        QVERIFY(!visibleMessageBox());
        QVERIFY(runningTimerCount() > 0); // the polling timer, at least: the count sees the program's timers
    }

private slots:
    void init()
    {
        _settingsHome = std::make_unique<IsolatedSettings>();
        QVERIFY(_settingsHome->isValid());
    }

    void cleanup()
    {
        while (visibleMessageBox())
            takeMessageBox();
        _window.reset();
        _sim.reset();
        _settingsHome.reset();
    }

    void firstStart_data()
    {
        QTest::addColumn<QByteArray>("storedGeometry");
        QTest::newRow("nothing stored") << QByteArray();
        QTest::newRow("damaged geometry") << QByteArray("not a geometry");
    }

    // Hand-edited values that do not read as numbers give the defaults, not the fastest polling.
    void unreadableStoredValuesGiveTheDefaults()
    {
        QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
        settings.setValue("main window settings/pollingInterval", "fast");
        settings.setValue("main window settings/servoId", "one");
        settings.sync();
        createWindow();
        QCOMPARE(_window->findChild<QSpinBox*>("pollingIntervalSpinBox")->value(), 500);
        QCOMPARE(_window->findChild<QSpinBox*>("servoIdSpinBox")->value(), 0);
    }

    void firstStart()
    {
        QFETCH(QByteArray, storedGeometry);
        if (!storedGeometry.isNull())
            QSettings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"))
                .setValue("main window settings/geometry", storedGeometry);
        createWindow();
        // The form is taller than most screens; the status bar, where every message appears, must
        // not end up below the screen's edge.
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY2(available.contains(_window->frameGeometry()),
                 qPrintable(QStringLiteral("%1x%2").arg(_window->width()).arg(_window->height())));
        QVERIFY(available.contains(
            QRect(_window->statusBar()->mapToGlobal(QPoint()), _window->statusBar()->size())));
        QCOMPARE(_window->findChild<QSpinBox*>("pollingIntervalSpinBox")->value(), 500);
        QCOMPARE(_window->findChild<QSpinBox*>("servoIdSpinBox")->value(), 0);
        QCOMPARE(statusText(), QStringLiteral("Disconnected"));
        QVERIFY(_window->getConnectAction()->isEnabled());
        QVERIFY(!_window->getDisconnectAction()->isEnabled());
        QCOMPARE(_window->windowTitle(), QStringLiteral("Velkora Servo Manager"));

        _window->getAboutAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
        const QString about = takeMessageBox();
        QVERIFY2(about.startsWith("About Velkora Servo Manager|Velkora Servo Manager ") &&
                     about.contains(QString::fromLatin1(qVersion())),
                 qPrintable(about));
    }

    void unstoredGeometryFitsTheScreen_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("geometry");
        // The form's 1192 × 1428 within a frame of 4 px and a 30 px title bar.
        QTest::newRow("laptop with a top panel") << QRect(0, 27, 1366, 741) << QRect(87, 57, 1192, 707);
        QTest::newRow("smaller both ways") << QRect(0, 0, 800, 600) << QRect(4, 30, 792, 566);
        QTest::newRow("second screen, large") << QRect(1920, 0, 2560, 1600) << QRect(2604, 99, 1192, 1428);
    }

    void unstoredGeometryFitsTheScreen()
    {
        QFETCH(QRect, available);
        QFETCH(QRect, geometry);
        QCOMPARE(fittedWindowGeometry({1192, 1428}, available, QMargins(4, 30, 4, 4)), geometry);
    }

    void idIntervalAndGeometryPersist()
    {
        createWindow();
        _window->findChild<QSpinBox*>("servoIdSpinBox")->setValue(17);
        _window->findChild<QSpinBox*>("pollingIntervalSpinBox")->setValue(120);
        _window->resize(900, 700);
        _window->close();
        createWindow();
        QCOMPARE(_window->findChild<QSpinBox*>("servoIdSpinBox")->value(), 17);
        QCOMPARE(_window->findChild<QSpinBox*>("pollingIntervalSpinBox")->value(), 120);
        QCOMPARE(_window->size(), QSize(900, 700));
    }

    void missingPortShowsItsError()
    {
        // A device that was there when the program started and is gone when the user connects.
        const QString port = _settingsHome->path() + "/vanished-port";
        QFile device(port);
        QVERIFY(device.open(QIODevice::WriteOnly));
        device.close();
        storeSettings(port, 1000000);
        createWindow();
        QVERIFY(device.remove());
        _window->getConnectAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
        const QString message = takeMessageBox();
        QVERIFY2(message.startsWith("Error|") && message.size() > 6, qPrintable(message));
        QVERIFY(_window->getConnectAction()->isEnabled());
        QCOMPARE(statusText(), QStringLiteral("Disconnected"));
        QVERIFY(!_window->scheduler());
    }

    // A device that is no terminal is named as no serial port, not with the ioctl's words.
    void notASerialPortIsSaidSo()
    {
        storeSettings(QStringLiteral("/dev/null"), 1000000);
        createWindow();
        _window->getConnectAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
        QCOMPARE(takeMessageBox(),
                 QStringLiteral("Error|/dev/null is not a serial port. Choose the port of the "
                                "servos' adapter, such as /dev/ttyUSB0."));
        QVERIFY(_window->getConnectAction()->isEnabled());
    }

    void openErrorsSayWhatToDo()
    {
        QCOMPARE(portOpenErrorText(QString(), "No such file or directory"),
                 QStringLiteral("No serial port is selected. Choose one in Settings."));
        // A device this user may use, or one that is gone: the port's own words only.
        QCOMPARE(portOpenErrorText(_settingsHome->path() + "/gone", "No such file or directory"),
                 QStringLiteral("No such file or directory"));
        QCOMPARE(portOpenErrorText(_settingsHome->path(), "Device or resource busy"),
                 QStringLiteral("Device or resource busy"));
        // A device of a group the user is not in: name the group and the command.
        QCOMPARE(
            portPermissionHint("/dev/ttyUSB0", "dialout"),
            QStringLiteral("You may not use /dev/ttyUSB0. Add your user to the group \"dialout\" that owns "
                           "it (sudo usermod -aG dialout $USER), then log out and in again."));
        QVERIFY(portPermissionHint("/dev/ttyS4", "root").startsWith("Only root may use /dev/ttyS4."));
    }

    void statusBarCountsFailuresAndRefusedWrites()
    {
        startSimulator();
        openWindow(0, 20);
        connectAndWait();
        _sim->injectFault(Fault::NoAnswer);
        QTRY_COMPARE_WITH_TIMEOUT(_window->scheduler()->statistics().timeouts(), 1, 20000);
        _sim->injectFault(Fault::BadCrc);
        QTRY_COMPARE_WITH_TIMEOUT(_window->scheduler()->statistics().corrupt(), 1, 20000);
        _window->scheduler()->addQueueRequest(0, QByteArray("\x05", 1)); // the model number is read-only
        QTRY_VERIFY_WITH_TIMEOUT(
            _window->trafficLabel()->text().contains("1 timed out, 1 corrupt") &&
                _window->trafficLabel()->text().contains("Write to address 0 failed: access error"),
            20000);

        // The hardware alert bit alone is no refusal: the write is done and nothing is reported.
        _sim->setHardwareError(servoId, 0x04);
        _window->scheduler()->addQueueRequest(24, QByteArray("\x07\x00", 2));
        QTRY_COMPARE_WITH_TIMEOUT(_sim->registers(servoId).mid(24, 2), QByteArray("\x07\x00", 2), 20000);
        const int polls = _window->scheduler()->statistics().polls();
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > polls, 20000);
        QVERIFY(_window->scheduler()->takeStatisticsSummary().endsWith(
            "Write to address 0 failed: access error"));

        _window->getDisconnectAction()->trigger();
        QVERIFY(_window->trafficLabel()->text().isEmpty());
    }

    void connectShowsTheServoLive_data()
    {
        QTest::addColumn<int>("servoData");
        QTest::addColumn<QString>("idAddress");
        QTest::addColumn<QString>("idValue");
        QTest::addColumn<AnswerDelivery>("delivery");
        for (const AnswerDelivery& delivery : answerDeliveries(readAllAnswerBytes)) {
            QTest::newRow(deliveryTag("hexadecimal", delivery)) << 0 << "0x03"
                                                                << "0x01" << delivery;
            QTest::newRow(deliveryTag("decimal", delivery)) << 1 << "3"
                                                            << "1" << delivery;
        }
    }

    void connectShowsTheServoLive()
    {
        QFETCH(int, servoData);
        QFETCH(QString, idAddress);
        QFETCH(QString, idValue);
        QFETCH(AnswerDelivery, delivery);
        startSimulator(deliveredAs(delivery));
        openWindow(servoData, 50);
        connectAndWait();

        const int rows[] = {27, 14, 24, 22};
        for (int bank = 0; bank < 4; ++bank)
            QCOMPARE(RegisterView::_instance->getRegisterBank(RegisterBank(bank))->rowCount(), rows[bank]);
        QTRY_COMPARE_WITH_TIMEOUT(valueText(RegisterBank::NonVolatileBank1, 3), idValue, 20000);
        QCOMPARE(addressText(RegisterBank::NonVolatileBank1, 3), idAddress);

        // Every byte of bank 1 as the simulator holds it.
        const QByteArray table = _sim->registers(servoId);
        for (int address = 0; address < 27; ++address) {
            const int value = uint8_t(table.at(address));
            const QString expected = servoData ? QString::number(value)
                                               : QStringLiteral("0x%1").arg(value, 2, 16, QLatin1Char('0'));
            QCOMPARE(valueText(RegisterBank::NonVolatileBank1, address), expected);
        }

        // Live values move between polls: the actual voltage has noise, so enable the motor and
        // set a far target to make the position change too.
        _sim->setRegisters(servoId, 48, QByteArray(1, '\x01'));
        _sim->setRegisters(servoId, 78, QByteArray("\x00\x40\x00\x00", 4));
        const QString before =
            valueText(RegisterBank::VolatileBank2, 0) + valueText(RegisterBank::VolatileBank2, 1);
        QTRY_VERIFY_WITH_TIMEOUT(
            valueText(RegisterBank::VolatileBank2, 0) + valueText(RegisterBank::VolatileBank2, 1) != before,
            20000);
        QTRY_VERIFY_WITH_TIMEOUT(_window->trafficLabel()->text().contains("polls/s"), 20000);
        QCOMPARE(_window->scheduler()->statistics().failures(), 0);
    }

    void disconnectEmptiesTablesAndClosesThePortLater()
    {
        startSimulator();
        openWindow();
        connectAndWait();
        _window->getDisconnectAction()->trigger();
        QCOMPARE(statusText(), QStringLiteral("Disconnected"));
        for (int bank = 0; bank < 4; ++bank)
            QCOMPARE(RegisterView::_instance->getRegisterBank(RegisterBank(bank))->rowCount(), 0);
        QVERIFY(_window->serialHelper()->isOpen());
        QTRY_VERIFY_WITH_TIMEOUT(!_window->serialHelper()->isOpen(), 20000);
        QVERIFY(_window->getConnectAction()->isEnabled());
    }

    void quickReconnectKeepsTheNewPortOpen()
    {
        startSimulator();
        openWindow(0, 20);
        connectAndWait();
        _window->getDisconnectAction()->trigger();
        connectAndWait();
        // Ten polls at 20 ms take the window past the close delay of the disconnect.
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > 10, 20000);
        QVERIFY(_window->serialHelper()->isOpen());
        QCOMPARE(_window->scheduler()->statistics().failures(), 0);
    }

    void silentServoIsReported()
    {
        startSimulator();
        openWindow();
        _sim->injectFault(Fault::NoAnswer);
        _window->getConnectAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
        // The way on is offered with the message: a search for where the servo answers.
        const QString message = answerQuestion(QStringLiteral("Search…"));
        QVERIFY2(message.startsWith("Error|No answer from servo id 1 at 1000000 baud"), qPrintable(message));
        QVERIFY2(message.contains("Search the port for servos"), qPrintable(message));
        QCOMPARE(statusText(), QStringLiteral("Disconnected"));
        QVERIFY(_window->getConnectAction()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(_window->searchDialog()->isVisible(), 20000);
        _window->searchDialog()->hide();
        QTRY_VERIFY_WITH_TIMEOUT(!_window->serialHelper()->isOpen(), 20000);
    }

    // A factory reset puts the servo back at the factory rate: it is found there and the user
    // can follow it, and Connect then works; said before it happens.
    void factoryResetFollowsTheServoToTheFactoryRate()
    {
        servosim::Options options;
        options.baudRate = 57600;
        startSimulator(options);
        storeSettings(_sim->portName(), 57600);
        createWindow();
        _window->getResetAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
        QVERIFY(answerQuestion("Reset").contains("its baud rate returns to 1000000 baud"));
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox() && visibleMessageBox()->text().contains("now answers"),
                                 20000);
        QCOMPARE(answerQuestion("Use id 1 at 1000000 baud"),
                 QStringLiteral(
                     "Success|Factory reset of Velkora servo id:1 was successful\nIt now answers at id 1 "
                     "at 1000000 baud, the factory settings. Connect there from now on?"));
        QVERIFY(!_window->serialHelper()->isOpen());
        QTRY_COMPARE_WITH_TIMEOUT(
            QSettings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"))
                .value("port settings/baudRate")
                .toInt(),
            1000000, 20000);
        connectAndWait();
    }

    // A servo that falls silent while polled is shown as such, nothing is edited or recorded from
    // its stale table, and everything comes back by itself with its answers.
    void servoFallingSilentIsMarkedAndRecovers()
    {
        startSimulator();
        openWindow(0, 50);
        connectAndWait();
        auto* edit = _window->findChild<QWidget*>("vParamsEditSaveToolButton");
        QTRY_VERIFY_WITH_TIMEOUT(edit->isEnabled(), 20000);
        _window->startRecording(_settingsHome->path() + "/silence.csv");
        QTRY_VERIFY_WITH_TIMEOUT(_window->recorder()->rowsRecorded() > 2, 20000);

        QElapsedTimer silence;
        silence.start();
        _sim->setSilent(true);
        QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith("Servo 1 is not answering (since "), 20000);
        QVERIFY(silence.elapsed() >= UiScheduler::silentAfterMs);
        QVERIFY(!_window->scheduler()->isServoAnswering());
        QVERIFY(!edit->isEnabled());
        QVERIFY(!_window->findChild<QWidget*>("editView")->isEnabled());
        const int rows = _window->recorder()->rowsRecorded();
        const int polls = _window->scheduler()->statistics().polls();
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().failures() > 6, 20000);
        QCOMPARE(_window->recorder()->rowsRecorded(), rows);
        QCOMPARE(_window->scheduler()->statistics().polls(), polls);
        QVERIFY(_window->plotDock()->history().points().back().gap); // no line across the silence

        _sim->setSilent(false);
        QTRY_COMPARE_WITH_TIMEOUT(statusText(), QStringLiteral("Connected"), 20000);
        QVERIFY(_window->findChild<QWidget*>("editView")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(edit->isEnabled(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(_window->recorder()->rowsRecorded() > rows, 20000);
    }

    void rebootAndResetAcknowledgements_data()
    {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("message");
        QTest::addColumn<AnswerDelivery>("delivery");
        const struct
        {
            const char* tag;
            bool reset;
            Fault fault;
            const char* message;
        } rows[] = {
            {"reboot ok", false, Fault::None, "Success|Velkora servo id:1 was rebooted successfully"},
            {"reboot ok, hardware alert", false, Fault::ErrorByte,
             "Success|Velkora servo id:1 was rebooted successfully"},
            {"reboot error", false, Fault::ErrorByte, "Error|Error during reboot of Velkora servo id:1"},
            {"reboot in chunks", false, Fault::Split, "Success|Velkora servo id:1 was rebooted successfully"},
            {"reboot silent", false, Fault::NoAnswer,
             "Error|No answer from servo id 1 to the reboot request."},
            {"reset ok", true, Fault::None, "Success|Factory reset of Velkora servo id:1 was successful"},
            {"reset error", true, Fault::ErrorByte, "Error|Error during factory reset of Velkora servo id:1"},
            {"reset in chunks", true, Fault::Split,
             "Success|Factory reset of Velkora servo id:1 was successful"},
            {"reset silent", true, Fault::NoAnswer,
             "Error|No answer from servo id 1 to the factory reset request."},
        };
        for (const AnswerDelivery& delivery : answerDeliveries()) {
            for (const auto& row : rows) {
                // Nothing arrives to be cut into pieces.
                if (row.fault != Fault::NoAnswer || delivery.pieceBytes == 0)
                    QTest::newRow(deliveryTag(row.tag, delivery))
                        << row.reset << row.fault << QString::fromUtf8(row.message) << delivery;
            }
        }
    }

    void rebootAndResetAcknowledgements()
    {
        QFETCH(bool, reset);
        QFETCH(Fault, fault);
        QFETCH(QString, message);
        QFETCH(AnswerDelivery, delivery);
        startSimulator(deliveredAs(delivery));
        openWindow();
        if (fault != Fault::None)
            _sim->injectFault(fault, 1, QByteArray(QTest::currentDataTag()).contains("alert") ? 0x80 : 0x01);
        if (reset) {
            _window->getResetAction()->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
            QCOMPARE(
                answerQuestion("Reset"),
                QStringLiteral("Factory reset|Factory reset servo id 1? Its settings return to the "
                               "factory defaults. It keeps its id; its baud rate returns to 1000000 baud."));
        } else {
            _window->getRebootAction()->trigger();
        }
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
        QCOMPARE(takeMessageBox(), message);
        QVERIFY(!_window->serialHelper()->isOpen());
        QCOMPARE(packetsOf(*_sim, reset ? 0x06 : 0x08).size(), 1);
    }

    // A model whose reset can keep more or less offers each way; the chosen option is sent and the
    // servo is looked for at its model's factory address.
    void factoryResetOffersWhatTheModelKeeps()
    {
        servosim::Options options;
        options.description = ModelRegistry::shared().byName(QStringLiteral("xl430"));
        options.baudRate = 115200;
        startSimulator(options);
        storeSettings(_sim->portName(), 115200);
        createWindow();
        connectAndWait();
        // Its model number is a plain number, not the V1's series and variant.
        QTRY_COMPARE_WITH_TIMEOUT(_window->findChild<QLineEdit*>("modelNumberLineEdit")->text(),
                                  QStringLiteral("1060"), 20000);
        _window->getDisconnectAction()->trigger(); // the model stays known
        QTRY_COMPARE_WITH_TIMEOUT(statusText(), QStringLiteral("Disconnected"), 20000);
        _window->getResetAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
        const QString question = answerQuestion("Reset all");
        QVERIFY2(
            question.contains("\nReset all: Its id returns to 1 and its baud rate to 57600 baud.") &&
                question.contains("\nKeep the id: It keeps its id; its baud rate returns to 57600 baud.") &&
                question.contains("\nKeep id and rate: It keeps its id and its baud rate."),
            qPrintable(question));
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox() && visibleMessageBox()->text().contains("now answers"),
                                 20000);
        QCOMPARE(packetsOf(*_sim, 0x06).size(), 1);
        QCOMPARE(packetsOf(*_sim, 0x06).first().params, QByteArray(1, '\xFF'));
        QVERIFY(answerQuestion("Use id 1 at 57600 baud").contains("It now answers at id 1 at 57600 baud"));
    }

    void factoryResetOnlyWhenConfirmed_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("Cancel") << "Cancel";
        QTest::newRow("Escape") << "Escape";
        QTest::newRow("Return, the default") << "Return";
    }

    void factoryResetOnlyWhenConfirmed()
    {
        QFETCH(QString, answer);
        startSimulator();
        openWindow();
        _window->getResetAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(visibleMessageBox(), 20000);
        QMessageBox* question = visibleMessageBox();
        QCOMPARE(question->icon(), QMessageBox::Question);
        QStringList buttons;
        for (QAbstractButton* button : question->buttons())
            buttons << button->text();
        buttons.sort();
        QCOMPARE(buttons, (QStringList{"Cancel", "Reset"}));
        QCOMPARE(question->defaultButton()->text(), QStringLiteral("Cancel"));
        QVERIFY(!_window->serialHelper()->isOpen()); // nothing happens before the answer

        if (answer == "Cancel")
            QVERIFY(!answerQuestion("Cancel").isEmpty());
        else
            QTest::keyClick(question, answer == "Escape" ? Qt::Key_Escape : Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!visibleMessageBox(), 20000);
        QVERIFY(!_window->serialHelper()->isOpen());
        QCOMPARE(_sim->packetsReceived(), 0);
        QVERIFY(_window->getResetAction()->isEnabled());
    }

    void unpluggedAdapterDisconnects()
    {
        trackObjects();
        startSimulator();
        openWindow(0, 20);
        connectAndWait();
        // Counted after the first cycle, when whatever Qt sets up once for good is there.
        unplugAndExpectOneReport();
        const int descriptors = openFileDescriptorCount();
        const int timers = runningTimerCount();
        for (int cycle = 0; cycle < 20 && !QTest::currentTestFailed(); ++cycle) {
            replugAndPoll();
            if (!QTest::currentTestFailed())
                unplugAndExpectOneReport();
        }
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(openFileDescriptorCount(), descriptors);
        QVERIFY2(runningTimerCount() == timers, qPrintable(runningTimerOwners().join(", ")));
        replugAndPoll();
    }

    void queuedWritesGoOutBeforeTheNextPoll_data() { addDeliveryRows(readAllAnswerBytes); }

    void queuedWritesGoOutBeforeTheNextPoll()
    {
        QFETCH(AnswerDelivery, delivery);
        startSimulator(deliveredAs(delivery));
        openWindow(0, 50);
        connectAndWait();
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > 0, 20000);
        _sim->clearReceived();
        _window->scheduler()->addQueueRequest(20, QByteArray("\x01\x02\x03\x04", 4));
        _window->scheduler()->addQueueRequest(24, QByteArray("\x05\x00", 2));
        _window->scheduler()->addQueueRequest(11, QByteArray("\x50", 1));
        QTRY_VERIFY_WITH_TIMEOUT(packetsOf(*_sim, 0x03).size() == 3 && packetsOf(*_sim, 0x02).size() >= 2,
                                 20000);

        QList<servosim::ReceivedPacket> packets = _sim->receivedPackets();
        if (packets.first().instruction == 0x02) // a poll already on its way
            packets.removeFirst();
        const QList<QByteArray> expected = {QByteArray("\x14\x00\x01\x02\x03\x04", 6),
                                            QByteArray("\x18\x00\x05\x00", 4), QByteArray("\x0B\x00\x50", 3)};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(int(packets.at(i).instruction), 0x03);
            QCOMPARE(packets.at(i).params, expected.at(i));
        }
        QCOMPARE(int(packets.at(3).instruction), 0x02);
        QCOMPARE(_sim->registers(servoId).mid(20, 6), QByteArray("\x01\x02\x03\x04\x05\x00", 6));
    }

    void slowLineLosesNothing()
    {
        servosim::Options options;
        options.baudRate = 57600;
        startSimulator(options);
        storeSettings(_sim->portName(), 57600, 0, 10);
        createWindow();
        connectAndWait();
        const BusStatistics& statistics = _window->scheduler()->statistics();
        QTRY_VERIFY_WITH_TIMEOUT(statistics.polls() >= 20, 20000);
        QCOMPARE(statistics.failures(), 0);
        QVERIFY(statistics.skippedTicks() > 0); // the line is slower than the interval
        // Never a second request while one is on the line: at most the last one awaits its answer.
        QVERIFY(_sim->packetsReceived() - _sim->packetsAnswered() <= 1);
        QCOMPARE(valueText(RegisterBank::NonVolatileBank1, 4), QStringLiteral("0x22")); // baud code 34
    }

    void ax12GetsShortReadsAndEmptyTables()
    {
        servosim::Options options;
        options.model = servosim::Model::Ax12;
        startSimulator(options);
        openWindow(0, 20);
        connectAndWait();
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() >= 3, 20000);
        // One table of every described byte; the others stay empty.
        QCOMPARE(RegisterView::_instance->getRegisterBank(RegisterBank(0))->rowCount(), 43);
        for (int bank = 1; bank < 4; ++bank)
            QCOMPARE(RegisterView::_instance->getRegisterBank(RegisterBank(bank))->rowCount(), 0);
        const auto reads = packetsOf(*_sim, 0x02);
        QCOMPARE(reads.first().params,
                 QByteArray("\x00\x00\x07\x00", 4)); // identification, firmware included
        QCOMPARE(reads.last().params, QByteArray("\x00\x00\x32\x00", 4));  // 50 bytes
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
