#include "core/jobs/searchhelper.h"
#include "core/jobs/servosearch.h"
#include "core/model/modelregistry.h"
#include "core/transport/portlatency.h"
#include "core/transport/serialhelper.h"
#include "window/dialogs/searchdialog.h"
#include "window/dialogs/settingsdialog.h"
#include "window/mainwindow.h"

#include <isolatedsettings.h>
#include <servosimulator.h>
#include <testmodels.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <unistd.h>

namespace {

template <typename T> T* child(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no %s", name);
    return found;
}

QCheckBox* rateBox(SearchDialog& dialog, int rate)
{
    return child<QCheckBox>(&dialog, qPrintable(QStringLiteral("baudRate%1CheckBox").arg(rate)));
}

// Every servo row of the result tree as "rate/id/model" (and "/Protocol N"), in tree order.
QStringList servoRows(SearchDialog& dialog, bool withProtocol = false)
{
    QStringList rows;
    auto* tree = child<QTreeWidget>(&dialog, "servoTreeWidget");
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* root = tree->topLevelItem(i);
        for (int j = 0; j < root->childCount(); ++j)
            rows << root->text(0) + "/" + root->child(j)->text(1) + "/" + root->child(j)->text(2) +
                        (withProtocol ? "/" + root->child(j)->text(3) : QString());
    }
    return rows;
}

QMessageBox* visibleMessageBox()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            return box;
    }
    return nullptr;
}

bool portIsFree(const QString& port)
{
    SerialHelper serial;
    return serial.openSerialPort(port, 57600).isEmpty();
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

const QList<int> allRates = {9600, 19200, 38400, 57600, 115200, 200000, 250000, 400000, 500000, 1000000};

} // namespace

class TestSearch : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<IsolatedSettings> _settingsHome;
    std::unique_ptr<servosim::ServoSimulator> _sim;

    void startSimulator(const QList<int>& ids, servosim::Model model = servosim::Model::V1, int protocol = 2)
    {
        servosim::Options options;
        options.ids = ids;
        options.model = model;
        options.protocol = protocol;
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
    }

    // A dialog on the simulator's port, shown, with the given rates ticked.
    std::unique_ptr<SearchDialog> openDialog(const QString& port, const QList<int>& rates)
    {
        QSettings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"))
            .setValue("port settings/serialPortName", port);
        auto dialog = std::make_unique<SearchDialog>();
        dialog->show();
        for (int rate : allRates)
            rateBox(*dialog, rate)->setChecked(rates.contains(rate));
        return dialog;
    }

