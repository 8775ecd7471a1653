#include "testmodels.h"
#include "core/model/idevice.h"
#include "core/model/modelsource.h"
#include "window/dialogs/settingsdialog.h"
#include "window/editview/registerview.h"
#include "window/editview/uiregisterhelper.h"

#include "crc16.h"
#include "isolatedsettings.h"

#include <QRadioButton>
#include <QTableWidget>
#include <QtTest>

#include <algorithm>
#include <memory>

Q_DECLARE_METATYPE(RegisterBank)

namespace {

QByteArray statusPacket(const QByteArray& data)
{
    const int length = data.size() + 4;
    QByteArray packet = QByteArray::fromHex("fffffd0001");
    packet.append(char(length & 0xFF)).append(char(length >> 8)).append(char(0x55)).append('\0');
    packet.append(data);
    const quint16 crc = servosim::crc16(packet);
    packet.append(char(crc & 0xFF)).append(char(crc >> 8));
    return packet;
}

const RegisterBank banks[] = {RegisterBank::NonVolatileBank1, RegisterBank::NonVolatileBank2,
                              RegisterBank::VolatileBank1, RegisterBank::VolatileBank2};

} // namespace

class TestRegisterView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void formAndTables();
    void sizedWhenModelLoads();
    void numberBase_data();
    void numberBase();
    void readOnlyRowsAreShaded();
    void itemWidths_data();
    void itemWidths();
    void sixteenBitItems();
    void unlistedAddressChangesNothing();
    void updatesInPlace();
    void wholeAnswerFillsEveryRow();
    void ax12LeavesTablesEmpty();
    void disconnectEmptiesAndUnsubscribes();
    void valuesBeforeSizingAreDropped();
    void unchangedAnswerRefilledAfter_data();
    void unchangedAnswerRefilledAfter();

private:
    QTableWidget* table(RegisterBank bank) const { return _view->getRegisterBank(bank); }
    QTableWidget* table(int bank) const { return table(static_cast<RegisterBank>(bank)); }
    QString text(RegisterBank bank, int row, int column) const
    {
        const QTableWidgetItem* item = table(bank)->item(row, column);
        return item ? item->text() : QString();
    }
    int itemCount() const;
    void setDecimal(bool decimal);
    // As identification loads it: model number 12 is the AX-12, anything else a V1.
    void loadModel(int modelNumber)
    {
        _model.load(modelNumber == 12 ? std::shared_ptr<IDevice>(std::make_shared<DynamixelAx12>())
                                      : std::make_shared<VelkoraV1>());
    }

    std::unique_ptr<IsolatedSettings> _isolated;
    std::unique_ptr<SettingsDialog> _settings;
    ModelSource _model;
    RegisterView* _view = nullptr;
};

void TestRegisterView::initTestCase()
{
    _isolated = std::make_unique<IsolatedSettings>();
    QVERIFY(_isolated->isValid());
    _settings = std::make_unique<SettingsDialog>();
    UiRegisterHelper::_instance = std::make_shared<UiRegisterHelper>();
    UiRegisterHelper::_instance->setModelSource(&_model);
}

void TestRegisterView::init()
{
    setDecimal(false);
    _view = new RegisterView;
    QCOMPARE(RegisterView::_instance, _view);
    _view->setModelSource(&_model);
    UiRegisterHelper::_instance->setRegisterView(_view);
    _view->connected();
    loadModel(1);
}

void TestRegisterView::cleanup()
{
    _view->disconnected();
    delete _view;
    QCOMPARE(RegisterView::_instance, nullptr);
}

void TestRegisterView::cleanupTestCase()
{
    UiRegisterHelper::_instance.reset();
    _settings.reset();
}

int TestRegisterView::itemCount() const
{
    int count = 0;
    for (RegisterBank bank : banks)
        for (int row = 0; row < table(bank)->rowCount(); ++row)
            for (int column = 0; column < 3; ++column)
                count += table(bank)->item(row, column) != nullptr;
    return count;
}

void TestRegisterView::setDecimal(bool decimal)
{
    auto* button = _settings->findChild<QRadioButton*>(decimal ? "decimalRadioButton" : "hexRadioButton");
    QVERIFY(button);
    button->setChecked(true);
    _settings->apply();
    QCOMPARE(_settings->unitsSettings()->servoData, decimal ? 1 : 0);
}

