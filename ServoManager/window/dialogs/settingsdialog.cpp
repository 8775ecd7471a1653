#include "window/dialogs/settingsdialog.h"

#include "core/model/modelregistry.h"
#include "core/transport/defaultport.h"
#include "core/transport/portlatency.h"
#include "core/transport/serialhelper.h"
#include "ui_settingsdialog.h"

#include <serialportitem.h>

#include <algorithm>

#include <QCompleter>
#include <QFileInfo>
#include <QIntValidator>
#include <QLineEdit>
#include <QSerialPort>
#include <QSet>
#include <QTreeWidgetItem>

namespace {
const QString portGroup = QStringLiteral("port settings");
const QString unitsGroup = QStringLiteral("units settings");
const QString serialPortNameKey = QStringLiteral("serialPortName");
const QString baudRateKey = QStringLiteral("baudRate");
const QString protocolKey = QStringLiteral("protocol");

// The protocol box lists Protocol 2 first, then Protocol 1 and its Feetech flavour.
int protocolIndex(int protocol)
{
    return protocol == 1 ? 1 : protocol == 3 ? 2 : 0;
}
constexpr int defaultBaudRate = 1000000;
constexpr int maxCustomBaudRate = 4000000;

void checkUnit(QRadioButton* first, QRadioButton* second, int unit)
{
    (unit == 1 ? second : first)->setChecked(true);
}
} // namespace

SettingsDialog* SettingsDialog::_instance = nullptr;

SettingsDialog::SettingsDialog(QWidget* parent) : QDialog(parent), ui(new Ui::SettingsDialog)
{
    ui->setupUi(this);
    _instance = this;
    setModal(true);

    _intValidator = new QIntValidator(0, maxCustomBaudRate, this);
    ui->baudRateBox->setInsertPolicy(QComboBox::NoInsert);
    // Device names are case-sensitive: a case-blind completion would turn a typed name into
    // another device's.
    ui->serialPortInfoListBox->completer()->setCaseSensitivity(Qt::CaseSensitive);

    connect(ui->okButton, &QPushButton::clicked, this, &SettingsDialog::apply);
    connect(ui->cancelButton, &QPushButton::clicked, this, &SettingsDialog::cancel);
    connect(ui->treatAsList, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* item) { ui->forgetButton->setEnabled(item != nullptr); });
    connect(ui->forgetButton, &QPushButton::clicked, this, [this] { delete ui->treatAsList->currentItem(); });
    connect(ui->serialPortInfoListBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SettingsDialog::showPortInfo);
    connect(ui->baudRateBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SettingsDialog::checkCustomBaudRatePolicy);

    _portSettings = std::make_shared<Settings>(portGroup);
    _unitsSettings = std::make_shared<Settings>(unitsGroup);

    fillPortsParameters();
    fillPortsInfo();
    initialisePortSettings();
    initialiseUnitsSettings();
    updatePortSettings();
    updateUnitsSettings();

    ui->settingsTabWidget->setAutoFillBackground(true);
}

SettingsDialog::~SettingsDialog()
{
    if (_instance == this) {
        _instance = nullptr;
    }
    delete ui;
}

PortSettings SettingsDialog::portSettings() const
{
    return _currentPortSettings;
}

std::shared_ptr<PhysicalQuantities> SettingsDialog::unitsSettings() const
{
    return std::make_shared<PhysicalQuantities>(_currentUnitsSettings);
}

void SettingsDialog::show()
{
    // Choices changed and then cancelled go back to what is in effect: the port and baud rate
    // that Connect will use, and the applied units.
    showPort(_currentPortSettings);
    showUnits(_currentUnitsSettings);
    showTreatAsChoices();
    QDialog::show();
    ui->settingsTabWidget->setCurrentWidget(ui->connectionTab);
    ui->okButton->setFocus(Qt::OtherFocusReason);
}

void SettingsDialog::apply()
{
    adoptTypedPort();
    updatePortSettings();
    persistPortSettings();
    updateUnitsSettings();
    persistUnitsSettings();
    forgetDroppedChoices();
    hide();
}

void SettingsDialog::cancel()
{
    close();
}

