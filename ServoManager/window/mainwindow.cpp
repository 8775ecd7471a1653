#include "ui_mainwindow.h"
#include "window/mainwindow.h"

#include "core/files/csvrecorder.h"
#include "core/model/modelsource.h"
#include "core/session/devicehelper.h"
#include "core/session/uischeduler.h"
#include "core/settings/settingshelper.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"
#include "window/controllers/buscontrol.h"
#include "window/controllers/dockfitter.h"
#include "window/controllers/maintenancerequests.h"
#include "window/controllers/recordingcontrol.h"
#include "window/controllers/servofollower.h"
#include "window/controllers/windowgeometry.h"
#include "window/dialogs/configurationdialog.h"
#include "window/dialogs/confirmation.h"
#include "window/dialogs/offer.h"
#include "window/dialogs/searchdialog.h"
#include "window/dialogs/settingsdialog.h"
#include "window/docks/busdock.h"
#include "window/docks/fastsamplingcontrol.h"
#include "window/docks/plotdock.h"
#include "window/docks/trafficdock.h"
#include "window/editview/registerview.h"
#include "window/editview/uigrouphelper.h"
#include "window/editview/uiregisterhelper.h"
#include "window/widgets/tablecopy.h"

#include <QCloseEvent>
#include <QDockWidget>
#include <QLabel>
#include <QSpinBox>
#include <QStatusBar>

namespace {
const QString keyGeometry = QStringLiteral("geometry");
const QString keyWindowState = QStringLiteral("windowState");
const QString keyPollingInterval = QStringLiteral("pollingInterval");
const QString keyServoId = QStringLiteral("servoId");
constexpr int closeDelayMs = 100;
constexpr int defaultPollingIntervalMs = 500;
constexpr int trafficRefreshMs = 1000;
constexpr int transientMessageMs = 5000;
} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow),
      _settings(std::make_shared<Settings>(QStringLiteral("main window settings"))),
      _settingsDialog(std::make_shared<SettingsDialog>(nullptr)),
      _searchDialog(std::make_shared<SearchDialog>(nullptr)), _serialHelper(std::make_shared<SerialHelper>())
{
    Q_INIT_RESOURCE(images);
    ui->setupUi(this);

    auto deviceHelper = DeviceHelper::getInstance(_serialHelper, [this] { on_DeviceInitialised(); });
    connect(deviceHelper.get(), &DeviceHelper::identificationFailed, this,
            &MainWindow::onIdentificationFailed);
    _serialHelper->setPortErrorCallback([this](QString error) { onPortFailed(error); });
    initEditingConnections();

    // The edit and register views show the servo as the model identification found describes it.
    auto* model = new ModelSource(this);
    connect(deviceHelper.get(), &DeviceHelper::loadDeviceMetadata, model,
            [model, devices = deviceHelper.get()] { model->load(devices->getDevice()); });
    if (!UiRegisterHelper::_instance)
        UiRegisterHelper::_instance = std::make_shared<UiRegisterHelper>();
    _uiRegisterHelper = UiRegisterHelper::_instance;
    _uiRegisterHelper->setModelSource(model);
    _uiRegisterHelper->setRegisterView(ui->registerView);
    ui->editView->setModelSource(model);
    ui->registerView->setModelSource(model);

    initActions();
    addToolBarComponents();
    initToolBarConnections();
    initPlotAndRecording(); // before the saved window state, which places the dock
    initServoFollower();
    initMaintenance();
    initConfigurationFiles();
    initBus(); // before the saved window state, which places the dock
    auto* traffic = new TrafficDock(_serialHelper, this); // likewise; it adds itself to the View menu
    // Ctrl+C copies table rows, also in a dock floating as a window of its own.
    const QList<QDockWidget*> docks{_plotDock, traffic, _bus->dock()};
    tablecopy::attach(ui->actionCopy, QList<QWidget*>{this, docks.at(0), docks.at(1), docks.at(2)});
    _dockFitter = new DockFitter(this, docks);
    setScreenRect();

    _trafficLabel = new QLabel(this);
    _trafficLabel->setObjectName(QStringLiteral("trafficLabel"));
    statusBar()->addPermanentWidget(_trafficLabel);
    _trafficRefresh.setInterval(trafficRefreshMs);
    connect(&_trafficRefresh, &QTimer::timeout, this, &MainWindow::refreshTrafficLabel);

    ui->tabWidget->setAutoFillBackground(true);
    statusBar()->showMessage(tr("Disconnected"));
}

