#include "window/editview/editview.h"
#include "window/editview/statushelper.h"
#include "window/editview/uiregisterhelper.h"
#include "window/widgets/fieldinterfaces.h"
#include "window/widgets/velkoraparametersgroupbox.h"
#include "window/widgets/velkorastatuscheckbox.h"

#include "crc16.h"

#include <QtTest>

#include <climits>
#include <map>

namespace {

// Status packet of a read from address 0: header, id 1, length, 0x55, error byte, data, CRC.
QByteArray readAnswer(const QByteArray& data, quint8 error = 0)
{
    const int length = data.size() + 4;
    QByteArray packet = QByteArray::fromHex("fffffd0001");
    packet.append(char(length & 0xFF)).append(char(length >> 8)).append(char(0x55)).append(char(error));
    packet.append(data);
    const quint16 crc = servosim::crc16(packet);
    packet.append(char(crc & 0xFF)).append(char(crc >> 8));
    return packet;
}

// Records what the decoder does to one field, in order, in a log shared by all fields.
class RecordingField : public QWidget, public IUnitDataField
{
public:
    RecordingField(const QString& name, QStringList* log, QWidget* parent = nullptr)
        : QWidget(parent), _log(log)
    {
        QWidget::setObjectName(name);
    }

    QString objectName() const override { return QWidget::objectName(); }
    void setObjectName(const QString& name) override { QWidget::setObjectName(name); }
    void forceDisable(bool) override {}
    PhysicalQuantitiesEnum getPhysicalQuantity() override { return PhysicalQuantitiesEnum::Unitless; }
    void setServoValue(int value) override
    {
        values.append(value);
        _log->append(QStringLiteral("set %1 %2").arg(objectName()).arg(value));
    }
    int getServoValue() override { return values.value(values.size() - 1); }
    void processDependencies() override { _log->append(QStringLiteral("dependency %1").arg(objectName())); }

    QList<int> values;

private:
    QStringList* _log;
};

const QStringList fieldNames = {"modelNumberLineEdit",
                                "firmwareVersionLineEdit",
                                "idSpinBox",
                                "baudRateComboBox",
                                "clockwiseLimitDoubleSpinBox",
                                "quadratureCurrentLimitDoubleSpinBox",
                                "hornPositionOffsetDoubleSpinBox",
                                "enableMotorCheckBox",
                                "targetPositionDoubleSpinBox",
                                "targetAngularVelocityDoubleSpinBox",
                                "targetAngularVelocityDirectionComboBox",
                                "targetTorqueDoubleSpinBox",
                                "targetTorqueDirectionComboBox",
                                "actualPositionLineEdit",
                                "actualVoltageLineEdit",
                                "actualTemperatureLineEdit",
                                "inputVoltageStatusCheckBox",
                                "hallStatusCheckBox",
                                "overheatingStatusCheckBox",
                                "encoderStatusCheckBox",
                                "angleLimitStatusCheckBox"};

const QStringList statusBoxes = {
    "processStatusCheckBox",    "instructionStatusCheckBox", "checksumStatusCheckBox", "rangeStatusCheckBox",
    "dataLengthStatusCheckBox", "dataLimitStatusCheckBox",   "accessStatusCheckBox",   "alertStatusCheckBox"};

} // namespace

class TestRegisterDecoding : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void decodingMapTilesTheControlTable();
    void itemValues_data();
    void itemValues();
    void directionBitSplit_data();
    void directionBitSplit();
    void hardwareErrorBits_data();
    void hardwareErrorBits();
    void shortAnswers();
    void dependencyRunsBeforeValue();
    void editedGroupKeepsItsValues();
    void firstRegistrationWins();
    void statusIndicators_data();
    void statusIndicators();
    void statusIndicatorColours();

private:
    RecordingField* field(const QString& name) const { return _fields.at(name); }

    QStringList _log;
    QWidget* _form = nullptr;
    VelkoraParametersGroupBox* _group = nullptr;
    std::map<QString, RecordingField*> _fields;
};

void TestRegisterDecoding::init()
{
    UiRegisterHelper::_instance = std::make_shared<UiRegisterHelper>();
    _log.clear();
    _form = new QWidget;
    _group = new VelkoraParametersGroupBox(_form);
    for (const QString& name : fieldNames) {
        auto* f = new RecordingField(name, &_log, _group);
        _fields[name] = f;
        UiRegisterHelper::_instance->registerUnitDataField(f);
    }
}

void TestRegisterDecoding::cleanup()
{
    UiRegisterHelper::_instance.reset();
    _fields.clear();
    delete _form;
}

