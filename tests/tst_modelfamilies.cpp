// The shipped servo descriptions against what their makers' manuals document, read the way the
// program reads them: register bytes -> the entry's raw value -> the quantity's default unit ->
// the unit a user picks in Settings.
#include "core/model/describeddevice.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/groupwrite.h"
#include "core/model/modelregistry.h"
#include "core/units/unitshelper.h"

#include <QtTest>

#include <cmath>

namespace {

// Every quantity in the Settings' first (0) or second (1) unit: degrees, rpm, mA ...
std::shared_ptr<PhysicalQuantities> allUnits(int unit)
{
    auto units = std::make_shared<PhysicalQuantities>();
    units->angularVelocity = units->angle = units->angularAcceleration = units->torque = unit;
    units->voltage = units->current = units->temperature = units->returnDelay = unit;
    return units;
}

// A control table whose register at the record's address holds `bits`, in the model's byte order.
QByteArray tableWith(const FieldRecord& record, quint32 bits)
{
    QByteArray table(record.address + record.size, '\0');
    for (int i = 0; i < record.size; ++i) {
        const int shift = 8 * (record.bigEndian ? record.size - 1 - i : i);
        table[record.address + i] = char((bits >> shift) & 0xFF);
    }
    return table;
}

FieldCatalogue catalogueOf(const QString& name)
{
    const auto description = ModelRegistry().byName(name);
    return description ? FieldCatalogue(DescribedDevice(description)) : FieldCatalogue();
}

} // namespace

