#include "testmodels.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/fieldcore.h"
#include "core/model/modelsource.h"
#include "core/settings/settingshelper.h"

#include <isolatedsettings.h>

#include <QRegularExpression>
#include <QtTest>

#include <cmath>
#include <set>
#include <stdexcept>

Q_DECLARE_METATYPE(RegisterBank)

namespace {

constexpr double pi = 3.141592653589793;

std::shared_ptr<IDevice> makeModel(const QString& model)
{
    if (model == QLatin1String("AX-12"))
        return std::make_shared<DynamixelAx12>();
    return std::make_shared<VelkoraV1>();
}

// The widgets' linear map from a raw register value to the default unit.
double toDefaultUnit(const FieldDeviceMetadata& m, int raw)
{
    return m.min + double(raw - m.rawMin) * (m.max - m.min) / double(m.rawMax - m.rawMin);
}

// Counts the models a field hears of.
class LoadCounter : public QObject
{
public:
    void onLoaded() { ++loads; }
    int loads = 0;
};

} // namespace

class TestDeviceModels : public QObject
{
    Q_OBJECT

private slots:
    void bankRowsAreContiguous_data();
    void bankRowsAreContiguous();
    void addressesWithoutEntry();
    void registerRecords_data();
    void registerRecords();
    void writableOnlyOutsideIdentityAndState();
    void multiByteRegistersAreAdjacentRows_data();
    void multiByteRegistersAreAdjacentRows();
    void linearMap_data();
    void linearMap();
    void unknownFieldNameThrows_data();
    void unknownFieldNameThrows();
    void copiesAreIndependent();
    void modelConstants_data();
    void modelConstants();
    void ax12HasNoRegisterMap();
    void ax12DataSheetUnits_data();
    void ax12DataSheetUnits();
    void catalogueDescribesEachFieldOnce_data();
    void catalogueDescribesEachFieldOnce();
    void baudCodesReadAsRates();
    void registerItemsTileTheTable_data();
    void registerItemsTileTheTable();
    void fieldFollowsItsModelSource_data();
    void fieldFollowsItsModelSource();
};

void TestDeviceModels::bankRowsAreContiguous_data()
{
    QTest::addColumn<RegisterBank>("bank");
    QTest::addColumn<int>("rows");
    QTest::newRow("non-volatile 1") << RegisterBank::NonVolatileBank1 << 27;
    QTest::newRow("non-volatile 2") << RegisterBank::NonVolatileBank2 << 14;
    QTest::newRow("volatile 1") << RegisterBank::VolatileBank1 << 24;
    QTest::newRow("volatile 2") << RegisterBank::VolatileBank2 << 22;
}

// The register view puts each register into the row its record names, so a bank's rows
// must be exactly 0..count-1 in address order.
void TestDeviceModels::bankRowsAreContiguous()
{
    QFETCH(RegisterBank, bank);
    QFETCH(int, rows);
    VelkoraV1 model;
    QCOMPARE(model.getRegisterBankRowCount(bank), rows);

    int nextRow = 0;
    for (int address = 0; address <= 0xFFFF; ++address) {
        const auto record = model.getRegisterDeviceMetadata(static_cast<unsigned short>(address));
        if (record && record->bank == bank) {
            QCOMPARE(int(record->row), nextRow);
            ++nextRow;
        }
    }
    QCOMPARE(nextRow, rows);
}

void TestDeviceModels::addressesWithoutEntry()
{
    const std::set<int> gaps = {41, 42, 43, 44, 45, 46, 47,  50,  51,  52,  53,  64,  65,  66,  67, 72,
                                73, 74, 75, 76, 77, 98, 100, 103, 104, 105, 106, 108, 109, 110, 111};
    VelkoraV1 model;
    int listed = 0;
    for (int address = 0; address <= 0xFFFF; ++address) {
        const bool expected = address < 118 && !gaps.count(address);
        const bool present = model.getRegisterDeviceMetadata(static_cast<unsigned short>(address)) != nullptr;
        QVERIFY2(present == expected, qPrintable(QString::number(address)));
        listed += present;
    }
    QCOMPARE(listed, 87);
    QCOMPARE(model.getRegisterBankRowCount(static_cast<RegisterBank>(4)), 0);
    QCOMPARE(model.getRegisterBankRowCount(static_cast<RegisterBank>(-1)), 0);
}

