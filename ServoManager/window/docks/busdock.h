#pragma once

#include "core/session/servolocator.h"

#include <QDockWidget>
#include <QList>

#include <memory>

class BusRoster;
class QAction;

namespace Ui {
class BusDock;
}

// The servos the program knows on the port, live while connected. Double-click connects to one;
// several can be given one configuration at once.
class BusDock : public QDockWidget
{
    Q_OBJECT

public:
    BusDock(BusRoster* roster, QAction* numberServos, QWidget* parent = nullptr);
    ~BusDock() override;

    BusRoster* roster() const { return _roster; }
    QList<BusAddress> selectedServos() const;
    // The rate an added servo gets: the connected one, else the stored one.
    void setDefaultBaudRate(int baudRate) { _defaultBaudRate = baudRate; }

signals:
    void connectTo(const BusAddress& servo);
    void applyToSelected(const QList<BusAddress>& servos);

private:
    void updateButtons();

    std::unique_ptr<Ui::BusDock> _ui;
    BusRoster* _roster;
    int _defaultBaudRate = 1000000;
};
