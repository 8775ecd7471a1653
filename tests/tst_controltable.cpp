#include "core/model/fieldcatalogue.h"
#include "core/model/fieldcore.h"
#include "core/session/uischeduler.h"
#include "testmodels.h"
#include "window/editview/controltablemodel.h"
#include "window/editview/controltableview.h"
#include "window/mainwindow.h"

#include <connectedwindow.h>
#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QtTest>

using QMapStringInt = QMap<QString, int>;
Q_DECLARE_METATYPE(QMapStringInt)

namespace {

constexpr int servoId = 1;
constexpr int writeInstruction = 0x03;

QList<servosim::ReceivedPacket> writesOf(const servosim::ServoSimulator& sim)
{
    QList<servosim::ReceivedPacket> found;
    for (const auto& packet : sim.receivedPackets()) {
        if (packet.instruction == writeInstruction)
            found.append(packet);
    }
    return found;
}

int rowOf(const ControlTableModel& model, const QString& key)
{
    for (int row = 0; row < model.rowCount(); ++row) {
        if (model.index(row, ControlTableModel::KeyColumn).data().toString() == key)
            return row;
    }
    return -1;
}

QString cell(const ControlTableModel& model, const QString& key, int column)
{
    return model.index(rowOf(model, key), column).data().toString();
}

} // namespace

class TestControlTable : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<IsolatedSettings> _settingsHome;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

    ControlTableView* view() const { return _window->findChild<ControlTableView*>("controlTableView"); }
    ControlTableModel& model() const { return *view()->tableModel(); }

    // Connected, and the control table shows the servo's values.
    void openConnected(servosim::Model model, const QMap<QString, int>& units = {})
    {
        testfixture::openConnected(*_settingsHome, model, units, servoId, 20, _sim, _window);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(view());
        QTRY_VERIFY_WITH_TIMEOUT(view()->tableModel()->hasTable(), 20000);
    }

    void edit(const QString& key, int column, const QString& text)
    {
        const int row = rowOf(model(), key);
        QVERIFY2(row >= 0, qPrintable(key));
        QVERIFY2(model().setData(model().index(row, column), text), qPrintable(key + " = " + text));
    }

    QPushButton* applyButton() const { return view()->findChild<QPushButton*>("controlTableApply"); }
    QString status() const { return view()->findChild<QLabel*>("controlTableStatus")->text(); }

    // Waits until `count` more polls were answered.
    void waitForPolls(int count)
    {
        const int polls = int(_window->scheduler()->statistics().polls());
        QTRY_VERIFY_WITH_TIMEOUT(int(_window->scheduler()->statistics().polls()) >= polls + count, 20000);
    }

