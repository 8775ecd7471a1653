#include "views/maintenancerequests.h"

#include "bus/devicehelper.h"
#include "bus/readanswer.h"
#include "bus/serialhelper.h"
#include "views/confirmation.h"

namespace {
int acknowledgedId(const QByteArray& response)
{
    return readanswer::servoId(response);
}

bool acknowledgedWithError(const QByteArray& response)
{
    return SerialHelper::isRefusal(readanswer::errorByte(response));
}
} // namespace

MaintenanceRequests::MaintenanceRequests(QWidget* window, OpenPort openPort, ShowMessage showMessage)
    : QObject(window), _window(window), _openPort(std::move(openPort)), _showMessage(std::move(showMessage))
{
}

void MaintenanceRequests::reboot(int servoId)
{
    send(Kind::Reboot, servoId);
}

void MaintenanceRequests::askToReset(int servoId)
{
    askToConfirm(_window, tr("Factory reset"),
                 tr("Factory reset servo id %1? Its settings return to the factory defaults.").arg(servoId),
                 tr("Reset"), [this, servoId] { send(Kind::Reset, servoId); });
}

void MaintenanceRequests::send(Kind kind, int servoId)
{
    if (!_openPort())
        return;
    const bool reboot = kind == Kind::Reboot;
    auto onAnswer = [this, kind](QByteArray response) { acknowledged(kind, response); };
    auto onSilence = [this, servoId, reboot] {
        _showMessage(QMessageBox::Critical, tr("Error"),
                     (reboot ? tr("No answer from servo id %1 to the reboot request.")
                             : tr("No answer from servo id %1 to the factory reset request."))
                         .arg(servoId));
    };
    const auto device = DeviceHelper::getInstance();
    const bool sent = reboot ? device->triggerDeviceReboot(servoId, onAnswer, onSilence)
                             : device->triggerDeviceReset(servoId, onAnswer, onSilence);
    if (!sent)
        _showMessage(QMessageBox::Critical, tr("Error"),
                     reboot ? tr("Error occurred during reboot operation")
                            : tr("Error occurred during factory reset operation"));
}

void MaintenanceRequests::acknowledged(Kind kind, const QByteArray& response)
{
    const int id = acknowledgedId(response);
    const bool reboot = kind == Kind::Reboot;
    if (acknowledgedWithError(response))
        _showMessage(QMessageBox::Critical, tr("Error"),
                     (reboot ? tr("Error during reboot of Velkora servo id:%1")
                             : tr("Error during factory reset of Velkora servo id:%1"))
                         .arg(id));
    else
        _showMessage(QMessageBox::Information, tr("Success"),
                     (reboot ? tr("Velkora servo id:%1 was rebooted successfully")
                             : tr("Factory reset of Velkora servo id:%1 was successful"))
                         .arg(id));
}
