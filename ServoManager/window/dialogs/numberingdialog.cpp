#include "ui_numberingdialog.h"
#include "window/dialogs/numberingdialog.h"

#include "core/jobs/servonumbering.h"
#include "core/launch/launchoptions.h"
#include "core/model/modelregistry.h"
#include "core/settings/settingshelper.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"

#include <servosimulator.h>

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <algorithm>

namespace {
constexpr int defaultFactoryRate = 1000000;
}

NumberingDialog::NumberingDialog(std::shared_ptr<SerialHelper> serial, QWidget* parent)
    : QDialog(parent), _ui(std::make_unique<Ui::NumberingDialog>()), _serial(std::move(serial)),
      _numbering(new ServoNumbering(_serial, this))
{
    _ui->setupUi(this);
    setModal(false);
    _ui->newRateComboBox->addItem(tr("keep"), 0);
    for (int rate : offeredBaudRates()) {
        _ui->factoryRateComboBox->addItem(QString::number(rate), rate);
        _ui->newRateComboBox->addItem(QString::number(rate), rate);
    }
    _ui->factoryRateComboBox->setCurrentIndex(_ui->factoryRateComboBox->findData(defaultFactoryRate));
    _ui->newRateComboBox->setCurrentIndex(0);
    offerModels();

    if (LaunchSession::runningSimulator()) {
        _plugButton = new QPushButton(tr("Plug in a simulated new servo"), this);
        _plugButton->setObjectName(QStringLiteral("plugSimulatedButton"));
        _plugButton->setAutoDefault(false);
        _ui->numberingButtonLayout->addWidget(_plugButton);
        connect(_plugButton, &QPushButton::clicked, this, &NumberingDialog::plugSimulatedServo);
    }

    connect(_ui->numberingConfigButton, &QPushButton::clicked, this, &NumberingDialog::chooseConfiguration);
    connect(_ui->connectNewServoButton, &QPushButton::clicked, this, &NumberingDialog::startNumbering);
    connect(_ui->stopNumberingButton, &QPushButton::clicked, this, &NumberingDialog::stopNumbering);

    connect(_numbering, &ServoNumbering::waiting, this, [this] {
        const QString waiting = tr("Waiting for a new servo at id %1, %2 baud…")
                                    .arg(_numbering->plan().factoryId)
                                    .arg(_numbering->plan().factoryRate);
        _ui->numberingStateLabel->setText(_lastReady.isEmpty() ? waiting : _lastReady + QLatin1Char('\n') + waiting);
        updateControls();
    });
    connect(_numbering, &ServoNumbering::idTaken, this, [this](int id) {
        _ui->numberingStateLabel->setText(tr("Id %1 answers on the bus already; it is left alone.").arg(id));
    });
    connect(_numbering, &ServoNumbering::numbering, this, [this](int id) {
        _ui->numberingStateLabel->setText(tr("Giving the new servo id %1…").arg(id));
        updateControls();
    });
    connect(_numbering, &ServoNumbering::servoReady, this, &NumberingDialog::onServoReady);
    connect(_numbering, &ServoNumbering::failed, this, &NumberingDialog::onStopped);
    connect(_numbering, &ServoNumbering::portFailed, this, &NumberingDialog::onStopped);
    updateControls();
}

NumberingDialog::~NumberingDialog()
{
    _numbering->stop();
    releasePort();
}

void NumberingDialog::offerModels()
{
    // The models leave the factory at different addresses: the choice of one sets both.
    for (const ModelRegistry::Model& model : ModelRegistry::shared().models())
        _ui->newModelComboBox->addItem(model.description->caption, model.description->name);
    const auto takeFactoryAddress = [this] {
        const auto model = ModelRegistry::shared().byName(_ui->newModelComboBox->currentData().toString());
        if (!model)
            return;
        _ui->factoryIdSpinBox->setValue(model->factoryId);
        const int rate = _ui->factoryRateComboBox->findData(model->factoryBaudRate);
        if (rate >= 0)
            _ui->factoryRateComboBox->setCurrentIndex(rate);
    };
    // Simulated new servos are of the simulated model; else the first model the program had.
    const QString simulated = LaunchSession::simulatedModel();
    const int chosen =
        _ui->newModelComboBox->findData(simulated.isEmpty() ? QStringLiteral("v1") : simulated);
    _ui->newModelComboBox->setCurrentIndex(std::max(0, chosen));
    takeFactoryAddress();
    connect(_ui->newModelComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            takeFactoryAddress);
}

int NumberingDialog::factoryId() const
{
    return _ui->factoryIdSpinBox->value();
}

int NumberingDialog::factoryRate() const
{
    return _ui->factoryRateComboBox->currentData().toInt();
}

bool NumberingDialog::isNumbering() const
{
    return _numbering->isRunning();
}

void NumberingDialog::setWindowConnected(bool connected)
{
    _windowConnected = connected;
    if (connected && _numbering->isRunning())
        stopNumbering();
    updateControls();
}

