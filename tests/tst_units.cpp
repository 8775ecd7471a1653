#include "core/units/unitshelper.h"

#include <QtTest>

#include <cmath>
#include <memory>

Q_DECLARE_METATYPE(PhysicalQuantitiesEnum)

namespace {
using Q = PhysicalQuantitiesEnum;

// A choice in which every quantity uses the given unit.
std::shared_ptr<PhysicalQuantities> allUnits(int unit)
{
    auto units = std::make_shared<PhysicalQuantities>();
    units->angularVelocity = unit;
    units->angle = unit;
    units->angularAcceleration = unit;
    units->torque = unit;
    units->voltage = unit;
    units->current = unit;
    units->temperature = unit;
    units->returnDelay = unit;
    units->servoData = unit;
    return units;
}

bool closeTo(double actual, double expected)
{
    return std::abs(actual - expected) <= 1e-9 * std::max(1.0, std::abs(expected));
}

// How a spin box would show a value.
QString shown(const UnitsHelper& helper, double deviceValue, Q quantity)
{
    return QString::number(helper.convertToTargetUnit(deviceValue, quantity), 'f',
                           static_cast<int>(helper.getTargetUnitDecimalPlaces(quantity)));
}
} // namespace

class TestUnits : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void convertsToSelectedUnit_data();
    void convertsToSelectedUnit();
    void presentation_data();
    void presentation();
    void displayedValues();
    void quantitiesWithoutUnitChoiceIgnoreIt_data();
    void quantitiesWithoutUnitChoiceIgnoreIt();
    void valuesThatAreNoUnitReadAsDefault();
};

void TestUnits::roundTrip_data()
{
    QTest::addColumn<Q>("quantity");
    QTest::addColumn<int>("unit");
    for (int quantity = 0; quantity <= static_cast<int>(Q::CaptionOnly); ++quantity) {
        for (int unit = 0; unit < 2; ++unit) {
            QTest::addRow("quantity %d unit %d", quantity, unit) << static_cast<Q>(quantity) << unit;
        }
    }
}

void TestUnits::roundTrip()
{
    QFETCH(Q, quantity);
    QFETCH(int, unit);
    const UnitsHelper helper(allUnits(unit));
    for (double value : {-4095.5, -1.0, 0.0, 0.0015339807878856412, 1.0, 3.141592653589793, 2000.0, 1e6}) {
        const double back =
            helper.convertToDefaultUnit(helper.convertToTargetUnit(value, quantity), quantity);
        QVERIFY2(closeTo(back, value), qPrintable(QStringLiteral("%1 came back as %2").arg(value).arg(back)));
    }
}

void TestUnits::convertsToSelectedUnit_data()
{
    QTest::addColumn<Q>("quantity");
    QTest::addColumn<int>("unit");
    QTest::addColumn<double>("deviceValue");
    QTest::addColumn<double>("shownValue");

    QTest::newRow("rad/s") << Q::AngularVelocity << 0 << 2.5 << 2.5;
    QTest::newRow("rpm") << Q::AngularVelocity << 1 << 6.283185307179586 << 60.0;
    QTest::newRow("radians") << Q::Angle << 0 << 1.25 << 1.25;
    QTest::newRow("degrees") << Q::Angle << 1 << 3.141592653589793 << 180.0;
    QTest::newRow("negative degrees") << Q::Angle << 1 << -1.5707963267948966 << -90.0;
    QTest::newRow("rad/s2") << Q::AngularAcceleration << 0 << 7.5 << 7.5;
    QTest::newRow("Nm") << Q::Torque << 0 << 1.0 << 1.0;
    QTest::newRow("kg-cm") << Q::Torque << 1 << 1.0 << 10.19716;
    QTest::newRow("volts") << Q::Voltage << 0 << 12.5 << 12.5;
    QTest::newRow("amperes") << Q::Current << 0 << 2000.0 << 2.0;
    QTest::newRow("milliamperes") << Q::Current << 1 << 1500.0 << 1500.0;
    QTest::newRow("celsius") << Q::Temperature << 0 << 100.0 << 100.0;
    QTest::newRow("fahrenheit") << Q::Temperature << 1 << 100.0 << 212.0;
    QTest::newRow("fahrenheit freezing") << Q::Temperature << 1 << 0.0 << 32.0;
    QTest::newRow("fahrenheit equal point") << Q::Temperature << 1 << -40.0 << -40.0;
    QTest::newRow("microseconds") << Q::ElapsedTime << 0 << 250.0 << 250.0;
}

