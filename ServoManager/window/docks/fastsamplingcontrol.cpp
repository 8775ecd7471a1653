#include "window/docks/fastsamplingcontrol.h"

#include "core/jobs/busroster.h"
#include "core/session/devicehelper.h"
#include "core/session/uischeduler.h"
#include "core/transport/portlatency.h"
#include "window/docks/plotdock.h"

FastSamplingControl::FastSamplingControl(PlotDock* dock) : QObject(dock), _dock(dock)
{
    connect(_dock, &PlotDock::samplingChanged, this, &FastSamplingControl::apply);
    connect(_dock, &PlotDock::servosChanged, this, &FastSamplingControl::apply);
}

void FastSamplingControl::attach(UiScheduler* scheduler, const QString& portName)
{
    _scheduler = scheduler;
    connect(scheduler, &UiScheduler::sampleMissed, _dock, &PlotDock::addGap);
    connect(scheduler, &UiScheduler::sampledServosChanged, this, &FastSamplingControl::showSampledServos);
    _dock->setAdapterLatency(probePortLatency(portName));
    apply();
}

QString FastSamplingControl::checkServos(const QList<int>& ids, QList<SampledServo>* accepted) const
{
    QStringList problems;
    for (int id : ids) {
        if (_scheduler && id == _scheduler->servoId())
            continue; // plotted anyway
        const int row = _roster ? _roster->rowOf(id) : -1;
        if (row < 0) {
            problems.append(tr("Servo %1 is not in the Bus table.").arg(id));
            continue;
        }
        if (!_scheduler)
            continue; // checked again once connected
        const int protocol = _roster->protocolAt(row);
        if (_roster->baudRateAt(row) != _scheduler->baudRate() ||
            (protocol != 0 && protocol != int(_scheduler->protocol()))) {
            problems.append(tr("Servo %1 is not at the connected servo's rate and protocol.").arg(id));
            continue;
        }
        const std::shared_ptr<IDevice> device =
            _roster->modelNumberAt(row) < 0 ? nullptr : DeviceHelper::createDevice(_roster->modelNumberAt(row));
        if (!device) {
            problems.append(tr("The model of servo %1 is not known.").arg(id));
            continue;
        }
        accepted->append({id, device});
    }
    return problems.join(QLatin1Char(' '));
}

void FastSamplingControl::apply()
{
    QString problem;
    const std::optional<QList<int>> ids = servoIdsOf(_dock->servosText(), &problem);
    QList<SampledServo> others;
    if (ids)
        problem = checkServos(*ids, &others);
    _dock->setServosMessage(problem);
    if (!_scheduler)
        return;
    const std::array<bool, liveChannelCount> plotted = _dock->plottedChannels();
    _scheduler->setSampledServos(others, plotted);
    showSampledServos();
    _scheduler->setFastSampling(_dock->fastSampling() ? plotted : std::array<bool, liveChannelCount>{});
}

void FastSamplingControl::showSampledServos()
{
    QList<int> sampled;
    if (_scheduler)
        for (const SampledServoLayout& servo : _scheduler->sampledServos())
            sampled.append(servo.id);
    _dock->setSampledServos(sampled);
}