class TestModelFamilies : public QObject
{
    Q_OBJECT

private slots:
    void documentedValues_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("key");
        QTest::addColumn<quint32>("bits"); // the register as the servo holds it
        QTest::addColumn<int>("unit");     // 0: the Settings' first unit, 1: the second
        QTest::addColumn<double>("shown");
        const QStringList fourByteTables{"xl330-m288", "xl330-m077", "xl430",  "xm430",   "xm430-w210",
                                         "xc330-t288", "xm540-w270", "mx28-2", "mx64-2", "mx106-2"};
        for (const QString& model : fourByteTables) {
            const auto row = [&](const char* what) { return (model + ' ' + what).toUtf8(); };
            QTest::newRow(row("half a turn").constData()) << model << "presentPosition" << 2048u << 1 << 180.0;
            QTest::newRow(row("signed position").constData()) << model << "presentPosition" << quint32(-2048) << 1 << -180.0;
            QTest::newRow(row("signed offset").constData()) << model << "homingOffset" << quint32(-1024) << 1 << -90.0;
            QTest::newRow(row("velocity").constData()) << model << "presentVelocity" << 100u << 1 << 22.9;
            QTest::newRow(row("backwards").constData()) << model << "presentVelocity" << quint32(-100) << 1 << -22.9;
            QTest::newRow(row("voltage").constData()) << model << "presentInputVoltage" << 120u << 0 << 12.0;
            QTest::newRow(row("temperature").constData()) << model << "presentTemperature" << 30u << 0 << 30.0;
            QTest::newRow(row("return delay").constData()) << model << "returnDelayTime" << 250u << 0 << 500.0;
            QTest::newRow(row("velocity limit").constData()) << model << "velocityLimit" << 200u << 1 << 45.8;
        }
        QTest::newRow("xm430 current limit") << "xm430" << "currentLimit" << 1193u << 1 << 3209.17;
        QTest::newRow("xm540 goal current") << "xm540-w270" << "goalCurrent" << quint32(-100) << 1 << -269.0;
        QTest::newRow("xl330 current") << "xl330-m288" << "presentCurrent" << 1750u << 1 << 1750.0;
        QTest::newRow("mx64 current") << "mx64-2" << "presentCurrent" << 100u << 1 << 336.0;
        QTest::newRow("xl430 load") << "xl430" << "presentLoad" << quint32(-1000) << 0 << -100.0;
        QTest::newRow("xm430 voltage limit") << "xm430" << "maxVoltageLimit" << 160u << 0 << 16.0;
        QTest::newRow("xl330 5 V") << "xl330-m077" << "minVoltageLimit" << 35u << 0 << 3.5;
        QTest::newRow("xl320 300 degrees") << "xl320" << "presentPosition" << 1023u << 1 << 300.0;
        QTest::newRow("xl320 clockwise speed") << "xl320" << "presentSpeed" << 1324u << 1 << -33.3;
        QTest::newRow("xl320 voltage") << "xl320" << "presentVoltage" << 74u << 0 << 7.4;
        QTest::newRow("ax18a position") << "ax18a" << "actualPosition" << 1023u << 1 << 300.0;
        QTest::newRow("ax12w speed") << "ax12w" << "targetAngularVelocity" << 300u << 1 << 33.3;
        // Sign and magnitude: the direction in a bit of its own, the magnitude below it.
        for (const QString& model : QStringList{"sts3215", "sts3250", "sm8512bl"}) {
            const auto row = [&](const char* what) { return (model + ' ' + what).toUtf8(); };
            QTest::newRow(row("below zero").constData())
                << model << "presentPosition" << (0x8000u | 100) << 1 << -8.7890625;
            QTest::newRow(row("goal below zero").constData())
                << model << "goalPosition" << (0x8000u | 2048) << 1 << -180.0;
            QTest::newRow(row("load").constData()) << model << "presentLoad" << (0x400u | 50) << 0 << -5.0;
            QTest::newRow(row("offset").constData())
                << model << "homingOffset" << (0x800u | 7) << 1 << -0.615234375;
            QTest::newRow(row("backwards").constData())
                << model << "presentVelocity" << (0x8000u | 4096) << 1 << -60.0;
            QTest::newRow(row("current").constData())
                << model << "presentCurrent" << (0x8000u | 100) << 1 << -650.0;
            QTest::newRow(row("return delay").constData())
                << model << "returnDelayTime" << 250u << 0 << 500.0;
        }
        QTest::newRow("sts3215 voltage") << "sts3215"
                                         << "presentVoltage" << 74u << 0 << 7.4;
        QTest::newRow("scs0009 300 degrees") << "scs0009"
                                             << "presentPosition" << 1023u << 1 << 299.7;
        QTest::newRow("scs0009 load") << "scs0009"
                                      << "presentLoad" << (0x400u | 50) << 0 << -5.0;
    }
    void documentedValues()
    {
        QFETCH(QString, model);
        QFETCH(QString, key);
        QFETCH(quint32, bits);
        QFETCH(int, unit);
        QFETCH(double, shown);
        const FieldCatalogue catalogue = catalogueOf(model);
        const FieldRecord* record = catalogue.byKey(key);
        QVERIFY2(record, qPrintable(key));
        const double physical = record->toPhysical(record->rawIn(tableWith(*record, bits)));
        const double inUnit = UnitsHelper(allUnits(unit)).convertToTargetUnit(physical, record->quantity);
        QVERIFY2(std::abs(inUnit - shown) < 0.01 + 1e-4 * std::abs(shown), qPrintable(QString::number(inUnit)));
    }

    // What a model says of itself: its number, how a new servo answers, its baud codes, its rules
    // for the non-volatile area and the error bits.
    void documentedSettings_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("factoryRate");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("resetOptions");
        QTest::addColumn<QString>("errorKey");
        QTest::addColumn<quint32>("errorMask");
        QTest::addColumn<int>("lockAddress"); // -1: the motor must be off instead
        QTest::newRow("xl330-m288") << "xl330-m288" << 1200 << 57600 << 3 << 1000000 << 3
                                    << "inputVoltageError" << 1u << -1;
        QTest::newRow("xl330-m077") << "xl330-m077" << 1190 << 57600 << 6 << 4000000 << 3
                                    << "overheatingError" << 4u << -1;
        QTest::newRow("xl430") << "xl430" << 1060 << 57600 << 3 << 1000000 << 3 << "motorEncoderError" << 8u
                               << -1;
        QTest::newRow("xm430") << "xm430" << 1020 << 57600 << 7 << 4500000 << 3 << "electricalShockError"
                               << 16u << -1;
        QTest::newRow("xm430-w210") << "xm430-w210" << 1030 << 57600 << 0 << 9600 << 3 << "overloadError"
                                    << 32u << -1;
        QTest::newRow("xc330-t288") << "xc330-t288" << 1220 << 57600 << 1 << 57600 << 3 << "overloadError"
                                    << 32u << -1;
        QTest::newRow("xm540-w270") << "xm540-w270" << 1120 << 57600 << 2 << 115200 << 3 << "overloadError"
                                    << 32u << -1;
        QTest::newRow("mx28-2") << "mx28-2" << 30 << 57600 << 4 << 2000000 << 3 << "inputVoltageError" << 1u
                                << -1;
        QTest::newRow("mx64-2") << "mx64-2" << 311 << 57600 << 5 << 3000000 << 3 << "overheatingError" << 4u
                                << -1;
        QTest::newRow("mx106-2") << "mx106-2" << 321 << 57600 << 3 << 1000000 << 3 << "motorEncoderError"
                                 << 8u << -1;
        QTest::newRow("xl320") << "xl320" << 350 << 1000000 << 3 << 1000000 << 2 << "overloadError" << 1u
                               << -1;
        QTest::newRow("ax18a") << "ax18a" << 18 << 1000000 << 1 << 1000000 << 1 << QString() << 0u << -1;
        QTest::newRow("ax12w") << "ax12w" << 300 << 1000000 << 3 << 500000 << 1 << QString() << 0u << -1;
        QTest::newRow("sts3215") << "sts3215" << 777 << 1000000 << 4 << 115200 << 1 << "sensorError" << 2u
                                 << 55;
        QTest::newRow("sts3250") << "sts3250" << 2825 << 1000000 << 4 << 115200 << 1 << "overloadError" << 32u
                                 << 55;
        QTest::newRow("sm8512bl") << "sm8512bl" << 11272 << 115200 << 4 << 115200 << 1 << "currentError" << 8u
                                  << 55;
        QTest::newRow("scs0009") << "scs0009" << 1284 << 1000000 << 4 << 115200 << 1 << "temperatureError"
                                 << 4u << 48;
    }
    void documentedSettings()
    {
        QFETCH(QString, model);
        QFETCH(int, number);
        QFETCH(int, factoryRate);
        QFETCH(int, code);
        QFETCH(int, rate);
        QFETCH(int, resetOptions);
        QFETCH(QString, errorKey);
        QFETCH(quint32, errorMask);
        QFETCH(int, lockAddress);
        const ModelRegistry registry;
        const auto description = registry.byNumber(number);
        QVERIFY(description);
        QCOMPARE(description->name, model);
        QCOMPARE(description->factoryId, 1);
        QCOMPARE(description->factoryBaudRate, factoryRate);
        QCOMPARE(description->baudCodes.value(code), rate);
        QCOMPARE(description->nonVolatileNeedsMotorOff, lockAddress < 0);
        const ModelEntry* lock = description->entry(description->lockKey);
        QCOMPARE(lock ? lock->address : -1, lockAddress);
        if (lock) {
            // Opened with 0 and closed with 1; a volatile register, so it is closed again at power-on.
            QVERIFY(lock->writable && lock->area == ModelEntry::Area::Volatile);
            QCOMPARE(description->lockOpen, int64_t(0));
            QCOMPARE(description->lockClose, int64_t(1));
            QCOMPARE(lock->powerOnDefault.value_or(-1), int64_t(1));
            QCOMPARE(description->rateOfBaudCode(0), 1000000);
        }
        QCOMPARE(description->resetOptions.size(), resetOptions);
        const bool protocol2 = description->protocols.contains(2);
        QCOMPARE(description->rebootClearsHardwareError, protocol2);
        QCOMPARE(description->instructions.contains("reboot"), protocol2);
        if (errorKey.isEmpty())
            return;
        const FieldCatalogue catalogue{DescribedDevice(description)};
        const FieldRecord* bit = catalogue.byKey(errorKey);
        QVERIFY(bit);
        QCOMPARE(bit->role, QString("hardwareError"));
        QCOMPARE(bit->rawIn(tableWith(*bit, 0xFF)), int(errorMask));
        QCOMPARE(bit->rawIn(tableWith(*bit, 0xFF & ~errorMask)), 0);
    }

    // Register bytes as the servo sends them, in its byte order, to the raw value and back: a
    // write of that value sends the very same bytes.
    void registerBytes_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("raw");
        QTest::newRow("sts3215 little-endian") << "sts3215"
                                               << "presentPosition" << QByteArray("\x02\x01", 2) << 258;
        QTest::newRow("sts3215 sign bit") << "sts3215"
                                          << "goalPosition" << QByteArray("\x64\x80", 2) << -100;
        QTest::newRow("sts3215 model number") << "sts3215"
                                              << "modelNumber" << QByteArray("\x09\x03", 2) << 777;
        QTest::newRow("scs0009 big-endian") << "scs0009"
                                            << "presentPosition" << QByteArray("\x01\x02", 2) << 258;
        QTest::newRow("scs0009 load sign bit") << "scs0009"
                                               << "presentLoad" << QByteArray("\x04\x32", 2) << -50;
        QTest::newRow("scs0009 model number") << "scs0009"
                                              << "modelNumber" << QByteArray("\x05\x04", 2) << 1284;
    }
    void registerBytes()
    {
        QFETCH(QString, model);
        QFETCH(QString, key);
        QFETCH(QByteArray, bytes);
        QFETCH(int, raw);
        const FieldCatalogue catalogue = catalogueOf(model);
        const FieldRecord* record = catalogue.byKey(key);
        QVERIFY2(record, qPrintable(key));
        QCOMPARE(record->rawIn(QByteArray(record->address, '\0') + bytes), raw);
        const GroupWrite write({record->writeOf(raw)});
        QCOMPARE(int(write.address()), record->address);
        QCOMPARE(write.block(QByteArray()), bytes);
    }

    // Every file in the models folder is built in, its lists name values its registers hold, and
    // none binds a field whose values mean something else: a field that shows a list (the V1's
    // modes, directions) shows only an entry with the very list the V1 gives it.
    void shippedFilesBindOnlyWhatTheyMean_data()
    {
        QTest::addColumn<QString>("name");
        for (const QFileInfo& file : QDir(VSM_MODELS_DIR).entryInfoList({"*.json"}))
            QTest::newRow(qPrintable(file.baseName())) << file.baseName();
    }
    void shippedFilesBindOnlyWhatTheyMean()
    {
        QFETCH(QString, name);
        const ModelRegistry registry;
        const auto v1 = registry.byName("v1");
        const auto model = registry.byName(name);
        QVERIFY2(model, "a file of the folder is missing from the built-in resources");
        QVERIFY(registry.refused().isEmpty());
        for (const ModelEntry& entry : model->entries) {
            // A masked register's value is read in place (a direction's excepted): a list names bits of the mask.
            for (const qint64 raw : entry.listValues.keys())
                QVERIFY2(!entry.mask || entry.quantity == PhysicalQuantitiesEnum::Direction || (raw & ~qint64(entry.mask)) == 0,
                         qPrintable(entry.key));
            if (entry.widget.isEmpty())
                continue;
            const ModelEntry* shown = nullptr;
            for (const ModelEntry& v1Entry : v1->entries)
                shown = v1Entry.widget == entry.widget ? &v1Entry : shown;
            const auto v1List = shown ? shown->listValues : decltype(entry.listValues)();
            QVERIFY2(entry.listValues == v1List, qPrintable(entry.key + " in " + entry.widget));
        }
    }
};

QTEST_GUILESS_MAIN(TestModelFamilies)
#include "tst_modelfamilies.moc"