void TestDeviceModels::registerRecords_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<RegisterBank>("bank");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("writable");
    QTest::addColumn<QString>("description");
    QTest::newRow("first") << 0 << RegisterBank::NonVolatileBank1 << 0 << 0 << "Model number (lower)";
    QTest::newRow("first writable") << 3 << RegisterBank::NonVolatileBank1 << 3 << 1 << "ID";
    QTest::newRow("last non-volatile")
        << 40 << RegisterBank::NonVolatileBank2 << 13 << 1 << "Default acceleration profile (upper)";
    QTest::newRow("first volatile") << 48 << RegisterBank::VolatileBank1 << 0 << 1 << "Control enable";
    QTest::newRow("profile, writable")
        << 68 << RegisterBank::VolatileBank1 << 12 << 1 << "Angular velocity profile (lower)";
    QTest::newRow("profile, read-only")
        << 101 << RegisterBank::VolatileBank2 << 13 << 0 << "Angular velocity profile (lower)";
    QTest::newRow("hardware error") << 107 << RegisterBank::VolatileBank2 << 15 << 0
                                    << "Hardware error status";
    QTest::newRow("last") << 117 << RegisterBank::VolatileBank2 << 21 << 0 << "Debug 4 (upper)";
}

void TestDeviceModels::registerRecords()
{
    QFETCH(int, address);
    QFETCH(RegisterBank, bank);
    QFETCH(int, row);
    QFETCH(int, writable);
    QFETCH(QString, description);
    const auto record = VelkoraV1().getRegisterDeviceMetadata(static_cast<unsigned short>(address));
    QVERIFY(record);
    QCOMPARE(record->bank, bank);
    QCOMPARE(int(record->row), row);
    QCOMPARE(record->writable, writable);
    QCOMPARE(record->description, description);
}

// Model number and firmware version are the servo's identity and bank 3 is its live state:
// only those are read-only.
void TestDeviceModels::writableOnlyOutsideIdentityAndState()
{
    VelkoraV1 model;
    for (unsigned short address = 0; address < 118; ++address) {
        const auto record = model.getRegisterDeviceMetadata(address);
        if (!record)
            continue;
        const int expected = (address < 3 || record->bank == RegisterBank::VolatileBank2) ? 0 : 1;
        QVERIFY2(record->writable == expected, qPrintable(QString::number(address)));
    }
}

void TestDeviceModels::multiByteRegistersAreAdjacentRows_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QStringList>("suffixes");
    const QStringList word = {"(lower)", "(upper)"};
    const QStringList dword = {"(byte 0)", "(byte 1)", "(byte 2)", "(byte 3)"};
    QTest::newRow("home position offset") << 20 << dword;
    QTest::newRow("target position") << 78 << dword;
    QTest::newRow("actual position") << 86 << dword;
    // Every "(lower)" register is followed by its "(upper)" half.
    VelkoraV1 model;
    for (unsigned short address = 0; address < 118; ++address) {
        const auto record = model.getRegisterDeviceMetadata(address);
        if (record && record->description.endsWith(QLatin1String("(lower)")))
            QTest::addRow("%s at %d", qPrintable(record->description), address) << int(address) << word;
    }
}

void TestDeviceModels::multiByteRegistersAreAdjacentRows()
{
    QFETCH(int, address);
    QFETCH(QStringList, suffixes);
    VelkoraV1 model;
    const auto first = model.getRegisterDeviceMetadata(static_cast<unsigned short>(address));
    QVERIFY(first);
    const QString name = first->description.left(first->description.size() - suffixes[0].size());
    for (int i = 0; i < suffixes.size(); ++i) {
        const auto part = model.getRegisterDeviceMetadata(static_cast<unsigned short>(address + i));
        QVERIFY(part);
        QCOMPARE(part->bank, first->bank);
        QCOMPARE(int(part->row), first->row + i);
        QCOMPARE(part->description, name + suffixes[i]);
    }
}