void TestRegisterDecoding::decodingMapTilesTheControlTable()
{
    const auto map = UiRegisterHelper::_instance->getRegisterMetadata();
    // One item per described register, none overlapping the one before, all inside the table.
    QCOMPARE(int(map.size()), 49);
    int next = 0;
    for (const auto& [address, item] : map) {
        QVERIFY(int(address) >= next);
        QVERIFY(item->byteCount == 1 || item->byteCount == 2 || item->byteCount == 4);
        QVERIFY(item->handler);
        next = address + item->byteCount;
    }
    QCOMPARE(next, 118);
}

void TestRegisterDecoding::itemValues_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    QTest::newRow("model number little-endian")
        << "modelNumberLineEdit" << 0 << QByteArray::fromHex("3412") << 0x1234;
    QTest::newRow("one byte does not take its neighbour")
        << "firmwareVersionLineEdit" << 2 << QByteArray::fromHex("2aff") << 42;
    QTest::newRow("id") << "idSpinBox" << 3 << QByteArray::fromHex("fd") << 253;
    QTest::newRow("baud rate code") << "baudRateComboBox" << 4 << QByteArray::fromHex("03") << 3;
    QTest::newRow("signed 16-bit limit")
        << "clockwiseLimitDoubleSpinBox" << 7 << QByteArray::fromHex("ffff") << -1;
    QTest::newRow("signed 16-bit most negative")
        << "clockwiseLimitDoubleSpinBox" << 7 << QByteArray::fromHex("0080") << -32768;
    QTest::newRow("unsigned 16-bit limit")
        << "quadratureCurrentLimitDoubleSpinBox" << 14 << QByteArray::fromHex("ffff") << 65535;
    QTest::newRow("signed 32-bit offset")
        << "hornPositionOffsetDoubleSpinBox" << 20 << QByteArray::fromHex("feffffff") << -2;
    QTest::newRow("32-bit target") << "targetPositionDoubleSpinBox" << 78 << QByteArray::fromHex("ffef0f00")
                                   << 1044479;
    QTest::newRow("32-bit top bit") << "actualPositionLineEdit" << 86 << QByteArray::fromHex("00000080")
                                    << INT_MIN;
    QTest::newRow("motor enable") << "enableMotorCheckBox" << 48 << QByteArray::fromHex("01") << 1;
    QTest::newRow("voltage") << "actualVoltageLineEdit" << 94 << QByteArray::fromHex("78") << 120;
    QTest::newRow("temperature") << "actualTemperatureLineEdit" << 97 << QByteArray::fromHex("ff") << 255;
}

// A 118-byte read answers with 129 bytes; item at address a starts at position 9 + a.
void TestRegisterDecoding::itemValues()
{
    QFETCH(QString, name);
    QFETCH(int, address);
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    QByteArray data(118, '\0');
    data.replace(address, bytes.size(), bytes);
    const QByteArray answer = readAnswer(data);
    QCOMPARE(answer.size(), 129);

    UiRegisterHelper::_instance->decodeResponse(answer);
    QCOMPARE(field(name)->values, QList<int>{expected});
}

void TestRegisterDecoding::directionBitSplit_data()
{
    QTest::addColumn<QString>("magnitudeField");
    QTest::addColumn<QString>("directionField");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("magnitude");
    QTest::addColumn<int>("direction");
    const QString torque = "targetTorqueDoubleSpinBox", torqueDirection = "targetTorqueDirectionComboBox";
    const QString velocity = "targetAngularVelocityDoubleSpinBox",
                  velocityDirection = "targetAngularVelocityDirectionComboBox";
    QTest::newRow("torque clockwise")
        << torque << torqueDirection << 84 << QByteArray::fromHex("1080") << 16 << 1;
    QTest::newRow("torque counter-clockwise")
        << torque << torqueDirection << 84 << QByteArray::fromHex("ff7f") << 32767 << 0;
    QTest::newRow("velocity clockwise zero")
        << velocity << velocityDirection << 82 << QByteArray::fromHex("0080") << 0 << 1;
    QTest::newRow("velocity full") << velocity << velocityDirection << 82 << QByteArray::fromHex("ffff")
                                   << 32767 << 1;
}

void TestRegisterDecoding::directionBitSplit()
{
    QFETCH(QString, magnitudeField);
    QFETCH(QString, directionField);
    QFETCH(int, address);
    QFETCH(QByteArray, bytes);
    QFETCH(int, magnitude);
    QFETCH(int, direction);
    QByteArray data(118, '\0');
    data.replace(address, bytes.size(), bytes);
    UiRegisterHelper::_instance->decodeResponse(readAnswer(data));
    QCOMPARE(field(magnitudeField)->values, QList<int>{magnitude});
    QCOMPARE(field(directionField)->values, QList<int>{direction});
}

