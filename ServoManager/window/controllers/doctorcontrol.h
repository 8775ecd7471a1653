#pragma once

#include <QObject>

#include <functional>

class DoctorDialog;
class QAction;
class QSpinBox;
class QWidget;
class SettingsDialog;

// The window's side of the bus doctor: Diagnose… (from the menu, or offered when nothing
// answers) frees the port and runs the doctor in its dialog; a servo found elsewhere, once taken,
// becomes the settings and the tool bar's servo, and Connect follows if the user asks.
class DoctorControl : public QObject
{
    Q_OBJECT

public:
    struct Window
    {
        QWidget* window;
        QAction* diagnose; // enabled only while the port is not a connection's
        QAction* connect;
        SettingsDialog* settings;
        QSpinBox* servoId;
        std::function<void()> releasePort; // a closed connection's port, let go at once
    };

    explicit DoctorControl(Window window);

    void diagnose();
    DoctorDialog* dialog() const { return _dialog; }

private:
    Window _window;
    DoctorDialog* _dialog;
};