void TestDeviceModels::linearMap_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("raw");
    QTest::addColumn<double>("value");
    QTest::newRow("voltage full scale") << "V1"
                                        << "actualVoltageLineEdit" << 255 << 25.5;
    QTest::newRow("voltage half scale") << "V1"
                                        << "minVoltageLimitDoubleSpinBox" << 120 << 12.0;
    QTest::newRow("most negative position") << "V1"
                                            << "actualPositionLineEdit" << -1044479 << -1602.2107193500067;
    QTest::newRow("position is 4096 counts per turn") << "V1"
                                                      << "targetPositionDoubleSpinBox" << 4096 << 2 * pi;
    QTest::newRow("home offset zero") << "V1"
                                      << "hornPositionOffsetDoubleSpinBox" << 0 << 0.0;
    QTest::newRow("clockwise limit") << "V1"
                                     << "clockwiseLimitDoubleSpinBox" << -2047 << -pi;
    QTest::newRow("return delay in 2 us") << "V1"
                                          << "ackResponseTimeSpinBox" << 127 << 254.0;
    QTest::newRow("velocity feedforward") << "V1"
                                          << "velocityFeedforwardTermDoubleSpinBox" << 16383 << 16.383;
}

void TestDeviceModels::linearMap()
{
    QFETCH(QString, model);
    QFETCH(QString, name);
    QFETCH(int, raw);
    QFETCH(double, value);
    const auto record = makeModel(model)->getFieldDeviceMetadata(name);
    QVERIFY(record);
    const double mapped = toDefaultUnit(*record, raw);
    QVERIFY2(std::abs(mapped - value) <= 1e-12 * std::max(1.0, std::abs(value)),
             qPrintable(QString::number(mapped, 'g', 17)));
}

void TestDeviceModels::unknownFieldNameThrows_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("name");
    QTest::newRow("V1: AX-12 only name") << "V1"
                                         << "positionLineEdit";
    QTest::newRow("V1: the dead zone has no register") << "V1"
                                                       << "deadZoneDoubleSpinBox";
    QTest::newRow("V1: case matters") << "V1"
                                      << "ActualPositionLineEdit";
    QTest::newRow("V1: empty") << "V1"
                               << "";
    QTest::newRow("AX-12: V1 only name") << "AX-12"
                                         << "hornPositionOffsetDoubleSpinBox";
    QTest::newRow("AX-12: no operating mode") << "AX-12"
                                              << "operatingModeComboBox";
}

void TestDeviceModels::unknownFieldNameThrows()
{
    QFETCH(QString, model);
    QFETCH(QString, name);
    const auto device = makeModel(model);
    try {
        device->getFieldDeviceMetadata(name);
        QFAIL("no exception");
    } catch (const std::out_of_range& e) {
        QCOMPARE(QString::fromLatin1(e.what()), name);
    }
}

void TestDeviceModels::copiesAreIndependent()
{
    VelkoraV1 model;
    auto field = model.getFieldDeviceMetadata(QStringLiteral("actualVoltageLineEdit"));
    field->rawMax = 1;
    field->max = -7;
    const auto fieldAgain = model.getFieldDeviceMetadata(QStringLiteral("actualVoltageLineEdit"));
    QVERIFY(fieldAgain.get() != field.get());
    QCOMPARE(fieldAgain->rawMax, 255);
    QCOMPARE(fieldAgain->max, 25.5);

    auto reg = model.getRegisterDeviceMetadata(107);
    reg->row = 0;
    reg->writable = 1;
    reg->description.clear();
    const auto regAgain = model.getRegisterDeviceMetadata(107);
    QCOMPARE(int(regAgain->row), 15);
    QCOMPARE(regAgain->writable, 0);
    QCOMPARE(regAgain->description, QStringLiteral("Hardware error status"));

    // A copy outlives the model it came from.
    std::unique_ptr<RegisterDeviceMetadata> survivor;
    {
        auto shortLived = std::make_shared<VelkoraV1>();
        survivor = shortLived->getRegisterDeviceMetadata(0);
    }
    QCOMPARE(survivor->description, QStringLiteral("Model number (lower)"));
}

void TestDeviceModels::modelConstants_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("memoryUpperLimit");
    QTest::addColumn<bool>("currentReading");
    QTest::newRow("V1") << "V1" << 118 << true;
    QTest::newRow("AX-12") << "AX-12" << 50 << false;
}

void TestDeviceModels::modelConstants()
{
    QFETCH(QString, model);
    QFETCH(int, memoryUpperLimit);
    QFETCH(bool, currentReading);
    const auto device = makeModel(model);
    QCOMPARE(device->getMemoryUpperLimit(), memoryUpperLimit);
    QCOMPARE(device->description().entryWithRole(QStringLiteral("presentCurrent")) != nullptr, currentReading);
}

