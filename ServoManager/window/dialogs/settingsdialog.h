#pragma once

#include "core/settings/settingshelper.h"
#include "core/units/physicalquantities.h"

#include <QDialog>
#include <QString>

#include <memory>

class QIntValidator;

namespace Ui {
class SettingsDialog;
}

// The modal dialog for the serial port, its baud rate and the display units. It also keeps
// the applied port and unit choice for the rest of the program.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    // The one dialog of the program, set by the constructor.
    static SettingsDialog* _instance;

    explicit SettingsDialog(QWidget* parent = nullptr);
    ~SettingsDialog() override;

    PortSettings portSettings() const;
    // A fresh copy on every call, so holders keep the choice of the moment.
    std::shared_ptr<PhysicalQuantities> unitsSettings() const;

public slots:
    void show();
    void apply();
    void cancel();
    void on_updateBaudRate(int baudRate);
    // A servo chosen in the search answers only on the port it was found on.
    void on_updateProtocol(int protocol);
    void on_updatePortName(const QString& portName);
    void showPortInfo(int index);
    void checkCustomBaudRatePolicy(int index);

private:
    void fillPortsParameters();
    void fillPortsInfo();
    void initialisePortSettings();
    void initialiseUnitsSettings();
    void updatePortSettings();
    void updateUnitsSettings();
    void persistPortSettings();
    void persistUnitsSettings();

    int addUnlistedPort(const QString& portName);
    // The first USB–serial adapter of the list (or of /dev/serial/by-id), -1 when there is none.
    int firstUsbAdapterIndex();
    void adoptTypedPort();
    void showPort(const PortSettings& port);
    void showUnits(const PhysicalQuantities& units);
    // "Treat as…" choices: shown on opening, forgotten on OK.
    void showTreatAsChoices();
    void forgetDroppedChoices();

    Ui::SettingsDialog* ui;
    PortSettings _currentPortSettings;
    PhysicalQuantities _currentUnitsSettings;
    std::shared_ptr<Settings> _portSettings;
    std::shared_ptr<Settings> _unitsSettings;
    QIntValidator* _intValidator = nullptr;
};
