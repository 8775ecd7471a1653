#include "window/controllers/maintenancerequests.h"

#include "core/model/idevice.h"
#include "core/model/modeldescription.h"
#include "core/protocol/readanswer.h"
#include "core/session/devicehelper.h"
#include "core/transport/serialhelper.h"
#include "window/dialogs/confirmation.h"
#include "window/dialogs/offer.h"

#include <QTimer>

namespace {
// A servo takes a moment to start again after a reset: it is asked this often, this many times.
constexpr int findRetryMs = 100;
constexpr int findTries = 10;

int acknowledgedId(const QByteArray& response)
{
    return readanswer::servoId(response);
}

bool acknowledgedWithError(const QByteArray& response, BusProtocol protocol)
{
    return SerialHelper::isRefusal(readanswer::errorByte(response, protocol));
}
} // namespace

MaintenanceRequests::MaintenanceRequests(QWidget* window, std::shared_ptr<SerialHelper> serial,
                                         std::shared_ptr<DeviceHelper> device, Hooks hooks)
    : QObject(window), _window(window), _serial(std::move(serial)), _device(std::move(device)),
      _hooks(std::move(hooks))
{
}

void MaintenanceRequests::cancel()
{
    if (_looking && _serial->isOpen())
        _serial->closeSerialPort();
    _looking = false;
    ++_generation;
}

void MaintenanceRequests::reboot(int servoId)
{
    send(Kind::Reboot, servoId);
}

const ModelDescription* MaintenanceRequests::modelAt(int servoId) const
{
    const auto device = _device->getDevice();
    return device && _device->identifiedId() == servoId ? &device->description() : nullptr;
}

namespace {
QString whereAfter(factoryreset::Keeps keeps, const ModelDescription* model, int servoId)
{
    using factoryreset::Keeps;
    const factoryreset::Address after = factoryreset::after(keeps, model, {servoId, 0});
    switch (keeps) {
    case Keeps::Nothing:
        return MaintenanceRequests::tr("Its id returns to %1 and its baud rate to %2 baud.")
            .arg(after.id)
            .arg(after.baudRate);
    case Keeps::Id:
        return MaintenanceRequests::tr("It keeps its id; its baud rate returns to %1 baud.")
            .arg(after.baudRate);
    case Keeps::IdAndRate:
        return MaintenanceRequests::tr("It keeps its id and its baud rate.");
    }
    return {};
}

QString buttonText(factoryreset::Keeps keeps)
{
    using factoryreset::Keeps;
    switch (keeps) {
    case Keeps::Nothing:
        return MaintenanceRequests::tr("Reset all");
    case Keeps::Id:
        return MaintenanceRequests::tr("Keep the id");
    case Keeps::IdAndRate:
        return MaintenanceRequests::tr("Keep id and rate");
    }
    return {};
}
} // namespace

void MaintenanceRequests::askToReset(int servoId)
{
    const ModelDescription* model = modelAt(servoId);
    const QList<factoryreset::Keeps> choices = factoryreset::choices(model, _hooks.protocol());
    if (choices.isEmpty()) {
        _hooks.showMessage(
            QMessageBox::Information, tr("Factory reset"),
            tr("The program sends no factory reset to servos of this protocol: set the settings "
               "of servo id %1 in the edit view or from a configuration file.")
                .arg(servoId));
        return;
    }
    const QString question =
        tr("Factory reset servo id %1? Its settings return to the factory defaults.").arg(servoId);
    if (choices.size() == 1) {
        askToConfirm(_window, tr("Factory reset"),
                     question + QLatin1Char(' ') + whereAfter(choices.first(), model, servoId), tr("Reset"),
                     [this, servoId, keeps = choices.first()] { send(Kind::Reset, servoId, keeps); });
        return;
    }
    QStringList buttons;
    QString ways;
    for (factoryreset::Keeps keeps : choices) {
        buttons.append(buttonText(keeps));
        ways += QStringLiteral("\n%1: %2").arg(buttons.last(), whereAfter(keeps, model, servoId));
    }
    askToChoose(_window, tr("Factory reset"), question + ways, buttons,
                [this, servoId, choices](int index) { send(Kind::Reset, servoId, choices.at(index)); });
}

