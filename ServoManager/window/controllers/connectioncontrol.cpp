#include "window/controllers/connectioncontrol.h"

#include "core/files/csvrecorder.h"
#include "core/model/fieldcatalogue.h"
#include "core/model/idevice.h"
#include "core/session/uischeduler.h"
#include "window/controllers/buscontrol.h"
#include "window/controllers/maintenancerequests.h"
#include "window/controllers/recordingcontrol.h"
#include "window/controllers/servofollower.h"
#include "window/controllers/servotoolbar.h"
#include "window/dialogs/configurationdialog.h"
#include "window/docks/fastsamplingcontrol.h"
#include "window/docks/plotdock.h"

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QSpinBox>
#include <QStatusBar>

namespace {
// A disconnect keeps the port this long: a Connect at once reuses it.
constexpr int closeDelayMs = 100;
constexpr int trafficRefreshMs = 1000;
} // namespace

ConnectionControl::ConnectionControl(ServoSession* session, Window window, Parts parts)
    : QObject(window.window), _session(session), _window(std::move(window)), _parts(parts),
      _trafficLabel(new QLabel(_window.window))
{
    _session->setCloseDelay(closeDelayMs);
    connect(_session, &ServoSession::opened, this, &ConnectionControl::opened);
    connect(_session, &ServoSession::identified, this, &ConnectionControl::identified);
    _trafficLabel->setObjectName(QStringLiteral("trafficLabel"));
    _window.window->statusBar()->addPermanentWidget(_trafficLabel);
    _trafficRefresh.setInterval(trafficRefreshMs);
    connect(&_trafficRefresh, &QTimer::timeout, this, &ConnectionControl::refreshTraffic);
    setIdle(true);
}

void ConnectionControl::connectServo()
{
    _parts.maintenance->cancel(); // the port is the connection's now
    _session->open(_window.target());
}

// The new connection's scheduler, before the servo is asked for its model.
void ConnectionControl::opened()
{
    UiScheduler* scheduler = _session->scheduler().get();
    _parts.bus->connected(*scheduler, _session->baudRate());
    connect(scheduler, &UiScheduler::liveSample, _parts.plot, &PlotDock::addSample);
    connect(scheduler, &UiScheduler::liveSample, _parts.recording->recorder(), &CsvRecorder::addSample);
    connect(scheduler, &UiScheduler::servoSamples, _parts.plot, &PlotDock::addServoSamples);
    connect(scheduler, &UiScheduler::servoSamples, _parts.recording->recorder(), &CsvRecorder::addServoSamples);
    _parts.fastSampling->attach(scheduler, _session->portName());
    _parts.follower->follow(scheduler);
    setIdle(false);
}

void ConnectionControl::identified()
{
    showState(tr("Connected"));
    _session->startPolling(_window.toolBar->pollingInterval()->value());
    refreshTraffic();
    _trafficRefresh.start();
    _window.record->setEnabled(true);
    setIdle(false); // the configuration actions need the model
}

void ConnectionControl::disconnectServo()
{
    const QString lostWrites = _session->close();
    _parts.recording->stop(); // every row read so far reaches the file
    _parts.bus->disconnected();
    if (_parts.configuration->showsServo())
        _parts.configuration->hide();
    _trafficRefresh.stop();
    _trafficLabel->clear(); // the figures describe the connection that just ended
    for (QWidget* view : _window.liveViews)
        view->setEnabled(true);
    setIdle(true);
    _window.window->statusBar()->showMessage(tr("Disconnected"));
    if (!lostWrites.isEmpty())
        _window.showMessage(QMessageBox::Critical, tr("Error"), lostWrites);
}

ConnectedServo ConnectionControl::servo() const
{
    const std::shared_ptr<IDevice> device = _session->device();
    const std::shared_ptr<UiScheduler> scheduler = _session->scheduler();
    if (!isConnected() || !device)
        return {};
    // This connection's table: empty until its first read, never the servo connected before.
    return {scheduler, std::make_shared<FieldCatalogue>(*device),
            [scheduler] { return scheduler->lastTable(); }, _session->baudRate()};
}

void ConnectionControl::setIdle(bool idle)
{
    for (QAction* action : _window.whileIdle)
        action->setEnabled(idle);
    _window.disconnect->setEnabled(!idle);
    // Recording needs values: it is offered once the servo answers.
    if (idle)
        _window.record->setEnabled(false);
    for (QAction* action : _window.withModel)
        action->setEnabled(!idle && isConnected());
    _window.toolBar->setEnabled(idle);
}

void ConnectionControl::showState(const QString& message)
{
    _state = message;
    _window.window->statusBar()->showMessage(_state);
}

void ConnectionControl::refreshTraffic()
{
    if (const std::shared_ptr<UiScheduler> scheduler = _session->scheduler())
        _trafficLabel->setText(scheduler->takeStatisticsSummary());
}
