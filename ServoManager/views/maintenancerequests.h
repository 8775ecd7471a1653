#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>

#include <functional>

class QWidget;

// Reboot and factory reset of the servo the tool bar names: each opens the port, sends its
// instruction and reports the servo's acknowledgement in a message box.
class MaintenanceRequests : public QObject
{
    Q_OBJECT

public:
    using OpenPort = std::function<bool()>;
    using ShowMessage = std::function<void(QMessageBox::Icon, const QString& title, const QString& text)>;

    MaintenanceRequests(QWidget* window, OpenPort openPort, ShowMessage showMessage);

    void reboot(int servoId);
    // Asks first: one key press must not erase a servo's configuration.
    void askToReset(int servoId);

private:
    enum class Kind
    {
        Reboot,
        Reset
    };
    void send(Kind kind, int servoId);
    void acknowledged(Kind kind, const QByteArray& response);

    QWidget* _window;
    OpenPort _openPort;
    ShowMessage _showMessage;
};