void MaintenanceRequests::send(Kind kind, int servoId, factoryreset::Keeps keeps)
{
    cancel(); // a servo still looked for after an earlier reset is not any more
    if (!_hooks.openPort())
        return;
    _rateBeforeReset = _serial->baudRate();
    _afterReset = factoryreset::after(keeps, modelAt(servoId), {servoId, _rateBeforeReset});
    const bool reboot = kind == Kind::Reboot;
    auto onAnswer = [this, kind](QByteArray response) { acknowledged(kind, response); };
    auto onSilence = [this, servoId, reboot] {
        _hooks.showMessage(QMessageBox::Critical, tr("Error"),
                           (reboot ? tr("No answer from servo id %1 to the reboot request.")
                                   : tr("No answer from servo id %1 to the factory reset request."))
                               .arg(servoId));
    };
    const bool sent =
        reboot ? _device->triggerDeviceReboot(servoId, onAnswer, onSilence)
               : _device->triggerDeviceReset(servoId, onAnswer, onSilence, factoryreset::optionByte(keeps));
    if (!sent)
        _hooks.showMessage(QMessageBox::Critical, tr("Error"),
                           reboot ? tr("Error occurred during reboot operation")
                                  : tr("Error occurred during factory reset operation"));
}

void MaintenanceRequests::acknowledged(Kind kind, const QByteArray& response)
{
    const int id = acknowledgedId(response);
    const bool reboot = kind == Kind::Reboot;
    if (acknowledgedWithError(response, _serial->protocol())) {
        _hooks.showMessage(QMessageBox::Critical, tr("Error"),
                           (reboot ? tr("Error during reboot of Velkora servo id:%1")
                                   : tr("Error during factory reset of Velkora servo id:%1"))
                               .arg(id));
        return;
    }
    const bool moved = !reboot && (_rateBeforeReset != _afterReset.baudRate || id != _afterReset.id);
    if (!moved) {
        _hooks.showMessage(QMessageBox::Information, tr("Success"),
                           (reboot ? tr("Velkora servo id:%1 was rebooted successfully")
                                   : tr("Factory reset of Velkora servo id:%1 was successful"))
                               .arg(id));
        return;
    }
    // The acknowledgement came before the port was closed; the servo is looked for once it is.
    QTimer::singleShot(0, this, [this, id, generation = _generation] {
        if (generation == _generation)
            findAfterReset(id, findTries);
    });
}

void MaintenanceRequests::findAfterReset(int resetId, int tries)
{
    _looking = true;
    const int id = _afterReset.id;
    const int factoryRate = _afterReset.baudRate;
    if (!_serial->isOpen() || _serial->baudRate() != factoryRate) {
        if (!_hooks.openPort()) // the settings' port, in their protocol
            return;
        if (_serial->baudRate() != factoryRate && !_serial->reopenAt(factoryRate).isEmpty()) {
            _serial->closeSerialPort();
            foundAfterReset(resetId, false);
            return;
        }
    }
    const quint64 generation = _generation;
    auto answered = [this, resetId, generation](QByteArray) {
        if (generation != _generation)
            return;
        _serial->closeSerialPort();
        foundAfterReset(resetId, true);
    };
    auto silent = [this, resetId, tries, generation](FailureKind, const RequestInfo&, uint8_t) {
        if (generation != _generation)
            return;
        if (tries > 1) {
            QTimer::singleShot(findRetryMs, this, [this, resetId, tries, generation] {
                if (generation == _generation)
                    findAfterReset(resetId, tries - 1);
            });
            return;
        }
        _serial->closeSerialPort();
        foundAfterReset(resetId, false);
    };
    if (!_serial->ping(uint8_t(id), answered, silent) && generation == _generation) {
        _serial->closeSerialPort();
        foundAfterReset(resetId, false);
    }
}

void MaintenanceRequests::foundAfterReset(int resetId, bool answered)
{
    _looking = false;
    const int id = _afterReset.id;
    const int factoryRate = _afterReset.baudRate;
    const QString done = tr("Factory reset of Velkora servo id:%1 was successful").arg(resetId);
    if (!answered) {
        showWithOffer(
            _window, QMessageBox::Warning, tr("Success"),
            done + QLatin1Char('\n') +
                tr("It does not answer at id %1 at %2 baud, the factory settings. Search the port for it?")
                    .arg(id)
                    .arg(factoryRate),
            tr("Search…"), _hooks.search);
        return;
    }
    showWithOffer(
        _window, QMessageBox::Information, tr("Success"),
        done + QLatin1Char('\n') +
            tr("It now answers at id %1 at %2 baud, the factory settings. Connect there from now on?")
                .arg(id)
                .arg(factoryRate),
        tr("Use id %1 at %2 baud").arg(id).arg(factoryRate),
        [adopt = _hooks.adopt, id, factoryRate] { adopt(factoryRate, id); });
}
