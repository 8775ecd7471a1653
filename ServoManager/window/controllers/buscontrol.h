#pragma once

#include "core/session/servolocator.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class ApplyConfigurationDialog;
class MotorsOff;
struct MotorOffResult;
class BusDock;
class BusRoster;
class NumberingDialog;
class QAction;
class QMainWindow;
class SearchDialog;
class SerialHelper;
class Settings;
class UiScheduler;

// The window's workflows for the whole bus: the Bus dock and its table, one configuration onto the
// servos chosen there, and numbering new servos.
class BusControl : public QObject
{
    Q_OBJECT

public:
    struct Hooks
    {
        std::function<std::shared_ptr<UiScheduler>()> scheduler; // the connected one, or null
        std::function<void(const BusAddress&)> connectTo;         // disconnects first when connected
        std::function<int()> pollingInterval;
        std::function<void(const QString&)> passingMessage;
        // Disconnected: the port the window still holds for a moment is closed now.
        std::function<void()> releasePort;
        std::shared_ptr<Settings> settings;
    };
    BusControl(QMainWindow* window, QAction* numberServos, std::shared_ptr<SerialHelper> serial,
               SearchDialog* search, Hooks hooks);
    ~BusControl() override;

    BusRoster* roster() const { return _roster; }
    BusDock* dock() const { return _dock; }
    ApplyConfigurationDialog* applyDialog() const { return _apply; }
    NumberingDialog* numberingDialog() const { return _numbering; }
    // A new connection: its servo's row and the others' turns between its polls.
    void connected(UiScheduler& scheduler, int baudRate);
    void disconnected();
    // Servos given on the command line.
    void list(const QList<int>& ids, int baudRate);
    // Every motor of the Bus table's servos at the port's rate off, each read back; the connected
    // servo's polls pause meanwhile. Any servo still on, silent or not reached is named.
    void allMotorsOff();

private:
    bool takeBus(QString* why);
    void giveBack();
    void motorsOffFinished(const QList<MotorOffResult>& results, const QList<int>& notReached);
    void showMotorsWarning(const QString& text);

    std::shared_ptr<SerialHelper> _serial;
    Hooks _hooks;
    BusRoster* _roster;
    BusDock* _dock;
    ApplyConfigurationDialog* _apply;
    NumberingDialog* _numbering = nullptr;
    MotorsOff* _motorsOff = nullptr;
    QList<int> _motorsNotReached; // rows at another rate than the port's
    QPointer<QMainWindow> _window;
    bool _pausedScheduler = false;
    bool _openedPort = false;
    bool _windowConnected = false;
};
