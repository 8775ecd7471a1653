#include "ui_mainwindow.h"
#include "window/mainwindow.h"

#include "core/files/csvrecorder.h"
#include "core/model/modelsource.h"
#include "core/session/devicehelper.h"
#include "core/session/servosession.h"
#include "core/session/uischeduler.h"
#include "core/settings/settingshelper.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"
#include "window/controllers/buscontrol.h"
#include "window/controllers/connectioncontrol.h"
#include "window/controllers/connectionreports.h"
#include "window/controllers/dockfitter.h"
#include "window/controllers/doctorcontrol.h"
#include "window/controllers/maintenancerequests.h"
#include "window/controllers/recordingcontrol.h"
#include "window/controllers/servofollower.h"
#include "window/controllers/servotoolbar.h"
#include "window/controllers/windowdevicehelper.h"
#include "window/controllers/windowgeometry.h"
#include "window/dialogs/configurationdialog.h"
#include "window/dialogs/confirmation.h"
#include "window/dialogs/modelsdialog.h"
#include "window/dialogs/searchdialog.h"
#include "window/dialogs/settingsdialog.h"
#include "window/docks/busdock.h"
#include "window/docks/fastsamplingcontrol.h"
#include "window/docks/plotdock.h"
#include "window/docks/trafficdock.h"
#include "window/editview/controltableview.h"
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

    // The views find the connected servo's model through the class-wide helper: this window's.
    WindowDeviceHelper::_instance = std::make_shared<DeviceHelper>(_serialHelper);
    _session = std::make_unique<ServoSession>(_serialHelper, WindowDeviceHelper::_instance);
    initEditingConnections();

    // The edit and register views show the servo as the model identification found describes it.
    auto* model = new ModelSource(this);
    connect(WindowDeviceHelper::_instance.get(), &DeviceHelper::loadDeviceMetadata, model,
            [model, devices = WindowDeviceHelper::_instance.get()] { model->load(devices->getDevice()); });
    if (!UiRegisterHelper::_instance)
        UiRegisterHelper::_instance = std::make_shared<UiRegisterHelper>();
    _uiRegisterHelper = UiRegisterHelper::_instance;
    _uiRegisterHelper->setModelSource(model);
    _uiRegisterHelper->setRegisterView(ui->registerView);
    _uiRegisterHelper->setControlTableView(ui->controlTableView);
    ui->editView->setModelSource(model);
    ui->registerView->setModelSource(model);
    ui->controlTableView->setModelSource(model);
    _session->setViews(UiRegisterHelper::views());

    _toolBar = new ServoToolBar(ui->toolBar, _settings);
    _servoIdSpinBox = _toolBar->servoId();
    initToolBarConnections();
    initPlotAndRecording(); // before the saved window state, which places the dock
    initServoFollower();
    initMaintenance();
    initConfigurationFiles();
    initBus(); // before the saved window state, which places the dock
    initSession();
    auto* traffic = new TrafficDock(_serialHelper, this); // likewise; it adds itself to the View menu
    // Ctrl+C copies table rows, also in a dock floating as a window of its own.
    const QList<QDockWidget*> docks{_plotDock, traffic, _bus->dock()};
    tablecopy::attach(ui->actionCopy, QList<QWidget*>{this, docks.at(0), docks.at(1), docks.at(2)});
    _dockFitter = new DockFitter(this, docks);
    setScreenRect();

    ui->tabWidget->setAutoFillBackground(true);
    statusBar()->showMessage(tr("Disconnected"));
}

MainWindow::~MainWindow()
{
    // Rows still held reach the file before the window's parts go away.
    delete _recording;
    delete ui;
    ui = nullptr;
    _session->stopPolling();
    // These process-wide helpers hold pointers into this window and its form.
    if (WindowDeviceHelper::_instance == _session->deviceHelper())
        WindowDeviceHelper::_instance.reset();
    UiRegisterHelper::_instance.reset();
}

QLabel* MainWindow::trafficLabel() const
{
    return _connection->trafficLabel();
}

std::shared_ptr<PhysicalQuantities> MainWindow::getPhysicalQuantityUnits()
{
    return _settingsDialog->unitsSettings();
}

void MainWindow::initToolBarConnections()
{
    connect(ui->actionQuit, &QAction::triggered, this, &MainWindow::close);
    connect(ui->actionSettings, &QAction::triggered, _settingsDialog.get(), &SettingsDialog::show);
    connect(ui->actionSearch, &QAction::triggered, _searchDialog.get(), &SearchDialog::show);
    connect(_searchDialog.get(), &SearchDialog::updatePortName, _settingsDialog.get(),
            &SettingsDialog::on_updatePortName);
    connect(_searchDialog.get(), &SearchDialog::updateBaudRate, _settingsDialog.get(),
            &SettingsDialog::on_updateBaudRate);
    connect(_searchDialog.get(), &SearchDialog::updateProtocol, _settingsDialog.get(),
            &SettingsDialog::on_updateProtocol);
    connect(_searchDialog.get(), &SearchDialog::updateId, _servoIdSpinBox, &QSpinBox::setValue);
    _doctor = new DoctorControl({this, ui->actionDiagnose, ui->actionConnect, _settingsDialog.get(),
                                 _servoIdSpinBox, [this] { _session->releasePort(); }});
    connect(_searchDialog.get(), &SearchDialog::diagnoseRequested, _doctor, &DoctorControl::diagnose);
}