void TestRegisterView::formAndTables()
{
    const QStringList names = {"eepromRegisterBank1Widget", "eepromRegisterBank2Widget",
                               "ramRegisterBank1TableWidget", "ramRegisterBank2TableWidget"};
    for (int bank = 0; bank < 4; ++bank) {
        QTableWidget* t = table(bank);
        QVERIFY(t);
        QCOMPARE(t->objectName(), names[bank]);
        QCOMPARE(t->selectionMode(), QAbstractItemView::NoSelection);
        QCOMPARE(t->editTriggers(), QAbstractItemView::NoEditTriggers);
        // At least 40 pixels, and wide enough that no byte text is clipped in the table's font.
        QVERIFY(t->columnWidth(1) >= 40);
        for (const char* widest : {"0xdd", "0x00", "0xff"})
            QVERIFY(t->columnWidth(1) > t->fontMetrics().horizontalAdvance(widest));
        QVERIFY(!t->wordWrap());
    }
    QCOMPARE(_view->getRegisterBank(static_cast<RegisterBank>(4)), nullptr);
}

void TestRegisterView::sizedWhenModelLoads()
{
    const int rows[] = {27, 14, 24, 22};
    for (int bank = 0; bank < 4; ++bank)
        QCOMPARE(table(bank)->rowCount(), rows[bank]);
    QCOMPARE(itemCount(), 0);
}

void TestRegisterView::numberBase_data()
{
    QTest::addColumn<bool>("decimal");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("value");
    QTest::newRow("hexadecimal") << false << "0x05"
                                 << "0xc8";
    QTest::newRow("decimal") << true << "5"
                             << "200";
}

// The choice of the settings dialog applies from the next decoded answer.
void TestRegisterView::numberBase()
{
    QFETCH(bool, decimal);
    QFETCH(QString, address);
    QFETCH(QString, value);
    QByteArray data(118, '\0');
    data[5] = char(200);
    UiRegisterHelper::_instance->decodeResponse(statusPacket(data));
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 5, 0), QStringLiteral("0x05"));

    setDecimal(decimal);
    UiRegisterHelper::_instance->decodeResponse(statusPacket(data));
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 5, 0), address);
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 5, 1), value);
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 5, 2), QStringLiteral("Acknowledge response time"));
}

void TestRegisterView::readOnlyRowsAreShaded()
{
    UiRegisterHelper::_instance->decodeResponse(statusPacket(QByteArray(118, '\0')));
    const QColor shade(227, 235, 240, 150);
    struct Row
    {
        RegisterBank bank;
        int row;
        bool readOnly;
    };
    const Row rows[] = {{RegisterBank::NonVolatileBank1, 2, true},
                        {RegisterBank::NonVolatileBank1, 3, false},
                        {RegisterBank::VolatileBank1, 23, false},
                        {RegisterBank::VolatileBank2, 0, true},
                        {RegisterBank::VolatileBank2, 21, true}};
    for (const Row& r : rows) {
        for (int column = 0; column < 3; ++column) {
            const QVariant background = table(r.bank)->item(r.row, column)->data(Qt::BackgroundRole);
            if (r.readOnly)
                QCOMPARE(background.value<QBrush>().color(), shade);
            else
                QVERIFY(!background.isValid());
        }
    }
}

void TestRegisterView::itemWidths_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("size");
    QTest::addColumn<RegisterBank>("bank");
    QTest::addColumn<int>("firstRow");
    QTest::addColumn<QStringList>("values");
    QTest::newRow("4 bytes") << 20 << 4 << RegisterBank::NonVolatileBank1 << 20
                             << QStringList{"0x78", "0x56", "0x34", "0x12"};
    QTest::newRow("4 bytes, rows in another bank")
        << 86 << 4 << RegisterBank::VolatileBank2 << 0 << QStringList{"0x78", "0x56", "0x34", "0x12"};
    QTest::newRow("3 bytes fill two rows")
        << 20 << 3 << RegisterBank::NonVolatileBank1 << 20 << QStringList{"0x78", "0x56", "", ""};
    QTest::newRow("2 bytes") << 86 << 2 << RegisterBank::VolatileBank2 << 0
                             << QStringList{"0x78", "0x56", "", ""};
    QTest::newRow("1 byte") << 86 << 1 << RegisterBank::VolatileBank2 << 0 << QStringList{"0x78", "", "", ""};
    // Only the first of the four addresses is a register: the rest is dropped.
    QTest::newRow("4 bytes at the end of a bank")
        << 40 << 4 << RegisterBank::NonVolatileBank2 << 13 << QStringList{"0x78"};
}

