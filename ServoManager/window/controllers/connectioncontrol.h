#pragma once

#include "core/session/servosession.h"
#include "window/controllers/connectionreports.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class BusControl;
class ConfigurationDialog;
struct ConnectedServo;
class FastSamplingControl;
class MaintenanceRequests;
class PlotDock;
class QAction;
class QLabel;
class QMainWindow;
class QWidget;
class RecordingControl;
class ServoFollower;
class ServoToolBar;

// The window's side of a connection: Connect opens the session at the settings' port and the tool
// bar's servo, each step of the session shows in the actions, the tool bar, the status bar and the
// docks, and Disconnect ends it and everything that showed it.
class ConnectionControl : public QObject
{
    Q_OBJECT

public:
    struct Window
    {
        QMainWindow* window;
        ServoToolBar* toolBar;
        QAction* disconnect;
        QAction* record;
        QList<QAction*> whileIdle; // usable only while no servo is connected (Connect among them)
        QList<QAction*> withModel; // usable only once the connected servo is identified
        QList<QWidget*> liveViews; // enabled again when the connection ends
        std::function<SessionTarget()> target;
        ConnectionReports::ShowMessage showMessage;
    };
    // What follows the connected servo; each is told of a connection as it opens and ends.
    struct Parts
    {
        MaintenanceRequests* maintenance;
        BusControl* bus;
        PlotDock* plot;
        RecordingControl* recording;
        FastSamplingControl* fastSampling;
        ServoFollower* follower;
        ConfigurationDialog* configuration;
    };

    ConnectionControl(ServoSession* session, Window window, Parts parts);

    // What Connect and Disconnect do.
    void connectServo();
    void disconnectServo();
    bool isConnected() const { return _session->state() == ServoSession::State::Connected; }
    // The identified servo, for its configuration file; empty otherwise.
    ConnectedServo servo() const;

    // The state stays in the status bar until it changes; passing messages give way to it.
    void showState(const QString& message);
    const QString& state() const { return _state; }
    // The bus traffic of the connection, in the status bar.
    QLabel* trafficLabel() const { return _trafficLabel; }

private:
    void opened();
    void identified();
    void setIdle(bool idle);
    void refreshTraffic();

    ServoSession* _session;
    Window _window;
    Parts _parts;
    QString _state;
    QLabel* _trafficLabel;
    QTimer _trafficRefresh;
};
