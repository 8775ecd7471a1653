#include "core/model/fieldmetadefs.h"

#include <QtTest>

#include <stdexcept>

namespace {
struct Entry
{
    const char* name;
    int quantity;
};

// Every field and caption of the edit view with the quantity it shows; the names must match
// the form letter for letter.
const Entry expectedFields[] = {
    {"positionLabel", 1},
    {"angularVelocityLabel", 0},
    {"torqueLabel", 3},
    {"voltageLabel", 4},
    {"quadratureCurrentLabel", 5},
    {"temperatureLabel", 6},
    {"inputModeLabel", 20},
    {"clockwiseAngleLimitLabel", 1},
    {"counterClockwiseAngleLimitLabel", 1},
    {"upperTemperatureLimitLabel", 6},
    {"minVoltageLimitLabel", 4},
    {"maxVoltageLimitLabel", 4},
    {"maxquadratureCurrentLimitLabel", 5},
    {"goalPositionLabel", 1},
    {"quadratureCurrentLimitLabel", 3}, // its field converts as a torque
    {"angularVelocityLimitLabel", 0},
    {"accelerationLimitLabel", 2},
    {"hornPositionOffsetLabel", 1},
    {"movingThresholdLabel", 0},
    {"defAngularVelocityProfileLabel", 15},
    {"defAccelerationProfileLabel", 16},
    {"idLabel", 23},
    {"ackResponseTimeLabel", 7},
    {"actualPositionLineEdit", 1},
    {"actualAngularVelocityLineEdit", 0},
    {"actualTemperatureLineEdit", 6},
    {"actualVoltageLineEdit", 4},
    {"actualQuadratureCurrentLineEdit", 5},
    {"actualTorqueLineEdit", 3},
    {"modelNumberLineEdit", 17},
    {"firmwareVersionLineEdit", 22},
    {"idSpinBox", 8},
    {"ackResponseTimeSpinBox", 7},
    {"baudRateComboBox", 18},
    {"clockwiseLimitDoubleSpinBox", 1},
    {"counterClockwiseLimitDoubleSpinBox", 1},
    {"operatingModeComboBox", 19},
    {"inputModeComboBox", 20},
    {"positionProportionalTermDoubleSpinBox", 9},
    {"velocityFeedforwardTermDoubleSpinBox", 10},
    {"currentFeedforwardTermDoubleSpinBox", 11},
    {"deadZoneDoubleSpinBox", 1},
    {"velocityProportionalTermDoubleSpinBox", 13},
    {"velocityIntegralTermDoubleSpinBox", 14},
    {"angularVelocityProfileDoubleSpinBox", 15},
    {"accelerationProfileDoubleSpinBox", 16},
    {"targetAngularVelocityLabel", 0},
    {"targetTorqueLabel", 3},
    {"targetPositionLabel", 1},
    {"angularVelocityProfileLabel", 15},
    {"accelerationProfileLabel", 16},
    {"targetAngularVelocityDirectionComboBox", 21},
    {"targetAngularVelocityDoubleSpinBox", 0},
    {"targetPositionDoubleSpinBox", 1},
    {"targetTorqueDoubleSpinBox", 3},
    {"targetTorqueDirectionComboBox", 21},
    {"temperatureLimitDoubleSpinBox", 6},
    {"minVoltageLimitDoubleSpinBox", 4},
    {"maxVoltageLimitDoubleSpinBox", 4},
    {"quadratureCurrentLimitDoubleSpinBox", 3},
    {"angularVelocityLimitDoubleSpinBox", 0},
    {"accelerationLimitDoubleSpinBox", 2},
    {"hornPositionOffsetDoubleSpinBox", 1},
    {"movingThresholdDoubleSpinBox", 0},
    {"pendingShadowInstructionCheckBox", 22},
    {"enableMotorCheckBox", 22},
    {"isMovingCheckBox", 22},
    {"inputVoltageStatusCheckBox", 22},
    {"overheatingStatusCheckBox", 22},
    {"encoderStatusCheckBox", 22},
    {"hallStatusCheckBox", 22},
    {"angleLimitStatusCheckBox", 22},
    {"defPositionProportionalTermDoubleSpinBox", 9},
    {"defVelocityFeedforwardTermDoubleSpinBox", 10},
    {"defVelocityProportionalTermDoubleSpinBox", 13},
    {"defVelocityIntegralTermDoubleSpinBox", 14},
    {"defCurrentFeedforwardTermDoubleSpinBox", 11},
    {"defAngularVelocityProfileDoubleSpinBox", 15},
    {"defAccelerationProfileDoubleSpinBox", 16},
};
} // namespace

class TestFieldStaticMetadata : public QObject
{
    Q_OBJECT

private slots:
    void everyFieldHasItsQuantity_data();
    void everyFieldHasItsQuantity();
    void tableHoldsExactlyTheListedFields();
    void unknownNamesFail_data();
    void unknownNamesFail();
    void lookupsAreIndependentCopies();
};

void TestFieldStaticMetadata::everyFieldHasItsQuantity_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<int>("quantity");
    for (const Entry& entry : expectedFields) {
        QTest::newRow(entry.name) << QString::fromLatin1(entry.name) << entry.quantity;
    }
}

void TestFieldStaticMetadata::everyFieldHasItsQuantity()
{
    QFETCH(QString, objectName);
    QFETCH(int, quantity);
    const auto metadata = FieldStaticMetadataHelper().getFieldStaticMetadata(objectName);
    QVERIFY(metadata);
    QCOMPARE(static_cast<int>(metadata->physicalQuantity), quantity);
}

void TestFieldStaticMetadata::tableHoldsExactlyTheListedFields()
{
    QCOMPARE(int(std::size(expectedFields)), 79);
    QCOMPARE(FieldStaticMetadataHelper().size(), std::size(expectedFields));
}

void TestFieldStaticMetadata::unknownNamesFail_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::newRow("capitalised") << "PositionLabel";
    QTest::newRow("lower case") << "positionlabel";
    QTest::newRow("regular spelling of the odd caption") << "maxQuadratureCurrentLimitLabel";
    QTest::newRow("trailing space") << "idSpinBox ";
    QTest::newRow("empty") << "";
}

void TestFieldStaticMetadata::unknownNamesFail()
{
    QFETCH(QString, objectName);
    const FieldStaticMetadataHelper helper;
    try {
        helper.getFieldStaticMetadata(objectName);
        QFAIL("the lookup of an unknown name returned");
    } catch (const std::out_of_range& error) {
        QCOMPARE(QString::fromLatin1(error.what()), QStringLiteral("map::at"));
    }
}

void TestFieldStaticMetadata::lookupsAreIndependentCopies()
{
    const FieldStaticMetadataHelper helper;
    auto first = helper.getFieldStaticMetadata(QStringLiteral("deadZoneDoubleSpinBox"));
    first->physicalQuantity = PhysicalQuantitiesEnum::Voltage;
    const auto second = helper.getFieldStaticMetadata(QStringLiteral("deadZoneDoubleSpinBox"));
    QVERIFY(first.get() != second.get());
    QCOMPARE(static_cast<int>(second->physicalQuantity), static_cast<int>(PhysicalQuantitiesEnum::Angle));
}

QTEST_APPLESS_MAIN(TestFieldStaticMetadata)
#include "tst_fieldstaticmetadata.moc"
