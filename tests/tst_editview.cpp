#include "core/model/fieldcore.h"
#include "testmodels.h"
#include "core/session/devicehelper.h"
#include "window/controllers/windowdevicehelper.h"
#include "core/session/uischeduler.h"
#include "core/transport/serialhelper.h"
#include "core/units/unitshelper.h"
#include "window/editview/editview.h"
#include "window/editview/fieldhelper.h"
#include "window/editview/registerview.h"
#include "window/editview/uiregisterhelper.h"
#include "window/mainwindow.h"
#include "window/widgets/comboplaceholder.h"
#include "window/widgets/staleoverlay.h"
#include "window/widgets/velkorabaudratecombobox.h"
#include "window/widgets/velkoracheckbox.h"
#include "window/widgets/velkoracombobox.h"
#include "window/widgets/velkoradoublespinbox.h"
#include "window/widgets/velkoralineedit.h"
#include "window/widgets/velkoraparametersgroupbox.h"
#include "window/widgets/velkoraspinbox.h"
#include "window/widgets/velkorastatuscheckbox.h"
#include "window/widgets/velkoraunitlabel.h"

#include <connectedwindow.h>
#include <isolatedsettings.h>
#include <servosimulator.h>

#include <QAction>
#include <QFrame>
#include <QRandomGenerator>
#include <QSettings>
#include <QStatusBar>
#include <QToolButton>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <stdexcept>

using QMapStringInt = QMap<QString, int>;
Q_DECLARE_METATYPE(QMapStringInt)

namespace {

constexpr int servoId = 1;

// Where the V1 keeps each field's value: address, width, signedness and the part of the
// register the field shows (the direction boxes and hardware error bits share a register).
struct Location
{
    const char* name;
    int address;
    int bytes;
    bool isSigned = false;
    uint32_t mask = 0xFFFFFFFF;
    int shift = 0;
};

const Location v1Locations[] = {
    {"modelNumberLineEdit", 0, 2},
    {"firmwareVersionLineEdit", 2, 1},
    {"idSpinBox", 3, 1},
    {"baudRateComboBox", 4, 1},
    {"ackResponseTimeSpinBox", 5, 1},
    {"operatingModeComboBox", 6, 1},
    {"clockwiseLimitDoubleSpinBox", 7, 2, true},
    {"counterClockwiseLimitDoubleSpinBox", 9, 2, true},
    {"temperatureLimitDoubleSpinBox", 11, 1},
    {"minVoltageLimitDoubleSpinBox", 12, 1},
    {"maxVoltageLimitDoubleSpinBox", 13, 1},
    {"quadratureCurrentLimitDoubleSpinBox", 14, 2},
    {"angularVelocityLimitDoubleSpinBox", 16, 2},
    {"accelerationLimitDoubleSpinBox", 18, 2},
    {"hornPositionOffsetDoubleSpinBox", 20, 4, true},
    {"movingThresholdDoubleSpinBox", 24, 2},
    {"inputModeComboBox", 26, 1},
    {"defPositionProportionalTermDoubleSpinBox", 27, 2},
    {"defVelocityFeedforwardTermDoubleSpinBox", 29, 2},
    {"defCurrentFeedforwardTermDoubleSpinBox", 31, 2},
    {"defVelocityIntegralTermDoubleSpinBox", 33, 2},
    {"defVelocityProportionalTermDoubleSpinBox", 35, 2},
    {"defAngularVelocityProfileDoubleSpinBox", 37, 2},
    {"defAccelerationProfileDoubleSpinBox", 39, 2},
    {"enableMotorCheckBox", 48, 1},
    {"pendingShadowInstructionCheckBox", 49, 1},
    {"positionProportionalTermDoubleSpinBox", 54, 2},
    {"velocityFeedforwardTermDoubleSpinBox", 56, 2},
    {"currentFeedforwardTermDoubleSpinBox", 58, 2},
    {"velocityIntegralTermDoubleSpinBox", 60, 2},
    {"velocityProportionalTermDoubleSpinBox", 62, 2},
    {"angularVelocityProfileDoubleSpinBox", 68, 2},
    {"accelerationProfileDoubleSpinBox", 70, 2},
    {"targetPositionDoubleSpinBox", 78, 4, true},
    {"targetAngularVelocityDoubleSpinBox", 82, 2, false, 0x7FFF},
    {"targetAngularVelocityDirectionComboBox", 82, 2, false, 0x8000, 15},
    {"targetTorqueDoubleSpinBox", 84, 2, false, 0x7FFF},
    {"targetTorqueDirectionComboBox", 84, 2, false, 0x8000, 15},
    {"actualPositionLineEdit", 86, 4, true},
    {"actualAngularVelocityLineEdit", 90, 2},
    {"actualTorqueLineEdit", 92, 2},
    {"actualVoltageLineEdit", 94, 1},
    {"actualQuadratureCurrentLineEdit", 95, 2},
    {"actualTemperatureLineEdit", 97, 1},
    {"isMovingCheckBox", 99, 1},
    {"inputVoltageStatusCheckBox", 107, 1, false, 1},
    {"hallStatusCheckBox", 107, 1, false, 2},
    {"overheatingStatusCheckBox", 107, 1, false, 4},
    {"encoderStatusCheckBox", 107, 1, false, 8},
    {"angleLimitStatusCheckBox", 107, 1, false, 16},
};

int rawAt(const QByteArray& table, const Location& at)
{
    uint32_t value = 0;
    for (int i = 0; i < at.bytes; ++i)
        value |= uint32_t(uint8_t(table.at(at.address + i))) << (8 * i);
    if (at.isSigned && at.bytes == 2)
        return int16_t(value);
    if (at.isSigned)
        return int32_t(value);
    return int((value & at.mask) >> at.shift);
}

QWidget* widgetNamed(const QString& name)
{
    auto* field = dynamic_cast<QWidget*>(UiRegisterHelper::_instance->getRegisteredField(QString(name)));
    if (!field)
        qFatal("no field %s", qPrintable(name));
    return field;
}

IUnitDataField* dataField(const QString& name)
{
    return UiRegisterHelper::_instance->getRegisteredField(QString(name));
}

// The value a field must show for `raw`, computed from the model's table and the unit choice.
double expectedShown(const QString& name, int raw, const UnitsHelper& units, PhysicalQuantitiesEnum quantity,
                     bool offset = true)
{
    const auto m = VelkoraV1().getFieldDeviceMetadata(name);
    const double physical =
        (m->max - m->min) * double(offset ? raw - m->rawMin : raw) / double(m->rawMax - m->rawMin) + m->min;
    return units.convertToTargetUnit(physical, quantity);
}

// Whether the widget shows nothing (empty text, or "-" for the lists).
bool showsNothing(QWidget* widget)
{
    widget->repaint();
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(widget))
        return spin->text().isEmpty();
    if (auto* edit = qobject_cast<QLineEdit*>(widget))
        return edit->text().isEmpty();
    return true; // lists paint "-" themselves; checked through their state elsewhere
}

