// The command line's words without a port: options, id lists, rates and values as a shell user
// types them, and values as the command line prints them.
#include "cli/arguments.h"
#include "cli/values.h"

#include "core/model/modelregistry.h"
#include "core/settings/settingshelper.h"
#include "core/transport/serialhelper.h"
#include "core/units/valueinput.h"
#include "testmodels.h"

#include <QRandomGenerator>
#include <QtTest>

#include <functional>

namespace {

QString joined(const QList<int>& numbers)
{
    QStringList texts;
    for (int number : numbers)
        texts << QString::number(number);
    return texts.join(QLatin1Char(','));
}

const FieldCatalogue& catalogueOf(const QString& model)
{
    static const FieldCatalogue v1{VelkoraV1()};
    static const FieldCatalogue ax12{DynamixelAx12()};
    return model == QLatin1String("ax12") ? ax12 : v1;
}

// What `parse` gives as text, or the usage error's message prefixed with "error: ".
QString outcomeOf(const std::function<QString()>& parse)
{
    try {
        return parse();
    } catch (const cli::UsageError& usage) {
        return QStringLiteral("error: ") + usage.message;
    }
}

} // namespace

class TestCommandWords : public QObject
{
    Q_OBJECT

private slots:
    void lists_data();
    void lists();
    void options_data();
    void options();
    void valuesTyped_data();
    void valuesTyped();
    void valuesShown_data();
    void valuesShown();
    void printedValuesAreTakenBack_data();
    void printedValuesAreTakenBack();
};

void TestCommandWords::lists_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // the list comma-joined, or the start of "error: ..."
    auto row = [](const char* name, const char* kind, const QString& text, const QString& expected) {
        QTest::newRow(name) << QString::fromLatin1(kind) << text << expected;
    };

    row("ids range", "ids", "1-6", "1,2,3,4,5,6");
    row("ids listed", "ids", "1,3,5", "1,3,5");
    row("ids mixed, ascending", "ids", "7,1-3", "1,2,3,7");
    row("ids each once", "ids", "3,2-4,3", "2,3,4");
    row("ids with spaces", "ids", " 2 - 3 , 5", "2,3,5");
    row("ids at the ends", "ids", "0,252", "0,252");
    row("ids backwards", "ids", "3-1", "error: --ids wants ids such as 1-6 or 1,3,5, within 0-252");
    row("ids past 252", "ids", "250-253", "error: --ids wants ids");
    row("ids negative", "ids", "-1", "error: --ids wants ids");
    row("ids two dashes", "ids", "1-2-3", "error: --ids wants ids");
    row("ids open range", "ids", "4-", "error: --ids wants ids");
    row("ids empty part", "ids", "1,,2", "error: --ids wants ids");
    row("ids empty", "ids", "", "error: --ids wants ids");
    row("ids word", "ids", "all", "error: --ids wants ids");
    row("range", "range", "0-3", "0,3");
    row("range of one", "range", "5", "5,5");
    row("range with a gap", "range", "1,3", "error: --ids wants a range such as 1-20, within 0-252");
    row("range joined", "range", "1-2,3", "1,3");
    row("protocol 1", "protocols", "1", "1");
    row("protocols in the order given", "protocols", "2,1", "2,1");
    row("protocols each once", "protocols", "1, 1", "1");
    row("protocol 3", "protocols", "3", "error: --protocols wants 1, 2, feetech or several of them");
    row("protocols empty", "protocols", "", "error: --protocols wants");
    row("bauds ascending, each once", "bauds", "1000000,57600,1000000", "57600,1000000");
    row("bauds all", "bauds", "all", joined(offeredBaudRates()));
    row("baud not offered", "bauds", "1234", "error: --bauds wants rates from 9600, 19200");
    row("bauds empty part", "bauds", "57600,", "error: --bauds wants rates");
}