MainWindow::~MainWindow()
{
    // Rows still held reach the file before the window's parts go away.
    delete _recording;
    delete ui;
    ui = nullptr;
    if (_scheduler)
        _scheduler->stopScheduler();
    // These process-wide helpers hold callbacks into this window and pointers into its form.
    if (DeviceHelper::_instance)
        disconnect(DeviceHelper::_instance.get(), nullptr, this, nullptr);
    DeviceHelper::_instance.reset();
    UiRegisterHelper::_instance.reset();
}

QAction* MainWindow::getConnectAction()
{
    return ui->actionConnect;
}

QAction* MainWindow::getDisconnectAction()
{
    return ui->actionDisconnect;
}

QAction* MainWindow::getQuitAction()
{
    return ui->actionQuit;
}

QAction* MainWindow::getSettingsAction()
{
    return ui->actionSettings;
}

QAction* MainWindow::getSearchAction()
{
    return ui->actionSearch;
}

QAction* MainWindow::getAboutAction()
{
    return ui->actionAbout;
}

QAction* MainWindow::getRebootAction()
{
    return ui->actionReboot;
}

QAction* MainWindow::getResetAction()
{
    return ui->actionReset;
}

QAction* MainWindow::getRecordAction()
{
    return ui->actionRecord;
}

std::shared_ptr<PhysicalQuantities> MainWindow::getPhysicalQuantityUnits()
{
    return _settingsDialog->unitsSettings();
}

void MainWindow::initActions()
{
    setIdleActions(true);
}

void MainWindow::setIdleActions(bool idle)
{
    ui->actionConnect->setEnabled(idle);
    ui->actionDisconnect->setEnabled(!idle);
    ui->actionSettings->setEnabled(idle);
    ui->actionSearch->setEnabled(idle);
    ui->numberServosAction->setEnabled(idle);
    ui->actionReboot->setEnabled(idle);
    ui->actionReset->setEnabled(idle);
    // Recording needs values: it is offered once the servo answers.
    if (idle)
        ui->actionRecord->setEnabled(false);
    ui->actionSaveConfiguration->setEnabled(!idle && _state == ConnectionState::Connected);
    ui->actionCompareConfiguration->setEnabled(!idle && _state == ConnectionState::Connected);
    if (_servoIdSpinBox) {
        _servoIdSpinBox->setEnabled(idle);
        _pollingIntervalSpinBox->setEnabled(idle);
    }
}

void MainWindow::addToolBarComponents()
{
    _pollingIntervalLabel = std::make_shared<QLabel>(tr("Polling interval (ms): "), ui->toolBar);
    ui->toolBar->addWidget(_pollingIntervalLabel.get());
    _pollingIntervalSpinBox = std::make_shared<QSpinBox>(ui->toolBar);
    _pollingIntervalSpinBox->setObjectName(QStringLiteral("pollingIntervalSpinBox"));
    _pollingIntervalSpinBox->setMinimum(10);
    _pollingIntervalSpinBox->setMaximum(5000);
    _pollingIntervalSpinBox->setSingleStep(10);
    bool readable = false;
    const int interval = _settings->getValue(keyPollingInterval, defaultPollingIntervalMs).toInt(&readable);
    _pollingIntervalSpinBox->setValue(readable ? interval : defaultPollingIntervalMs);
    ui->toolBar->addWidget(_pollingIntervalSpinBox.get());
    ui->toolBar->addSeparator();
    _servoAddressLabel = std::make_shared<QLabel>(tr("Servo address: "), ui->toolBar);
    ui->toolBar->addWidget(_servoAddressLabel.get());
    _servoIdSpinBox = std::make_shared<QSpinBox>(ui->toolBar);
    _servoIdSpinBox->setObjectName(QStringLiteral("servoIdSpinBox"));
    _servoIdSpinBox->setMinimum(0);
    _servoIdSpinBox->setMaximum(253);
    _servoIdSpinBox->setValue(_settings->getValue(keyServoId, 0).toInt());
    ui->toolBar->addWidget(_servoIdSpinBox.get());
}