// A model without tables of its own shows one table of every byte it describes, in address order.
void TestDeviceModels::ax12HasNoRegisterMap()
{
    DynamixelAx12 model;
    for (int bank = 1; bank < 4; ++bank)
        QCOMPARE(model.getRegisterBankRowCount(static_cast<RegisterBank>(bank)), 0);
    int expectedRow = 0;
    for (unsigned short address = 0; address < 256; ++address) {
        const auto row = model.getRegisterDeviceMetadata(address);
        const bool described = address < 50 && address != 10 && address != 19 && (address < 20 || address > 23) &&
                               address != 45;
        QCOMPARE(bool(row), described);
        if (!row)
            continue;
        QCOMPARE(row->bank, RegisterBank::NonVolatileBank1);
        QCOMPARE(int(row->row), expectedRow++);
        const bool writable = (address >= 3 && address <= 18) || (address >= 24 && address <= 35) || address >= 47;
        QCOMPARE(row->writable != 0, writable);
    }
    QCOMPARE(model.getRegisterBankRowCount(RegisterBank::NonVolatileBank1), expectedRow);
    QCOMPARE(model.getRegisterDeviceMetadata(0)->description, QStringLiteral("Model number (byte 0)"));
}

// The AX-12's values in its data sheet's terms: 1023 steps over 300°, 0.111 rpm a step, bit 10
// the direction (set: clockwise), torque and load in per cent of 1023, 0.1 V, 1 °C. Each row puts
// the register bits into a table and reads the field back as the edit view, the plot, the files
// and the command line do, then writes that value back.
void TestDeviceModels::ax12DataSheetUnits_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("bits");
    QTest::addColumn<double>("perDefaultUnit"); // shown unit per default unit
    QTest::addColumn<double>("shown");
    const double degrees = 180 / pi;
    const double rpm = 60 / (2 * pi);
    QTest::newRow("ccw limit 1023 is 300 deg") << "counterClockwiseLimit" << 1023 << degrees << 300.0;
    QTest::newRow("cw limit 0 is 0 deg") << "clockwiseLimit" << 0 << degrees << 0.0;
    QTest::newRow("goal 512") << "targetPosition" << 512 << degrees << 512 * 300.0 / 1023;
    QTest::newRow("one position step") << "actualPosition" << 1 << degrees << 300.0 / 1023;
    QTest::newRow("moving speed 100 is 11.1 rpm") << "targetAngularVelocity" << 100 << rpm << 11.1;
    QTest::newRow("speed beside its direction bit") << "targetAngularVelocity" << (0x400 | 100) << rpm << 11.1;
    QTest::newRow("direction bit") << "targetAngularVelocityDirection" << (0x400 | 100) << 1.0 << 1.0;
    QTest::newRow("present speed ccw") << "actualAngularVelocity" << 100 << rpm << 11.1;
    QTest::newRow("present speed cw") << "actualAngularVelocity" << (0x400 | 100) << rpm << -11.1;
    QTest::newRow("load cw half") << "presentLoad" << (0x400 | 512) << 1.0 << -512 * 100.0 / 1023;
    QTest::newRow("load ccw full") << "presentLoad" << 1023 << 1.0 << 100.0;
    QTest::newRow("torque limit full") << "torqueLimit" << 1023 << 1.0 << 100.0;
    QTest::newRow("max torque half") << "maxTorque" << 512 << 1.0 << 512 * 100.0 / 1023;
    QTest::newRow("voltage 12.0") << "actualVoltage" << 120 << 1.0 << 12.0;
    QTest::newRow("min voltage limit 6.0") << "minVoltageLimit" << 60 << 1.0 << 6.0;
    QTest::newRow("temperature 40") << "actualTemperature" << 40 << 1.0 << 40.0;
    QTest::newRow("return delay 250 is 500 us") << "ackResponseTime" << 250 << 1.0 << 500.0;
}