void TestRegisterView::itemWidths()
{
    QFETCH(int, address);
    QFETCH(int, size);
    QFETCH(RegisterBank, bank);
    QFETCH(int, firstRow);
    QFETCH(QStringList, values);
    _view->updateNumberBase();
    _view->setRegisterField(static_cast<unsigned short>(address), static_cast<unsigned char>(size),
                            0x12345678u);
    for (int i = 0; i < values.size(); ++i)
        QCOMPARE(text(bank, firstRow + i, 1), values[i]);
    QCOMPARE(itemCount(), 3 * int(std::count_if(values.begin(), values.end(),
                                                [](const QString& v) { return !v.isEmpty(); })));
}

void TestRegisterView::sixteenBitItems()
{
    _view->setRegisterField(7, 2, static_cast<unsigned short>(0xABCD));
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 7, 1), QStringLiteral("0xcd"));
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 8, 1), QStringLiteral("0xab"));
    _view->setRegisterField(9, 1, static_cast<unsigned short>(0xABCD));
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 9, 1), QStringLiteral("0xcd"));
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 10, 1), QString());
}

void TestRegisterView::unlistedAddressChangesNothing()
{
    for (unsigned short address : {41, 47, 98, 111, 118, 119, 255, 1000})
        _view->setRegisterField(address, static_cast<unsigned char>(0x55));
    QCOMPARE(itemCount(), 0);
}

// A row keeps its items across polls; what it shows equals what new items would show.
void TestRegisterView::updatesInPlace()
{
    _view->setRegisterField(97, static_cast<unsigned char>(30));
    QTableWidgetItem* value = table(RegisterBank::VolatileBank2)->item(11, 1);
    QVERIFY(value);
    QCOMPARE(value->text(), QStringLiteral("0x1e"));

    QSignalSpy changes(table(RegisterBank::VolatileBank2)->model(), &QAbstractItemModel::dataChanged);
    _view->setRegisterField(97, static_cast<unsigned char>(30));
    QCOMPARE(changes.count(), 0);

    _view->setRegisterField(97, static_cast<unsigned char>(31));
    QCOMPARE(table(RegisterBank::VolatileBank2)->item(11, 1), value);
    QCOMPARE(value->text(), QStringLiteral("0x1f"));
    QCOMPARE(changes.count(), 1);

    // Same texts and shading as a row that gets its items for the first time.
    RegisterView fresh;
    fresh.setModelSource(&_model);
    fresh.connected();
    loadModel(1);
    fresh.setRegisterField(97, static_cast<unsigned char>(31));
    for (int column = 0; column < 3; ++column) {
        const QTableWidgetItem* reused = table(RegisterBank::VolatileBank2)->item(11, column);
        const QTableWidgetItem* created =
            fresh.getRegisterBank(RegisterBank::VolatileBank2)->item(11, column);
        QCOMPARE(reused->text(), created->text());
        QCOMPARE(reused->data(Qt::BackgroundRole), created->data(Qt::BackgroundRole));
    }
}

// Every listed register shows the byte at position 9 + address of a 129-byte answer; the
// two CRC bytes decoded as addresses 118 and 119 show nowhere.
void TestRegisterView::wholeAnswerFillsEveryRow()
{
    QByteArray data(118, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i ^ 0xA5);
    const QByteArray answer = statusPacket(data);
    QCOMPARE(answer.size(), 129);
    UiRegisterHelper::_instance->decodeResponse(answer);

    QCOMPARE(itemCount(), 87 * 3);
    const auto device = _model.device();
    for (unsigned short address = 0; address < 118; ++address) {
        const auto record = device->getRegisterDeviceMetadata(address);
        if (!record)
            continue;
        QCOMPARE(text(record->bank, record->row, 0),
                 QStringLiteral("0x%1").arg(address, 2, 16, QLatin1Char('0')));
        QCOMPARE(text(record->bank, record->row, 1),
                 QStringLiteral("0x%1").arg(address ^ 0xA5, 2, 16, QLatin1Char('0')));
    }
}

