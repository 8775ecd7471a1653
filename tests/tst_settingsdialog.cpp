#include "core/settings/settingshelper.h"
#include "core/transport/defaultport.h"
#include "window/dialogs/settingsdialog.h"

#include "isolatedsettings.h"
#include "ptypair.h"

#include <serialportitem.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QtTest>

#include <memory>

namespace {
std::unique_ptr<QSettings> store()
{
    return std::make_unique<QSettings>(QStringLiteral("Tessaphor"), QStringLiteral("Velkora Servo Manager"));
}

void preset(const QString& key, const QVariant& value)
{
    auto settings = store();
    settings->setValue(key, value);
    settings->sync();
}

template <typename T> T* child(const QDialog& dialog, const char* name)
{
    T* widget = dialog.findChild<T*>(QLatin1String(name));
    if (!widget) {
        qFatal("the settings dialog has no %s", name);
    }
    return widget;
}

QString labelText(const QDialog& dialog, const char* name)
{
    return child<QLabel>(dialog, name)->text();
}

QStringList checkedRadioButtons(const QDialog& dialog)
{
    QStringList names;
    for (const QRadioButton* button : dialog.findChildren<QRadioButton*>()) {
        if (button->isChecked()) {
            names << button->objectName();
        }
    }
    names.sort();
    return names;
}

QStringList sorted(QStringList names)
{
    names.sort();
    return names;
}

// The first listed port, or nothing on a machine without serial ports.
QString firstListedPort(const QDialog& dialog)
{
    const auto* ports = child<QComboBox>(dialog, "serialPortInfoListBox");
    return ports->count() > 0 ? ports->itemText(0) : QString();
}

struct UnitKey
{
    const char* key;
    int32_t PhysicalQuantities::*member;
    const char* firstButton;
    const char* secondButton; // null for quantities with a single unit
};

const UnitKey unitKeys[] = {
    {"angularVelocity", &PhysicalQuantities::angularVelocity, "radsPerSecondRadioButton",
     "revsPerMinuteRadioButton"},
    {"angle", &PhysicalQuantities::angle, "radiansRadioButton", "degreesRadioButton"},
    {"angularAcceleration", &PhysicalQuantities::angularAcceleration, "radsPerSecondSquaredRadioButton",
     nullptr},
    {"torque", &PhysicalQuantities::torque, "newtonMetersRadioButton", "kgCentimetresRadioButton"},
    {"voltage", &PhysicalQuantities::voltage, "voltageRadioButton", nullptr},
    {"current", &PhysicalQuantities::current, "ampsRadioButton", "milliAmpsRadioButton"},
    {"temperature", &PhysicalQuantities::temperature, "centigradeRadioButton", "fahrenheitRadioButton"},
    {"returnDelay", &PhysicalQuantities::returnDelay, nullptr, nullptr},
    {"servoData", &PhysicalQuantities::servoData, "hexRadioButton", "decimalRadioButton"},
};

const QStringList defaultRadioButtons =
    sorted({"radsPerSecondRadioButton", "radiansRadioButton", "radsPerSecondSquaredRadioButton",
            "newtonMetersRadioButton", "voltageRadioButton", "ampsRadioButton", "centigradeRadioButton",
            "hexRadioButton"});
} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private slots:
    // A first start offers the servos' adapter, not the machine's own ttyS ports.
    void firstStartOffersTheUsbAdapter_data()
    {
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QStringList>("byId");
        QTest::addColumn<QString>("chosen");
        const QStringList link{"/dev/serial/by-id/usb-Adapter_A1-if00-port0"};
        QTest::newRow("ttyS ports only") << QStringList{"ttyS0", "ttyS1"} << QStringList{} << QString();
        QTest::newRow("an adapter after ttyS") << QStringList{"ttyS0", "ttyS1", "ttyUSB0"} << link << "ttyUSB0";
        QTest::newRow("lowest number") << QStringList{"ttyUSB10", "ttyUSB9", "ttyUSB2"} << QStringList{} << "ttyUSB2";
        QTest::newRow("ttyUSB before ttyACM") << QStringList{"ttyACM0", "ttyUSB1"} << QStringList{} << "ttyUSB1";
        QTest::newRow("a CDC adapter") << QStringList{"ttyS0", "ttyACM0"} << QStringList{} << "ttyACM0";
        QTest::newRow("only a link") << QStringList{"ttyS0"} << link << link.first();
        QTest::newRow("not an adapter's name") << QStringList{"ttyUSBx", "myttyUSB0"} << QStringList{} << QString();
    }

    void firstStartOffersTheUsbAdapter()
    {
        QFETCH(QStringList, listed);
        QFETCH(QStringList, byId);
        QFETCH(QString, chosen);
        QCOMPARE(defaultport::firstUsbAdapter(listed, byId), chosen);
    }

    void firstStartUsesDefaults();
    void applyStoresChoiceForNextStart();
    void cancelDropsRadioChanges();
    void searchResultSetsBaudRateWhileHidden();
    void portRecord_data();
    void portRecord();
    void portDetailsAreShown();
    void storedPortThatExistsIsKept_data();
    void storedPortThatExistsIsKept();
    void storedPortThatVanishedFallsBack_data();
    void storedPortThatVanishedFallsBack();
    void typedPortIsAdopted();
    void storedBaudRateOutsideTheListFallsBack_data();
    void storedBaudRateOutsideTheListFallsBack();
    void storedProtocolIsReadSafely_data();
    void storedProtocolIsReadSafely();
    void storedUnitValuesAreReadSafely_data();
    void storedUnitValuesAreReadSafely();
};