void TestCommandWords::lists()
{
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const QString outcome = outcomeOf([&] {
        if (kind == QLatin1String("ids"))
            return joined(cli::idsOf(text));
        if (kind == QLatin1String("range")) {
            const auto [low, high] = cli::idRangeOf(text);
            return joined({low, high});
        }
        if (kind == QLatin1String("protocols")) {
            QList<int> numbers;
            for (BusProtocol protocol : cli::protocolsOf(text))
                numbers << static_cast<int>(protocol);
            return joined(numbers);
        }
        return joined(cli::baudRatesOf(text));
    });
    if (expected.startsWith(QLatin1String("error: ")))
        QVERIFY2(outcome.startsWith(expected), qPrintable(outcome));
    else
        QCOMPARE(outcome, expected);
}

void TestCommandWords::options_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("kind"); // value (null shown as <null>), number (1 to 100, 7), rate (0), flag
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QStringList>("left"); // the words left for rest()

    auto row = [](const char* name, const QStringList& words, const char* kind, const QString& expected,
                  const QStringList& left) {
        QTest::newRow(name) << words << QString::fromLatin1(kind) << expected << left;
    };
    const QString name = QStringLiteral("--opt");
    row("value apart", QStringList{"a", name, "x", "b"}, "value", "x", QStringList{"a", "b"});
    row("value joined", QStringList{name + "=x=y", "b"}, "value", "x=y", QStringList{"b"});
    // An empty value (an unset shell variable) is given, not left out.
    row("value empty", QStringList{name + "="}, "value", "", QStringList{});
    row("value empty apart", QStringList{name, ""}, "value", "", QStringList{});
    row("value left out", QStringList{"a"}, "value", "<null>", QStringList{"a"});
    row("value missing", QStringList{"a", name}, "value", "error: --opt wants a value", QStringList{});
    row("a longer option is another", QStringList{"--optional=3"}, "value", "<null>",
        QStringList{"--optional=3"});
    row("number", QStringList{name, "100"}, "number", "100", QStringList{});
    row("number left out", QStringList{}, "number", "7", QStringList{});
    row("number too low", QStringList{name, "0"}, "number", "error: --opt wants a number from 1 to 100",
        QStringList{});
    row("number not one", QStringList{name + "=1.5"}, "number", "error: --opt wants a number", QStringList{});
    row("rate", QStringList{name, "57600"}, "rate", "57600", QStringList{});
    row("rate left out", QStringList{}, "rate", "0", QStringList{});
    row("rate not offered", QStringList{name, "57601"}, "rate", "error: --opt wants one of 9600",
        QStringList{});
    row("flag", QStringList{name, "a", name}, "flag", "true", QStringList{"a"});
    row("flag absent", QStringList{"a"}, "flag", "false", QStringList{"a"});
}

void TestCommandWords::options()
{
    QFETCH(QStringList, words);
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    QFETCH(QStringList, left);
    cli::Arguments arguments(words);
    const QString name = QStringLiteral("--opt");
    const QString outcome = outcomeOf([&] {
        if (kind == QLatin1String("number"))
            return QString::number(arguments.number(name, 7, 1, 100));
        if (kind == QLatin1String("rate"))
            return QString::number(arguments.rate(name, 0));
        if (kind == QLatin1String("flag"))
            return QString::fromLatin1(arguments.flag(name) ? "true" : "false");
        const QString value = arguments.value(name);
        return value.isNull() ? QStringLiteral("<null>") : value;
    });
    if (expected.startsWith(QLatin1String("error: "))) {
        QVERIFY2(outcome.startsWith(expected), qPrintable(outcome));
        return;
    }
    QCOMPARE(outcome, expected);
    // What is left is positional, unless it looks like an option nobody took.
    const QString rest = outcomeOf([&] { return arguments.rest(0, -1, QStringLiteral("wrong")).join(' '); });
    if (left.value(0).startsWith(QLatin1String("--")))
        QCOMPARE(rest, QStringLiteral("error: unknown option %1").arg(left.first()));
    else
        QCOMPARE(rest, left.join(' '));
}