void SettingsDialog::on_updateBaudRate(int baudRate)
{
    // The list offers only its fixed rates; a rate it cannot show would be lost at the next apply.
    const int index = ui->baudRateBox->findText(QString::number(baudRate));
    if (index < 0) {
        return;
    }
    _currentPortSettings.baudRate = baudRate;
    _portSettings->setValue(baudRateKey, baudRate);
    ui->baudRateBox->setCurrentIndex(index);
}

void SettingsDialog::on_updateProtocol(int protocol)
{
    if (protocol < 1 || protocol > 3)
        return;
    _currentPortSettings.protocol = protocol;
    _portSettings->setValue(protocolKey, protocol);
    ui->protocolComboBox->setCurrentIndex(protocolIndex(protocol));
}

void SettingsDialog::on_updatePortName(const QString& portName)
{
    if (portName.isEmpty() || portName == _currentPortSettings.name) {
        return;
    }
    int index = ui->serialPortInfoListBox->findText(portName);
    if (index < 0) {
        index = addUnlistedPort(portName);
    }
    ui->serialPortInfoListBox->setCurrentIndex(index);
    _currentPortSettings.name = portName;
    _portSettings->setValue(serialPortNameKey, portName);
}

void SettingsDialog::showPortInfo(int index)
{
    if (index == -1) {
        return;
    }
    const QStringList list = ui->serialPortInfoListBox->itemData(index).toStringList();
    ui->descriptionLabel->setText(tr("Description: %1").arg(list.value(1)));
    ui->manufacturerLabel->setText(tr("Manufacturer: %1").arg(list.value(2)));
    ui->locationLabel->setText(tr("Location: %1").arg(list.value(3)));
    ui->vidLabel->setText(tr("Vendor Identifier: %1").arg(list.value(4)));
    ui->pidLabel->setText(tr("Product Identifier: %1").arg(list.value(5)));
    ui->latencyLabel->setText(portLatencyText(probePortLatency(list.value(0))));
}

void SettingsDialog::checkCustomBaudRatePolicy(int index)
{
    const bool isCustom = !ui->baudRateBox->itemData(index).isValid();
    ui->baudRateBox->setEditable(isCustom);
    if (isCustom) {
        ui->baudRateBox->clearEditText();
        ui->baudRateBox->lineEdit()->setValidator(_intValidator);
    }
}

void SettingsDialog::fillPortsParameters()
{
    for (int rate : offeredBaudRates()) {
        ui->baudRateBox->addItem(QString::number(rate), rate);
    }

    ui->dataBitsBox->addItem(QStringLiteral("5"), QSerialPort::Data5);
    ui->dataBitsBox->addItem(QStringLiteral("6"), QSerialPort::Data6);
    ui->dataBitsBox->addItem(QStringLiteral("7"), QSerialPort::Data7);
    ui->dataBitsBox->addItem(QStringLiteral("8"), QSerialPort::Data8);
    ui->dataBitsBox->setCurrentIndex(3);

    ui->parityBox->addItem(tr("None"), QSerialPort::NoParity);
    ui->parityBox->addItem(tr("Even"), QSerialPort::EvenParity);
    ui->parityBox->addItem(tr("Odd"), QSerialPort::OddParity);
    ui->parityBox->addItem(tr("Mark"), QSerialPort::MarkParity);
    ui->parityBox->addItem(tr("Space"), QSerialPort::SpaceParity);

    ui->stopBitsBox->addItem(QStringLiteral("1"), QSerialPort::OneStop);
    ui->stopBitsBox->addItem(QStringLiteral("2"), QSerialPort::TwoStop);
}

void SettingsDialog::fillPortsInfo()
{
    ui->serialPortInfoListBox->clear();
    const auto ports = std::make_shared<SerialHelper>()->getSerialPortList();
    for (const auto& port : ports) {
        const QStringList record = serialPortRecord(*port);
        ui->serialPortInfoListBox->addItem(record.first(), record);
    }
}