private slots:
    void init()
    {
        _settingsHome = std::make_unique<IsolatedSettings>();
        QVERIFY(_settingsHome->isValid());
    }

    void cleanup()
    {
        while (QMessageBox* box = visibleMessageBox())
            box->close();
        _sim.reset();
        _settingsHome.reset();
    }

    void findsEveryServoOnceAtItsRate_data()
    {
        QTest::addColumn<servosim::Model>("model");
        QTest::addColumn<bool>("quick");
        QTest::addColumn<bool>("pinged"); // one broadcast ping per rate, else id by id
        QTest::addColumn<QString>("modelText");
        QTest::addColumn<int>("protocol");
        QTest::addRow("each id") << servosim::Model::V1 << false << false << "Velkora V1" << 2;
        QTest::addRow("broadcast ping") << servosim::Model::V1 << true << true << "Velkora V1" << 2;
        QTest::addRow("each id, AX-12") << servosim::Model::Ax12 << false << false << "AX-12" << 2;
        QTest::addRow("each id, AX-12 in Protocol 1")
            << servosim::Model::Ax12 << false << false << "AX-12" << 1;
        // No Protocol 1 servo answers a broadcast: a quick scan asks them id by id.
        QTest::addRow("quick, AX-12 in Protocol 1") << servosim::Model::Ax12 << true << false << "AX-12" << 1;
    }

    void findsEveryServoOnceAtItsRate()
    {
        QFETCH(servosim::Model, model);
        QFETCH(bool, quick);
        QFETCH(bool, pinged);
        QFETCH(QString, modelText);
        // 10 ids at every rate offered, less the rates after the one an id was found at: id 3 at
        // the slowest, id 5 at 57600, id 7 at 1000000.
        const QList<int> rates = offeredBaudRates();
        const auto later = [&rates](int rate) { return int(rates.size()) - 1 - int(rates.indexOf(rate)); };
        const int probes =
            pinged ? int(rates.size()) : 10 * int(rates.size()) - later(9600) - later(57600) - later(1000000);
        QFETCH(int, protocol);
        startSimulator({3, 5, 7, 8}, model, protocol);
        QVERIFY(_sim->setServoBaudRate(3, 9600));
        QVERIFY(_sim->setServoBaudRate(5, 57600));
        _sim->setRegisters(8, 3, QByteArray(1, '\x05')); // a second id 5, at 1 Mbaud
        auto dialog = openDialog(_sim->portName(), {});
        auto* select = child<QCheckBox>(dialog.get(), "selectCheckBox");
        select->click(); // an empty "Select/Unselect" ticks every rate
        QCOMPARE(select->checkState(), Qt::Checked);
        child<QCheckBox>(dialog.get(), "quickScanCheckBox")->setChecked(quick);
        child<QComboBox>(dialog.get(), "searchProtocolComboBox")->setCurrentIndex(protocol == 1 ? 1 : 0);
        QCOMPARE(child<QWidget>(dialog.get(), "searchProtocolHintLabel")->isVisibleTo(dialog.get()),
                 quick && protocol == 1);

        child<QPushButton>(dialog.get(), "scanPushButton")->click();

        const QString p = QStringLiteral("/Protocol %1").arg(protocol);
        QCOMPARE(servoRows(*dialog, true), QStringList({"9600/3/" + modelText + p, "57600/5/" + modelText + p,
                                                        "1000000/7/" + modelText + p}));
        QCOMPARE(dialog->probesMade(), probes);
        auto* progress = child<QProgressBar>(dialog.get(), "scanProgressBar");
        QCOMPARE(progress->value(), progress->maximum());
        QCOMPARE(progress->text(), QStringLiteral("3 servo(s) found"));
        QVERIFY(child<QPushButton>(dialog.get(), "scanPushButton")->isEnabled());
        QVERIFY(!child<QPushButton>(dialog.get(), "abortScanPushButton")->isEnabled());

        // Add all hands every servo found to the bus table, each at its rate with its model and
        // in the protocol it answered.
        QSignalSpy added(dialog.get(), &SearchDialog::addToBus);
        child<QPushButton>(dialog.get(), "addAllButton")->click();
        QStringList handed;
        for (const QList<QVariant>& servo : added)
            handed << QStringLiteral("%1/%2/%3/Protocol %4")
                          .arg(servo.at(1).toInt())
                          .arg(servo.at(0).toInt())
                          .arg(ServoSearch::modelText(servo.at(2).toInt()))
                          .arg(servo.at(4).toInt());
        QCOMPARE(handed, QStringList({"9600/3/" + modelText + p, "57600/5/" + modelText + p,
                                      "1000000/7/" + modelText + p}));
        QVERIFY(portIsFree(_sim->portName()));
    }

    // One bus, servos of both protocols at their own rates: "Both" finds each once, in its own
    // protocol, and a quick scan pings for the Protocol 2 ones only.
    void findsBothProtocolsOnOneBus_data()
    {
        QTest::addColumn<bool>("quick");
        QTest::addColumn<int>("probes");
        // Per rate, Protocol 2 then Protocol 1, each for the ids not found yet: 10+10, 9+8, 8+8.
        QTest::addRow("each id") << false << 53;
        // A ping per rate, then Protocol 1 reads: 10, 8, 8.
        QTest::addRow("quick") << true << 29;
    }

    void findsBothProtocolsOnOneBus()
    {
        QFETCH(bool, quick);
        QFETCH(int, probes);
        startSimulator({3});
        QVERIFY(_sim->setServoBaudRate(3, 57600));
        QVERIFY(_sim->plugServo(4, 9600, servosim::Model::Ax12, 1));
        QVERIFY(_sim->plugServo(6, 1000000, servosim::Model::Ax12, 1));
        auto dialog = openDialog(_sim->portName(), {9600, 57600, 1000000});
        child<QCheckBox>(dialog.get(), "quickScanCheckBox")->setChecked(quick);
        child<QComboBox>(dialog.get(), "searchProtocolComboBox")->setCurrentIndex(2); // both
        child<QPushButton>(dialog.get(), "scanPushButton")->click();
        QCOMPARE(servoRows(*dialog, true),
                 QStringList({"9600/4/AX-12/Protocol 1", "57600/3/Velkora V1/Protocol 2",
                              "1000000/6/AX-12/Protocol 1"}));
        QCOMPARE(dialog->probesMade(), probes);
        // Every column is in sight, the protocol included.
        auto* tree = child<QTreeWidget>(dialog.get(), "servoTreeWidget");
        QTRY_VERIFY_WITH_TIMEOUT(!tree->horizontalScrollBar()->isVisible(), 20000);
        QVERIFY(tree->header()->sectionViewportPosition(3) + tree->header()->sectionSize(3) <=
                tree->viewport()->width());
    }

    // Feetech servos answer no broadcast ping: even a quick scan asks them id by id, at their own
    // rates, and reads each model number at 3 in its model's byte order (big-endian on the SCS).
    void findsFeetechServosAtTheirRates()
    {
        servosim::Options options;
        options.ids = {2};
        options.description = builtInModel("sts3215");
        options.protocol = int(BusProtocol::Feetech);
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
        QVERIFY(_sim->plugServo(4, 500000, builtInModel("scs0009")));
        QVERIFY(_sim->plugServo(6, 115200, builtInModel("sts3250")));
        auto dialog = openDialog(_sim->portName(), {115200, 500000, 1000000});
        child<QCheckBox>(dialog.get(), "quickScanCheckBox")->setChecked(true);
        child<QComboBox>(dialog.get(), "searchProtocolComboBox")->setCurrentIndex(3);
        QVERIFY(child<QWidget>(dialog.get(), "searchProtocolHintLabel")->isVisibleTo(dialog.get()));
        child<QPushButton>(dialog.get(), "scanPushButton")->click();
        const QString p = QStringLiteral("/Protocol 1 (Feetech)");
        QCOMPARE(servoRows(*dialog, true),
                 QStringList({"115200/6/STS3250" + p, "500000/4/SCS0009" + p, "1000000/2/STS3215" + p}));
    }

    // A first look finds the servos at the stored rate and the factory rates without a tick.
    void showTicksTheStoredAndCommonRates_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QList<int>>("ticked");
        QTest::addRow("nothing stored") << QVariant() << QList<int>{57600, 115200, 1000000};
        QTest::addRow("a common rate") << QVariant(1000000) << QList<int>{57600, 115200, 1000000};
        QTest::addRow("another rate") << QVariant(9600) << QList<int>{9600, 57600, 115200, 1000000};
    }

    void showTicksTheStoredAndCommonRates()
    {
        QFETCH(QVariant, stored);
        QFETCH(QList<int>, ticked);
        QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
        settings.setValue("port settings/serialPortName", "/dev/ttyUSB9");
        if (stored.isValid())
            settings.setValue("port settings/baudRate", stored);
        settings.sync();
        auto dialog = std::make_unique<SearchDialog>();
        dialog->show();
        QList<int> seen;
        for (int rate : allRates)
            if (rateBox(*dialog, rate)->isChecked())
                seen << rate;
        QCOMPARE(seen, ticked);
        QVERIFY(child<QPushButton>(dialog.get(), "scanPushButton")->isEnabled());
    }

    void formRulesHold()
    {
        auto dialog = openDialog(QStringLiteral("/dev/ttyUSB9"), {});
        auto* lower = child<QSpinBox>(dialog.get(), "lowerSearchRangeSpinBox");
        auto* upper = child<QSpinBox>(dialog.get(), "upperSearchRangeSpinBox");
        auto* scan = child<QPushButton>(dialog.get(), "scanPushButton");
        auto* select = child<QCheckBox>(dialog.get(), "selectCheckBox");
        QCOMPARE(child<QComboBox>(dialog.get(), "serialPortInfoListBox")->currentText(), "/dev/ttyUSB9");
        lower->setValue(11); // above the upper end: back to where it was
        QCOMPARE(lower->value(), 1);
        upper->setValue(0);
        QCOMPARE(upper->value(), 10);
        lower->setValue(4);
        upper->setValue(4);
        QCOMPARE(lower->value(), 4);
        QCOMPARE(upper->value(), 4);

        QVERIFY(!scan->isEnabled()); // no rate ticked
        QCOMPARE(scan->toolTip(), QStringLiteral("Tick at least one baud rate to scan"));
        rateBox(*dialog, 57600)->setChecked(true);
        QCOMPARE(select->checkState(), Qt::PartiallyChecked);
        QVERIFY(scan->isEnabled());
        child<QComboBox>(dialog.get(), "serialPortInfoListBox")->setCurrentText(QString());
        QVERIFY(!scan->isEnabled()); // no port
        select->click();             // a partial box unticks all
        QCOMPARE(select->checkState(), Qt::Unchecked);
        QVERIFY(!rateBox(*dialog, 57600)->isChecked());
        select->click();
        for (int rate : allRates)
            QVERIFY(rateBox(*dialog, rate)->isChecked());
        select->click(); // a full box unticks all
        for (int rate : allRates)
            QVERIFY(!rateBox(*dialog, rate)->isChecked());

        // Showing again starts afresh.
        dialog->hide();
        dialog->show();
        QCOMPARE(lower->value(), 1);
        QCOMPARE(upper->value(), 10);
    }

    void scanStopsWithinOneProbe_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addRow("Abort") << "abortScanPushButton";
        QTest::addRow("Cancel") << "cancelPushButton";
        QTest::addRow("hidden") << "";
    }

    void scanStopsWithinOneProbe()
    {
        QFETCH(QString, how);
        startSimulator({1});
        auto dialog = openDialog(_sim->portName(), allRates);
        child<QSpinBox>(dialog.get(), "lowerSearchRangeSpinBox")->setValue(0);
        child<QSpinBox>(dialog.get(), "upperSearchRangeSpinBox")->setValue(253);
        auto* scan = child<QPushButton>(dialog.get(), "scanPushButton");
        auto* progress = child<QProgressBar>(dialog.get(), "scanProgressBar");
        int probesAtStop = -1;
        bool lockedWhileRunning = false;
        QString progressText;
        QTimer::singleShot(300, dialog.get(), [&] {
            lockedWhileRunning = dialog->isScanning() && !scan->isEnabled() &&
                                 !child<QComboBox>(dialog.get(), "serialPortInfoListBox")->isEnabled() &&
                                 !rateBox(*dialog, 9600)->isEnabled();
            progressText = progress->text();
            probesAtStop = dialog->probesMade();
            if (how.isEmpty())
                dialog->hide();
            else
                child<QPushButton>(dialog.get(), qPrintable(how))->click();
        });
        scan->click();
        QVERIFY(lockedWhileRunning);
        QVERIFY2(
            QRegularExpression(R"(^\d+ of \d+ probes, about \d+ s left$)").match(progressText).hasMatch(),
            qPrintable(progressText));
        QVERIFY(probesAtStop > 0);
        QVERIFY2(dialog->probesMade() <= probesAtStop + 1, qPrintable(QString::number(dialog->probesMade())));
        QVERIFY(!dialog->isScanning());
        QVERIFY(!child<QPushButton>(dialog.get(), "abortScanPushButton")->isEnabled());
        QVERIFY(portIsFree(_sim->portName()));
        dialog->show();
        QVERIFY(scan->isEnabled()); // a fresh showing has the usual rates ticked
        QVERIFY(servoRows(*dialog).isEmpty());
    }

    void closedScanLeavesTheNextShowingAlone()
    {
        startSimulator({1, 2});
        QVERIFY(_sim->setServoBaudRate(1, 9600));
        QVERIFY(_sim->setServoBaudRate(2, 9600));
        _sim->injectFault(servosim::Fault::Delayed); // servo 1's answer comes long after the window
        auto dialog = openDialog(_sim->portName(), {9600});
        child<QSpinBox>(dialog.get(), "upperSearchRangeSpinBox")->setValue(2);
        child<QCheckBox>(dialog.get(), "quickScanCheckBox")->setChecked(true);
        // The ping's window (84 ms) outlasts one wait for it (50 ms): the dialog is closed and
        // opened again while it runs, and the window ends meanwhile with servo 2's answer.
        connect(dialog.get(), &SearchDialog::doQuickScan, dialog.get(), [&] {
            QTimer::singleShot(0, dialog.get(), [&] {
                dialog->hide();
                dialog->show();
                QTRY_COMPARE_WITH_TIMEOUT(_sim->packetsAnswered(), 2, 20000);
            });
        });
        auto* scan = child<QPushButton>(dialog.get(), "scanPushButton");
        scan->click();
        QCOMPARE(_sim->packetsAnswered(), 2);
        QCOMPARE(dialog->probesMade(), 1);
        QVERIFY(dialog->isVisible());
        QCOMPARE(servoRows(*dialog), QStringList());

        // The new showing scans as any other.
        disconnect(dialog.get(), &SearchDialog::doQuickScan, nullptr, nullptr);
        rateBox(*dialog, 9600)->setChecked(true);
        scan->click();
        QCOMPARE(servoRows(*dialog), QStringList({"9600/1/Velkora V1", "9600/2/Velkora V1"}));
    }

    void unopenablePortStopsTheScanAtOnce()
    {
        const QString port = _settingsHome->path() + "/no-such-tty";
        auto dialog = openDialog(port, allRates);
        QElapsedTimer clock;
        clock.start();
        child<QPushButton>(dialog.get(), "scanPushButton")->click();
        QVERIFY(clock.elapsed() < 1000);
        QCOMPARE(dialog->probesMade(), 1);
        QMessageBox* box = visibleMessageBox();
        QVERIFY(box);
        QVERIFY2(box->text().contains(port), qPrintable(box->text()));
        QVERIFY(servoRows(*dialog).isEmpty());
    }

    void choosingAServoConnectsToIt_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("modelText");
        QTest::addRow("Protocol 2") << 2 << "Velkora V1";
        QTest::addRow("Protocol 1") << 1 << "AX-12";
    }

    // Select hands on the servo's rate, id and protocol; Connect then reaches it.
    void choosingAServoConnectsToIt()
    {
        QFETCH(int, protocol);
        QFETCH(QString, modelText);
        startSimulator({3}, protocol == 1 ? servosim::Model::Ax12 : servosim::Model::V1, protocol);
        QVERIFY(_sim->setServoBaudRate(3, 57600));
        {
            QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
            settings.setValue("port settings/serialPortName", _settingsHome->path() + "/elsewhere");
            settings.setValue("port settings/baudRate", 1000000);
        }
        MainWindow window;
        window.show();
        window.getSearchAction()->trigger();
        SearchDialog& dialog = *window.searchDialog();
        QVERIFY(dialog.isVisible());
        child<QComboBox>(&dialog, "serialPortInfoListBox")->setCurrentText(_sim->portName());
        rateBox(dialog, 57600)->setChecked(true);
        child<QComboBox>(&dialog, "searchProtocolComboBox")->setCurrentIndex(2);
        child<QPushButton>(&dialog, "scanPushButton")->click();
        QCOMPARE(servoRows(dialog), QStringList{"57600/3/" + modelText});

        auto* tree = child<QTreeWidget>(&dialog, "servoTreeWidget");
        auto* select = child<QPushButton>(&dialog, "selectPushButton");
        QSignalSpy ids(&dialog, &SearchDialog::updateId);
        tree->setCurrentItem(tree->topLevelItem(0)); // the baud-rate row has no id
        QVERIFY(!select->isEnabled());
        dialog.select();
        QCOMPARE(ids.count(), 0);
        QVERIFY(dialog.isVisible());

        tree->setCurrentItem(tree->topLevelItem(0)->child(0));
        QVERIFY(select->isEnabled());
        select->click();
        QCOMPARE(ids.count(), 1);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(window.findChild<QSpinBox*>("servoIdSpinBox")->value(), 3);
        QCOMPARE(SettingsDialog::_instance->portSettings().baudRate, 57600);
        QCOMPARE(SettingsDialog::_instance->portSettings().protocol, protocol);
        QCOMPARE(SettingsDialog::_instance->portSettings().name, _sim->portName());

        window.getConnectAction()->trigger();
        QTRY_VERIFY2_WITH_TIMEOUT(window.statusBar()->currentMessage() == QStringLiteral("Connected"),
                                  qPrintable(visibleMessageBox() ? visibleMessageBox()->text() : QString()),
                                  20000);
        QVERIFY(!window.getSearchAction()->isEnabled());
    }

    void finishedProbeIsNotMissedByALateWaiter()
    {
        startSimulator({4});
        QThread worker;
        SearchHelper helper(_sim->portName());
        helper.moveToThread(&worker);
        worker.start();
        const int probe = helper.expectProbe();
        QMetaObject::invokeMethod(
            &helper, [&helper] { helper.scanServo(4, 1000000); }, Qt::QueuedConnection);
        // A waiter that only comes along after the answer still sees it, without waiting.
        QTRY_VERIFY_WITH_TIMEOUT(helper.waitForProbe(probe, 0), 20000);
        QCOMPARE(helper.getData().size(),
                 SerialHelper::readAnswerBytes(BusProtocol::Two, ModelRegistry::identityBytes));
        QCOMPARE(uint8_t(helper.getData().at(4)), uint8_t(4));
        QMetaObject::invokeMethod(
            &helper, [&helper, &worker] { helper.release(worker.thread()); }, Qt::BlockingQueuedConnection);
        worker.quit();
        QVERIFY(worker.wait(20000));
    }

    void probeWaitFitsTheLine_data()
    {
        QTest::addColumn<int>("allowanceUs");
        QTest::addRow("pseudo-terminal")
            << probePortLatency(QStringLiteral("/dev/pts/0"), "/nonexistent").allowanceUs();
        QTest::addRow("adapter at 1 ms") << 4000;
        QTest::addRow("adapter unknown") << SerialHelper::defaultAdapterAllowanceUs;
    }

    void probeWaitFitsTheLine()
    {
        QFETCH(int, allowanceUs);
        for (int rate : allRates) {
            // 32 bytes of 10 bits (the read and its answer of 7 bytes), the longest return delay and
            // the adapter, with at most 1 ms spare.
            const double needMs = (32 * 10 * 1e6 / rate + 508 + allowanceUs) / 1000.0;
            const int wait = SearchDialog::probeWaitMs(rate, allowanceUs);
            QVERIFY2(wait >= needMs && wait < needMs + 1,
                     qPrintable(QStringLiteral("%1: %2").arg(rate).arg(wait)));
        }
        QVERIFY(SearchDialog::probeWaitMs(9600, allowanceUs) > 31); // the fixed 20 ms saw nothing here
        // A broadcast window gives every id its answer's line time plus 3 ms.
        QVERIFY(SerialHelper::broadcastPingWindowMs(9600, 252, allowanceUs) >= 253 * (14.6 + 3));
    }

    void latencyComesFromSysfs_data()
    {
        QTest::addColumn<QString>("tty");
        QTest::addColumn<QByteArray>("timer");  // latency_timer content; null: no such file
        QTest::addColumn<QString>("busDevice"); // where /sys/class/tty/<tty>/device points
        QTest::addColumn<int>("allowanceUs");
        QTest::addColumn<QString>("text");
        QTest::addRow("adapter at 16 ms") << "ttyUSB0" << QByteArray("16\n") << "" << 34000 << "sudo tee";
        QTest::addRow("adapter at 1 ms") << "ttyUSB1" << QByteArray("1\n") << "" << 4000 << "1 ms";
        QTest::addRow("unreadable timer") << "ttyUSB2" << QByteArray("x") << "" << 34000 << "unknown";
        QTest::addRow("CDC ACM") << "ttyACM0" << QByteArray() << "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0"
                                 << 34000 << "unknown";
        QTest::addRow("built-in UART") << "ttyS0" << QByteArray() << "platform/serial8250" << 20000 << "none";
        QTest::addRow("tty without a bus") << "7" << QByteArray() << "" << 20000 << "none";
    }

    void latencyComesFromSysfs()
    {
        QFETCH(QString, tty);
        QFETCH(QByteArray, timer);
        QFETCH(QString, busDevice);
        QFETCH(int, allowanceUs);
        QFETCH(QString, text);
        QTemporaryDir root;
        const QString sys = root.filePath("sys");
        writeFile(root.filePath("dev/") + tty, {});
        // The port is named through a link, as /dev/serial/by-id/... names it.
        QDir().mkpath(root.filePath("dev/serial/by-id"));
        const QString link = root.filePath("dev/serial/by-id/usb-Maker_Adapter-port0");
        QVERIFY(QFile::link(root.filePath("dev/") + tty, link));
        const QString timerPath = sys + "/bus/usb-serial/devices/" + tty + "/latency_timer";
        if (!timer.isNull())
            writeFile(timerPath, timer);
        if (!busDevice.isEmpty()) {
            QDir().mkpath(sys + "/devices/" + busDevice);
            QDir().mkpath(sys + "/class/tty/" + tty);
            QVERIFY(QFile::link(sys + "/devices/" + busDevice, sys + "/class/tty/" + tty + "/device"));
        }
        const PortLatency latency = probePortLatency(link, sys);
        QCOMPARE(latency.device, tty);
        QCOMPARE(latency.allowanceUs(), allowanceUs);
        const QString shown = portLatencyText(latency);
        QVERIFY2(shown.contains(text), qPrintable(shown));
        // The command to lower the timer is offered exactly when the timer is above 2 ms.
        QCOMPARE(shown.contains("echo 1 | sudo tee " + timerPath), latency.latencyTimerMs > 2);
    }

    // The simulator's pseudo-terminal, reached through its link: its answers wait for a program
    // on this machine, which a loaded machine schedules late.
    void pseudoTerminalGivesTheSimulatorTime()
    {
        startSimulator({1});
        const PortLatency latency = probePortLatency(_sim->portName());
        QCOMPARE(latency.kind, PortLatency::Kind::PseudoTerminal);
        QVERIFY(latency.allowanceUs() >= 50000);
        QVERIFY(portLatencyText(latency).contains("pseudo-terminal"));
    }
};

QTEST_MAIN(TestSearch)
#include "tst_search.moc"
