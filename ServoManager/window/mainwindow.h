#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QMessageBox>
#include <QTimer>

#include "core/session/uischeduler.h"
#include "window/controllers/recordingcontrol.h"

#include <memory>

class BusControl;
class ConfigurationDialog;
class DockFitter;
class MaintenanceRequests;
class CsvRecorder;
class FastSamplingControl;
class PlotDock;
class QAction;
class QLabel;
class QSpinBox;
class SearchDialog;
class SerialHelper;
class ServoFollower;
class SettingsDialog;
class Settings;
class UiRegisterHelper;
class UiScheduler;
struct PhysicalQuantities;
enum class FailureKind;

namespace Ui {
class MainWindow;
}

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
    std::shared_ptr<UiScheduler> scheduler() const { return _scheduler; }
    std::shared_ptr<SerialHelper> serialHelper() const { return _serialHelper; }
    SearchDialog* searchDialog() const { return _searchDialog.get(); }
    QLabel* trafficLabel() const { return _trafficLabel; }
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
    void on_idSpinBoxValueChanged(int value);
    void on_pollingIntervalSpinBoxValueChanged(int value);
    void on_updateId(int id);

protected:
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    enum class ConnectionState
    {
        Disconnected,
        Connecting,
        Connected
    };

    void initActions();
    void initEditingConnections();
    void connectScheduler();
    void addToolBarComponents();
    void initToolBarConnections();
    void setScreenRect();
    void on_DeviceInitialised();

    bool openPort();
    void setIdleActions(bool idle);
    void onIdentificationFailed(int id, FailureKind kind);
    // The search dialog, as a way on after a servo was not found.
    void offerSearch();
    void onPortFailed(const QString& error);
    void refreshTrafficLabel();
    void showMessage(QMessageBox::Icon icon, const QString& title, const QString& text);
    // The same boxes, for the helpers that report on their own.
    RecordingControl::ShowMessage messageBoxes();
    // The connection state stays in the status bar; a passing message gives way to it again.
    void showState(const QString& message);
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
    std::shared_ptr<SearchDialog> _searchDialog;
    std::shared_ptr<QLabel> _servoAddressLabel;
    std::shared_ptr<QSpinBox> _servoIdSpinBox;
    std::shared_ptr<QLabel> _pollingIntervalLabel;
    std::shared_ptr<QSpinBox> _pollingIntervalSpinBox;
    std::shared_ptr<UiRegisterHelper> _uiRegisterHelper;
    std::shared_ptr<SerialHelper> _serialHelper;
    std::shared_ptr<UiScheduler> _scheduler;
    int _closeDelayTimerId = 0;
    bool _quitConfirmed = false;

    ConnectionState _state = ConnectionState::Disconnected;
    QString _connectedPort;
    QString _stateMessage; // what the status bar shows between passing messages
    int _connectedBaudRate = 0;
    QLabel* _trafficLabel = nullptr;
    PlotDock* _plotDock = nullptr;
    RecordingControl* _recording = nullptr;
    FastSamplingControl* _fastSampling = nullptr;
    ServoFollower* _follower = nullptr;
    ConfigurationDialog* _configurationDialog = nullptr;
    BusControl* _bus = nullptr;
    MaintenanceRequests* _maintenance = nullptr;
    DockFitter* _dockFitter = nullptr;
    QTimer _trafficRefresh;
};