void TestSettingsDialog::firstStartUsesDefaults()
{
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    {
        SettingsDialog dialog;
        QCOMPARE(SettingsDialog::_instance, &dialog);
        QVERIFY(dialog.isModal());

        const PortSettings port = dialog.portSettings();
        QCOMPARE(port.name, firstListedPort(dialog));
        QCOMPARE(port.baudRate, 1000000);
        QCOMPARE(child<QComboBox>(dialog, "baudRateBox")->currentText(), QStringLiteral("1000000"));
        QVERIFY(!child<QComboBox>(dialog, "baudRateBox")->isEditable());
        QCOMPARE(port.dataBits, 8);
        QCOMPARE(port.stringDataBits, QStringLiteral("8"));
        QCOMPARE(port.parity, 0);
        QCOMPARE(port.stringParity, QStringLiteral("None"));
        QCOMPARE(port.stopBits, 1);
        QCOMPARE(port.stringStopBits, QStringLiteral("1"));

        QCOMPARE(checkedRadioButtons(dialog), defaultRadioButtons);
        const auto units = dialog.unitsSettings();
        for (const UnitKey& key : unitKeys) {
            QCOMPARE((*units).*key.member, 0);
        }
        QVERIFY(dialog.unitsSettings() != units);

        // Reading the store must not fill it with defaults.
        QVERIFY(store()->allKeys().isEmpty());
    }
    QCOMPARE(SettingsDialog::_instance, nullptr);
}

void TestSettingsDialog::applyStoresChoiceForNextStart()
{
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    const QStringList chosen = {"revsPerMinuteRadioButton", "degreesRadioButton",
                                "kgCentimetresRadioButton", "milliAmpsRadioButton",
                                "fahrenheitRadioButton",    "decimalRadioButton"};
    const QStringList expectedChecked =
        sorted(chosen + QStringList{"radsPerSecondSquaredRadioButton", "voltageRadioButton"});
    QString portName;
    {
        SettingsDialog dialog;
        dialog.show();
        for (const QString& name : chosen) {
            child<QRadioButton>(dialog, qPrintable(name))->click();
        }
        child<QPushButton>(dialog, "okButton")->click();
        QVERIFY(!dialog.isVisible());
        portName = dialog.portSettings().name;

        const auto units = dialog.unitsSettings();
        for (const UnitKey& key : unitKeys) {
            QCOMPARE((*units).*key.member, key.secondButton ? 1 : 0);
        }

        const auto settings = store();
        for (const UnitKey& key : unitKeys) {
            const QString path = QStringLiteral("units settings/") + key.key;
            if (key.firstButton) {
                QCOMPARE(settings->value(path).toInt(), key.secondButton ? 1 : 0);
            } else {
                QVERIFY2(!settings->contains(path), qPrintable(path));
            }
        }
        QCOMPARE(settings->value(QStringLiteral("port settings/baudRate")).toInt(), 1000000);
        QCOMPARE(settings->value(QStringLiteral("port settings/serialPortName")).toString(), portName);
    }

    SettingsDialog restarted;
    QCOMPARE(checkedRadioButtons(restarted), expectedChecked);
    QCOMPARE(restarted.unitsSettings()->torque, 1);
    QCOMPARE(restarted.unitsSettings()->servoData, 1);
    QCOMPARE(restarted.portSettings().name, portName);
}