void TestUnits::convertsToSelectedUnit()
{
    QFETCH(Q, quantity);
    QFETCH(int, unit);
    QFETCH(double, deviceValue);
    QFETCH(double, shownValue);
    const UnitsHelper helper(allUnits(unit));
    QCOMPARE(helper.getSelectedUnit(quantity), unit);
    QVERIFY(closeTo(helper.convertToTargetUnit(deviceValue, quantity), shownValue));
    QVERIFY(closeTo(helper.convertToDefaultUnit(shownValue, quantity), deviceValue));
}

void TestUnits::presentation_data()
{
    QTest::addColumn<Q>("quantity");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("unitString");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<double>("step");

    const double countOfTurn = 6.283185307179586 / 4096;
    QTest::newRow("rad/s") << Q::AngularVelocity << 0 << "rad/s" << 2 << 0.1;
    QTest::newRow("rpm") << Q::AngularVelocity << 1 << "rpm" << 1 << 1.0;
    QTest::newRow("radians") << Q::Angle << 0 << "radians" << 3 << countOfTurn;
    QTest::newRow("degrees move") << Q::Angle << 1 << "degrees" << 2 << 0.1;
    QTest::newRow("rad/s squared") << Q::AngularAcceleration << 0 << QStringLiteral("rad/s\u00b2") << 2
                                   << 0.01;
    QTest::newRow("kg-cm") << Q::Torque << 1 << "kg-cm" << 2 << 0.1;
    QTest::newRow("volts") << Q::Voltage << 0 << "V" << 1 << 0.5;
    QTest::newRow("amperes") << Q::Current << 0 << "A" << 3 << 0.1;
    QTest::newRow("milliamperes") << Q::Current << 1 << "mA" << 0 << 1.0;
    QTest::newRow("celsius") << Q::Temperature << 0 << QStringLiteral("\u00b0C") << 0 << 1.0;
    QTest::newRow("fahrenheit") << Q::Temperature << 1 << QStringLiteral("\u00b0F") << 1 << 1.0;
    QTest::newRow("microseconds") << Q::ElapsedTime << 0 << QStringLiteral("\u03bcs") << 0 << 1.0;
    QTest::newRow("servo id") << Q::ServoId << 0 << "" << 0 << 1.0;
    QTest::newRow("velocity P gain") << Q::VelocityProportionalTerm << 0 << "" << 2 << 0.01;
    QTest::newRow("velocity profile") << Q::AngularVelocityProfile << 0 << "rad/s" << 1 << 0.1;
    QTest::newRow("acceleration profile")
        << Q::AccelerationProfile << 0 << QStringLiteral("rad/s\u00b2") << 1 << 0.1;
    QTest::newRow("model number has no row") << Q::ModelNumber << 0 << "" << 0 << 1.0;
    QTest::newRow("caption only has no row") << Q::CaptionOnly << 1 << "" << 0 << 1.0;
}

void TestUnits::presentation()
{
    QFETCH(Q, quantity);
    QFETCH(int, unit);
    QFETCH(QString, unitString);
    QFETCH(int, decimals);
    QFETCH(double, step);
    const UnitsHelper helper(allUnits(unit));
    QCOMPARE(helper.getUnitString(quantity), unitString);
    QCOMPARE(static_cast<int>(helper.getTargetUnitDecimalPlaces(quantity)), decimals);
    QCOMPARE(helper.getTargetUnitIncrement(quantity), step);
}