void TestCommandWords::valuesTyped_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("asRaw");
    QTest::addColumn<QString>("expected"); // the raw value, or the start of "error: ..."
    auto row = [](const char* name, const char* model, const char* key, const QString& text, bool asRaw,
                  const QString& expected) {
        QTest::newRow(name) << QString::fromLatin1(model) << QString::fromLatin1(key) << text << asRaw
                            << expected;
    };

    row("in the default unit", "v1", "temperatureLimit", "70", false, "70");
    row("in another unit", "v1", "temperatureLimit", "158degF", false, "70");
    row("unit after a space", "v1", "actualVoltage", "12.5 V", false, "125");
    row("a quarter turn", "v1", "targetPosition", "90deg", false, "1024");
    row("negative", "v1", "targetPosition", "-3.141592654", false, "-2048");
    // Half a raw step of slack takes back what get printed, rounded.
    row("within half a step", "v1", "temperatureLimit", "255.4", false, "255");
    row("past half a step", "v1", "temperatureLimit", "255.6", false,
        QStringLiteral("error: temperatureLimit=255.6 is outside 0 to 255 \u00b0C"));
    row("wrong unit", "v1", "temperatureLimit", "70V", false,
        "error: temperatureLimit=70V: \"V\" is no unit of this value");
    row("no number", "v1", "temperatureLimit", "hot", false,
        "error: temperatureLimit=hot: \"hot\" is not a number");
    // Raw: decimal even with a leading zero, hexadecimal with 0x.
    row("raw leading zero", "v1", "temperatureLimit", "070", true, "70");
    row("raw hexadecimal", "v1", "temperatureLimit", "0x47", true, "71");
    row("raw hexadecimal capital", "v1", "temperatureLimit", "0X4a", true, "74");
    row("raw outside", "v1", "temperatureLimit", "256", true,
        "error: temperatureLimit=256 is outside what temperatureLimit can hold");
    row("raw no number", "v1", "temperatureLimit", "0x", true,
        "error: temperatureLimit=0x: a whole number is wanted");
    row("raw unit", "v1", "temperatureLimit", "70degC", true, "error: temperatureLimit=70degC");
    row("list by number", "v1", "operatingMode", "2", false, "2");
    row("list by name", "v1", "operatingMode", "Joint", false, "2");
    row("list by name, any case", "v1", "operatingMode", " multi-TURN ", false, "3");
    row("list misnamed", "v1", "operatingMode", "Jiont", false,
        "error: operatingMode=Jiont: a whole number or one of Torque, Wheel, Joint, "
        "Multi-turn, Stepper is wanted");
    row("list by name, raw", "v1", "operatingMode", "Joint", true,
        "error: operatingMode=Joint: a whole number is wanted");
    row("baud rate", "v1", "baudRate", "1000000", false, "1");
    row("baud rate slow", "v1", "baudRate", "57600", false, "34");
    row("baud rate unknown", "v1", "baudRate", "1234", false,
        "error: baudRate=1234 is no baud rate the servo knows");
    // 0 is what an unknown code shows as: it must not pick such a code for the servo.
    row("baud rate 0", "v1", "baudRate", "0", false, "error: baudRate=0 is no baud rate the servo knows");
    row("baud code, raw", "v1", "baudRate", "3", true, "3");
    row("id outside", "v1", "id", "253", false, "error: id=253 is outside 0 to 252");
    row("ax12 temperature", "ax12", "temperatureLimit", "80", false, "80");
}