void MainWindow::setScreenRect()
{
    // With nothing stored (or nothing readable) the form's own size applies, and it is taller than
    // many screens: the status bar, where every message appears, would be out of sight.
    if (!restoreGeometry(_settings->getValue(keyGeometry, QVariant()).toByteArray()))
        fitWindowToScreen(this);
    restoreState(_settings->getValue(keyWindowState, QVariant()).toByteArray(), 0);
}

SessionTarget MainWindow::sessionTarget() const
{
    const PortSettings port = _settingsDialog->portSettings();
    return {port.name, port.baudRate, BusProtocol(port.protocol), _servoIdSpinBox->value()};
}

bool MainWindow::openPort()
{
    const SessionTarget target = sessionTarget();
    const QString error = _session->openPort(target.portName, target.baudRate, target.protocol);
    if (!error.isEmpty())
        showMessage(QMessageBox::Critical, tr("Error"), portOpenErrorText(target.portName, error));
    return error.isEmpty();
}

void MainWindow::initSession()
{
    _connection = new ConnectionControl(
        _session.get(),
        {this,
         _toolBar,
         ui->actionDisconnect,
         ui->actionRecord,
         {ui->actionConnect, ui->actionSettings, ui->actionSearch, ui->actionDiagnose, ui->numberServosAction,
          ui->actionReboot, ui->actionReset},
         {ui->actionSaveConfiguration, ui->actionCompareConfiguration},
         {ui->editView, ui->registerView, ui->controlTableView},
         [this] { return sessionTarget(); },
         messageBoxes()},
        {_maintenance, _bus, _plotDock, _recording, _fastSampling, _follower, _configurationDialog});
    connect(_session.get(), &ServoSession::opened, ui->registerView, &RegisterView::connected);
    ui->controlTableView->follow(_session.get(),
                                 [this] { return _connection->isConnected() ? _session->scheduler() : nullptr; });
    new ConnectionReports(_session.get(), {this, ui->actionDisconnect, [this] { offerSearch(); },
                                           [this] { _doctor->diagnose(); }, messageBoxes()});
}

void MainWindow::on_actionConnect_triggered()
{
    _connection->connectServo();
}

void MainWindow::on_actionDisconnect_triggered()
{
    _connection->disconnectServo();
    ui->registerView->disconnected();
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
    _maintenance = new MaintenanceRequests(this, _serialHelper, _session->deviceHelper(), maintenance);
}

void MainWindow::initConfigurationFiles()
{
    _configurationDialog = new ConfigurationDialog(this);
    _configurationDialog->attach(
        {ui->actionSaveConfiguration, ui->actionCompareConfiguration, ui->actionCompareFiles},
        [this] { return _connection->servo(); }, _settings);
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
        if (message.isEmpty() && _connection && _connection->isConnected())
            statusBar()->showMessage(_connection->state());
    });
}

void MainWindow::initBus()
{
    BusControl::Hooks hooks;
    hooks.scheduler = [this] { return _connection->isConnected() ? _session->scheduler() : nullptr; };
    hooks.connectTo = [this](const BusAddress& servo) {
        if (_session->state() != ServoSession::State::Closed)
            ui->actionDisconnect->trigger();
        if (servo.protocol != 0)
            _settingsDialog->on_updateProtocol(servo.protocol);
        _settingsDialog->on_updateBaudRate(servo.baudRate);
        _servoIdSpinBox->setValue(servo.id);
        ui->actionConnect->trigger();
    };
    hooks.pollingInterval = [this] { return _toolBar->pollingInterval()->value(); };
    hooks.passingMessage = [this](const QString& text) { showPassing(text); };
    hooks.releasePort = [this] { _session->releasePort(); };
    hooks.settings = _settings;
    _bus = new BusControl(this, ui->numberServosAction, _serialHelper, _searchDialog.get(), hooks);
    _fastSampling->setRoster(_bus->roster()); // the servos the plot may take
    connect(ui->allMotorsOffAction, &QAction::triggered, _bus, &BusControl::allMotorsOff);
}

void MainWindow::initServoFollower()
{
    _follower = new ServoFollower({this,
                                   _session.get(),
                                   _servoIdSpinBox,
                                   ui->actionDisconnect,
                                   _searchDialog.get(),
                                   _plotDock,
                                   {ui->editView, ui->registerView, ui->controlTableView},
                                   [this](int baudRate) { _settingsDialog->on_updateBaudRate(baudRate); },
                                   [this](const QString& text) { _connection->showState(text); },
                                   [this](const QString& text) { showPassing(text); }});
}

void MainWindow::offerSearch()
{
    // Only while disconnected: the search takes the port.
    if (ui->actionSearch->isEnabled())
        ui->actionSearch->trigger();
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
    showMessage(QMessageBox::Information, tr("About Velkora Servo Manager"), ModelsDialog::aboutText());
}

void MainWindow::on_actionModels_triggered()
{
    _modelsDialog = ModelsDialog::showOver(this, _modelsDialog);
}

QStringList MainWindow::workAtRisk() const
{
    QStringList work;
    if (_recording->recorder()->isRecording())
        work << tr("A recording is running.");
    if (const UiGroupHelper* groups = UiGroupHelper::_instance.get();
        groups && (!groups->nonVolatileWrite().isEmpty() || !groups->volatileWrite().isEmpty()))
        work << tr("Edited values have not been applied.");
    if (scheduler() && scheduler()->hasWritesPending())
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
        [this] { return RecordingControl::sourceOf(*_session); }, messageBoxes());
    connect(ui->actionRecord, &QAction::triggered, _recording,
            [this] { _recording->toggle(_servoIdSpinBox->value()); });
}