void TestSettingsDialog::cancelDropsRadioChanges()
{
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    PtyPair inEffect;
    PtyPair other;
    QVERIFY2(inEffect.isOpen() && other.isOpen(), qPrintable(inEffect.errorString() + other.errorString()));
    preset(QStringLiteral("port settings/serialPortName"), inEffect.slavePath());
    preset(QStringLiteral("port settings/baudRate"), 57600);
    SettingsDialog dialog;
    auto* rpm = child<QRadioButton>(dialog, "revsPerMinuteRadioButton");
    auto* tabs = child<QTabWidget>(dialog, "settingsTabWidget");
    auto* ports = child<QComboBox>(dialog, "serialPortInfoListBox");
    auto* baudRates = child<QComboBox>(dialog, "baudRateBox");

    dialog.show();
    ports->clearEditText();
    QTest::keyClicks(ports->lineEdit(), other.slavePath());
    baudRates->setCurrentIndex(baudRates->findText(QStringLiteral("115200")));
    tabs->setCurrentWidget(child<QWidget>(dialog, "unitsTab"));
    rpm->click();
    QVERIFY(rpm->isChecked());
    child<QPushButton>(dialog, "cancelButton")->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.unitsSettings()->angularVelocity, 0);
    QVERIFY(!store()->contains(QStringLiteral("units settings/angularVelocity")));
    QCOMPARE(dialog.portSettings().name, inEffect.slavePath());
    QCOMPARE(dialog.portSettings().baudRate, 57600);

    // Opened again, the dialog shows what Connect will use, and OK keeps it.
    dialog.show();
    QCOMPARE(ports->currentText(), inEffect.slavePath());
    QCOMPARE(baudRates->currentText(), QStringLiteral("57600"));
    QVERIFY(!rpm->isChecked());
    QVERIFY(child<QRadioButton>(dialog, "radsPerSecondRadioButton")->isChecked());
    QCOMPARE(tabs->currentWidget(), child<QWidget>(dialog, "connectionTab"));
    QCOMPARE(dialog.focusWidget(), child<QPushButton>(dialog, "okButton"));
    child<QPushButton>(dialog, "okButton")->click();
    QCOMPARE(dialog.portSettings().name, inEffect.slavePath());
    QCOMPARE(store()->value(QStringLiteral("port settings/baudRate")).toInt(), 57600);
}

void TestSettingsDialog::searchResultSetsBaudRateWhileHidden()
{
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    SettingsDialog dialog;
    auto* baudRates = child<QComboBox>(dialog, "baudRateBox");
    const QString portName = dialog.portSettings().name;

    dialog.on_updateBaudRate(57600);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(baudRates->currentText(), QStringLiteral("57600"));
    QCOMPARE(dialog.portSettings().baudRate, 57600);
    QCOMPARE(dialog.portSettings().name, portName);
    QCOMPARE(store()->value(QStringLiteral("port settings/baudRate")).toInt(), 57600);
    QVERIFY(!store()->contains(QStringLiteral("port settings/serialPortName")));

    // A rate the list cannot show is not taken: the next apply would replace it anyway.
    dialog.on_updateBaudRate(12345);
    QCOMPARE(baudRates->currentText(), QStringLiteral("57600"));
    QCOMPARE(dialog.portSettings().baudRate, 57600);
    QCOMPARE(store()->value(QStringLiteral("port settings/baudRate")).toInt(), 57600);

    dialog.apply();
    QCOMPARE(dialog.portSettings().baudRate, 57600);
    QCOMPARE(store()->value(QStringLiteral("port settings/baudRate")).toInt(), 57600);
}

