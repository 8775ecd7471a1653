#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "core/session/factoryreset.h"

class DeviceHelper;
struct ModelDescription;
class QWidget;
class SerialHelper;
enum class FailureKind;

// Reboot and factory reset of the servo the tool bar names: each opens the port, sends its
// instruction and reports the servo's acknowledgement in a message box. A factory reset offers
// what the servo's model can keep (its id, its rate); afterwards the servo answers at its model's
// factory address for what was not kept: it is looked for there and the user is offered to follow it.
class MaintenanceRequests : public QObject
{
    Q_OBJECT

public:
    using ShowMessage = std::function<void(QMessageBox::Icon, const QString& title, const QString& text)>;
    struct Hooks
    {
        std::function<bool()> openPort;              // as Connect opens it; false after an error box
        std::function<int()> protocol;               // of the port settings, 1 or 2
        std::function<void(int rate, int id)> adopt; // the settings follow the servo
        std::function<void()> search;                // offered when the servo cannot be found
        ShowMessage showMessage;
    };

    MaintenanceRequests(QWidget* window, std::shared_ptr<SerialHelper> serial,
                        std::shared_ptr<DeviceHelper> device, Hooks hooks);

    // Stops looking for a reset servo: the window is about to use the port itself.
    void cancel();
    void reboot(int servoId);
    // Asks first: one key press must not erase a servo's configuration.
    void askToReset(int servoId);

private:
    enum class Kind
    {
        Reboot,
        Reset
    };
    void send(Kind kind, int servoId, factoryreset::Keeps keeps = factoryreset::Keeps::Id);
    void acknowledged(Kind kind, const QByteArray& response);
    // After a reset: pings the servo where the factory settings put it.
    void findAfterReset(int resetId, int tries);
    // The model identified at `servoId`; none when another servo (or none) was identified.
    const ModelDescription* modelAt(int servoId) const;
    void foundAfterReset(int resetId, bool answered);

    QWidget* _window;
    std::shared_ptr<SerialHelper> _serial;
    std::shared_ptr<DeviceHelper> _device;
    Hooks _hooks;
    int _rateBeforeReset = 0;
    factoryreset::Address _afterReset; // where the reset servo answers
    quint64 _generation = 0;
    bool _looking = false; // the port is open for finding a reset servo
};
