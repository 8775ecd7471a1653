// Model description files are read strictly: one fault anywhere refuses the whole file, with a
// message that names the file, the entry and why.
#include "core/model/describeddevice.h"
#include "core/model/modeldescription.h"
#include "core/model/modelregistry.h"
#include "modeldump.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QJsonObject entry(const QString& key, int address, int size, const QString& access)
{
    return QJsonObject{{"key", key},        {"caption", key.toUpper()}, {"address", address},
                       {"size", size},      {"access", access},         {"area", "volatile"}};
}

// A small but complete description; each row below breaks one thing in it.
QJsonObject validDescription()
{
    QJsonObject position = entry("presentPosition", 4, 4, "read");
    position["sign"] = "twosComplement";
    position["quantity"] = "angle";
    position["rawMin"] = -4096;
    position["rawMax"] = 4095;
    position["min"] = -360;
    position["max"] = 359.912;
    position["role"] = "presentPosition";
    QJsonObject velocity = entry("presentVelocity", 8, 2, "read");
    velocity["sign"] = "signMagnitude";
    velocity["signBit"] = 15;
    QJsonObject mode = entry("operatingMode", 1, 1, "readWrite");
    mode["area"] = "nonVolatile";
    mode["list"] = QJsonObject{{"1", "velocity"}, {"3", "position"}};
    mode["default"] = 3;
    QJsonObject low = entry("lowBits", 10, 1, "read");
    low["mask"] = 0x0F;
    QJsonObject high = entry("highBits", 10, 1, "read");
    high["mask"] = 0xF0;
    QJsonObject id = entry("id", 0, 1, "readWrite");
    id["role"] = "id";
    QJsonObject number = entry("modelNumber", 2, 2, "read");
    number["role"] = "modelNumber";
    return QJsonObject{{"format", "velkora-servo-model"},
                       {"version", 1},
                       {"name", "test-servo"},
                       {"modelNumbers", QJsonArray{900, 901}},
                       {"protocols", QJsonArray{2}},
                       {"byteOrder", "little"},
                       {"tableLength", 12},
                       {"factory", QJsonObject{{"id", 1}, {"baudRate", 57600}}},
                       {"baudCodes", QJsonObject{{"1", 57600}, {"3", 1000000}}},
                       {"entries", QJsonArray{id, mode, position, velocity, low, high, number}}};
}

QByteArray withChange(int entryIndex, const QString& member, const QJsonValue& value)
{
    QJsonObject description = validDescription();
    if (entryIndex < 0) {
        description[member] = value;
    } else {
        QJsonArray entries = description["entries"].toArray();
        QJsonObject changed = entries[entryIndex].toObject();
        changed[member] = value;
        entries[entryIndex] = changed;
        description["entries"] = entries;
    }
    return QJsonDocument(description).toJson();
}

} // namespace

class TestModelDescription : public QObject
{
    Q_OBJECT

private slots:
    void readsWhatTheFileSays()
    {
        QString problem;
        const auto model = readModelDescription(QJsonDocument(validDescription()).toJson(), "test.json", &problem);
        QVERIFY2(model, qPrintable(problem));
        QCOMPARE(model->name, QString("test-servo"));
        QCOMPARE(model->modelNumbers, (QList<int>{900, 901}));
        QCOMPARE(model->baudCodes.value(3), 1000000);
        QCOMPARE(model->factoryBaudRate, 57600);
        const ModelEntry* position = model->entryWithRole("presentPosition");
        QVERIFY(position);
        QCOMPARE(position->rawMin, -4096);
        QCOMPARE(position->quantity, PhysicalQuantitiesEnum::Angle);
        QCOMPARE(model->entry("presentVelocity")->rawMin, -32767); // sign and magnitude: no -32768
        QCOMPARE(model->entry("operatingMode")->listValues.value(3), QString("position"));
        QCOMPARE(*model->entry("operatingMode")->powerOnDefault, 3);
        QCOMPARE(model->entry("operatingMode")->area, ModelEntry::Area::NonVolatile);
        QCOMPARE(model->entry("lowBits")->rawMax, 0x0F);
        QVERIFY(!model->entry("lowBits")->hasRange);
    }