void MainWindow::initToolBarConnections()
{
    connect(_pollingIntervalSpinBox.get(), QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::on_pollingIntervalSpinBoxValueChanged);
    connect(_servoIdSpinBox.get(), QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::on_idSpinBoxValueChanged);
    connect(ui->actionQuit, &QAction::triggered, this, &MainWindow::close);
    connect(ui->actionSettings, &QAction::triggered, _settingsDialog.get(), &SettingsDialog::show);
    connect(ui->actionSearch, &QAction::triggered, _searchDialog.get(), &SearchDialog::show);
    connect(_searchDialog.get(), &SearchDialog::updatePortName, _settingsDialog.get(),
            &SettingsDialog::on_updatePortName);
    connect(_searchDialog.get(), &SearchDialog::updateBaudRate, _settingsDialog.get(),
            &SettingsDialog::on_updateBaudRate);
    connect(_searchDialog.get(), &SearchDialog::updateProtocol, _settingsDialog.get(),
            &SettingsDialog::on_updateProtocol);
    connect(_searchDialog.get(), &SearchDialog::updateId, this, &MainWindow::on_updateId);
}

void MainWindow::setScreenRect()
{
    // With nothing stored (or nothing readable) the form's own size applies, and it is taller than
    // many screens: the status bar, where every message appears, would be out of sight.
    if (!restoreGeometry(_settings->getValue(keyGeometry, QVariant()).toByteArray()))
        fitWindowToScreen(this);
    restoreState(_settings->getValue(keyWindowState, QVariant()).toByteArray(), 0);
}

bool MainWindow::openPort()
{
    const PortSettings port = _settingsDialog->portSettings();
    _serialHelper->setProtocol(port.protocol == 1 ? BusProtocol::One : BusProtocol::Two);
    const QString error = _serialHelper->openSerialPort(port.name, port.baudRate);
    if (!error.isEmpty()) {
        showMessage(QMessageBox::Critical, tr("Error"), portOpenErrorText(port.name, error));
        return false;
    }
    _connectedPort = port.name;
    _connectedBaudRate = port.baudRate;
    return true;
}

void MainWindow::on_actionConnect_triggered()
{
    // A disconnect moments ago must not close the port we are about to open.
    if (_closeDelayTimerId != 0) {
        killTimer(_closeDelayTimerId);
        _closeDelayTimerId = 0;
    }
    _maintenance->cancel(); // the port is the connection's now
    if (!openPort())
        return;

    const int servoId = _servoIdSpinBox->value();
    _state = ConnectionState::Connecting;
    _scheduler = std::make_shared<UiScheduler>(servoId, _serialHelper, DeviceHelper::getInstance(),
                                               UiRegisterHelper::views());
    connectScheduler();
    setIdleActions(false);
    RegisterView::_instance->connected();
    DeviceHelper::getInstance()->triggerDeviceInfoRead(servoId);
}

void MainWindow::on_DeviceInitialised()
{
    // An answer that arrives after the user gave up on the connection starts nothing.
    if (_state != ConnectionState::Connecting || !_scheduler)
        return;
    _state = ConnectionState::Connected;
    showState(tr("Connected"));
    _scheduler->startScheduler(_pollingIntervalSpinBox->value());
    refreshTrafficLabel();
    _trafficRefresh.start();
    ui->actionRecord->setEnabled(true);
    setIdleActions(false); // the configuration actions need the model
}