private slots:
    void init()
    {
        _settingsHome = std::make_unique<IsolatedSettings>();
        QVERIFY(_settingsHome->isValid());
    }

    void cleanup()
    {
        _window.reset();
        _sim.reset();
        _settingsHome.reset();
    }

    // Every entry of the description is a row, in address order, and the values follow the polls
    // in the unit chosen in Settings.
    void listsEveryEntryWithLiveValues_data()
    {
        QTest::addColumn<QMapStringInt>("units");
        QTest::addColumn<QString>("temperature");
        QTest::newRow("Celsius") << QMapStringInt{} << QStringLiteral("41 °C");
        QTest::newRow("Fahrenheit") << QMapStringInt{{"temperature", 1}} << QStringLiteral("105.8 °F");
    }

    void listsEveryEntryWithLiveValues()
    {
        QFETCH(QMapStringInt, units);
        QFETCH(QString, temperature);
        openConnected(servosim::Model::V1, units);
        const FieldCatalogue catalogue{VelkoraV1()};
        QCOMPARE(model().rowCount(), int(catalogue.fields().size()));
        QCOMPARE(model().rowCount(), 56);
        int previous = -1;
        for (int row = 0; row < model().rowCount(); ++row) {
            const int address = model().index(row, ControlTableModel::AddressColumn).data().toInt();
            QVERIFY(address >= previous);
            previous = address;
        }
        QCOMPARE(cell(model(), "positionProportionalTerm", ControlTableModel::AddressColumn), QStringLiteral("54"));
        QCOMPARE(cell(model(), "positionProportionalTerm", ControlTableModel::SizeColumn), QStringLiteral("2"));
        QCOMPARE(cell(model(), "positionProportionalTerm", ControlTableModel::AreaColumn), QStringLiteral("Volatile"));
        QCOMPARE(cell(model(), "actualPosition", ControlTableModel::AccessColumn), QStringLiteral("Read-only"));
        QCOMPARE(cell(model(), "operatingMode", ControlTableModel::ValueColumn), QStringLiteral("Joint"));

        _sim->setRegisters(servoId, 11, QByteArray(1, char(41)));
        _sim->setRegisters(servoId, 54, QByteArray::fromHex("0903")); // 777
        QTRY_COMPARE_WITH_TIMEOUT(cell(model(), "temperatureLimit", ControlTableModel::ValueColumn), temperature,
                                  20000);
        QTRY_COMPARE_WITH_TIMEOUT(cell(model(), "positionProportionalTerm", ControlTableModel::RawColumn),
                                  QStringLiteral("777"), 20000);
        QVERIFY(writesOf(*_sim).isEmpty());
    }

    void filterNarrowsRowsByKeyOrCaption_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("keys");
        QTest::newRow("key words") << "proportional"
                                   << QStringList{"defPositionProportionalTerm", "defVelocityProportionalTerm",
                                                  "positionProportionalTerm", "velocityProportionalTerm"};
        QTest::newRow("caption, any case") << "ACTUAL TEMP" << QStringList{"actualTemperature"};
        QTest::newRow("nothing") << "no such entry" << QStringList{};
    }

    void filterNarrowsRowsByKeyOrCaption()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, keys);
        openConnected(servosim::Model::V1);
        auto* box = view()->findChild<QLineEdit*>("controlTableFilter");
        QCOMPARE(box->placeholderText(), QStringLiteral("Filter"));
        QTest::keyClicks(box, filter);
        QSortFilterProxyModel* shown = view()->filterModel();
        QStringList seen;
        for (int row = 0; row < shown->rowCount(); ++row)
            seen << shown->index(row, ControlTableModel::KeyColumn).data().toString();
        QCOMPARE(seen, keys);
        box->clear();
        QCOMPARE(shown->rowCount(), model().rowCount());
    }

    // An edit survives the polls until Apply; Apply writes that entry alone, the servo holds it and
    // the status says it was verified.
    void applyWritesOnlyTheEditedEntry()
    {
        openConnected(servosim::Model::V1);
        QVERIFY(!applyButton()->isEnabled());
        edit("positionProportionalTerm", ControlTableModel::ValueColumn, "55.5");
        QCOMPARE(cell(model(), "positionProportionalTerm", ControlTableModel::RawColumn), QStringLiteral("555"));
        waitForPolls(3);
        QCOMPARE(cell(model(), "positionProportionalTerm", ControlTableModel::RawColumn), QStringLiteral("555"));
        QVERIFY(writesOf(*_sim).isEmpty());
        QVERIFY(applyButton()->isEnabled());

        _sim->clearReceived();
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(_sim->registers(servoId).mid(54, 2), QByteArray::fromHex("2b02"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(status().startsWith("Written and verified"), 20000);
        QVERIFY2(status().contains("Position proportional term"), qPrintable(status()));
        const auto writes = writesOf(*_sim);
        QCOMPARE(writes.size(), 1);
        QCOMPARE(writes.first().params, QByteArray::fromHex("36002b02")); // address 54, two bytes
        QVERIFY(model().edits().isEmpty());
        QVERIFY(!applyButton()->isEnabled());
    }

    // What the servo made of a write of two entries, as read back, is what the status says.
    void outcomeFollowsWhatTheServoHolds_data()
    {
        QTest::addColumn<int>("refusedAt"); // -1: nothing refused
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QByteArray>("held"); // the two entries afterwards
        const QByteArray before = QByteArray::fromHex("90012003");
        const QByteArray both = QByteArray::fromHex("2c01e803");
        QTest::newRow("held") << -1 << "Written and verified: Position proportional term, Velocity proportional term."
                              << both;
        QTest::newRow("refused") << 54 << "Not written: data limit error." << before;
        QTest::newRow("in part") << 62
                                 << "Written in part (data limit error): Velocity proportional term is 0.80 on "
                                    "the servo, not 1.00."
                                 << both.left(2) + before.right(2);
    }

    void outcomeFollowsWhatTheServoHolds()
    {
        QFETCH(int, refusedAt);
        QFETCH(QString, outcome);
        QFETCH(QByteArray, held);
        openConnected(servosim::Model::V1);
        _sim->setRegisters(servoId, 54, QByteArray::fromHex("9001") + QByteArray(6, 0) + QByteArray::fromHex("2003"));
        _sim->refuseWritesAt(servoId, refusedAt);
        QTRY_COMPARE_WITH_TIMEOUT(cell(model(), "velocityProportionalTerm", ControlTableModel::RawColumn),
                                  QStringLiteral("800"), 20000);
        edit("positionProportionalTerm", ControlTableModel::RawColumn, "300");
        edit("velocityProportionalTerm", ControlTableModel::RawColumn, "1000");
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(status(), outcome, 20000);
        const QByteArray table = _sim->registers(servoId);
        QCOMPARE(table.mid(54, 2) + table.mid(62, 2), held);
        QVERIFY(model().edits().isEmpty()); // the rows show what the servo holds
    }

    // Read-only entries refuse edits; a value outside an entry's range is refused as typed.
    void onlyReadWriteEntriesTakeValuesTheyHold()
    {
        openConnected(servosim::Model::V1);
        for (const char* key : {"actualPosition", "modelNumber", "isMoving"}) {
            const QModelIndex value = model().index(rowOf(model(), key), ControlTableModel::ValueColumn);
            QVERIFY2(!(model().flags(value) & Qt::ItemIsEditable), key);
            QVERIFY2(!model().setData(value, "1"), key);
        }
        const QModelIndex gain = model().index(rowOf(model(), "positionProportionalTerm"), ControlTableModel::RawColumn);
        QVERIFY(model().flags(gain) & Qt::ItemIsEditable);
        QVERIFY(!model().setData(gain, "2001"));
        QVERIFY(!model().setData(gain.siblingAtColumn(ControlTableModel::ValueColumn), "200.5"));
        QVERIFY(!model().setData(gain.siblingAtColumn(ControlTableModel::ValueColumn), "many"));
        QVERIFY(model().edits().isEmpty());
        QVERIFY(!applyButton()->isEnabled());
    }

    // While the motor is on the V1 takes no non-volatile setting: nothing is sent, the edit stays,
    // and the status says why.
    void nonVolatileEntriesWaitForTheMotorOff()
    {
        openConnected(servosim::Model::V1);
        _sim->setRegisters(servoId, 48, QByteArray(1, char(1)));
        QTRY_COMPARE_WITH_TIMEOUT(cell(model(), "enableMotor", ControlTableModel::RawColumn), QStringLiteral("1"), 20000);
        edit("temperatureLimit", ControlTableModel::RawColumn, "75");
        edit("minVoltageLimit", ControlTableModel::RawColumn, "70");
        edit("positionProportionalTerm", ControlTableModel::RawColumn, "300");
        _sim->clearReceived();
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        // The volatile entry goes out alone; the note on the others is said once.
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Written and verified: Position proportional term. "
                                                           "Non-volatile entries are not written while the motor "
                                                           "is on: switch the motor off, then apply again."),
                                  20000);
        const auto writes = writesOf(*_sim);
        QCOMPARE(writes.size(), 1);
        QCOMPARE(writes.first().params, QByteArray::fromHex("36002c01"));
        QCOMPARE(model().edits().size(), 2);
        QCOMPARE(int(uint8_t(_sim->registers(servoId).at(11))), 80);

        _sim->setRegisters(servoId, 48, QByteArray(1, char(0)));
        QTRY_COMPARE_WITH_TIMEOUT(cell(model(), "enableMotor", ControlTableModel::RawColumn), QStringLiteral("0"), 20000);
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(int(uint8_t(_sim->registers(servoId).at(11))), 75, 20000);
        QCOMPARE(int(uint8_t(_sim->registers(servoId).at(12))), 70);
        QTRY_VERIFY_WITH_TIMEOUT(model().edits().isEmpty(), 20000);
    }

    // The AX-12's entries the edit view has no field for are listed and written like any other.
    void ax12EntriesWithoutAFieldAreEditable()
    {
        openConnected(servosim::Model::Ax12);
        for (const char* key : {"torqueLimit", "maxTorque", "punch", "led"})
            QVERIFY2(rowOf(model(), key) >= 0, key);
        QCOMPARE(cell(model(), "torqueLimit", ControlTableModel::ValueColumn), QStringLiteral("100.0 %"));
        QCOMPARE(model().index(rowOf(model(), "maxTorque"), ControlTableModel::ValueColumn).data(Qt::ToolTipRole),
                 QVariant("The torque limit the servo starts with, in per cent of its maximum."));
        edit("torqueLimit", ControlTableModel::RawColumn, "512");
        _sim->clearReceived();
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(_sim->registers(servoId).mid(34, 2), QByteArray::fromHex("0002"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(status().startsWith("Written and verified"), 20000);
        const auto writes = writesOf(*_sim);
        QCOMPARE(writes.size(), 1);
        QCOMPARE(writes.first().params, QByteArray::fromHex("220002")); // address 34, two bytes
    }

    // A list entry is edited by choosing one of its texts.
    void listEntriesAreChosenFromTheirTexts()
    {
        openConnected(servosim::Model::V1);
        auto* table = view()->findChild<QTableView*>("controlTableTable");
        const QModelIndex mode = view()->filterModel()->mapFromSource(
            model().index(rowOf(model(), "operatingMode"), ControlTableModel::ValueColumn));
        table->edit(mode);
        auto* list = table->findChild<QComboBox*>();
        QVERIFY(list);
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->itemText(i);
        QCOMPARE(texts, QStringList({"Torque", "Wheel", "Joint", "Multi-turn", "Stepper"}));
        QCOMPARE(list->currentText(), QStringLiteral("Joint"));
        list->setCurrentIndex(1);
        table->itemDelegate()->setModelData(list, table->model(), mode);
        QCOMPARE(model().edits().value(rowOf(model(), "operatingMode"), -1), 1);
        QCOMPARE(mode.data().toString(), QStringLiteral("Wheel"));
    }

    // A new id is written like any entry, and the program follows the servo to it.
    void aNewIdIsFollowed()
    {
        openConnected(servosim::Model::V1);
        edit("id", ControlTableModel::RawColumn, "5");
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(_sim->registers(5).at(3), char(5), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(_window->scheduler()->servoId(), 5, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Written and verified: Id."), 20000);
    }

    // Edits become writes: non-volatile entries apart, a write never spans a read-only entry, one
    // span otherwise; a new id is followed.
    void editsBecomeWrites_data()
    {
        QTest::addColumn<bool>("ax12");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QList<int>>("addresses");
        QTest::addColumn<QList<int>>("lengths");
        QTest::newRow("neighbours") << false << QStringList{"positionProportionalTerm", "velocityFeedforwardTerm"}
                                    << QList<int>{54} << QList<int>{4};
        QTest::newRow("gap of writable bytes") << false << QStringList{"positionProportionalTerm", "targetPosition"}
                                               << QList<int>{54} << QList<int>{28};
        QTest::newRow("non-volatile apart") << false << QStringList{"temperatureLimit", "positionProportionalTerm"}
                                            << QList<int>{11, 54} << QList<int>{1, 2};
        QTest::newRow("direction and magnitude") << false
                                                 << QStringList{"targetTorque", "targetTorqueDirection"}
                                                 << QList<int>{84} << QList<int>{2};
        QTest::newRow("read-only between") << true << QStringList{"torqueLimit", "lock"} << QList<int>{34, 47}
                                           << QList<int>{2, 1};
    }

    void editsBecomeWrites()
    {
        QFETCH(bool, ax12);
        QFETCH(QStringList, keys);
        QFETCH(QList<int>, addresses);
        QFETCH(QList<int>, lengths);
        const FieldCatalogue catalogue = ax12 ? FieldCatalogue(DynamixelAx12()) : FieldCatalogue(VelkoraV1());
        QMap<int, int> edits;
        for (const QString& key : keys) {
            const FieldRecord* entry = catalogue.byKey(key);
            QVERIFY2(entry, qPrintable(key));
            edits.insert(int(entry - catalogue.fields().data()), 1);
        }
        const QList<GroupWrite> writes = controlTableWrites(catalogue, edits);
        QList<int> seenAddresses, seenLengths;
        for (const GroupWrite& write : writes) {
            seenAddresses << write.address();
            seenLengths << write.length();
            QVERIFY(!write.movesServo());
        }
        QCOMPARE(seenAddresses, addresses);
        QCOMPARE(seenLengths, lengths);

        const int id = int(catalogue.byRole("id") - catalogue.fields().data());
        const QList<GroupWrite> idWrite = controlTableWrites(catalogue, {{id, 7}});
        QCOMPARE(idWrite.size(), 1);
        QCOMPARE(idWrite.first().newId, 7);
    }

    // What a value cell takes: numbers in the chosen unit (with or without it), a list's texts.
    void typedValuesBecomeRawValues_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("raw"); // -1: refused
        QTest::newRow("number") << "positionProportionalTerm" << "12.3" << 123;
        QTest::newRow("with its unit") << "temperatureLimit" << "70 °C" << 70;
        QTest::newRow("list text") << "operatingMode" << "wheel" << 1;
        QTest::newRow("list number") << "operatingMode" << "3" << 3;
        QTest::newRow("no list item") << "operatingMode" << "9" << -1;
        QTest::newRow("above the range") << "temperatureLimit" << "256" << -1;
        QTest::newRow("below the range") << "positionProportionalTerm" << "-1" << -1;
        QTest::newRow("no number") << "temperatureLimit" << "hot" << -1;
    }

    void typedValuesBecomeRawValues()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QFETCH(int, raw);
        const FieldCatalogue catalogue{VelkoraV1()};
        ControlTableModel model;
        model.setUnits(FieldCore::currentUnits());
        const std::optional<int> got = model.rawOfText(*catalogue.byKey(key), text);
        QCOMPARE(got.value_or(-1), raw);
        if (got)
            QCOMPARE(model.rawOfText(*catalogue.byKey(key), model.valueText(*catalogue.byKey(key), *got)), got);
    }
};

QTEST_MAIN(TestControlTable)
#include "tst_controltable.moc"
