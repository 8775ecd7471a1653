#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

class QPushButton;
class SerialHelper;
class ServoNumbering;

namespace Ui {
class NumberingDialog;
}

// Number new servos: gives factory-new servos, plugged in one at a time, their own ids (and rate,
// and a configuration file's settings), and lists them. Opens the stored port itself when it is not
// open, and closes it again when done; a port it found open is left at the rate it had.
class NumberingDialog : public QDialog
{
    Q_OBJECT

public:
    NumberingDialog(std::shared_ptr<SerialHelper> serial, QWidget* parent);
    ~NumberingDialog() override;

    // Waits for new servos with the choices shown; false, and why in the state label, when it cannot.
    bool startNumbering();
    void stopNumbering();
    bool isNumbering() const;
    // While the window is connected its polls own the bus: numbering waits for Disconnect.
    void setWindowConnected(bool connected);

    // Whether a servo already known on the bus answers at this id and rate: such a servo would be
    // numbered as if it were new, so the first start then only warns.
    std::function<bool(int id, int baudRate)> knownServoAt;

    // Where factory-new servos answer, as chosen.
    int factoryId() const;
    int factoryRate() const;

    // Closing the dialog ends the numbering.
    void done(int result) override;

signals:
    void servoNumbered(int id, int baudRate);

private:
    // Where each model's new servos answer, as a choice of the model.
    void offerModels();
    void chooseConfiguration();
    void plugSimulatedServo();
    void onServoReady(int id, int baudRate, const QString& result);
    void onStopped(const QString& why);
    // Returns the port as it was found.
    void releasePort();
    void updateControls();

    std::unique_ptr<Ui::NumberingDialog> _ui;
    std::shared_ptr<SerialHelper> _serial;
    ServoNumbering* _numbering;
    QPushButton* _plugButton = nullptr; // only with simulated servos
    bool _openedPort = false;
    int _foundRate = 0; // the rate of a port found open
    QString _lastReady;
    bool _warnedOfKnown = false;
    bool _windowConnected = false;
};