void MainWindow::initMaintenance()
{
    MaintenanceRequests::Hooks maintenance;
    maintenance.openPort = [this] { return openPort(); };
    maintenance.protocol = [this] { return _settingsDialog->portSettings().protocol; };
    maintenance.adopt = [this](int rate, int id) {
        _settingsDialog->on_updateBaudRate(rate);
        _servoIdSpinBox->setValue(id);
    };
    maintenance.search = [this] { offerSearch(); };
    maintenance.showMessage = messageBoxes();
    _maintenance = new MaintenanceRequests(this, _serialHelper, maintenance);
}

void MainWindow::initConfigurationFiles()
{
    _configurationDialog = new ConfigurationDialog(this);
    _configurationDialog->attach(
        {ui->actionSaveConfiguration, ui->actionCompareConfiguration, ui->actionCompareFiles},
        [this] {
            ConnectedServo connected;
            const auto device = DeviceHelper::getInstance()->getDevice();
            if (_state != ConnectionState::Connected || !device)
                return connected;
            // This connection's table: empty until its first read, never the servo connected before.
            connected = {_scheduler, std::make_shared<FieldCatalogue>(*device),
                         [scheduler = _scheduler] { return scheduler->lastTable(); }, _connectedBaudRate};
            return connected;
        },
        _settings);
    connect(_configurationDialog, &ConfigurationDialog::message, this, &MainWindow::showPassing);
    connect(_configurationDialog, &ConfigurationDialog::failed, this,
            [this](const QString& text) { showMessage(QMessageBox::Critical, tr("Error"), text); });
}

void MainWindow::initEditingConnections()
{
    if (UiGroupHelper* groups = UiGroupHelper::_instance.get()) {
        connect(groups, &UiGroupHelper::writeOutcome, this, &MainWindow::showPassing);
    }
    // A passing message gives the status bar back to the connection state.
    connect(statusBar(), &QStatusBar::messageChanged, this, [this](const QString& message) {
        if (message.isEmpty() && _state == ConnectionState::Connected)
            statusBar()->showMessage(_stateMessage);
    });
}

void MainWindow::initBus()
{
    BusControl::Hooks hooks;
    hooks.scheduler = [this] { return _state == ConnectionState::Connected ? _scheduler : nullptr; };
    hooks.connectTo = [this](const BusAddress& servo) {
        if (_state != ConnectionState::Disconnected)
            ui->actionDisconnect->trigger();
        if (servo.protocol != 0)
            _settingsDialog->on_updateProtocol(servo.protocol);
        _settingsDialog->on_updateBaudRate(servo.baudRate);
        _servoIdSpinBox->setValue(servo.id);
        ui->actionConnect->trigger();
    };
    hooks.pollingInterval = [this] { return _pollingIntervalSpinBox->value(); };
    hooks.passingMessage = [this](const QString& text) { showPassing(text); };
    hooks.releasePort = [this] {
        if (_closeDelayTimerId == 0)
            return;
        killTimer(_closeDelayTimerId);
        _closeDelayTimerId = 0;
        _serialHelper->closeSerialPort();
    };
    hooks.settings = _settings;
    _bus = new BusControl(this, ui->numberServosAction, _serialHelper, _searchDialog.get(), hooks);
}

void MainWindow::connectScheduler()
{
    UiScheduler* scheduler = _scheduler.get();
    _bus->connected(*scheduler, _connectedBaudRate);
    connect(scheduler, &UiScheduler::liveSample, _plotDock, &PlotDock::addSample);
    connect(scheduler, &UiScheduler::liveSample, _recording->recorder(), &CsvRecorder::addSample);
    _fastSampling->attach(scheduler, _connectedPort);
    _follower->follow(scheduler);
    connect(scheduler, &UiScheduler::portFailed, this, [this](const QString& error) {
        ui->actionDisconnect->trigger();
        showMessage(QMessageBox::Critical, tr("Error"), portOpenErrorText(_connectedPort, error));
    });
}

