#include "window/controllers/servotoolbar.h"

#include "core/settings/settingshelper.h"

#include <QLabel>
#include <QSpinBox>
#include <QToolBar>

namespace {
const QString keyPollingInterval = QStringLiteral("pollingInterval");
const QString keyServoId = QStringLiteral("servoId");
constexpr int defaultPollingIntervalMs = 500;
} // namespace

ServoToolBar::ServoToolBar(QToolBar* toolBar, std::shared_ptr<Settings> settings)
    : QObject(toolBar), _settings(std::move(settings))
{
    toolBar->addWidget(new QLabel(tr("Polling interval (ms): "), toolBar));
    _pollingInterval = new QSpinBox(toolBar);
    _pollingInterval->setObjectName(QStringLiteral("pollingIntervalSpinBox"));
    _pollingInterval->setMinimum(10);
    _pollingInterval->setMaximum(5000);
    _pollingInterval->setSingleStep(10);
    bool readable = false;
    const int interval = _settings->getValue(keyPollingInterval, defaultPollingIntervalMs).toInt(&readable);
    _pollingInterval->setValue(readable ? interval : defaultPollingIntervalMs);
    toolBar->addWidget(_pollingInterval);
    toolBar->addSeparator();
    toolBar->addWidget(new QLabel(tr("Servo address: "), toolBar));
    _servoId = new QSpinBox(toolBar);
    _servoId->setObjectName(QStringLiteral("servoIdSpinBox"));
    _servoId->setMinimum(0);
    _servoId->setMaximum(253);
    _servoId->setValue(_settings->getValue(keyServoId, 0).toInt());
    toolBar->addWidget(_servoId);

    connect(_pollingInterval, QOverload<int>::of(&QSpinBox::valueChanged), this,
            [this](int value) { _settings->setValue(keyPollingInterval, value); });
    connect(_servoId, QOverload<int>::of(&QSpinBox::valueChanged), this,
            [this](int value) { _settings->setValue(keyServoId, value); });
}

void ServoToolBar::setEnabled(bool enabled)
{
    _servoId->setEnabled(enabled);
    _pollingInterval->setEnabled(enabled);
}
