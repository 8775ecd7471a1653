// A servo whose model number no description covers: the window says so, writes nothing, and
// either disconnects or takes the model the user chooses, and remembers the choice.
#include "core/model/modelregistry.h"
#include "core/settings/settingshelper.h"
#include "window/dialogs/modelsdialog.h"
#include "window/mainwindow.h"

#include <connectedwindow.h>
#include <isolatedsettings.h>
#include <messageboxes.h>
#include <servosimulator.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QInputDialog>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

constexpr int unknownNumber = 4660;

QInputDialog* treatAsDialog()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QInputDialog*>(widget); dialog && dialog->isVisible())
            return dialog;
    }
    return nullptr;
}

} // namespace

class TestUnknownModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The built-in models only: no description of the user's may cover the number.
        ModelRegistry::use({});
    }
    void init()
    {
        _home = std::make_unique<IsolatedSettings>();
        QVERIFY(_home->isValid());
    }
    void cleanup()
    {
        while (messageboxes::visible())
            messageboxes::visible()->close();
        if (QInputDialog* dialog = treatAsDialog())
            dialog->reject();
        _window.reset();
        _sim.reset();
        _home.reset();
    }

    void unknownNumberAsks_data();
    void unknownNumberAsks();
    void choiceIsForgottenInSettings();
    void modelsDialogListsTheModels_data();
    void modelsDialogListsTheModels();

private:
    // A simulated V1 that reports a model number no description lists, and a window connecting to it.
    void connectToUnknown()
    {
        testfixture::startSimulated(*_home, servosim::Model::V1, {}, 1, 50, _sim);
        if (QTest::currentTestFailed())
            return;
        _sim->setRegisters(1, 0, QByteArray::fromHex("3412")); // 4660, low byte first
        _sim->clearReceived();
        _window = std::make_unique<MainWindow>();
        _window->show();
        _window->getConnectAction()->trigger();
    }
    int writesReceived() const
    {
        int writes = 0;
        for (const auto& packet : _sim->receivedPackets())
            writes += packet.instruction == 0x03 || packet.instruction == 0x83 ? 1 : 0;
        return writes;
    }
    QString status() const { return _window->statusBar()->currentMessage(); }

    std::unique_ptr<IsolatedSettings> _home;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;
};

void TestUnknownModel::unknownNumberAsks_data()
{
    QTest::addColumn<QString>("button"); // on the message
    QTest::addColumn<QString>("choice"); // in the list of models; empty: the list is cancelled
    QTest::addColumn<bool>("connected");
    QTest::newRow("cancel disconnects") << "Cancel" << QString() << false;
    QTest::newRow("treat as a V1") << "Treat as…"
                                   << "Velkora V1 (v1)" << true;
    QTest::newRow("no model chosen disconnects") << "Treat as…" << QString() << false;
}

void TestUnknownModel::unknownNumberAsks()
{
    QFETCH(QString, button);
    QFETCH(QString, choice);
    QFETCH(bool, connected);
    connectToUnknown();
    QTRY_VERIFY_WITH_TIMEOUT(messageboxes::visible(), 20000);
    const int firmware = uint8_t(_sim->registers(1).at(2));
    const QString expected =
        QStringLiteral("Servo 1 reports model number 4660 (firmware %1), which no model description covers")
            .arg(firmware);
    QCOMPARE(status(), expected);
    const QString seen = messageboxes::answer(button);
    QVERIFY2(seen.contains(expected), qPrintable(seen));
    if (button == QStringLiteral("Treat as…")) {
        QTRY_VERIFY_WITH_TIMEOUT(treatAsDialog(), 5000);
        QInputDialog* dialog = treatAsDialog();
        QVERIFY(dialog->comboBoxItems().contains(QStringLiteral("AX-12 (ax12)")));
        if (choice.isEmpty()) {
            dialog->reject();
        } else {
            dialog->setTextValue(choice);
            dialog->accept();
        }
    }
    if (connected) {
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Connected"), 20000);
        QCOMPARE(_window->getDisconnectAction()->isEnabled(), true);
        QCOMPARE(treatedAs(unknownNumber), QStringLiteral("v1"));
        // The choice holds for the next connection: no question again.
        _window->getDisconnectAction()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Disconnected"), 20000);
        _window->getConnectAction()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Connected"), 20000);
        QVERIFY(!messageboxes::visible());
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Disconnected"), 20000);
        QVERIFY(_window->getConnectAction()->isEnabled());
        QVERIFY(treatedAs(unknownNumber).isEmpty());
    }
    // Nothing was written to the servo while its model was unknown or after it was chosen.
    QCOMPARE(writesReceived(), 0);
}