void MainWindow::initServoFollower()
{
    _follower = new ServoFollower({this,
                                   _servoIdSpinBox.get(),
                                   ui->actionDisconnect,
                                   _searchDialog.get(),
                                   _plotDock,
                                   {ui->editView, ui->registerView},
                                   [this] { return _connectedBaudRate; },
                                   [this](int baudRate) {
                                       _settingsDialog->on_updateBaudRate(baudRate);
                                       _connectedBaudRate = baudRate;
                                   },
                                   [this](const QString& text) { showState(text); },
                                   [this](const QString& text) { showPassing(text); }});
}

void MainWindow::on_actionDisconnect_triggered()
{
    // A write the servo has not acknowledged must not vanish without a word.
    const QString lostWrites = _scheduler ? _scheduler->abandonWrites() : QString();
    if (_scheduler)
        _scheduler->stopScheduler();
    _serialHelper->cancelTransaction();
    _recording->stop(); // every row read so far reaches the file
    _state = ConnectionState::Disconnected;
    _bus->disconnected();
    if (_configurationDialog->showsServo())
        _configurationDialog->hide();
    _trafficRefresh.stop();
    _trafficLabel->clear(); // the figures describe the connection that just ended
    RegisterView::_instance->disconnected();
    ui->editView->setEnabled(true);
    ui->registerView->setEnabled(true);
    setIdleActions(true);
    if (_closeDelayTimerId == 0)
        _closeDelayTimerId = startTimer(closeDelayMs);
    statusBar()->showMessage(tr("Disconnected"));
    if (!lostWrites.isEmpty())
        showMessage(QMessageBox::Critical, tr("Error"), lostWrites);
}

void MainWindow::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != _closeDelayTimerId) {
        QMainWindow::timerEvent(event);
        return;
    }
    killTimer(_closeDelayTimerId);
    _closeDelayTimerId = 0;
    _serialHelper->closeSerialPort();
}

void MainWindow::onIdentificationFailed(int id, FailureKind kind)
{
    if (_state != ConnectionState::Connecting)
        return;
    ui->actionDisconnect->trigger();
    // The id, rate or protocol may be other than the settings say: a search finds out.
    showWithOffer(this, QMessageBox::Critical, tr("Error"),
                  (kind == FailureKind::Timeout
                       ? tr("No answer from servo id %1 at %2 baud in Protocol %3 on %4 (%5).")
                       : tr("No valid answer from servo id %1 at %2 baud in Protocol %3 on %4 (%5)."))
                          .arg(id)
                          .arg(_connectedBaudRate)
                          .arg(static_cast<int>(_serialHelper->protocol()))
                          .arg(_connectedPort, failureKindText(kind)) +
                      QLatin1Char('\n') + tr("Search the port for servos at other ids, rates and protocols?"),
                  tr("Search…"), [this] { offerSearch(); });
}

void MainWindow::offerSearch()
{
    // Only while disconnected: the search takes the port.
    if (ui->actionSearch->isEnabled())
        ui->actionSearch->trigger();
}

void MainWindow::onPortFailed(const QString& error)
{
    if (_state == ConnectionState::Disconnected)
        return;
    // Leave exactly as the user would, then close the dead port at once.
    ui->actionDisconnect->trigger();
    if (_closeDelayTimerId != 0) {
        killTimer(_closeDelayTimerId);
        _closeDelayTimerId = 0;
    }
    _serialHelper->closeSerialPort();
    Q_UNUSED(error) // stale after an unplug; the message names the cause instead
    showMessage(QMessageBox::Critical, tr("Error"), portLostText(_connectedPort));
}

void MainWindow::on_actionReboot_triggered()
{
    _maintenance->reboot(_servoIdSpinBox->value());
}

void MainWindow::on_actionReset_triggered()
{
    _maintenance->askToReset(_servoIdSpinBox->value());
}

