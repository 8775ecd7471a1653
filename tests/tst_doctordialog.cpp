// The bus doctor as the window offers it: from the Connections menu, after a Connect that got no
// answer and after a search that found nothing; its verdicts, Stop, Copy, Save… and "Take these
// settings", on the simulator's pseudo-terminal.
#include "window/controllers/doctorcontrol.h"
#include "window/dialogs/doctordialog.h"
#include "window/dialogs/searchdialog.h"
#include "window/mainwindow.h"

#include <isolatedsettings.h>
#include <messageboxes.h>
#include <servosimulator.h>

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTreeWidget>
#include <QtTest>

namespace {

constexpr int runTimeoutMs = 90000;

template <typename T> T* child(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no %s", name);
    return found;
}

QSettings store()
{
    return QSettings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
}

void storeSettings(const QString& port, int baudRate, int protocol, int id)
{
    QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
    settings.setValue("port settings/serialPortName", port);
    settings.setValue("port settings/baudRate", baudRate);
    settings.setValue("port settings/protocol", protocol);
    settings.setValue("main window settings/servoId", id);
    settings.sync();
}

// A short run: the two rates the tests put servos at, a few ids.
void narrow(DoctorPlan& plan)
{
    plan.rates = {1000000, 57600};
    plan.lower = 0;
    plan.upper = 4;
    plan.quietWindowMs = 100;
}

// The verdict words of the rows, in order (the fixes beneath them left out).
QStringList verdicts(DoctorDialog& dialog)
{
    QStringList words;
    auto* tree = child<QTreeWidget>(&dialog, "findingsTree");
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        words << tree->topLevelItem(i)->text(0);
    return words;
}

QPushButton* button(DoctorDialog& dialog, const char* name)
{
    return child<QPushButton>(&dialog, name);
}

// Chooses `path` in a file dialog the way a user types it.
void chooseFile(QFileDialog* chooser, const QString& path)
{
    chooser->setDirectory(QFileInfo(path).absolutePath());
    auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(name);
    name->setText(QFileInfo(path).fileName());
    QMetaObject::invokeMethod(chooser, "accept");
}

} // namespace

class TestDoctorDialog : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedSettings> _home;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

    void startSimulator(servosim::Model model, int protocol, int baudRate, const QList<int>& ids = {1})
    {
        servosim::Options options;
        options.model = model;
        options.protocol = protocol;
        options.baudRate = baudRate;
        options.ids = ids;
        _sim = std::make_unique<servosim::ServoSimulator>(options);
        QString error;
        QVERIFY2(_sim->start(&error), qPrintable(error));
    }

    // The window's doctor, its runs narrowed.
    DoctorDialog* openWindow()
    {
        _window = std::make_unique<MainWindow>();
        _window->show();
        auto* dialog = _window->findChild<DoctorDialog*>();
        if (dialog)
            dialog->setPlanAdjustment(narrow);
        return dialog;
    }

    // A healthy bus, diagnosed in a dialog of its own.
    void runHealthy(DoctorDialog& dialog)
    {
        startSimulator(servosim::Model::V1, 2, 1000000, {1});
        if (QTest::currentTestFailed())
            return;
        storeSettings(_sim->portName(), 1000000, 2, 1);
        dialog.setPlanAdjustment(narrow);
        QSignalSpy finished(&dialog, &DoctorDialog::runFinished);
        dialog.show();
        dialog.run();
        QVERIFY(finished.wait(runTimeoutMs));
    }