bool NumberingDialog::startNumbering()
{
    if (_numbering->isRunning())
        return true;
    if (_windowConnected) {
        updateControls();
        return false;
    }
    NumberingPlan plan;
    plan.factoryId = _ui->factoryIdSpinBox->value();
    plan.factoryRate = factoryRate();
    plan.nextId = _ui->firstIdSpinBox->value();
    plan.newRate = _ui->newRateComboBox->currentData().toInt();
    if (plan.nextId == plan.factoryId) {
        _ui->numberingStateLabel->setText(
            tr("The first new id is the factory id, where every new servo answers: choose another."));
        return false;
    }
    if (knownServoAt && knownServoAt(plan.factoryId, plan.factoryRate) && !_warnedOfKnown) {
        _warnedOfKnown = true;
        _ui->numberingStateLabel->setText(
            tr("Servo %1 is in the Bus table: it answers at the factory id and would get a new id too. "
               "Unplug it (or remove it from the table), or press again to number it anyway.")
                .arg(plan.factoryId));
        return false;
    }
    _warnedOfKnown = false;
    const QString configPath = _ui->numberingConfigEdit->text().trimmed();
    QString warning;
    if (!configPath.isEmpty()) {
        const auto read = readNumberingConfiguration(configPath);
        if (!read.error.isEmpty()) {
            _ui->numberingStateLabel->setText(read.error);
            return false;
        }
        warning = read.warning;
        plan.configuration = read.configuration;
    }
    // A new servo is asked at its factory address in the port's protocol.
    if (!_serial->isOpen()) {
        _serial->setProtocol(BusProtocol(protocolOfSetting(
            Settings(QStringLiteral("port settings")).getValue(QStringLiteral("protocol"), QVariant()))));
        const QString port =
            Settings(QStringLiteral("port settings")).getValue(QStringLiteral("serialPortName"), QString()).toString();
        if (port.isEmpty()) {
            _ui->numberingStateLabel->setText(tr("No serial port is chosen: choose one in Settings."));
            return false;
        }
        const QString error = _serial->openSerialPort(port, plan.factoryRate);
        if (!error.isEmpty()) {
            _ui->numberingStateLabel->setText(portOpenErrorText(port, error));
            return false;
        }
        _openedPort = true;
    } else {
        _foundRate = _serial->baudRate();
    }
    _lastReady = warning;
    _numbering->start(plan);
    updateControls();
    return _numbering->isRunning();
}

void NumberingDialog::stopNumbering()
{
    if (!_numbering->isRunning())
        return;
    _numbering->stop();
    releasePort();
    _ui->numberingStateLabel->setText(_lastReady.isEmpty() ? tr("Stopped.")
                                                           : _lastReady + QLatin1Char('\n') + tr("Stopped."));
    updateControls();
}

void NumberingDialog::done(int result)
{
    stopNumbering();
    QDialog::done(result);
}

void NumberingDialog::onServoReady(int id, int baudRate, const QString& result)
{
    _lastReady = result;
    _ui->numberingStateLabel->setText(result);
    QString entry = tr("Servo %1 at %2 baud").arg(id).arg(baudRate);
    if (_numbering->plan().configuration && !_numbering->results().isEmpty())
        entry += tr(": configuration %1").arg(_numbering->results().last().text());
    _ui->numberedList->addItem(entry);
    _ui->numberedList->scrollToBottom();
    emit servoNumbered(id, baudRate);
}

void NumberingDialog::onStopped(const QString& why)
{
    releasePort();
    _ui->numberingStateLabel->setText(tr("Numbering stopped: %1").arg(why));
    updateControls();
}

void NumberingDialog::releasePort()
{
    if (_openedPort) {
        _serial->closeSerialPort();
        _openedPort = false;
    } else if (_foundRate > 0 && _serial->isOpen() && _serial->baudRate() != _foundRate) {
        const QString port = _serial->portName();
        _serial->closeSerialPort();
        _serial->openSerialPort(port, _foundRate);
    }
    _foundRate = 0;
}

void NumberingDialog::updateControls()
{
    const bool running = _numbering->isRunning();
    for (QWidget* input :
         {static_cast<QWidget*>(_ui->newModelComboBox), static_cast<QWidget*>(_ui->factoryIdSpinBox),
          static_cast<QWidget*>(_ui->factoryRateComboBox), static_cast<QWidget*>(_ui->firstIdSpinBox),
          static_cast<QWidget*>(_ui->newRateComboBox), static_cast<QWidget*>(_ui->numberingConfigEdit),
          static_cast<QWidget*>(_ui->numberingConfigButton),
          static_cast<QWidget*>(_ui->connectNewServoButton)})
        input->setEnabled(!running);
    _ui->connectNewServoButton->setEnabled(!running && !_windowConnected);
    _ui->stopNumberingButton->setEnabled(running);
    const QString disconnectFirst =
        tr("Disconnect first: numbering and the connected servo's polls would share the bus.");
    if (_windowConnected && !running)
        _ui->numberingStateLabel->setText(disconnectFirst);
    else if (!_windowConnected && _ui->numberingStateLabel->text() == disconnectFirst)
        _ui->numberingStateLabel->clear();
}

void NumberingDialog::chooseConfiguration()
{
    const QString current = _ui->numberingConfigEdit->text().trimmed();
    auto* chooser = new QFileDialog(this, tr("Configuration for the new servos"),
                                    current.isEmpty() ? QDir::homePath() : QFileInfo(current).absolutePath(),
                                    tr("Servo configurations (*.json);;All files (*)"));
    chooser->setFileMode(QFileDialog::ExistingFile);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    connect(chooser, &QFileDialog::fileSelected, this,
            [this](const QString& path) { _ui->numberingConfigEdit->setText(path); });
    chooser->open();
}

void NumberingDialog::plugSimulatedServo()
{
    // Looked up again: the simulated servos may have gone since the dialog was made.
    if (servosim::ServoSimulator* simulator = LaunchSession::runningSimulator())
        simulator->plugServo(_ui->factoryIdSpinBox->value(), factoryRate());
}