void TestSettingsDialog::portRecord_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");
    QTest::addColumn<QStringList>("record");

    QTest::newRow("usb adapter") << "ttyUSB0"
                                 << "/dev/ttyUSB0"
                                 << "FT232R USB UART"
                                 << "FTDI" << 0x0403 << 0x6001
                                 << QStringList{"ttyUSB0", "FT232R USB UART", "FTDI", "/dev/ttyUSB0", "403",
                                                "6001"};
    QTest::newRow("no texts") << "ttyACM0"
                              << "/dev/ttyACM0"
                              << ""
                              << "" << 0x2341 << 0xABCD
                              << QStringList{"ttyACM0", "N/A", "N/A", "/dev/ttyACM0", "2341", "abcd"};
    QTest::newRow("built-in uart") << "ttyS0"
                                   << "/dev/ttyS0"
                                   << ""
                                   << "" << 0 << 0
                                   << QStringList{"ttyS0", "N/A", "N/A", "/dev/ttyS0", "N/A", "N/A"};
}

void TestSettingsDialog::portRecord()
{
    QFETCH(QString, portName);
    QFETCH(QString, location);
    QFETCH(QString, description);
    QFETCH(QString, manufacturer);
    QFETCH(int, vendor);
    QFETCH(int, product);
    QFETCH(QStringList, record);
    const SerialPortItem port(portName, location, description, manufacturer, quint16(vendor),
                              quint16(product));
    QCOMPARE(serialPortRecord(port), record);
}

void TestSettingsDialog::portDetailsAreShown()
{
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    SettingsDialog dialog;
    auto* ports = child<QComboBox>(dialog, "serialPortInfoListBox");
    const SerialPortItem adapter(QStringLiteral("ttyUSB7"), QStringLiteral("/dev/ttyUSB7"), QString(),
                                 QStringLiteral("FTDI"), 0x0403, 0x6015);
    ports->addItem(adapter.getPortName(), serialPortRecord(adapter));
    ports->setCurrentIndex(ports->count() - 1);

    QCOMPARE(labelText(dialog, "descriptionLabel"), QStringLiteral("Description: N/A"));
    QCOMPARE(labelText(dialog, "manufacturerLabel"), QStringLiteral("Manufacturer: FTDI"));
    QCOMPARE(labelText(dialog, "locationLabel"), QStringLiteral("Location: /dev/ttyUSB7"));
    QCOMPARE(labelText(dialog, "vidLabel"), QStringLiteral("Vendor Identifier: 403"));
    QCOMPARE(labelText(dialog, "pidLabel"), QStringLiteral("Product Identifier: 6015"));
}

void TestSettingsDialog::storedPortThatExistsIsKept_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("device path") << "path";
    QTest::newRow("name under /dev") << "short";
    QTest::newRow("link to the device") << "link";
}