// Settings lists the "Treat as…" choices; Forget drops one when the dialog is confirmed, and only then.
void TestUnknownModel::choiceIsForgottenInSettings()
{
    setTreatedAs(unknownNumber, QStringLiteral("v1"));
    setTreatedAs(4661, QStringLiteral("ax12"));
    _window = std::make_unique<MainWindow>();
    QAction* settings = _window->findChild<QAction*>(QStringLiteral("actionSettings"));
    QVERIFY(settings);
    for (bool confirm : {false, true}) {
        settings->trigger();
        QTreeWidget* choices = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = widget->findChild<QTreeWidget*>(QStringLiteral("treatAsList")))
                choices = found;
        QVERIFY(choices);
        QCOMPARE(choices->topLevelItemCount(), 2);
        choices->setCurrentItem(choices->topLevelItem(0));
        QCOMPARE(choices->currentItem()->text(1), QStringLiteral("v1"));
        auto* forget = choices->window()->findChild<QPushButton*>(QStringLiteral("forgetButton"));
        QVERIFY(forget && forget->isEnabled());
        forget->click();
        QCOMPARE(choices->topLevelItemCount(), 1);
        choices->window()
            ->findChild<QPushButton*>(confirm ? QStringLiteral("okButton") : QStringLiteral("cancelButton"))
            ->click();
        QCOMPARE(treatedAs(unknownNumber), confirm ? QString() : QStringLiteral("v1"));
        QCOMPARE(treatedAs(4661), QStringLiteral("ax12"));
    }
}

// Help → Models… lists every model known with its numbers and file, and the files refused; a
// user's file that replaces a built-in model says so there and in About.
void TestUnknownModel::modelsDialogListsTheModels_data()
{
    QTest::addColumn<bool>("userFiles");
    QTest::newRow("built-ins only") << false;
    QTest::newRow("an override and a faulty file") << true;
}

void TestUnknownModel::modelsDialogListsTheModels()
{
    QFETCH(bool, userFiles);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    if (userFiles) {
        QFile builtIn(QStringLiteral(":/models/v1.json"));
        QVERIFY(builtIn.open(QIODevice::ReadOnly));
        const QByteArray v1 = builtIn.readAll();
        QFile copy(folder.filePath(QStringLiteral("my-v1.json")));
        QVERIFY(copy.open(QIODevice::WriteOnly) && copy.write(v1) == v1.size());
        copy.close();
        QFile broken(folder.filePath(QStringLiteral("broken.json")));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("{\"format\": ") > 0);
        broken.close();
    }
    ModelRegistry::use({folder.path()});
    _window = std::make_unique<MainWindow>();
    QAction* models = _window->findChild<QAction*>(QStringLiteral("actionModels"));
    QVERIFY(models);
    models->trigger();
    auto* dialog = _window->findChild<ModelsDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    auto* list = dialog->findChild<QTreeWidget*>(QStringLiteral("modelsList"));
    QStringList rows;
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = list->topLevelItem(row);
        rows << QStringList{item->text(0), item->text(2), item->text(3)}.join(QLatin1Char('|'));
    }
    const QString v1Row = userFiles ? QStringLiteral("v1|1025|%1 (overrides the built-in :/models/v1.json)")
                                          .arg(folder.filePath(QStringLiteral("my-v1.json")))
                                    : QStringLiteral("v1|1025|:/models/v1.json");
    QVERIFY2(rows.contains(v1Row), qPrintable(rows.join(", ")));
    QVERIFY2(rows.contains(QStringLiteral("ax12|12|:/models/ax12.json")), qPrintable(rows.join(", ")));
    QCOMPARE(dialog->findChild<QWidget*>(QStringLiteral("refusedBox"))->isVisibleTo(dialog), userFiles);
    auto* refused = dialog->findChild<QTreeWidget*>(QStringLiteral("refusedList"));
    QCOMPARE(refused->topLevelItemCount(), userFiles ? 1 : 0);
    if (userFiles)
        QVERIFY(refused->topLevelItem(0)->text(0).endsWith(QStringLiteral("broken.json")));

    _window->findChild<QAction*>(QStringLiteral("actionAbout"))->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(messageboxes::visible(), 5000);
    const QString about = messageboxes::visible()->text();
    messageboxes::visible()->close();
    QCOMPARE(about.contains(QStringLiteral("overrides the built-in :/models/v1.json")), userFiles);
    ModelRegistry::use({});
}

QTEST_MAIN(TestUnknownModel)
#include "tst_unknownmodel.moc"