void TestCommandWords::valuesTyped()
{
    QFETCH(QString, model);
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(bool, asRaw);
    QFETCH(QString, expected);
    const QString outcome = outcomeOf([&] {
        const FieldRecord& field = cli::fieldOf(catalogueOf(model), key);
        return QString::number(cli::rawOfText(field, text, asRaw));
    });
    if (expected.startsWith(QLatin1String("error: ")))
        QVERIFY2(outcome.startsWith(expected), qPrintable(outcome));
    else
        QCOMPARE(outcome, expected);
}

void TestCommandWords::valuesShown_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("raw");
    QTest::addColumn<bool>("asRaw");
    QTest::addColumn<QString>("expected");
    auto row = [](const char* name, const char* model, const char* key, int raw, bool asRaw,
                  const QString& expected) {
        QTest::newRow(name) << QString::fromLatin1(model) << QString::fromLatin1(key) << raw << asRaw
                            << expected;
    };

    row("voltage", "v1", "actualVoltage", 120, false, "12 V");
    row("voltage raw", "v1", "actualVoltage", 120, true, "120");
    row("ten digits", "v1", "targetPosition", 1024, false, "1.570796327 radians");
    row("temperature", "v1", "temperatureLimit", 70, false, QStringLiteral("70 \u00b0C"));
    row("list value", "v1", "operatingMode", 2, false, "2 (Joint)");
    row("list value unknown", "v1", "operatingMode", 9, false, "9 (Unknown (9))");
    row("baud code as its rate", "v1", "baudRate", 1, false, "1000000");
    row("unknown baud code", "v1", "baudRate", 2, false, "0");
    row("flag", "v1", "enableMotor", 1, false, "1");
    row("ax12 per cent", "ax12", "maxTorque", 1023, false, "100 %");
}

void TestCommandWords::valuesShown()
{
    QFETCH(QString, model);
    QFETCH(QString, key);
    QFETCH(int, raw);
    QFETCH(bool, asRaw);
    QFETCH(QString, expected);
    QCOMPARE(cli::valueText(cli::fieldOf(catalogueOf(model), key), raw, asRaw), expected);
}

void TestCommandWords::printedValuesAreTakenBack_data()
{
    QTest::addColumn<QString>("model");
    QTest::newRow("v1") << "v1";
    QTest::newRow("ax12") << "ax12";
}

// Whatever get prints for a value set can hold, set takes back as that same value: the number
// for every writable field, and the number with its unit where set knows the unit's name.
void TestCommandWords::printedValuesAreTakenBack()
{
    QFETCH(QString, model);
    QRandomGenerator random(20240611);
    int checked = 0;
    int withUnit = 0;
    for (const FieldRecord& field : catalogueOf(model).fields()) {
        if (!field.writable)
            continue;
        const int low = field.hasRange ? std::min(field.rawMin, field.rawMax) : 0;
        const int high = field.hasRange ? std::max(field.rawMin, field.rawMax) : 255;
        for (int i = 0; i < 40; ++i) {
            int raw = i < 2 ? (i == 0 ? low : high) : low + int(random.bounded(quint32(high - low) + 1));
            if (field.key == QLatin1String("baudRate"))
                raw = field.baudRates.keys().at(i % field.baudRates.size());
            else if (!field.holds(raw))
                continue;
            const QString shown = cli::valueText(field, raw, false);
            const QString number = shown.section(QLatin1Char(' '), 0, 0);
            QVERIFY2(cli::rawOfText(field, number, false) == raw,
                     qPrintable(field.key + QLatin1Char('=') + shown));
            const QString unit = cli::unitOf(field);
            if (!unit.isEmpty() && readValueInUnit(QStringLiteral("1 ") + unit, field.quantity).ok) {
                QVERIFY2(cli::rawOfText(field, shown, false) == raw,
                         qPrintable(field.key + QLatin1Char('=') + shown));
                ++withUnit;
            }
            ++checked;
        }
    }
    QVERIFY(checked > 500);
    QVERIFY(withUnit > 300);
}

QTEST_GUILESS_MAIN(TestCommandWords)
#include "tst_commandwords.moc"