void TestSettingsDialog::storedPortThatExistsIsKept()
{
    QFETCH(QString, form);
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    // The slave of a pseudo-terminal is a device the machine does not enumerate.
    PtyPair terminal;
    QVERIFY2(terminal.isOpen(), qPrintable(terminal.errorString()));
    const QString device = terminal.slavePath();
    QVERIFY(device.startsWith(QLatin1String("/dev/")));

    QString stored = device;
    if (form == QLatin1String("short")) {
        stored = device.mid(5);
    } else if (form == QLatin1String("link")) {
        stored = isolated.path() + QStringLiteral("/usb-Velkora_Adapter-if00-port0");
        QVERIFY(QFile::link(device, stored));
    }
    preset(QStringLiteral("port settings/serialPortName"), stored);

    SettingsDialog dialog;
    QCOMPARE(dialog.portSettings().name, stored);
    QCOMPARE(child<QComboBox>(dialog, "serialPortInfoListBox")->currentText(), stored);
    QCOMPARE(labelText(dialog, "locationLabel"),
             QStringLiteral("Location: ") + (form == "short" ? device : stored));
    QCOMPARE(labelText(dialog, "descriptionLabel"), QStringLiteral("Description: N/A"));
    QCOMPARE(labelText(dialog, "manufacturerLabel"), QStringLiteral("Manufacturer: N/A"));
    QCOMPARE(labelText(dialog, "vidLabel"), QStringLiteral("Vendor Identifier: N/A"));
    QCOMPARE(labelText(dialog, "pidLabel"), QStringLiteral("Product Identifier: N/A"));
}

void TestSettingsDialog::storedPortThatVanishedFallsBack_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("missing path") << "path";
    QTest::newRow("missing name under /dev") << "short";
    QTest::newRow("dangling link") << "link";
}

void TestSettingsDialog::storedPortThatVanishedFallsBack()
{
    QFETCH(QString, form);
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());

    QString stored = isolated.path() + QStringLiteral("/ttyUSB-unplugged");
    if (form == QLatin1String("short")) {
        stored = QStringLiteral("ttyVelkoraUnplugged0");
    } else if (form == QLatin1String("link")) {
        const QString link = isolated.path() + QStringLiteral("/usb-Velkora_Adapter-if00-port0");
        QVERIFY(QFile::link(isolated.path() + QStringLiteral("/ttyUSB-unplugged"), link));
        stored = link;
    }
    preset(QStringLiteral("port settings/serialPortName"), stored);

    SettingsDialog dialog;
    QCOMPARE(dialog.portSettings().name, firstListedPort(dialog));
    QCOMPARE(child<QComboBox>(dialog, "serialPortInfoListBox")->findText(stored), -1);
}

void TestSettingsDialog::typedPortIsAdopted()
{
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    PtyPair terminal;
    QVERIFY2(terminal.isOpen(), qPrintable(terminal.errorString()));
    const QString device = terminal.slavePath();
    {
        SettingsDialog dialog;
        auto* ports = child<QComboBox>(dialog, "serialPortInfoListBox");
        dialog.show();
        ports->clearEditText();
        QTest::keyClicks(ports->lineEdit(), device);
        child<QPushButton>(dialog, "okButton")->click();

        QCOMPARE(dialog.portSettings().name, device);
        QCOMPARE(ports->itemText(ports->currentIndex()), device);
        QCOMPARE(labelText(dialog, "locationLabel"), QStringLiteral("Location: ") + device);
        QCOMPARE(labelText(dialog, "vidLabel"), QStringLiteral("Vendor Identifier: N/A"));
        QCOMPARE(store()->value(QStringLiteral("port settings/serialPortName")).toString(), device);

        // Applying again does not list it twice.
        dialog.show();
        child<QPushButton>(dialog, "okButton")->click();
        QCOMPARE(ports->findText(device), ports->currentIndex());
        QCOMPARE(ports->count(), ports->currentIndex() + 1);
    }
    SettingsDialog restarted;
    QCOMPARE(restarted.portSettings().name, device);
}

void TestSettingsDialog::storedBaudRateOutsideTheListFallsBack_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("baudRate");
    QTest::newRow("listed") << "57600" << 57600;
    QTest::newRow("listed, slowest") << "9600" << 9600;
    QTest::newRow("unlisted") << "12345" << 1000000;
    QTest::newRow("negative") << "-1000000" << 1000000;
    QTest::newRow("fraction") << "57600.5" << 1000000;
    QTest::newRow("text") << "fast" << 1000000;
    QTest::newRow("empty") << "" << 1000000;
}

