#include "window/controllers/doctorcontrol.h"

#include "window/dialogs/doctordialog.h"
#include "window/dialogs/settingsdialog.h"

#include <QAction>
#include <QSpinBox>

DoctorControl::DoctorControl(Window window)
    : QObject(window.window), _window(std::move(window)), _dialog(new DoctorDialog(_window.window))
{
    // The doctor opens the port itself: nothing else may use it meanwhile.
    _dialog->setModal(true);
    connect(_window.diagnose, &QAction::triggered, this, &DoctorControl::diagnose);
    connect(_dialog, &DoctorDialog::updatePortName, _window.settings, &SettingsDialog::on_updatePortName);
    connect(_dialog, &DoctorDialog::updateProtocol, _window.settings, &SettingsDialog::on_updateProtocol);
    connect(_dialog, &DoctorDialog::updateBaudRate, _window.settings, &SettingsDialog::on_updateBaudRate);
    connect(_dialog, &DoctorDialog::updateId, _window.servoId, &QSpinBox::setValue);
    connect(_dialog, &DoctorDialog::connectRequested, this, [this] {
        if (_window.connect->isEnabled())
            _window.connect->trigger();
    });
}

void DoctorControl::diagnose()
{
    // Offered from a message, it may come while a connection holds the port: then not.
    if (!_window.diagnose->isEnabled())
        return;
    if (_dialog->isVisible() && _dialog->isRunning()) {
        _dialog->raise();
        return;
    }
    _window.releasePort();
    _dialog->show();
    _dialog->raise();
    _dialog->run();
}