    // A scale and offset in a named unit is a linear range in the quantity's default unit.
    void scaleAndOffsetInAUnit()
    {
        QJsonObject description = validDescription();
        QJsonArray entries = description["entries"].toArray();
        QJsonObject position = entries[2].toObject();
        for (const char* member : {"min", "max"})
            position.remove(member);
        position["rawMin"] = 0;
        position["rawMax"] = 4095;
        position["scale"] = 0.088;
        position["offset"] = -180;
        position["unit"] = "deg";
        entries[2] = position;
        description["entries"] = entries;
        QString problem;
        const auto model = readModelDescription(QJsonDocument(description).toJson(), "scaled.json", &problem);
        QVERIFY2(model, qPrintable(problem));
        const ModelEntry* entry = model->entry("presentPosition");
        QVERIFY(entry->hasRange);
        QVERIFY(qAbs(entry->min - (-M_PI)) < 1e-12);
        QVERIFY(qAbs(entry->max - (4095 * 0.088 - 180) * M_PI / 180) < 1e-12);
    }

    // The descriptions build, fact by fact, what the code tables they replaced built; they may
    // describe more (registers the edit view has no field for), but never less or otherwise.
    void builtInModelsBuildWhatTheCodeBuilt_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("v1") << "v1";
        QTest::newRow("ax12") << "ax12";
    }
    void builtInModelsBuildWhatTheCodeBuilt()
    {
        QFETCH(QString, name);
        QFile golden(QStringLiteral(VSM_TEST_DATA "/golden-%1.txt").arg(name));
        QVERIFY(golden.open(QIODevice::ReadOnly));
        const QStringList expected = QString::fromUtf8(golden.readAll()).split('\n', Qt::SkipEmptyParts);
        const auto description = ModelRegistry().byName(name);
        QVERIFY(description);
        const QStringList built = dumpModel(DescribedDevice(description));
        for (const QString& line : expected)
            QVERIFY2(built.contains(line), qPrintable(line));
        QVERIFY(expected.size() > 20);
    }

    // Every shipped file loads, and the registry refuses none of them.
    void everyShippedDescriptionLoads_data()
    {
        QTest::addColumn<QString>("path");
        for (const QFileInfo& file : QDir(VSM_MODELS_DIR).entryInfoList({"*.json"}))
            QTest::newRow(qPrintable(file.fileName())) << file.filePath();
        QVERIFY(QTest::currentDataTag() || QDir(VSM_MODELS_DIR).entryList({"*.json"}).size() >= 2);
    }
    void everyShippedDescriptionLoads()
    {
        QFETCH(QString, path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString problem;
        const auto model = readModelDescription(file.readAll(), path, &problem);
        QVERIFY2(model, qPrintable(problem));
        QVERIFY(ModelRegistry().byName(model->name));
        QVERIFY(ModelRegistry().refused().isEmpty());
    }

    // User folders add and replace models; a faulty file is refused alone, naming why.
    void registryLoadsTheUserFolder_data()
    {
        QTest::addColumn<QStringList>("files"); // name=modelName:modelNumber, or name=broken
        QTest::addColumn<QStringList>("expectedNames");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QString>("overrides");
        const QStringList builtIn = ModelRegistry().names();
        QTest::newRow("a new model") << QStringList{"mine.json=mine:900"} << builtIn + QStringList{"mine"} << "" << "";
        QTest::newRow("a faulty file beside a good one")
            << QStringList{"a.json=broken", "b.json=mine:900"} << builtIn + QStringList{"mine"} << "a.json: not JSON" << "";
        QTest::newRow("replacing a built-in model")
            << QStringList{"v1.json=v1:1025"} << builtIn << "" << ":/models/v1.json";
        QTest::newRow("another model's number")
            << QStringList{"clone.json=clone:12"} << builtIn << "model number 12 is described already by :/models/ax12.json" << "";
        QTest::newRow("one name in two user files")
            << QStringList{"a.json=mine:900", "b.json=mine:901"} << builtIn + QStringList{"mine"}
            << "b.json: the model \"mine\" is described already by" << "";
    }
    void registryLoadsTheUserFolder()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, expectedNames);
        QFETCH(QString, refusal);
        QFETCH(QString, overrides);
        QTemporaryDir folder;
        for (const QString& file : files) {
            QFile out(folder.filePath(file.section('=', 0, 0)));
            QVERIFY(out.open(QIODevice::WriteOnly));
            const QString what = file.section('=', 1);
            QJsonObject description = validDescription();
            description["name"] = what.section(':', 0, 0);
            description["modelNumbers"] = QJsonArray{what.section(':', 1).toInt()};
            out.write(what == "broken" ? QByteArray("{") : QJsonDocument(description).toJson());
        }
        const ModelRegistry registry({folder.path()});
        QStringList names = registry.names();
        names.sort();
        expectedNames.sort();
        QCOMPARE(names, expectedNames);
        QCOMPARE(registry.refused().size(), refusal.isEmpty() ? 0 : 1);
        if (!refusal.isEmpty())
            QVERIFY2(registry.refused().first().problem.contains(refusal), qPrintable(registry.refused().first().problem));
        QString overridden;
        for (const ModelRegistry::Model& model : registry.models())
            overridden += model.overrides;
        QCOMPARE(overridden, overrides);
        if (!overrides.isEmpty())
            QCOMPARE(registry.byNumber(1025)->name, QString("v1"));
    }

    // Identification reads a few bytes from 0 and finds the model number where the models of the
    // servo's protocol keep it, in their byte order.
    void identifiesWhereTheProtocolsModelsKeepTheNumber_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("modelNumber");
        QTest::addColumn<QString>("model");
        QTest::addColumn<int>("firmware");
        QTest::newRow("little-endian at 3")
            << QByteArray::fromHex("03000009030100") << 3 << 777 << "sts3215" << 3;
        QTest::newRow("big-endian at 3")
            << QByteArray::fromHex("05000005040100") << 3 << 1284 << "scs0009" << 5;
        QTest::newRow("a number no model of the protocol knows")
            << QByteArray::fromHex("01000010000100") << 3 << 16 << "" << 1;
        QTest::newRow("Protocol 2 keeps it at 0")
            << QByteArray::fromHex("01040500000000") << 2 << 1025 << "v1" << 5;
        QTest::newRow("another protocol's model keeping it there")
            << QByteArray::fromHex("01040500000000") << 1 << 1025 << "v1" << 5;
        QTest::newRow("another protocol's model keeping it elsewhere")
            << QByteArray::fromHex("02000001040100") << 3 << 1025 << "" << 2;
        QTest::newRow("too short to hold it") << QByteArray::fromHex("0300") << 3 << -1 << "" << 3;
        QTest::newRow("a Feetech servo asked in Protocol 1")
            << QByteArray::fromHex("03000009030100") << 1 << 777 << "sts3215" << 3;
        QTest::newRow("no Protocol 1 model from a Feetech version")
            << QByteArray::fromHex("0C000000000100") << 3 << 0 << "" << 12;
    }
    void identifiesWhereTheProtocolsModelsKeepTheNumber()
    {
        QFETCH(QByteArray, table);
        QFETCH(int, protocol);
        QFETCH(int, modelNumber);
        QFETCH(QString, model);
        QFETCH(int, firmware);
        const ModelRegistry registry;
        const ModelRegistry::Identity identity = registry.identify(table, protocol);
        QCOMPARE(identity.modelNumber, modelNumber);
        QCOMPARE(identity.model ? identity.model->name : QString(), model);
        QCOMPARE(identity.firmware, firmware);
        // Found under Protocol 1's Feetech flavour only when that is where its model is.
        QCOMPARE(identity.protocol, model.startsWith("sts") ? 3 : protocol);
    }

    void refusesAFaultyFile_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected");
        QTest::newRow("not JSON") << QByteArray("{\"format\": ") << "bad.json: not JSON";
        QTest::newRow("unknown member") << withChange(-1, "colour", "red") << "bad.json: unknown member \"colour\"";
        QTest::newRow("wrong format") << withChange(-1, "format", "other") << "\"format\" must be";
        QTest::newRow("unknown entry member")
            << withChange(2, "units", "deg") << "entry 3: unknown member \"units\"";
        QTest::newRow("size 3") << withChange(2, "size", 3) << "entry \"presentPosition\": \"size\" must be 1, 2 or 4";
        QTest::newRow("size 8") << withChange(2, "size", 8) << "\"size\" must be a whole number from 1 to 4";
        QTest::newRow("range too wide for its size")
            << withChange(3, "rawMax", 70000) << "entry \"presentVelocity\": \"rawMax\" must be a whole number from -32767 to 32767";
        QTest::newRow("negative raw of an unsigned entry")
            << withChange(1, "rawMin", -1) << "entry \"operatingMode\": \"rawMin\" must be";
        QTest::newRow("past the table's end") << withChange(2, "address", 10) << "\"address\" must be a whole number from 0 to 8";
        QTest::newRow("overlap") << withChange(1, "address", 0) << "entry \"operatingMode\": its bytes overlap entry \"id\"";
        QTest::newRow("masks sharing bits") << withChange(5, "mask", 0x18) << "entry \"highBits\": its bytes overlap entry \"lowBits\"";
        QTest::newRow("duplicate key") << withChange(1, "key", "id") << "entry \"id\": the key is used twice";
        QTest::newRow("unknown quantity") << withChange(2, "quantity", "colour") << "unknown quantity \"colour\"";
        QTest::newRow("unknown access") << withChange(0, "access", "write") << "\"access\" is read or readWrite";
        QTest::newRow("unknown area") << withChange(0, "area", "eeprom") << "\"area\" is nonVolatile";
        QTest::newRow("sign bit on a plain entry") << withChange(0, "signBit", 7) << "\"signBit\" belongs to";
        QTest::newRow("default outside the range") << withChange(1, "default", 300) << "\"default\" must be";
        QTest::newRow("list value outside the register") << withChange(1, "list", QJsonObject{{"256", "x"}})
                                                         << "list value \"256\"";
        QTest::newRow("model number twice") << withChange(-1, "modelNumbers", QJsonArray{5, 5}) << "lists 5 twice";
        QTest::newRow("protocol 3") << withChange(-1, "protocols", QJsonArray{3})
                                    << "\"protocols\" are 1, 2 or \"feetech\"";
        QTest::newRow("another maker's flavour")
            << withChange(-1, "protocols", QJsonArray{"other"}) << "\"protocols\" are 1, 2";
        QTest::newRow("a protocol twice")
            << withChange(-1, "protocols", QJsonArray{"feetech", "feetech"}) << "lists one twice";
        QTest::newRow("no entries") << withChange(-1, "entries", QJsonArray{}) << "\"entries\" must list";
        QTest::newRow("byte order") << withChange(-1, "byteOrder", "middle") << "\"byteOrder\" is little or big";
        QTest::newRow("unknown role") << withChange(4, "role", "colour") << "entry \"lowBits\": unknown role \"colour\"";
        QTest::newRow("a role twice") << withChange(3, "role", "presentPosition") << "has the role \"presentPosition\" already";
        QTest::newRow("a field the form lacks") << withChange(0, "widget", "noSuchSpinBox") << "the edit view has no field \"noSuchSpinBox\"";
        QTest::newRow("a field of another quantity")
            << withChange(2, "widget", "actualVoltageLineEdit") << "the field \"actualVoltageLineEdit\" shows voltage, not angle";
        QTest::newRow("range and scale") << withChange(2, "scale", 0.1) << "either \"min\" and \"max\" or \"scale\"";
        QTest::newRow("unknown unit") << withChange(3, "unit", "furlong") << "\"unit\" belongs to \"scale\"";
        QTest::newRow("a lock that is no entry")
            << withChange(-1, "nonVolatile", QJsonObject{{"lock", QJsonObject{{"key", "nope"}, {"open", 0}, {"close", 1}}}})
            << "the lock \"nope\" is no writable entry";
        QTest::newRow("motor rule without a motor")
            << withChange(-1, "nonVolatile", QJsonObject{{"motorOff", true}}) << "needs an entry with the role \"motorEnable\"";
        QTest::newRow("the id under another key") << withChange(0, "key", "servoId") << "the entry with the role \"id\" has the key \"id\"";
        QTest::newRow("no short name") << withChange(-1, "name", "My Servo") << "\"name\" is a short name";
        QTest::newRow("a table past 256 bytes") << withChange(-1, "tableLength", 300) << "\"tableLength\" must be a whole number from 1 to 256";
        QTest::newRow("series and variant of no model number")
            << withChange(2, "shownAs", "seriesAndVariant")
            << "\"shownAs\" is \"seriesAndVariant\", for a model number";
        QTest::newRow("unknown reset option") << withChange(-1, "resetOptions", QJsonArray{"allButLed"}) << "\"allButLed\" is no reset option";
        QTest::newRow("no reset option") << withChange(-1, "resetOptions", QJsonArray{}) << "names at least one option";
        QTest::newRow("unknown instruction") << withChange(-1, "instructions", QJsonArray{"teleport"}) << "unknown instruction \"teleport\"";
        QTest::newRow("a register row twice")
            << withChange(-1, "registerView", QJsonArray{QJsonObject{{"title", "t"}, {"rows", QJsonArray{QJsonObject{{"address", 1}, {"text", "a"}}, QJsonObject{{"address", 1}, {"text", "b"}}}}}})
            << "address 1 has a row already";
    }
    void refusesAFaultyFile()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, expected);
        QString problem;
        QVERIFY(!readModelDescription(json, "bad.json", &problem));
        QVERIFY2(problem.startsWith("bad.json: ") && problem.contains(expected), qPrintable(problem));
    }
};

QTEST_GUILESS_MAIN(TestModelDescription)
#include "tst_modeldescription.moc"