void TestSettingsDialog::storedBaudRateOutsideTheListFallsBack()
{
    QFETCH(QString, stored);
    QFETCH(int, baudRate);
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    preset(QStringLiteral("port settings/baudRate"), stored);

    SettingsDialog dialog;
    QCOMPARE(dialog.portSettings().baudRate, baudRate);
    QCOMPARE(child<QComboBox>(dialog, "baudRateBox")->currentText(), QString::number(baudRate));
    QVERIFY(!child<QComboBox>(dialog, "baudRateBox")->isEditable());
    dialog.apply();
    QCOMPARE(store()->value(QStringLiteral("port settings/baudRate")).toString(), QString::number(baudRate));
}

// A missing or unknown protocol is Protocol 2, so settings from before the choice behave as then.
void TestSettingsDialog::storedProtocolIsReadSafely_data()
{
    QTest::addColumn<QString>("stored"); // "-": nothing stored
    QTest::addColumn<int>("protocol");
    QTest::newRow("missing") << "-" << 2;
    QTest::newRow("1") << "1" << 1;
    QTest::newRow("2") << "2" << 2;
    QTest::newRow("3: the Feetech flavour") << "3" << 3;
    QTest::newRow("4") << "4" << 2;
    QTest::newRow("fraction") << "1.5" << 2;
    QTest::newRow("text") << "one" << 2;
}

void TestSettingsDialog::storedProtocolIsReadSafely()
{
    QFETCH(QString, stored);
    QFETCH(int, protocol);
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    if (stored != "-")
        preset(QStringLiteral("port settings/protocol"), stored);

    SettingsDialog dialog;
    QCOMPARE(dialog.portSettings().protocol, protocol);
    QCOMPARE(child<QComboBox>(dialog, "protocolComboBox")->currentText(),
             protocol == 3 ? QStringLiteral("Protocol 1 (Feetech)")
                           : QStringLiteral("Protocol %1").arg(protocol));
    // The choice goes with Apply, and a search result sets it as it sets the rate.
    child<QComboBox>(dialog, "protocolComboBox")->setCurrentIndex(protocol == 1 ? 0 : 1);
    dialog.apply();
    QCOMPARE(store()->value(QStringLiteral("port settings/protocol")).toInt(), protocol == 1 ? 2 : 1);
    dialog.on_updateProtocol(protocol);
    QCOMPARE(dialog.portSettings().protocol, protocol);
    QCOMPARE(store()->value(QStringLiteral("port settings/protocol")).toInt(), protocol);
}

void TestSettingsDialog::storedUnitValuesAreReadSafely_data()
{
    QTest::addColumn<int>("keyIndex");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("unit");
    for (int index = 0; index < int(std::size(unitKeys)); ++index) {
        const UnitKey& key = unitKeys[index];
        const int second = key.secondButton ? 1 : 0;
        QTest::addRow("%s one", key.key) << index << "1" << second;
        QTest::addRow("%s two", key.key) << index << "2" << 0;
        QTest::addRow("%s negative", key.key) << index << "-1" << 0;
        QTest::addRow("%s fraction", key.key) << index << "0.5" << 0;
        QTest::addRow("%s text", key.key) << index << "degrees" << 0;
    }
}

void TestSettingsDialog::storedUnitValuesAreReadSafely()
{
    QFETCH(int, keyIndex);
    QFETCH(QString, stored);
    QFETCH(int, unit);
    const UnitKey& key = unitKeys[keyIndex];
    const QString path = QStringLiteral("units settings/") + key.key;
    IsolatedSettings isolated;
    QVERIFY(isolated.isValid());
    preset(path, stored);

    SettingsDialog dialog;
    QCOMPARE(dialog.unitsSettings().get()->*key.member, unit);
    if (key.firstButton) {
        const char* checked = unit == 1 ? key.secondButton : key.firstButton;
        QVERIFY(child<QRadioButton>(dialog, checked)->isChecked());
    }

    dialog.apply();
    QCOMPARE(dialog.unitsSettings().get()->*key.member, unit);
    // The return delay has no control: whatever the file holds stays untouched.
    QCOMPARE(store()->value(path).toString(), key.firstButton ? QString::number(unit) : stored);
}

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
