#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QMessageBox>

#include "core/session/servosession.h"
#include "core/session/uischeduler.h"
#include "window/controllers/recordingcontrol.h"

#include <memory>

class BusControl;
class ConfigurationDialog;
class ConnectionControl;
class DockFitter;
class DoctorControl;
class MaintenanceRequests;
class ModelsDialog;
class CsvRecorder;
class FastSamplingControl;
class PlotDock;
class QAction;
class QLabel;
class QSpinBox;
class SearchDialog;
class SerialHelper;
class ServoFollower;
class ServoToolBar;
class SettingsDialog;
class Settings;
class UiRegisterHelper;
class UiScheduler;
struct PhysicalQuantities;

namespace Ui {
class MainWindow;
}

// Puts the program's window together: makes its parts, hands each what it needs and wires them.
// The flows run in parts of their own: the connection in a ServoSession, the rest in the
// controllers.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    QAction* getConnectAction();
    QAction* getDisconnectAction();
    QAction* getQuitAction();
    QAction* getSettingsAction();
    QAction* getSearchAction();
    QAction* getAboutAction();
    QAction* getRebootAction();
    QAction* getResetAction();

    std::shared_ptr<PhysicalQuantities> getPhysicalQuantityUnits();

    // For the status bar's traffic summary and for tests and benchmarks.
    std::shared_ptr<UiScheduler> scheduler() const { return _session->scheduler(); }
    std::shared_ptr<SerialHelper> serialHelper() const { return _serialHelper; }
    SearchDialog* searchDialog() const { return _searchDialog.get(); }
    QLabel* trafficLabel() const;
    PlotDock* plotDock() const { return _plotDock; }
    ConfigurationDialog* configurationDialog() const { return _configurationDialog; }
    BusControl* bus() const { return _bus; }
    DockFitter* dockFitter() const { return _dockFitter; }
    CsvRecorder* recorder() const { return _recording->recorder(); }
    QAction* getRecordAction();
    // Starts recording the live values to `path`; a file that cannot be written is reported.
    void startRecording(const QString& path) { _recording->start(path); }

public slots:
    void on_actionConnect_triggered();
    void on_actionDisconnect_triggered();
    void on_actionReboot_triggered();
    void on_actionReset_triggered();
    void on_actionAbout_triggered();
    void on_actionModels_triggered();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void initSession();
    void initEditingConnections();
    void initToolBarConnections();
    void setScreenRect();

    // The settings' port and the tool bar's servo.
    SessionTarget sessionTarget() const;
    // The port as Connect opens it, for a reboot or reset; false after its error was shown.
    bool openPort();
    // The search dialog, as a way on after a servo was not found.
    void offerSearch();
    void showMessage(QMessageBox::Icon icon, const QString& title, const QString& text);
    // The same boxes, for the helpers that report on their own.
    RecordingControl::ShowMessage messageBoxes();
    // Shown for a while; then the connection state is shown again.
    void showPassing(const QString& message);
    void initPlotAndRecording();
    void initMaintenance();
    void initConfigurationFiles();
    void initBus();
    void initServoFollower();
    // What quitting now would end or lose, in words; empty when nothing.
    QStringList workAtRisk() const;

    Ui::MainWindow* ui;
    std::shared_ptr<Settings> _settings;
    std::shared_ptr<SettingsDialog> _settingsDialog;
    ModelsDialog* _modelsDialog = nullptr;
    std::shared_ptr<SearchDialog> _searchDialog;
    ServoToolBar* _toolBar = nullptr;
    QSpinBox* _servoIdSpinBox = nullptr;
    std::shared_ptr<UiRegisterHelper> _uiRegisterHelper;
    std::shared_ptr<SerialHelper> _serialHelper;
    std::unique_ptr<ServoSession> _session;
    bool _quitConfirmed = false;

    ConnectionControl* _connection = nullptr;
    PlotDock* _plotDock = nullptr;
    RecordingControl* _recording = nullptr;
    FastSamplingControl* _fastSampling = nullptr;
    ServoFollower* _follower = nullptr;
    ConfigurationDialog* _configurationDialog = nullptr;
    BusControl* _bus = nullptr;
    MaintenanceRequests* _maintenance = nullptr;
    DockFitter* _dockFitter = nullptr;
    DoctorControl* _doctor = nullptr;
};