private slots:
    void init()
    {
        _home = std::make_unique<IsolatedSettings>();
        QVERIFY(_home->isValid());
    }

    void cleanup()
    {
        // A box with a way on besides OK has no escape button: close() would not shut it.
        while (QMessageBox* box = messageboxes::visible())
            box->reject();
        _window.reset();
        _sim.reset();
        _home.reset();
    }

    // The servo sits at another rate and protocol than the settings say: however the doctor is
    // reached, it finds the servo there, and taking its settings makes Connect work.
    void takesTheSettingsOfAServoFoundElsewhere_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addRow("Connections menu") << "menu";
        QTest::addRow("Connect got no answer") << "connect";
        QTest::addRow("a search found nothing") << "search";
    }

    void takesTheSettingsOfAServoFoundElsewhere()
    {
        QFETCH(QString, way);
        startSimulator(servosim::Model::Ax12, 1, 57600, {3});
        storeSettings(_sim->portName(), 1000000, 2, 1);
        DoctorDialog* dialog = openWindow();
        QVERIFY(dialog);
        QSignalSpy finished(dialog, &DoctorDialog::runFinished);
        auto* diagnose = child<QAction>(_window.get(), "actionDiagnose");
        QVERIFY(diagnose->isEnabled());
        if (way == "menu") {
            diagnose->trigger();
        } else if (way == "connect") {
            _window->getConnectAction()->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(messageboxes::visible(), runTimeoutMs);
            QVERIFY(messageboxes::answer("Diagnose…").contains("No answer from servo id 1"));
        } else {
            SearchDialog* search = _window->searchDialog();
            _window->getSearchAction()->trigger();
            for (QCheckBox* box :
                 search->findChildren<QCheckBox*>(QRegularExpression("^baudRate\\d+CheckBox$")))
                box->setChecked(box->objectName() == "baudRate1000000CheckBox");
            child<QPushButton>(search, "scanPushButton")->click(); // returns when the scan ends
            QTRY_VERIFY_WITH_TIMEOUT(messageboxes::visible(), runTimeoutMs);
            QVERIFY(messageboxes::answer("Diagnose…").contains("No servo answered"));
            QVERIFY(!search->isVisible());
        }
        QTRY_VERIFY_WITH_TIMEOUT(dialog->isVisible(), runTimeoutMs);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Diagnose the bus"));
        QVERIFY(finished.wait(runTimeoutMs));
        QVERIFY2(dialog->doctor()->report().elsewhere, qPrintable(dialog->doctor()->report().text()));

        QPushButton* take = button(*dialog, "takeButton");
        QVERIFY(take->isEnabled());
        take->click();
        QSettings settings = store();
        QCOMPARE(settings.value("port settings/serialPortName").toString(), _sim->portName());
        QCOMPARE(settings.value("port settings/baudRate").toInt(), 57600);
        QCOMPARE(settings.value("port settings/protocol").toInt(), 1);
        QCOMPARE(settings.value("main window settings/servoId").toInt(), 3);
        const QString said = child<QLabel>(dialog, "messageLabel")->text();
        QVERIFY2(said.contains("servo id 3") && said.contains("57600 baud in Protocol 1"), qPrintable(said));
        QVERIFY(!take->isEnabled());

        button(*dialog, "connectButton")->click();
        QVERIFY(!dialog->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(), QStringLiteral("Connected"),
                                  runTimeoutMs);
        QVERIFY(!diagnose->isEnabled()); // the port is the connection's now
    }

    // Stopped by its button or by closing the dialog, the run ends, lets the port go, and the
    // window carries on.
    void stopEndsTheRun_data()
    {
        QTest::addColumn<bool>("closeDialog");
        QTest::addRow("Stop") << false;
        QTest::addRow("dialog closed") << true;
    }

    void stopEndsTheRun()
    {
        QFETCH(bool, closeDialog);
        // Nothing answers at the settings: left alone, the run would scan every rate.
        startSimulator(servosim::Model::Ax12, 1, 9600, {7});
        storeSettings(_sim->portName(), 1000000, 2, 1);
        DoctorDialog* dialog = openWindow();
        QVERIFY(dialog);
        dialog->setPlanAdjustment({});
        QSignalSpy finished(dialog, &DoctorDialog::runFinished);
        child<QAction>(_window.get(), "actionDiagnose")->trigger();
        QVERIFY(dialog->isRunning());
        QPushButton* run = button(*dialog, "runButton");
        QCOMPARE(run->text(), QStringLiteral("Stop"));
        QTRY_VERIFY_WITH_TIMEOUT(!verdicts(*dialog).isEmpty(), runTimeoutMs); // under way
        if (closeDialog)
            dialog->close();
        else
            run->click();
        QVERIFY(finished.wait(runTimeoutMs));
        QCOMPARE(finished.size(), 1);
        QVERIFY(dialog->doctor()->report().stopped);
        QVERIFY(!dialog->isRunning());
        QCOMPARE(dialog->isVisible(), !closeDialog);
        QCOMPARE(run->text(), QStringLiteral("Run again"));
        QVERIFY(run->isEnabled());
        dialog->close();

        // The window is usable: the port is free for Connect and its answer-less report.
        _window->getConnectAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(messageboxes::visible(), runTimeoutMs);
        QVERIFY2(messageboxes::visible()->text().startsWith("No answer from servo id 1"),
                 qPrintable(messageboxes::visible()->text()));
        messageboxes::visible()->button(QMessageBox::Ok)->click();
        QVERIFY(_window->getConnectAction()->isEnabled());
        QVERIFY(!dialog->isVisible()); // OK offers nothing more
    }

    // A healthy bus: no problem, nothing to take; the report is copied (button and Ctrl+C) and
    // saved where the user chose, or the dialog says plainly that it could not be.
    void healthyBusReportIsCopiedAndSaved()
    {
        DoctorDialog dialog;
        runHealthy(dialog);
        const DoctorReport& report = dialog.doctor()->report();
        const QString text = report.text();
        QCOMPARE(report.status(), DoctorReport::Healthy);
        QVERIFY(!verdicts(dialog).isEmpty());
        QVERIFY2(!verdicts(dialog).contains("Problem"), qPrintable(text));
        QCOMPARE(verdicts(dialog).size(), report.findings.size()); // each verdict shown once
        QVERIFY(!button(dialog, "takeButton")->isEnabled());
        auto* progress = child<QProgressBar>(&dialog, "progressBar");
        QCOMPARE(progress->value(), progress->maximum());
        QCOMPARE(button(dialog, "runButton")->text(), QStringLiteral("Run again"));

        QApplication::clipboard()->clear();
        button(dialog, "copyButton")->click();
        QCOMPARE(QApplication::clipboard()->text(), text);
        QApplication::clipboard()->clear();
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QTest::keyClick(child<QTreeWidget>(&dialog, "findingsTree"), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), text);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("diagnosis.txt");
        auto* said = child<QLabel>(&dialog, "messageLabel");
        button(dialog, "saveButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.findChild<QFileDialog*>(), runTimeoutMs);
        chooseFile(dialog.findChild<QFileDialog*>(), path);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(path), runTimeoutMs);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()), text);
        QVERIFY2(said->text().contains("saved to " + path), qPrintable(said->text()));
        const QString gone = dir.filePath("gone/diagnosis.txt");
        QVERIFY(!dialog.saveReport(gone));
        QVERIFY2(said->text().contains("could not be saved to " + gone), qPrintable(said->text()));
    }
};

QTEST_MAIN(TestDoctorDialog)
#include "tst_doctordialog.moc"