void TestDeviceModels::ax12DataSheetUnits()
{
    QFETCH(QString, key);
    QFETCH(int, bits);
    QFETCH(double, perDefaultUnit);
    QFETCH(double, shown);
    const FieldCatalogue catalogue{DynamixelAx12()};
    const FieldRecord* field = catalogue.byKey(key);
    QVERIFY2(field, qPrintable(key));
    QByteArray table(50, '\0');
    table[field->address] = char(bits & 0xFF);
    if (field->size == 2)
        table[field->address + 1] = char(bits >> 8);
    const int raw = field->rawIn(table);
    const double value = field->isDirection() ? raw : field->toPhysical(raw) * perDefaultUnit;
    // The data sheet's 0.111 rpm and 0.29 deg are rounded: a hundredth of a unit is close enough.
    QVERIFY2(std::abs(value - shown) < 0.01, qPrintable(QString::number(value, 'g', 10)));
    // What is shown is what is written back, bit for bit within the field's mask.
    if (field->writable && !field->isDirection())
        QCOMPARE(field->bitsOf(field->toRaw(field->toPhysical(raw))) & field->mask, uint32_t(bits) & field->mask);
    if (field->isDirection())
        QCOMPARE(field->bitsOf(raw), uint32_t(bits) & field->mask);
}

void TestDeviceModels::catalogueDescribesEachFieldOnce_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("fields");
    QTest::addColumn<int>("writable");
    QTest::newRow("V1") << "V1" << 56 << 36;
    QTest::newRow("AX-12") << "AX-12" << 33 << 24;
}

// Every field once, inside the table the model reads, with a key the files and the command line
// can use; fields that share a register share it bit by bit; a setting is never a command.
void TestDeviceModels::catalogueDescribesEachFieldOnce()
{
    QFETCH(QString, model);
    QFETCH(int, fields);
    QFETCH(int, writable);
    const std::shared_ptr<IDevice> device = makeModel(model);
    const FieldCatalogue catalogue(*device);
    QCOMPARE(int(catalogue.fields().size()), fields);
    std::set<QString> keys;
    int writableFields = 0;
    for (const FieldRecord& field : catalogue.fields()) {
        QVERIFY2(keys.insert(field.key).second, qPrintable(field.key));
        QCOMPARE(catalogue.byKey(field.key), &field);
        // A value no widget shows is named by its key alone.
        QVERIFY(field.objectName.startsWith(field.key));
        QVERIFY(field.key.at(0).isLower() && field.caption.at(0).isUpper());
        QVERIFY2(field.address + field.size <= device->getMemoryUpperLimit(), qPrintable(field.key));
        for (const FieldRecord& other : catalogue.fields()) {
            const bool overlap = &other != &field && field.address < other.address + other.size &&
                                 other.address < field.address + field.size;
            QVERIFY2(!overlap || (other.address == field.address && (other.mask & field.mask) == 0),
                     qPrintable(field.key + " " + other.key));
        }
        writableFields += field.writable;
        QVERIFY(!field.writable || field.group != FieldGroup::State);
    }
    QCOMPARE(writableFields, writable);
    if (model == "V1") {
        QCOMPARE(catalogue.byKey("temperatureLimit")->address, 11);
        QCOMPARE(catalogue.byKey("id")->objectName, QStringLiteral("idSpinBox"));
        QCOMPARE(catalogue.byKey("enableMotor")->group, FieldGroup::Command);
        QCOMPARE(catalogue.byKey("positionProportionalTerm")->group, FieldGroup::Volatile);
        QVERIFY(catalogue.byKey("targetPosition")->isSigned && !catalogue.byKey("actualTorque")->isSigned);
        QCOMPARE(catalogue.byKey("baudRate")->caption, QStringLiteral("Baud rate"));
        // Register 14 limits the torque; files keep its old key.
        QCOMPARE(catalogue.byKey("quadratureCurrentLimit")->caption, QStringLiteral("Torque limit"));
        // The direction shares its register with the magnitude and reads as the list's item.
        const QByteArray table = QByteArray(82, '\0') + QByteArray::fromHex("6480");
        QCOMPARE(catalogue.byKey("targetAngularVelocity")->rawIn(table), 100);
        QCOMPARE(catalogue.byKey("targetAngularVelocityDirection")->rawIn(table), 1);
        QCOMPARE(catalogue.byKey("clockwiseLimit")->rawIn(QByteArray::fromHex("0000000000000001f8")), -2047);
    }
}