void TestRegisterView::ax12LeavesTablesEmpty()
{
    loadModel(12);
    QCOMPARE(table(RegisterBank::NonVolatileBank1)->rowCount(), 43);
    for (RegisterBank bank : {RegisterBank::NonVolatileBank2, RegisterBank::VolatileBank1, RegisterBank::VolatileBank2})
        QCOMPARE(table(bank)->rowCount(), 0);

    loadModel(1);
    QCOMPARE(table(RegisterBank::NonVolatileBank1)->rowCount(), 27);
}

void TestRegisterView::disconnectEmptiesAndUnsubscribes()
{
    UiRegisterHelper::_instance->decodeResponse(statusPacket(QByteArray(118, '\x01')));
    QCOMPARE(itemCount(), 87 * 3);

    QSignalSpy heard(&_model, &ModelSource::loaded);
    _view->disconnected();
    for (RegisterBank bank : banks)
        QCOMPARE(table(bank)->rowCount(), 0);
    // An identification after Disconnect no longer sizes the view, and values are dropped; the
    // view leaves alone whoever else listens.
    loadModel(1);
    QCOMPARE(heard.count(), 1);
    QCOMPARE(table(RegisterBank::NonVolatileBank1)->rowCount(), 0);
    UiRegisterHelper::_instance->decodeResponse(statusPacket(QByteArray(118, '\x01')));
    QCOMPARE(itemCount(), 0);

    // The next connect sizes the tables again before the first values arrive, empty.
    _view->connected();
    loadModel(1);
    QCOMPARE(table(RegisterBank::VolatileBank2)->rowCount(), 22);
    QCOMPARE(itemCount(), 0);
}

void TestRegisterView::valuesBeforeSizingAreDropped()
{
    RegisterView early;
    QCOMPARE(RegisterView::_instance, &early);
    early.setRegisterField(3, static_cast<unsigned char>(1));
    for (RegisterBank bank : banks)
        QCOMPARE(early.getRegisterBank(bank)->rowCount(), 0);
    // The view under test is no longer the instance; give it back for cleanup.
    RegisterView::_instance = _view;
}

enum class Between
{
    Reconnect,
    OtherModel,
    RowsEmptiedElsewhere,
};
Q_DECLARE_METATYPE(Between)

void TestRegisterView::unchangedAnswerRefilledAfter_data()
{
    QTest::addColumn<Between>("between");
    QTest::newRow("disconnect and connect") << Between::Reconnect;
    QTest::newRow("another model and back") << Between::OtherModel;
    QTest::newRow("rows emptied by someone else") << Between::RowsEmptiedElsewhere;
}

// The same answer twice, with the rows remade in between: the second fills every row again.
void TestRegisterView::unchangedAnswerRefilledAfter()
{
    QFETCH(Between, between);
    const QByteArray answer = statusPacket(QByteArray(118, '\x07'));
    UiRegisterHelper::_instance->decodeResponse(answer);
    QCOMPARE(itemCount(), 87 * 3);

    switch (between) {
    case Between::Reconnect:
        _view->disconnected();
        _view->connected();
        loadModel(1);
        QCOMPARE(itemCount(), 0);
        break;
    case Between::OtherModel:
        loadModel(12);
        UiRegisterHelper::_instance->decodeResponse(answer);
        loadModel(1);
        break;
    case Between::RowsEmptiedElsewhere:
        for (RegisterBank bank : banks) {
            const int rows = table(bank)->rowCount();
            table(bank)->setRowCount(0);
            table(bank)->setRowCount(rows);
        }
        QCOMPARE(itemCount(), 0);
        break;
    }
    UiRegisterHelper::_instance->decodeResponse(answer);
    QCOMPARE(itemCount(), 87 * 3);
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 5, 1), QStringLiteral("0x07"));
    QCOMPARE(text(RegisterBank::NonVolatileBank1, 5, 2), QStringLiteral("Acknowledge response time"));
}

QTEST_MAIN(TestRegisterView)
#include "tst_registerview.moc"