void TestRegisterDecoding::hardwareErrorBits_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<int>>("expected"); // input voltage, hall, overheating, encoder, angle limit
    QTest::newRow("hall and overheating") << 0x06 << QList<int>{0, 2, 4, 0, 0};
    QTest::newRow("all five") << 0x1F << QList<int>{1, 2, 4, 8, 16};
    QTest::newRow("upper bits show nowhere") << 0xE0 << QList<int>{0, 0, 0, 0, 0};
    QTest::newRow("encoder among upper bits") << 0xE8 << QList<int>{0, 0, 0, 8, 0};
}

void TestRegisterDecoding::hardwareErrorBits()
{
    QFETCH(int, status);
    QFETCH(QList<int>, expected);
    QByteArray data(118, '\0');
    data[107] = char(status);
    UiRegisterHelper::_instance->decodeResponse(readAnswer(data));
    const QStringList boxes = {"inputVoltageStatusCheckBox", "hallStatusCheckBox",
                               "overheatingStatusCheckBox", "encoderStatusCheckBox",
                               "angleLimitStatusCheckBox"};
    for (int i = 0; i < boxes.size(); ++i)
        QCOMPARE(field(boxes[i])->values, QList<int>{expected[i]});
}

// Answers shorter than the table (an AX-12 read, a truncated packet) still reach every
// handler: items past the end get what is there, zero when nothing is.
void TestRegisterDecoding::shortAnswers()
{
    // Ends in the middle of the clockwise limit (positions 16 and 17): only its low byte is there.
    QByteArray truncated = readAnswer(QByteArray::fromHex("0c000201030500ffff")).left(17);
    UiRegisterHelper::_instance->decodeResponse(truncated);
    QCOMPARE(field("modelNumberLineEdit")->values, QList<int>{12});
    QCOMPARE(field("idSpinBox")->values, QList<int>{1});
    QCOMPARE(field("clockwiseLimitDoubleSpinBox")->values, QList<int>{255});
    QCOMPARE(field("actualPositionLineEdit")->values, QList<int>{0});
    QCOMPARE(field("angleLimitStatusCheckBox")->values, QList<int>{0});

    // A 50-byte read: every field still gets exactly one value.
    for (auto& [name, f] : _fields)
        f->values.clear();
    UiRegisterHelper::_instance->decodeResponse(readAnswer(QByteArray(50, '\x01')));
    for (auto& [name, f] : _fields)
        QVERIFY2(f->values.size() == 1, qPrintable(name));
    QCOMPARE(field("targetPositionDoubleSpinBox")->values, QList<int>{0});

    UiRegisterHelper::_instance->decodeResponse(QByteArray());
    QCOMPARE(field("modelNumberLineEdit")->values.last(), 0);
}

void TestRegisterDecoding::dependencyRunsBeforeValue()
{
    QByteArray data(118, '\0');
    data[3] = 7;
    UiRegisterHelper::_instance->decodeResponse(readAnswer(data));
    const int dependency = _log.indexOf("dependency idSpinBox");
    QVERIFY(dependency >= 0);
    QCOMPARE(_log.value(dependency + 1), QStringLiteral("set idSpinBox 7"));
}

void TestRegisterDecoding::editedGroupKeepsItsValues()
{
    auto* otherGroup = new VelkoraParametersGroupBox(_form);
    auto* outside = new RecordingField("idSpinBox", &_log, otherGroup);
    UiRegisterHelper::_instance.reset(new UiRegisterHelper);
    UiRegisterHelper::_instance->registerUnitDataField(field("actualVoltageLineEdit"));
    UiRegisterHelper::_instance->registerUnitDataField(outside);

    QByteArray data(118, '\0');
    data[3] = 9;
    data[94] = 120;
    _group->isEditing = true;
    UiRegisterHelper::_instance->decodeResponse(readAnswer(data));
    QVERIFY(field("actualVoltageLineEdit")->values.isEmpty());
    QVERIFY(_log.contains("dependency actualVoltageLineEdit"));
    QCOMPARE(outside->values, QList<int>{9});
    QVERIFY(UiRegisterHelper::_instance->isGroupUpdating(field("actualVoltageLineEdit")));
    QVERIFY(!UiRegisterHelper::_instance->isGroupUpdating(outside));

    _group->isEditing = false;
    UiRegisterHelper::_instance->decodeResponse(readAnswer(data));
    QCOMPARE(field("actualVoltageLineEdit")->values, QList<int>{120});

    // A field whose parent is no parameters group is never being edited.
    RecordingField loose("actualTemperatureLineEdit", &_log);
    QVERIFY(!UiRegisterHelper::_instance->isGroupUpdating(&loose));
}