// The darkest grey level among the pixels of `field` as the user sees it in `view`, with
// whatever lies over it.
int darkestGrey(QWidget* view, QWidget* field)
{
    const QImage image = view->grab(QRect(field->mapTo(view, QPoint(0, 0)), field->size())).toImage();
    int darkest = 255;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            darkest = std::min(darkest, qGray(image.pixel(x, y)));
    return darkest;
}

} // namespace

class TestEditView : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<IsolatedSettings> _settingsHome;
    std::unique_ptr<servosim::ServoSimulator> _sim;
    std::unique_ptr<MainWindow> _window;

    void openConnected(servosim::Model model, const QMap<QString, int>& units = {})
    {
        testfixture::openConnected(*_settingsHome, model, units, servoId, 20, _sim, _window);
    }

    // Stops polling and shows `table` as one read-all answer, so the comparison is exact.
    void showTable(const QByteArray& table)
    {
        _window->scheduler()->stopScheduler();
        // A read still on the line would overwrite the table when its answer comes.
        QTRY_VERIFY_WITH_TIMEOUT(!_window->serialHelper()->isBusy(), 20000);
        UiRegisterHelper::_instance->decodeResponse(testfixture::statusPacket(table));
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

    // Every data field shows its register of the servo's table, in the chosen units, and
    // gives back exactly that raw value; Disconnect empties them again.
    void fieldsShowTheServoInChosenUnits_data()
    {
        QTest::addColumn<QMapStringInt>("units");
        QTest::newRow("defaults") << QMapStringInt{};
        QTest::newRow("degrees, rpm, kg-cm, mA, Fahrenheit") << QMapStringInt{
            {"angle", 1}, {"angularVelocity", 1}, {"torque", 1}, {"current", 1}, {"temperature", 1}};
    }

    void fieldsShowTheServoInChosenUnits()
    {
        QFETCH(QMapStringInt, units);
        openConnected(servosim::Model::V1, units);
        QTRY_VERIFY_WITH_TIMEOUT(
            !qobject_cast<QLineEdit*>(widgetNamed("actualVoltageLineEdit"))->text().isEmpty(), 20000);

        // Odd values in every register, a hardware error bit set and one gain out of range.
        QByteArray table = _sim->registers(servoId);
        QRandomGenerator random(7);
        for (int address : {9, 11, 16, 20, 27, 54, 78, 82, 84, 86, 90})
            table[address] = char(random.bounded(256));
        table[107] = char(0x2A);
        table[62] = char(0xFF); // velocity P 0x..FF beyond its 0..4000 range with the next byte
        table[63] = char(0xFF);
        showTable(table);

        PhysicalQuantities chosen;
        chosen.angle = units.value("angle");
        chosen.angularVelocity = units.value("angularVelocity");
        chosen.torque = units.value("torque");
        chosen.current = units.value("current");
        chosen.temperature = units.value("temperature");
        const UnitsHelper helper(std::make_shared<PhysicalQuantities>(chosen));

        for (const Location& at : v1Locations) {
            const QString name = at.name;
            const int raw = rawAt(table, at);
            QWidget* widget = widgetNamed(name);
            const auto quantity = dataField(name)->getPhysicalQuantity();
            QCOMPARE(dataField(name)->getServoValue(), raw);
            if (auto* box = qobject_cast<VelkoraDoubleSpinBox*>(widget)) {
                const double shown = expectedShown(name, raw, helper, quantity);
                const double clamped = std::clamp(shown, box->validMinimum(), box->validMaximum());
                QVERIFY2(std::abs(box->value() - clamped) <= 0.5 * std::pow(10, -box->decimals()) + 1e-9,
                         qPrintable(QStringLiteral("%1: %2 for %3").arg(name).arg(box->value()).arg(shown)));
                QCOMPARE(box->isOutOfRange(), name == "velocityProportionalTermDoubleSpinBox");
            } else if (auto* spin = qobject_cast<VelkoraSpinBox*>(widget)) {
                QCOMPARE(spin->value(), int(std::round(expectedShown(name, raw, helper, quantity, false))));
            } else if (auto* edit = qobject_cast<VelkoraLineEdit*>(widget)) {
                if (quantity == PhysicalQuantitiesEnum::ModelNumber) {
                    QCOMPARE(
                        edit->text(),
                        QStringLiteral("%1%2%3").arg(raw / 256).arg(QLocale().decimalPoint()).arg(raw % 256));
                } else if (quantity == PhysicalQuantitiesEnum::Unitless) {
                    QCOMPARE(edit->text(), QString::number(raw));
                } else {
                    const double decimals = helper.getTargetUnitDecimalPlaces(quantity);
                    QVERIFY2(std::abs(QLocale().toDouble(edit->text()) -
                                      expectedShown(name, raw, helper, quantity)) <=
                                 0.5 * std::pow(10, -decimals) + 1e-9,
                             qPrintable(name + ": " + edit->text()));
                }
            } else if (auto* baud = qobject_cast<VelkoraBaudRateComboBox*>(widget)) {
                QCOMPARE(baud->currentData().toInt(), raw);
            } else if (auto* list = qobject_cast<VelkoraComboBox*>(widget)) {
                QCOMPARE(list->currentIndex(), raw);
            } else if (auto* flag = qobject_cast<VelkoraCheckBox*>(widget)) {
                QCOMPARE(flag->isChecked(), raw != 0);
            } else {
                QFAIL(qPrintable("unexpected widget " + name));
            }
        }
        auto* overload = _window->findChild<VelkoraStatusCheckBox*>("overloadStatusCheckBox");
        QVERIFY(overload->isChecked()); // bit 5 of 0x2A

        // Captions carry the unit their field converts to.
        const QString angle = helper.getUnitString(PhysicalQuantitiesEnum::Angle);
        QCOMPARE(_window->findChild<VelkoraUnitLabel*>("positionLabel")->text(), "Position (" + angle + "):");
        QCOMPARE(_window->findChild<VelkoraUnitLabel*>("voltageLabel")->text(),
                 QStringLiteral("Voltage (V):"));
        QCOMPARE(_window->findChild<VelkoraUnitLabel*>("idLabel")->text(), QStringLiteral("ID:"));
        QCOMPARE(_window->findChild<VelkoraUnitLabel*>("quadratureCurrentLimitLabel")->text(),
                 "Torque limit (" + helper.getUnitString(PhysicalQuantitiesEnum::Torque) + "):");
        QCOMPARE(_window->findChild<VelkoraUnitLabel*>("accelerationProfileLabel")->text(),
                 QString::fromUtf8(u8"Acceleration profile (rad/s²):"));

        _window->getDisconnectAction()->trigger();
        for (const Location& at : v1Locations)
            QVERIFY2(showsNothing(widgetNamed(at.name)), at.name);
        for (auto* list : _window->findChild<EditView*>()->findChildren<QComboBox*>())
            QCOMPARE(list->currentIndex(), list->count() - 1);
        QVERIFY(!overload->isChecked());
        for (auto* indicator : _window->findChildren<VelkoraCheckBox*>())
            QVERIFY(!indicator->isChecked());
    }

    // Whatever the unit and the display rounding, an untouched field gives back the raw
    // value it was given, bit for bit; a value typed as the display of raw r gives r, and
    // typing what any field shows writes a value that shows the same.
    void rawValuesSurviveTheDisplay_data()
    {
        QTest::addColumn<servosim::Model>("servoModel");
        QTest::addColumn<QMapStringInt>("units");
        const QMapStringInt second{
            {"angle", 1}, {"angularVelocity", 1}, {"torque", 1}, {"current", 1}, {"temperature", 1}};
        QTest::newRow("defaults") << servosim::Model::V1 << QMapStringInt{};
        QTest::newRow("second units") << servosim::Model::V1 << second;
        QTest::newRow("AX-12 defaults") << servosim::Model::Ax12 << QMapStringInt{};
        QTest::newRow("AX-12 second units") << servosim::Model::Ax12 << second;
    }

    void rawValuesSurviveTheDisplay()
    {
        QFETCH(servosim::Model, servoModel);
        QFETCH(QMapStringInt, units);
        openConnected(servoModel, units);
        _window->scheduler()->stopScheduler();
        QTRY_VERIFY_WITH_TIMEOUT(!_window->serialHelper()->isBusy(), 20000);

        QRandomGenerator typed(5);
        const auto device = WindowDeviceHelper::getInstance()->getDevice();
        for (auto* box : _window->findChild<EditView*>()->findChildren<QAbstractSpinBox*>()) {
            auto* field = dynamic_cast<IUnitDataField*>(box);
            std::unique_ptr<FieldDeviceMetadata> m;
            try {
                m = device->getFieldDeviceMetadata(box->objectName());
            } catch (const std::out_of_range&) {
                continue; // not in this model
            }
            field->forceDisable(false); // a forced-off box shows nothing
            auto shownFor = [&](int raw) {
                field->setServoValue(raw);
                return box->text();
            };
            const qint64 span = qint64(m->rawMax) - m->rawMin;
            for (int i = 0; i < 300; ++i) {
                // The two range ends, then anywhere in the range.
                const qint64 offset = i < 2 ? i * span : qint64(typed.bounded(quint32(span + 1)));
                const int raw = int(m->rawMin + offset);
                const QString text = shownFor(raw);
                shownFor(raw - m->rawMin < span / 2 ? m->rawMax : m->rawMin); // so the typing is a change
                box->findChild<QLineEdit*>()->setText(text);
                box->interpretText();
                const int written = field->getServoValue();
                const QString again = shownFor(written);
                QVERIFY2(again == text && written >= m->rawMin && written <= m->rawMax,
                         qPrintable(QStringLiteral("%1: raw %2 shows %3, typed back writes %4 showing %5")
                                        .arg(box->objectName())
                                        .arg(raw)
                                        .arg(text, QString::number(written), again)));
            }
        }
        if (servoModel != servosim::Model::V1)
            return; // the rest follows the V1's table
        QRandomGenerator random(11);
        const VelkoraV1 model;
        for (const Location& at : v1Locations) {
            IUnitDataField* field = dataField(at.name);
            // The baud rate has no range of the model: any code.
            const auto m = QString(at.name) == "baudRateComboBox"
                               ? std::make_unique<FieldDeviceMetadata>(FieldDeviceMetadata{0, 255, 0, 255})
                               : model.getFieldDeviceMetadata(at.name);
            for (int i = 0; i < 200; ++i) {
                // Mostly inside the model's range, sometimes anywhere in the register.
                const qint64 low = i % 10 ? m->rawMin : (at.isSigned ? -(1LL << (8 * at.bytes - 1)) : 0);
                const qint64 high = i % 10 ? m->rawMax : (1LL << (8 * at.bytes - (at.isSigned ? 1 : 0))) - 1;
                const int raw = int(low + qint64(random.generate64() % quint64(high - low + 1)));
                field->setServoValue(raw);
                QCOMPARE(field->getServoValue(), raw);
            }
        }

        // Typed values that stand exactly for a raw step come back as that step.
        auto* group = _window->findChild<VelkoraParametersGroupBox*>("nonVolatileParamsGroupBox");
        group->isEditing = true;
        for (auto* box : group->findChildren<VelkoraDoubleSpinBox*>()) {
            box->setEnabled(true);
            const auto m = model.getFieldDeviceMetadata(box->objectName());
            const UnitsHelper helper(_window->getPhysicalQuantityUnits());
            for (int i = 0; i < 200; ++i) {
                const int raw = m->rawMin + int(random.bounded(quint32(qint64(m->rawMax) - m->rawMin + 1)));
                const double shown =
                    expectedShown(box->objectName(), raw, helper, box->getPhysicalQuantity());
                const double typed =
                    std::round(shown * std::pow(10, box->decimals())) / std::pow(10, box->decimals());
                // Loaded with another value first: typing the loaded display back gives the loaded raw.
                box->setServoValue(raw == m->rawMin ? m->rawMax : m->rawMin);
                if (std::abs(typed - shown) > 1e-9 || typed > box->validMaximum() ||
                    typed < box->validMinimum() || typed == box->value())
                    continue; // the display cannot show this raw value exactly
                box->setValue(typed);
                QCOMPARE(box->getServoValue(), raw);
            }
        }
    }

    // The behaviour a user meets while editing, for each kind of editable field.
    void editingRules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("double spin box") << "temperatureLimitDoubleSpinBox";
        QTest::newRow("spin box") << "ackResponseTimeSpinBox";
        QTest::newRow("combo box") << "operatingModeComboBox";
        QTest::newRow("baud rate") << "baudRateComboBox";
        QTest::newRow("check box") << "enableMotorCheckBox";
    }

    void editingRules()
    {
        QFETCH(QString, name);
        openConnected(servosim::Model::V1);
        QWidget* widget = widgetNamed(name);
        IUnitDataField* field = dataField(name);
        auto* input = dynamic_cast<IGroupInputComponent*>(widget);
        QTRY_VERIFY_WITH_TIMEOUT(
            !qobject_cast<QLineEdit*>(widgetNamed("actualVoltageLineEdit"))->text().isEmpty(), 20000);
        _window->scheduler()->stopScheduler();
        QTRY_VERIFY_WITH_TIMEOUT(!_window->serialHelper()->isBusy(), 20000);
        const int loaded = field->getServoValue();

        QSignalSpy dirty(widget, SIGNAL(setIsDirty(bool)));
        auto change = [widget](int steps) {
            if (auto* spin = qobject_cast<QDoubleSpinBox*>(widget))
                spin->setValue(spin->value() + steps * spin->singleStep());
            else if (auto* whole = qobject_cast<QSpinBox*>(widget))
                whole->setValue(whole->value() + steps * std::max(2, whole->singleStep()));
            else if (auto* list = qobject_cast<QComboBox*>(widget))
                list->setCurrentIndex((list->currentIndex() + steps + list->count() - 1) %
                                      (list->count() - 1));
            else if (auto* flag = qobject_cast<QCheckBox*>(widget); flag && steps % 2)
                flag->toggle();
        };

        // A value arriving while the field is not edited never marks it dirty.
        field->setServoValue(loaded);
        change(1);
        QCOMPARE(dirty.count(), 0);
        field->setServoValue(loaded);

        auto* group = qobject_cast<VelkoraParametersGroupBox*>(widget->parentWidget());
        group->isEditing = true;
        input->setEnabled(true);
        QVERIFY(widget->isEnabled());
        change(1);
        if (!qobject_cast<QCheckBox*>(widget))
            change(1); // a second change while dirty says nothing
        QCOMPARE(dirty.count(), 1);
        QCOMPARE(dirty.takeFirst().at(0).toBool(), true);
        change(qobject_cast<QCheckBox*>(widget) ? 1 : -2);
        QCOMPARE(dirty.count(), 1);
        QCOMPARE(dirty.takeFirst().at(0).toBool(), false);
        QCOMPARE(field->getServoValue(), loaded);
        // A flag the user ticks must look ticked.
        if (auto* flag = qobject_cast<QCheckBox*>(widget)) {
            const QImage before = flag->grab().toImage();
            flag->toggle();
            QVERIFY(flag->grab().toImage() != before);
            flag->toggle();
        }

        // Forced off while dirty: clean again, and the servo's value is back.
        change(1);
        dirty.clear();
        field->forceDisable(true);
        if (!qobject_cast<VelkoraBaudRateComboBox*>(widget)) {
            QCOMPARE(dirty.count(), 1);
            QCOMPARE(dirty.at(0).at(0).toBool(), false);
            QCOMPARE(field->getServoValue(), loaded);
            input->setEnabled(true); // no effect while forced off
            QVERIFY(!widget->isEnabled());
        }
        field->forceDisable(false);
        QVERIFY(widget->isEnabled()); // its group is still being edited

        // Keys and the wheel never reach the placeholder of a list.
        if (auto* list = qobject_cast<QComboBox*>(widget)) {
            widget->setFocus();
            for (auto key : {Qt::Key_End, Qt::Key_Down, Qt::Key_PageDown})
                QTest::keyClick(widget, key);
            QVERIFY(list->currentIndex() < list->count() - 1);
        }

        group->isEditing = false;
        input->cancelUpdate();
        _window->getDisconnectAction()->trigger();
        QVERIFY(!widget->isEnabled());
        QVERIFY(showsNothing(widget));
        if (auto* list = qobject_cast<QComboBox*>(widget))
            QCOMPARE(list->currentIndex(), list->count() - 1);
    }

    // An AX-12 (in Protocol 1) keeps its own layout and units: the values it describes come
    // from its addresses, every other field stays empty and disabled, and its groups may be
    // edited, since writes follow its layout too.
    void ax12ShowsOnlyWhatItDescribes()
    {
        openConnected(servosim::Model::Ax12, {{"angle", 1}});
        QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->statistics().polls() > 2, 20000);
        for (const char* button : {"nvParamsEditSaveToolButton", "vParamsEditSaveToolButton"})
            QTRY_VERIFY_WITH_TIMEOUT(_window->findChild<QToolButton*>(button)->isEnabled(), 20000);
        QByteArray table = _sim->registers(servoId);
        QCOMPARE(table.size(), 50);
        table[8] = char(0xFF); // counter-clockwise limit 1023: 300 degrees
        table[9] = char(0x03);
        table[32] = char(0x34); // moving speed
        table[33] = char(0x01);
        showTable(table);

        QCOMPARE(dataField("counterClockwiseLimitDoubleSpinBox")->getServoValue(), 1023);
        QCOMPARE(qobject_cast<QDoubleSpinBox*>(widgetNamed("counterClockwiseLimitDoubleSpinBox"))->value(),
                 300.0);
        QCOMPARE(dataField("targetAngularVelocityDoubleSpinBox")->getServoValue(), 0x0134);
        QCOMPARE(dataField("modelNumberLineEdit")->getServoValue(), 12);
        QCOMPARE(qobject_cast<QLineEdit*>(widgetNamed("modelNumberLineEdit"))->text(), QStringLiteral("12"));
        for (const char* name : {"operatingModeComboBox", "hornPositionOffsetDoubleSpinBox",
                                 "positionProportionalTermDoubleSpinBox", "targetTorqueDoubleSpinBox"}) {
            QVERIFY2(showsNothing(widgetNamed(name)), name);
            QVERIFY2(!widgetNamed(name)->isEnabled(), name);
        }
        // Nothing of the V1 stays in a list the AX-12 does not have (the form starts at "Trajectory").
        for (const char* name : {"inputModeComboBox", "operatingModeComboBox"}) {
            auto* list = qobject_cast<QComboBox*>(widgetNamed(name));
            QVERIFY2(list->currentIndex() == list->count() - 1, qPrintable(list->currentText()));
        }
        auto* group = _window->findChild<VelkoraParametersGroupBox*>("nonVolatileParamsGroupBox");
        group->isEditing = true;
        dynamic_cast<IGroupInputComponent*>(widgetNamed("angularVelocityLimitDoubleSpinBox"))
            ->setEnabled(true);
        QVERIFY(!widgetNamed("angularVelocityLimitDoubleSpinBox")->isEnabled());
        group->isEditing = false;
    }

    // Values the servo sends are drawn as live. When it falls silent both views fade under a
    // banner that says since when; with its answers, or with Disconnect, it all goes again.
    void staleValuesAreMarkedOnTheViews()
    {
        openConnected(servosim::Model::V1);
        auto* view = _window->findChild<EditView*>();
        QWidget* registers = RegisterView::_instance;
        QWidget* voltage = widgetNamed("actualVoltageLineEdit");
        QTRY_VERIFY_WITH_TIMEOUT(!qobject_cast<QLineEdit*>(voltage)->text().isEmpty(), 20000);
        const int live = darkestGrey(view, voltage);
        QVERIFY2(live < 0x48, qPrintable(QString::number(live)));

        for (int round = 0; round < 2; ++round) {
            _sim->setSilent(true);
            QTRY_VERIFY_WITH_TIMEOUT(!_window->scheduler()->isServoAnswering(), 20000);
            for (QWidget* shown : {static_cast<QWidget*>(view), registers}) {
                StaleOverlay* overlay = StaleOverlay::of(shown);
                QVERIFY(overlay && overlay->isVisibleTo(shown)); // the other tab is not on screen
                QCOMPARE(overlay->geometry(), shown->rect());
                QVERIFY2(overlay->text().startsWith("Servo 1 is not answering since "),
                         qPrintable(overlay->text()));
            }
            for (const char* name : {"actualVoltageLineEdit", "temperatureLimitDoubleSpinBox"}) {
                const int stale = darkestGrey(view, widgetNamed(name));
                QVERIFY2(stale > 0x90, qPrintable(QStringLiteral("%1: %2").arg(name).arg(stale)));
            }
            _sim->setSilent(false);
            if (round == 0) {
                QTRY_VERIFY_WITH_TIMEOUT(_window->scheduler()->isServoAnswering(), 20000);
            } else {
                _window->getDisconnectAction()->trigger();
            }
            QVERIFY(!StaleOverlay::of(view)->isVisibleTo(view));
            QVERIFY(!StaleOverlay::of(registers)->isVisibleTo(registers));
        }
        QVERIFY(darkestGrey(view, _window->findChild<QWidget*>("voltageLabel")) < 0x48);
    }

    // A value that stands from poll to poll is not set again (no change signal, no restyling);
    // one that changes shows at the next answer; and after a reconnection the same raw value
    // fills the emptied field again.
    void standingValuesAreLeftAlone_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<int>("delta"); // 0: another code of the list
        QTest::newRow("line edit, position") << "actualPositionLineEdit" << 86 << 4 << 1500;
        QTest::newRow("line edit, voltage") << "actualVoltageLineEdit" << 94 << 1 << 7;
        QTest::newRow("double spin box, temperature limit") << "temperatureLimitDoubleSpinBox" << 11 << 1 << -9;
        QTest::newRow("double spin box, moving threshold") << "movingThresholdDoubleSpinBox" << 24 << 2 << 40;
        QTest::newRow("baud rate list") << "baudRateComboBox" << 4 << 1 << 0;
    }

    void standingValuesAreLeftAlone()
    {
        QFETCH(QString, name);
        QFETCH(int, address);
        QFETCH(int, bytes);
        QFETCH(int, delta);
        openConnected(servosim::Model::V1);
        QTRY_VERIFY_WITH_TIMEOUT(
            !qobject_cast<QLineEdit*>(widgetNamed("actualVoltageLineEdit"))->text().isEmpty(), 20000);
        QWidget* widget = widgetNamed(name);
        auto* list = qobject_cast<QComboBox*>(widget);
        auto shown = [widget, list] {
            if (list)
                return list->currentText();
            auto* edit = qobject_cast<QLineEdit*>(widget);
            return edit ? edit->text() : qobject_cast<QAbstractSpinBox*>(widget)->text();
        };
        // Line edits and spin boxes both tell their text's changes.
        QSignalSpy changes(widget, list ? SIGNAL(currentIndexChanged(int)) : SIGNAL(textChanged(QString)));

        const QByteArray table = _sim->registers(servoId);
        showTable(table);
        const QString before = shown();
        QVERIFY(!before.isEmpty());
        changes.clear();
        const QString sheet = widget->styleSheet();
        showTable(table);
        QCOMPARE(changes.count(), 0);
        QCOMPARE(shown(), before);
        QCOMPARE(widget->styleSheet(), sheet);

        const Location at{"", address, bytes};
        const int standing = rawAt(table, at);
        int raw = standing + delta;
        for (int i = 0; list && i < list->count() - 1 && raw == standing; ++i)
            raw = list->itemData(i).toInt();
        QByteArray changed = table;
        for (int i = 0; i < bytes; ++i)
            changed[address + i] = char((uint32_t(raw) >> (8 * i)) & 0xFF);
        showTable(changed);
        QCOMPARE(changes.count(), 1);
        QVERIFY2(shown() != before, qPrintable(name + " still shows " + before));
        QCOMPARE(dataField(name)->getServoValue(), raw);
        showTable(table);
        QCOMPARE(shown(), before);

        // The servo's value is the one last shown: after Disconnect emptied the field, the
        // first answer must fill it again.
        _window->getDisconnectAction()->trigger();
        QVERIFY(shown().isEmpty() || shown() == "-");
        _window->getConnectAction()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(shown(), before, 20000);
    }

    // The edit view hears Connect and Disconnect before the window acts on them: while the
    // window's own handler runs (it switches the actions over), the fields already follow.
    void fieldsHearTheConnectionBeforeTheWindow()
    {
        testfixture::startSimulated(*_settingsHome, servosim::Model::V1, {}, servoId, 20, _sim);
        _window = std::make_unique<MainWindow>();
        _window->show();
        auto* baud = _window->findChild<VelkoraBaudRateComboBox*>("baudRateComboBox");
        QVERIFY(baud);
        QStringList sheets; // the baud-rate list's look whenever an action changes
        auto note = [&sheets, baud] { sheets << baud->styleSheet(); };

        QMetaObject::Connection changed = connect(_window->getConnectAction(), &QAction::changed, note);
        _window->getConnectAction()->trigger();
        disconnect(changed);
        QVERIFY(!sheets.isEmpty());
        QCOMPARE(sheets.first(), QString::fromLatin1(comboplaceholder::onlineSheet));
        QTRY_COMPARE_WITH_TIMEOUT(_window->statusBar()->currentMessage(), QStringLiteral("Connected"), 20000);

        sheets.clear();
        changed = connect(_window->getDisconnectAction(), &QAction::changed, note);
        _window->getDisconnectAction()->trigger();
        disconnect(changed);
        QVERIFY(!sheets.isEmpty());
        QCOMPARE(sheets.first(), QString::fromLatin1(comboplaceholder::offlineSheet));
    }

    // The captions name the stored units from the start, not the defaults until Connect.
    void captionsNameTheStoredUnitsFromTheStart_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("caption");
        QTest::newRow("degrees") << "angle" << 1 << "positionLabel"
                                 << "Position (degrees):";
        QTest::newRow("milliamperes") << "current" << 1 << "quadratureCurrentLabel"
                                      << "Phase current (Iq) (mA):";
        QTest::newRow("kilogram-centimetres") << "torque" << 1 << "quadratureCurrentLimitLabel"
                                              << "Torque limit (kg-cm):";
        QTest::newRow("Fahrenheit") << "temperature" << 1 << "upperTemperatureLimitLabel"
                                    << QString::fromUtf8("Temperature limit (°F):");
        QTest::newRow("defaults") << "angle" << 0 << "clockwiseAngleLimitLabel"
                                  << "Clockwise angle limit (radians):";
    }

    void captionsNameTheStoredUnitsFromTheStart()
    {
        QFETCH(QString, key);
        QFETCH(int, unit);
        QFETCH(QString, label);
        QFETCH(QString, caption);
        QSettings settings(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
        settings.setValue("units settings/" + key, unit);
        settings.sync();
        _window = std::make_unique<MainWindow>();
        _window->show();
        QCOMPARE(_window->findChild<VelkoraUnitLabel*>(label)->text(), caption);
    }

    // Every data field is registered once; the registry finds fields deep in containers
    // and is built only once.
    void registration()
    {
        MainWindow window;
        QCOMPARE(UiRegisterHelper::_instance->registeredFieldCount(), std::size(v1Locations));
        for (const Location& at : v1Locations)
            QVERIFY2(UiRegisterHelper::_instance->getRegisteredField(QString(at.name)), at.name);

        auto registry = FieldHelper::_instance;
        QVERIFY(registry);
        QVERIFY(registry->getEditViewField("positionLabel"));
        QVERIFY(registry->getEditViewField("overloadStatusCheckBox"));

        QWidget outer;
        auto* frame = new QFrame(new VelkoraParametersGroupBox(&outer));
        auto* deep = new VelkoraDoubleSpinBox(frame);
        deep->setObjectName("deadZoneDoubleSpinBox");
        QList<QObject*> objects{&outer};
        QVERIFY(FieldHelper(&objects).getEditViewField("deadZoneDoubleSpinBox") ==
                static_cast<IVelkoraField*>(deep));
        QCOMPARE(FieldHelper::getInstance(&objects), registry);
        QVERIFY(!registry->getEditViewField("deadZoneDoubleSpinBox"));
    }
};

QTEST_MAIN(TestEditView)
#include "tst_editview.moc"
