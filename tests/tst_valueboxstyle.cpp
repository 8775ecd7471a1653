// Qt compiles QPixmapCache::totalUsed() (in MB) in only for its own tests, but exports it.
#define Q_TEST_QPIXMAPCACHE
#include <QPixmapCache>

#include "window/widgets/valueboxstyle.h"
#include "window/widgets/velkoradoublespinbox.h"
#include "window/widgets/velkoraspinbox.h"

#include <QVBoxLayout>
#include <QtTest>

namespace {
// The main window gives everything in it a background with a sheet like this one.
const char* const windowSheet = "background-color: rgb(240, 240, 240);";
const char* const warningRule = "QDoubleSpinBox:enabled, QDoubleSpinBox:disabled { color: #C62828; }";
const char* const otherBackground =
    "QDoubleSpinBox:enabled, QDoubleSpinBox:disabled { background-color: #FFF8E1; }";
} // namespace

class TestValueBoxStyle : public QObject
{
    Q_OBJECT

private slots:
    void repaintsLeaveThePixmapCache_data();
    void repaintsLeaveThePixmapCache();
    void drawsAsTheSheetAlone_data();
    void drawsAsTheSheetAlone();
};

void TestValueBoxStyle::repaintsLeaveThePixmapCache_data()
{
    QTest::addColumn<bool>("integer");
    QTest::addColumn<bool>("alternate"); // enabled and disabled in turn
    QTest::newRow("spin box") << true << false;
    QTest::newRow("double spin box") << false << false;
    QTest::newRow("double spin box, enabled and disabled in turn") << false << true;
}

// Each repaint of a sheet-coloured box used to leave a picture of it in the cache (4 to 6 MB
// for these repaints), up to the cache's limit.
void TestValueBoxStyle::repaintsLeaveThePixmapCache()
{
    QFETCH(bool, integer);
    QFETCH(bool, alternate);
    QWidget window;
    window.setStyleSheet(windowSheet);
    auto* layout = new QVBoxLayout(&window);
    QAbstractSpinBox* box = integer ? static_cast<QAbstractSpinBox*>(new VelkoraSpinBox)
                                    : static_cast<QAbstractSpinBox*>(new VelkoraDoubleSpinBox);
    layout->addWidget(box);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QPixmapCache::clear();
    box->repaint();
    const int before = QPixmapCache::totalUsed();
    for (int i = 0; i < 800; ++i) {
        if (alternate)
            box->setEnabled(i % 2 == 0);
        box->stepUp();
        box->repaint();
    }
    QVERIFY2(QPixmapCache::totalUsed() - before <= 1,
             qPrintable(QStringLiteral("%1 MB more").arg(QPixmapCache::totalUsed() - before)));
}

void TestValueBoxStyle::drawsAsTheSheetAlone_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("warning");
    QTest::newRow("enabled") << true << false;
    QTest::newRow("disabled") << false << false;
    QTest::newRow("enabled, warning colour") << true << true;
    QTest::newRow("disabled, warning colour") << false << true;
}

// Pixel for pixel: the style changes which palette object the drawing gets, never its colours.
void TestValueBoxStyle::drawsAsTheSheetAlone()
{
    QFETCH(bool, enabled);
    QFETCH(bool, warning);
    const QString sheet = VelkoraDoubleSpinBox().styleSheet() + QLatin1String(warning ? warningRule : "");
    QWidget window;
    window.setStyleSheet(windowSheet);
    auto* layout = new QVBoxLayout(&window);
    QDoubleSpinBox* boxes[2] = {new QDoubleSpinBox, new QDoubleSpinBox};
    boxes[1]->setStyle(valueBoxStyle());
    for (QDoubleSpinBox* box : boxes) {
        box->setStyleSheet(sheet);
        box->setValue(42);
        box->setFixedSize(120, 26);
        box->setEnabled(enabled);
        box->setFocusPolicy(Qt::NoFocus); // the first one would take it
        layout->addWidget(box);
    }
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QImage before = boxes[0]->grab().toImage();
    QCOMPARE(boxes[1]->grab().toImage(), before);
    // New colours are drawn, not the pictures of the old ones.
    for (QDoubleSpinBox* box : boxes)
        box->setStyleSheet(sheet + QLatin1String(otherBackground));
    const QImage after = boxes[0]->grab().toImage();
    QVERIFY(after != before);
    QCOMPARE(boxes[1]->grab().toImage(), after);
}

QTEST_MAIN(TestValueBoxStyle)
#include "tst_valueboxstyle.moc"