void TestRegisterDecoding::firstRegistrationWins()
{
    RecordingField second("idSpinBox", &_log);
    UiRegisterHelper::_instance->registerUnitDataField(&second);
    QCOMPARE(UiRegisterHelper::_instance->getRegisteredField("idSpinBox"), field("idSpinBox"));
    QCOMPARE(UiRegisterHelper::_instance->getRegisteredField("nonExistingSpinBox"), nullptr);

    QByteArray data(118, '\0');
    data[3] = 5;
    UiRegisterHelper::_instance->decodeResponse(readAnswer(data));
    QCOMPARE(field("idSpinBox")->values, QList<int>{5});
    QVERIFY(second.values.isEmpty());
}

void TestRegisterDecoding::statusIndicators_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("on");
    QTest::newRow("no error") << readAnswer(QByteArray(118, '\0'), 0) << QStringList{};
    QTest::newRow("process failure") << readAnswer(QByteArray(118, '\0'), 1)
                                     << QStringList{"processStatusCheckBox"};
    QTest::newRow("checksum") << readAnswer(QByteArray(118, '\0'), 3)
                              << QStringList{"checksumStatusCheckBox"};
    QTest::newRow("access") << readAnswer(QByteArray(118, '\0'), 7) << QStringList{"accessStatusCheckBox"};
    QTest::newRow("alert alone") << readAnswer(QByteArray(118, '\0'), 0x80)
                                 << QStringList{"alertStatusCheckBox"};
    // The alert flag rides on top of the error number; both show.
    QTest::newRow("alert with checksum") << readAnswer(QByteArray(118, '\0'), 0x83)
                                         << QStringList{"checksumStatusCheckBox", "alertStatusCheckBox"};
    QTest::newRow("unknown error number") << readAnswer(QByteArray(118, '\0'), 9) << QStringList{};
    QTest::newRow("no error byte") << QByteArray::fromHex("fffffd0001040055") << QStringList{};
}

void TestRegisterDecoding::statusIndicators()
{
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, on);
    EditView view;
    QVERIFY(StatusHelper::_instance);
    // Start from every indicator on, so that turning off is seen too.
    for (const QString& name : statusBoxes)
        view.findChild<VelkoraStatusCheckBox*>(name)->setChecked(true);

    UiRegisterHelper::_instance->decodeResponse(answer);
    for (const QString& name : statusBoxes) {
        auto* box = view.findChild<VelkoraStatusCheckBox*>(name);
        QVERIFY2(box, qPrintable(name));
        QVERIFY2(box->isChecked() == on.contains(name), qPrintable(name));
    }
}

void TestRegisterDecoding::statusIndicatorColours()
{
    {
        EditView view;
        auto* group = view.findChild<VelkoraParametersGroupBox*>("velkoraPacketStatusGroupBox");
        auto* alert = view.findChild<VelkoraStatusCheckBox*>("alertStatusCheckBox");
        QVERIFY(group && alert);
        QCOMPARE(alert->text(), QStringLiteral("Alert"));
        QVERIFY(!alert->isEnabled());

        auto isRed = [alert] { return alert->styleSheet().contains("#ff461d"); };
        StatusHelper::_instance->displayStatusPacket(0x80);
        QVERIFY(alert->isChecked());
        QVERIFY(!isRed()); // offline indicators stay grey

        group->connected(nullptr);
        QVERIFY(!isRed()); // until the next value arrives
        StatusHelper::_instance->displayStatusPacket(0x80);
        QVERIFY(isRed());
        StatusHelper::_instance->displayStatusPacket(0);
        QVERIFY(!isRed());

        StatusHelper::_instance->displayStatusPacket(0x80);
        group->disconnected();
        QVERIFY(!alert->isChecked());
        QVERIFY(!isRed());
    }
    // The helper went with its form; decoding without one must not touch freed widgets.
    QVERIFY(!StatusHelper::_instance);
    UiRegisterHelper::_instance->decodeResponse(readAnswer(QByteArray(118, '\0'), 0x83));
}

QTEST_MAIN(TestRegisterDecoding)
#include "tst_registerdecoding.moc"