void MainWindow::on_actionAbout_triggered()
{
    showMessage(QMessageBox::Information, tr("About Velkora Servo Manager"),
                tr("Velkora Servo Manager %1\nBuilt with Qt %2, running on Qt %3.\n\n"
                   "Configure and watch smart servo motors on a half-duplex serial bus.")
                    .arg(QStringLiteral(VSM_VERSION), QStringLiteral(QT_VERSION_STR),
                         QString::fromLatin1(qVersion())));
}

void MainWindow::on_idSpinBoxValueChanged(int value)
{
    _settings->setValue(keyServoId, value);
}

void MainWindow::on_pollingIntervalSpinBoxValueChanged(int value)
{
    _settings->setValue(keyPollingInterval, value);
}

void MainWindow::on_updateId(int id)
{
    _servoIdSpinBox->setValue(id);
}

QStringList MainWindow::workAtRisk() const
{
    QStringList work;
    if (_recording->recorder()->isRecording())
        work << tr("A recording is running.");
    if (const UiGroupHelper* groups = UiGroupHelper::_instance.get();
        groups && (!groups->nonVolatileWrite().isEmpty() || !groups->volatileWrite().isEmpty()))
        work << tr("Edited values have not been applied.");
    if (_scheduler && _scheduler->hasWritesPending())
        work << tr("Parameters are still being written to the servo.");
    return work;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Work that quitting would end or lose is named first, and quitting waits for a yes.
    const QStringList work = _quitConfirmed ? QStringList() : workAtRisk();
    if (!work.isEmpty()) {
        event->ignore();
        askToConfirm(this, tr("Quit"), tr("Quit Velkora Servo Manager? %1").arg(work.join(QLatin1Char(' '))),
                     tr("Quit"), [this] {
                         _quitConfirmed = true;
                         close();
                     });
        return;
    }
    _quitConfirmed = false;
    // A search still running ends with its probe and lets the port go.
    _searchDialog->hide();
    _settings->setValue(keyGeometry, saveGeometry());
    _settings->setValue(keyWindowState, saveState(0));
    QMainWindow::closeEvent(event);
}

void MainWindow::refreshTrafficLabel()
{
    if (!_scheduler)
        return;
    _trafficLabel->setText(_scheduler->takeStatisticsSummary());
}

void MainWindow::showMessage(QMessageBox::Icon icon, const QString& title, const QString& text)
{
    // Not exec(): the window keeps running (and tests can find and close the box).
    auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

RecordingControl::ShowMessage MainWindow::messageBoxes()
{
    return [this](QMessageBox::Icon icon, const QString& title, const QString& text) {
        showMessage(icon, title, text);
    };
}

void MainWindow::showState(const QString& message)
{
    _stateMessage = message;
    statusBar()->showMessage(_stateMessage);
}

void MainWindow::showPassing(const QString& message)
{
    statusBar()->showMessage(message, transientMessageMs);
}

void MainWindow::initPlotAndRecording()
{
    _plotDock = new PlotDock(this);
    addDockWidget(Qt::BottomDockWidgetArea, _plotDock);
    _plotDock->hide();
    ui->menuView->addAction(_plotDock->toggleViewAction());
    _fastSampling = new FastSamplingControl(_plotDock);

    _recording = new RecordingControl(
        this, ui->actionRecord, statusBar(), _settings,
        [this] {
            if (_state != ConnectionState::Connected || !_scheduler)
                return RecordingSource();
            // This connection's newest table: it opens with the model number.
            const QByteArray& table = _scheduler->lastTable();
            const int model = table.size() >= 2 ? quint8(table.at(0)) | quint8(table.at(1)) << 8 : 0;
            return RecordingSource{true, _scheduler->servoId(), model, _connectedBaudRate,
                                   _scheduler->liveLayout(), _scheduler->sampledSpan()};
        },
        messageBoxes());
    connect(ui->actionRecord, &QAction::triggered, _recording,
            [this] { _recording->toggle(_servoIdSpinBox->value()); });
}