void SettingsDialog::initialisePortSettings()
{
    // A stored rate the list does not offer (a hand-edited or damaged file) gives way to the
    // default, not to whichever rate the list happens to start with.
    const int baudRate = _portSettings->getValue(baudRateKey, defaultBaudRate).toInt();
    int baudIndex = ui->baudRateBox->findText(QString::number(baudRate));
    if (baudIndex < 0) {
        baudIndex = ui->baudRateBox->findText(QString::number(defaultBaudRate));
    }
    ui->baudRateBox->setCurrentIndex(baudIndex);
    ui->protocolComboBox->setCurrentIndex(
        protocolIndex(protocolOfSetting(_portSettings->getValue(protocolKey, QVariant()))));

    // A port the machine does not enumerate (a by-id link, a pseudo-terminal) stays chosen
    // as long as its device exists; otherwise the first listed port takes its place.
    const QString portName = _portSettings->getValue(serialPortNameKey, QString()).toString();
    int portIndex = ui->serialPortInfoListBox->findText(portName);
    if (portIndex < 0 && !portName.isEmpty() && QFileInfo::exists(portSystemLocation(portName))) {
        portIndex = addUnlistedPort(portName);
    }
    if (portIndex < 0) {
        portIndex = firstUsbAdapterIndex();
    }
    if (portIndex >= 0) {
        ui->serialPortInfoListBox->setCurrentIndex(portIndex);
    }
}

int SettingsDialog::firstUsbAdapterIndex()
{
    QStringList listed;
    for (int index = 0; index < ui->serialPortInfoListBox->count(); ++index) {
        listed << ui->serialPortInfoListBox->itemText(index);
    }
    const QString adapter = defaultport::firstUsbAdapter(listed, defaultport::serialByIdLinks());
    if (adapter.isEmpty()) {
        return -1;
    }
    const int index = ui->serialPortInfoListBox->findText(adapter);
    return index >= 0 ? index : addUnlistedPort(adapter);
}

void SettingsDialog::initialiseUnitsSettings()
{
    _currentUnitsSettings = storedUnits();
    showUnits(_currentUnitsSettings);
}

void SettingsDialog::updatePortSettings()
{
    _currentPortSettings.name = ui->serialPortInfoListBox->currentText();
    _currentPortSettings.baudRate = ui->baudRateBox->currentText().toInt();
    constexpr int protocolOfIndex[] = {2, 1, 3};
    _currentPortSettings.protocol = protocolOfIndex[std::clamp(ui->protocolComboBox->currentIndex(), 0, 2)];
    _currentPortSettings.dataBits = ui->dataBitsBox->currentData().toInt();
    _currentPortSettings.stringDataBits = ui->dataBitsBox->currentText();
    _currentPortSettings.parity = ui->parityBox->currentData().toInt();
    _currentPortSettings.stringParity = ui->parityBox->currentText();
    _currentPortSettings.stopBits = ui->stopBitsBox->currentData().toInt();
    _currentPortSettings.stringStopBits = ui->stopBitsBox->currentText();
}

void SettingsDialog::updateUnitsSettings()
{
    _currentUnitsSettings.angularVelocity = ui->revsPerMinuteRadioButton->isChecked() ? 1 : 0;
    _currentUnitsSettings.angle = ui->degreesRadioButton->isChecked() ? 1 : 0;
    _currentUnitsSettings.torque = ui->kgCentimetresRadioButton->isChecked() ? 1 : 0;
    _currentUnitsSettings.current = ui->milliAmpsRadioButton->isChecked() ? 1 : 0;
    _currentUnitsSettings.temperature = ui->fahrenheitRadioButton->isChecked() ? 1 : 0;
    _currentUnitsSettings.servoData = ui->decimalRadioButton->isChecked() ? 1 : 0;
    if (ui->radsPerSecondSquaredRadioButton->isChecked()) {
        _currentUnitsSettings.angularAcceleration = 0;
    }
    if (ui->voltageRadioButton->isChecked()) {
        _currentUnitsSettings.voltage = 0;
    }
}

void SettingsDialog::persistPortSettings()
{
    _portSettings->setValue(baudRateKey, _currentPortSettings.baudRate);
    _portSettings->setValue(serialPortNameKey, _currentPortSettings.name);
    _portSettings->setValue(protocolKey, _currentPortSettings.protocol);
}

