// What a user of any desktop program expects of the window: each action in a menu, standard keys
// meaning what they mean everywhere, Ctrl+C copying rather than quitting, a question before work
// is lost, and a window that stays on its screen whatever docks are open.
#include "core/files/csvrecorder.h"
#include "core/jobs/busroster.h"
#include "window/controllers/buscontrol.h"
#include "window/controllers/dockfitter.h"
#include "window/controllers/windowgeometry.h"
#include "window/docks/busdock.h"
#include "window/docks/plotdock.h"
#include "window/mainwindow.h"

#include <connectedwindow.h>
#include <messageboxes.h>

#include <QCheckBox>
#include <QClipboard>
#include <QDockWidget>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QScrollArea>
#include <QScreen>
#include <QTableView>
#include <QToolBar>

#include <algorithm>

class TestWindowConventions : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedSettings> _home;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

    void openWindow()
    {
        _window = std::make_unique<MainWindow>();
        _window->show();
        QVERIFY(QTest::qWaitForWindowExposed(_window.get()));
    }

    QAction* action(const char* name) const { return _window->findChild<QAction*>(name); }

private slots:
    void init()
    {
        _home = std::make_unique<IsolatedSettings>();
        QVERIFY(_home->isValid());
    }

    void cleanup()
    {
        while (QMessageBox* box = messageboxes::visible())
            box->close();
        _window.reset();
        _sim.reset();
        _home.reset();
    }

    // Every action is reachable from a menu, and no two share a key.
    void everyActionInAMenuWithItsOwnKey()
    {
        openWindow();
        QStringList inMenus;
        for (QMenu* menu : _window->menuBar()->findChildren<QMenu*>())
            for (QAction* item : menu->actions())
                inMenus << item->objectName();
        for (QAction* tool : _window->findChild<QToolBar*>("toolBar")->actions())
            if (!tool->isSeparator() && !tool->objectName().isEmpty())
                QVERIFY2(inMenus.contains(tool->objectName()), qPrintable(tool->objectName()));

        QMap<QString, QString> owners;
        for (QAction* each : _window->findChildren<QAction*>()) {
            const QString key = each->shortcut().toString();
            if (key.isEmpty())
                continue;
            QVERIFY2(!owners.contains(key),
                     qPrintable(key + ": " + owners.value(key) + ", " + each->objectName()));
            owners[key] = each->objectName();
        }
        QCOMPARE(action("actionQuit")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QCOMPARE(action("actionCopy")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_C));
    }

    // The Bus table's columns follow their contents: a row whose cells are wider widens them.
    void busColumnsFitTheirContents()
    {
        openWindow();
        _window->bus()->dock()->show();
        auto* table = _window->bus()->dock()->findChild<QTableView*>("busTable");
        QVERIFY(table);
        QHeaderView* header = table->horizontalHeader();
        const QAbstractItemView* view = table; // where the column hint is public
        auto fitted = [view, header] {
            for (int column = 0; column < header->count() - 1; ++column)
                if (header->sectionSize(column) !=
                    std::max(view->sizeHintForColumn(column), header->sectionSizeHint(column)))
                    return false;
            return true;
        };
        _window->bus()->list({1}, 1000000);
        QTRY_VERIFY_WITH_TIMEOUT(fitted(), 5000);
        const int narrow = header->sectionSize(BusRoster::ModelColumn);
        _window->bus()->roster()->add(2, 1000000, 1025, 44, 2); // a model's name where "?" was
        QTRY_VERIFY_WITH_TIMEOUT(fitted(), 5000);
        QVERIFY(header->sectionSize(BusRoster::ModelColumn) >= narrow);
    }

    // Ctrl+C in the Bus table copies the selected rows as text; the window stays open.
    void ctrlCCopiesTableRows()
    {
        openWindow();
        _window->bus()->list({1, 2, 3}, 1000000);
        _window->bus()->dock()->show();
        auto* table = _window->bus()->dock()->findChild<QTableView*>("busTable");
        QVERIFY(table);
        _window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(_window.get()));
        table->setFocus();
        table->selectRow(0);
        table->selectionModel()->select(table->model()->index(2, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QApplication::clipboard()->clear();
        QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
        const QStringList lines = QApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(0).startsWith("1\t1000000\t"), qPrintable(lines.at(0)));
        QVERIFY2(lines.at(1).startsWith("3\t1000000\t"), qPrintable(lines.at(1)));
        QVERIFY(_window->isVisible());
        QVERIFY(!messageboxes::visible());
    }

    // Quitting asks first while a recording runs; Cancel keeps everything, Quit closes.
    void quittingAsksWhileRecording()
    {
        testfixture::openConnected(*_home, servosim::Model::V1, {}, 1, 20, _sim, _window);
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->liveLayout(), 20000); // values to record
        _window->startRecording(_home->path() + "/run.csv");
        QTRY_VERIFY_WITH_TIMEOUT(_window->recorder()->isRecording(), 20000);
        _window->close();
        QTRY_VERIFY_WITH_TIMEOUT(messageboxes::visible(), 20000);
        QCOMPARE(messageboxes::answer("Cancel"),
                 QStringLiteral("Quit|Quit Velkora Servo Manager? A recording is running."));
        QTRY_VERIFY_WITH_TIMEOUT(!messageboxes::visible(), 20000);
        QVERIFY(_window->isVisible());
        QVERIFY(_window->recorder()->isRecording());

        _window->close();
        QTRY_VERIFY_WITH_TIMEOUT(messageboxes::visible(), 20000);
        QVERIFY(!messageboxes::answer("Quit").isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!_window->isVisible(), 20000);
    }

    void quittingWithNothingAtRiskAsksNothing()
    {
        openWindow();
        QVERIFY(_window->close());
        QVERIFY(!_window->isVisible());
        QVERIFY(!messageboxes::visible());
    }

    // All three docks open: the window still fits a 1366 × 768 laptop screen, docks sharing
    // the space where they do not fit side by side.
    void docksKeepTheWindowOnScreen()
    {
        openWindow();
        QList<QDockWidget*> docks = _window->findChildren<QDockWidget*>();
        QCOMPARE(docks.size(), 3);
        for (QDockWidget* dock : docks)
            dock->show();
        _window->dockFitter()->fit();
        const QSize needed = _window->minimumSizeHint();
        QVERIFY2(needed.width() <= 1366 - 16 && needed.height() <= 768 - 48,
                 qPrintable(QStringLiteral("%1 x %2").arg(needed.width()).arg(needed.height())));
        // The test screen is 800 × 600: as wide as it allows, never wider.
        const QRect available = _window->screen()->availableGeometry();
        QTRY_VERIFY2_WITH_TIMEOUT(
            _window->geometry().left() >= available.left() &&
                _window->geometry().right() <= available.right(),
            qPrintable(QStringLiteral("%1 x %2").arg(_window->width()).arg(_window->height())), 20000);
    }

    // The plot's curve boxes name their units once connected; none of them is cut, also when the
    // dock was open before.
    void plotControlsAreNeverCut()
    {
        testfixture::startSimulated(*_home, servosim::Model::V1, {{"angle", 1}}, 1, 500, _sim);
        openWindow();
        _window->plotDock()->show();
        const QList<QCheckBox*> boxes = _window->plotDock()->findChildren<QCheckBox*>();
        QVERIFY(boxes.size() >= 9);
        QTRY_VERIFY_WITH_TIMEOUT(boxes.first()->width() > 0, 20000);
        _window->getConnectAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(boxes.first()->text().contains("degrees"), 20000);
        // Whole within the controls' visible width: the boxes' column scrolls only up and down.
        auto* controls = _window->plotDock()->findChild<QScrollArea*>("plotControlsScrollArea");
        QVERIFY(controls);
        for (QCheckBox* box : boxes)
            QTRY_VERIFY2_WITH_TIMEOUT(box->width() >= box->sizeHint().width() &&
                                          box->mapTo(controls->viewport(), QPoint(box->width(), 0)).x() <=
                                              controls->viewport()->width(),
                                      qPrintable(box->text()), 20000);
    }

    void windowIsKeptWithinTheScreen_data()
    {
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QRect>("kept");
        const QRect room(0, 27, 1366, 741);
        QTest::newRow("inside") << QRect(100, 100, 800, 600) << QRect(100, 100, 800, 600);
        QTest::newRow("too wide") << QRect(0, 40, 1882, 700) << QRect(0, 40, 1366, 700);
        QTest::newRow("off the right") << QRect(900, 40, 800, 600) << QRect(566, 40, 800, 600);
        QTest::newRow("above the panel") << QRect(10, 0, 800, 600) << QRect(10, 27, 800, 600);
        QTest::newRow("too tall, low") << QRect(10, 300, 800, 900) << QRect(10, 27, 800, 741);
    }

    void windowIsKeptWithinTheScreen()
    {
        QFETCH(QRect, geometry);
        QFETCH(QRect, kept);
        QCOMPARE(keptWithin(geometry, QRect(0, 27, 1366, 741)), kept);
    }
};

QTEST_MAIN(TestWindowConventions)
#include "tst_windowconventions.moc"
