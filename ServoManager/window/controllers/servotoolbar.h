#pragma once

#include <QObject>

#include <memory>

class QSpinBox;
class QToolBar;
class Settings;

// The tool bar's polling interval and servo address: restored from the settings at start (an
// unreadable interval gives the default), stored whenever they change.
class ServoToolBar : public QObject
{
    Q_OBJECT

public:
    ServoToolBar(QToolBar* toolBar, std::shared_ptr<Settings> settings);

    QSpinBox* servoId() const { return _servoId; }
    QSpinBox* pollingInterval() const { return _pollingInterval; }
    // Both are fixed while a servo is connected.
    void setEnabled(bool enabled);

private:
    std::shared_ptr<Settings> _settings;
    QSpinBox* _pollingInterval;
    QSpinBox* _servoId;
};