void TestUnits::displayedValues()
{
    const UnitsHelper defaults(allUnits(0));
    QCOMPARE(shown(defaults, 0, Q::Current), QStringLiteral("0.000"));
    QCOMPARE(shown(defaults, 2000, Q::Current), QStringLiteral("2.000"));
    QCOMPARE(defaults.getUnitString(Q::Angle), QStringLiteral("radians"));

    auto milli = allUnits(0);
    milli->current = 1;
    const UnitsHelper milliHelper(milli);
    QCOMPARE(shown(milliHelper, 1500, Q::Current), QStringLiteral("1500"));
    QCOMPARE(milliHelper.convertToDefaultUnit(1500, Q::Current), 1500.0);

    auto fahrenheit = allUnits(0);
    fahrenheit->temperature = 1;
    const UnitsHelper fahrenheitHelper(fahrenheit);
    QCOMPARE(shown(fahrenheitHelper, 100, Q::Temperature), QStringLiteral("212.0"));
    QCOMPARE(fahrenheitHelper.convertToDefaultUnit(32, Q::Temperature), 0.0);

    auto kgcm = allUnits(0);
    kgcm->torque = 1;
    const UnitsHelper kgcmHelper(kgcm);
    QCOMPARE(shown(kgcmHelper, 1, Q::Torque), QStringLiteral("10.20"));
    QCOMPARE(shown(kgcmHelper, 1, Q::Current), QStringLiteral("0.001"));
}

void TestUnits::quantitiesWithoutUnitChoiceIgnoreIt_data()
{
    QTest::addColumn<Q>("quantity");
    for (int quantity = static_cast<int>(Q::ServoId); quantity <= static_cast<int>(Q::CaptionOnly);
         ++quantity) {
        QTest::addRow("quantity %d", quantity) << static_cast<Q>(quantity);
    }
}

void TestUnits::quantitiesWithoutUnitChoiceIgnoreIt()
{
    QFETCH(Q, quantity);
    const UnitsHelper helper(allUnits(1));
    QCOMPARE(helper.getSelectedUnit(quantity), 0);
    QCOMPARE(helper.convertToTargetUnit(123.456, quantity), 123.456);
    QCOMPARE(helper.convertToDefaultUnit(-7.25, quantity), -7.25);
}

void TestUnits::valuesThatAreNoUnitReadAsDefault()
{
    // Values from a hand-edited settings file: the presentation must stay inside the table
    // and agree with the conversion.
    auto units = allUnits(0);
    units->angle = -1;
    units->current = 7;
    units->temperature = 1000000;
    units->voltage = 1;     // volts are the only voltage unit
    units->returnDelay = 1; // so are microseconds for the return delay
    const UnitsHelper helper(units);

    QCOMPARE(helper.getSelectedUnit(Q::Angle), 0);
    QCOMPARE(helper.getUnitString(Q::Angle), QStringLiteral("radians"));
    QCOMPARE(helper.convertToTargetUnit(1.0, Q::Angle), 1.0);

    QCOMPARE(helper.getSelectedUnit(Q::Current), 0);
    QCOMPARE(helper.getUnitString(Q::Current), QStringLiteral("A"));
    QCOMPARE(helper.convertToTargetUnit(2000.0, Q::Current), 2.0);

    QCOMPARE(helper.getSelectedUnit(Q::Temperature), 0);
    QCOMPARE(helper.getUnitString(Q::Temperature), QStringLiteral("\u00b0C"));

    QCOMPARE(helper.getSelectedUnit(Q::Voltage), 0);
    QCOMPARE(helper.getUnitString(Q::Voltage), QStringLiteral("V"));
    QCOMPARE(helper.getTargetUnitIncrement(Q::Voltage), 0.5);

    QCOMPARE(helper.getSelectedUnit(Q::ElapsedTime), 0);
    QCOMPARE(helper.getUnitString(Q::ElapsedTime), QStringLiteral("\u03bcs"));
}

QTEST_APPLESS_MAIN(TestUnits)
#include "tst_units.moc"
