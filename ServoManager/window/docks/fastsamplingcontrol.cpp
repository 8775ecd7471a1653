#include "window/docks/fastsamplingcontrol.h"

#include "core/session/uischeduler.h"
#include "core/transport/portlatency.h"
#include "window/docks/plotdock.h"

FastSamplingControl::FastSamplingControl(PlotDock* dock) : QObject(dock), _dock(dock)
{
    connect(_dock, &PlotDock::samplingChanged, this, &FastSamplingControl::apply);
}

void FastSamplingControl::attach(UiScheduler* scheduler, const QString& portName)
{
    _scheduler = scheduler;
    connect(scheduler, &UiScheduler::sampleMissed, _dock, &PlotDock::addGap);
    _dock->setAdapterLatency(probePortLatency(portName));
    apply();
}

void FastSamplingControl::apply()
{
    if (_scheduler)
        _scheduler->setFastSampling(_dock->fastSampling() ? _dock->plottedChannels()
                                                          : std::array<bool, liveChannelCount>{});
}