// The return delay has no control in the dialog, so it is never written.
void SettingsDialog::persistUnitsSettings()
{
    _unitsSettings->setValue(QStringLiteral("angularVelocity"), _currentUnitsSettings.angularVelocity);
    _unitsSettings->setValue(QStringLiteral("angle"), _currentUnitsSettings.angle);
    _unitsSettings->setValue(QStringLiteral("angularAcceleration"),
                             _currentUnitsSettings.angularAcceleration);
    _unitsSettings->setValue(QStringLiteral("torque"), _currentUnitsSettings.torque);
    _unitsSettings->setValue(QStringLiteral("voltage"), _currentUnitsSettings.voltage);
    _unitsSettings->setValue(QStringLiteral("current"), _currentUnitsSettings.current);
    _unitsSettings->setValue(QStringLiteral("temperature"), _currentUnitsSettings.temperature);
    _unitsSettings->setValue(QStringLiteral("servoData"), _currentUnitsSettings.servoData);
}

int SettingsDialog::addUnlistedPort(const QString& portName)
{
    const SerialPortItem port(portName, portSystemLocation(portName), QString(), QString(), 0, 0);
    ui->serialPortInfoListBox->addItem(portName, serialPortRecord(port));
    return ui->serialPortInfoListBox->count() - 1;
}

// A device path typed into the port list becomes an entry of its own, so that its details
// are shown and it is offered again.
void SettingsDialog::adoptTypedPort()
{
    const QString typed = ui->serialPortInfoListBox->currentText().trimmed();
    if (typed.isEmpty()) {
        return;
    }
    int index = ui->serialPortInfoListBox->findText(typed);
    if (index < 0) {
        index = addUnlistedPort(typed);
    }
    ui->serialPortInfoListBox->setCurrentIndex(index);
}

// A stored value that is not a number, or not one of the quantity's units, reads as unit 0.
void SettingsDialog::showPort(const PortSettings& port)
{
    const int portIndex = ui->serialPortInfoListBox->findText(port.name);
    if (portIndex >= 0) {
        ui->serialPortInfoListBox->setCurrentIndex(portIndex);
    } else if (ui->serialPortInfoListBox->isEditable()) {
        ui->serialPortInfoListBox->setEditText(port.name);
    }
    const int baudIndex = ui->baudRateBox->findText(QString::number(port.baudRate));
    if (baudIndex >= 0) {
        ui->baudRateBox->setCurrentIndex(baudIndex);
    }
    ui->protocolComboBox->setCurrentIndex(protocolIndex(port.protocol));
}

void SettingsDialog::showUnits(const PhysicalQuantities& units)
{
    checkUnit(ui->radsPerSecondRadioButton, ui->revsPerMinuteRadioButton, units.angularVelocity);
    checkUnit(ui->radiansRadioButton, ui->degreesRadioButton, units.angle);
    ui->radsPerSecondSquaredRadioButton->setChecked(units.angularAcceleration == 0);
    checkUnit(ui->newtonMetersRadioButton, ui->kgCentimetresRadioButton, units.torque);
    ui->voltageRadioButton->setChecked(units.voltage == 0);
    checkUnit(ui->ampsRadioButton, ui->milliAmpsRadioButton, units.current);
    checkUnit(ui->centigradeRadioButton, ui->fahrenheitRadioButton, units.temperature);
    checkUnit(ui->hexRadioButton, ui->decimalRadioButton, units.servoData);
}

void SettingsDialog::showTreatAsChoices()
{
    ui->treatAsList->clear();
    const QMap<int, QString> choices = treatAsChoices();
    for (auto it = choices.begin(); it != choices.end(); ++it)
        new QTreeWidgetItem(ui->treatAsList, {QString::number(it.key()), it.value()});
    ui->forgetButton->setEnabled(false);
}

void SettingsDialog::forgetDroppedChoices()
{
    QSet<int> kept;
    for (int row = 0; row < ui->treatAsList->topLevelItemCount(); ++row)
        kept.insert(ui->treatAsList->topLevelItem(row)->text(0).toInt());
    const QMap<int, QString> choices = treatAsChoices();
    for (auto it = choices.begin(); it != choices.end(); ++it) {
        if (!kept.contains(it.key()))
            setTreatedAs(it.key(), QString());
    }
}