// The baud register of either model lists its codes as the rates they stand for.
void TestDeviceModels::baudCodesReadAsRates()
{
    for (const char* model : {"V1", "AX-12"}) {
        const FieldCatalogue catalogue(*makeModel(model));
        const FieldRecord* baud = catalogue.byRole("baudRate");
        QVERIFY(baud);
        QCOMPARE(baud->listValues.size(), 11);
        QString fastest = baud->listValues.value(0);
        QVERIFY(fastest.endsWith(" baud"));
        QCOMPARE(fastest.remove(QRegularExpression("[^0-9]")), QString("2000000"));
        QCOMPARE(QString(baud->listValues.value(207)).remove(QRegularExpression("[^0-9]")), QString("9600"));
    }
}

void TestDeviceModels::registerItemsTileTheTable_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("items");
    QTest::addColumn<int>("hardwareErrorAddress");
    QTest::newRow("V1") << "V1" << 49 << 107;
    QTest::newRow("AX-12: alarms in the answers") << "AX-12" << 32 << -1;
}

// The items a read-all answer is decoded by are the described registers in address order, none
// overlapping another; every register the register view lists lies in one, and the hardware
// error status is an item of its own.
void TestDeviceModels::registerItemsTileTheTable()
{
    QFETCH(QString, model);
    QFETCH(int, items);
    QFETCH(int, hardwareErrorAddress);
    const auto device = makeModel(model);
    const std::vector<RegisterItem> list = device->getRegisterItems();
    QCOMPARE(int(list.size()), items);
    QCOMPARE(device->getHardwareErrorAddress(), hardwareErrorAddress);
    int next = 0;
    bool hardwareErrorItem = false;
    QSet<int> covered;
    for (const RegisterItem& item : list) {
        QVERIFY(int(item.address) >= next);
        QVERIFY(item.byteCount == 1 || item.byteCount == 2 || item.byteCount == 4);
        next = item.address + item.byteCount;
        for (int i = 0; i < item.byteCount; ++i)
            covered.insert(item.address + i);
        hardwareErrorItem |= item.address == hardwareErrorAddress && item.byteCount == 1;
    }
    QCOMPARE(hardwareErrorItem, hardwareErrorAddress >= 0);
    QVERIFY(next <= device->getMemoryUpperLimit());
    for (unsigned short address = 0; address < 256; ++address) {
        if (device->getRegisterDeviceMetadata(address))
            QVERIFY2(covered.contains(address), qPrintable(QString::number(address)));
    }
}

void TestDeviceModels::fieldFollowsItsModelSource_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("ax12Describes");
    QTest::newRow("a value both models keep") << "targetPositionDoubleSpinBox" << true;
    QTest::newRow("a list only the V1 has") << "operatingModeComboBox" << false;
}

// A field without a window: while connected it hears every model its source loads and takes its
// range from the model loaded last; it takes the units stored at connect; after Disconnect it hears
// nothing more, and without a source nothing is ever described.
void TestDeviceModels::fieldFollowsItsModelSource()
{
    QFETCH(QString, field);
    QFETCH(bool, ax12Describes);
    IsolatedSettings home;
    QVERIFY(home.isValid());
    Settings(QStringLiteral("units settings")).setValue(QStringLiteral("angle"), 1); // degrees

    ModelSource source;
    LoadCounter receiver;
    FieldCore core;
    core.physicalQuantity = PhysicalQuantitiesEnum::Angle;
    core.connect(&source, &receiver, &LoadCounter::onLoaded);
    QVERIFY(core.isConnected);
    QCOMPARE(core.units->convertToTargetUnit(pi, PhysicalQuantitiesEnum::Angle), 180.0);
    QVERIFY(!core.loadMetadata(field)); // nothing identified yet

    source.load(std::make_shared<VelkoraV1>());
    QCOMPARE(receiver.loads, 1);
    QVERIFY(core.loadMetadata(field));
    source.load(std::make_shared<DynamixelAx12>());
    QCOMPARE(receiver.loads, 2);
    QCOMPARE(core.loadMetadata(field), ax12Describes);

    core.disconnect();
    source.load(std::make_shared<VelkoraV1>());
    QCOMPARE(receiver.loads, 2);
    QVERIFY(!core.loadMetadata(field));

    FieldCore alone;
    alone.connect(nullptr, &receiver, &LoadCounter::onLoaded);
    QVERIFY(!alone.loadMetadata(field));
}

QTEST_GUILESS_MAIN(TestDeviceModels)
#include "tst_devicemodels.moc"
