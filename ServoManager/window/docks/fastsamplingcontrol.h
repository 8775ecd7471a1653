#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class PlotDock;
class UiScheduler;

// Fast sampling on one connection: the plot dock's box and its ticked curves tell the scheduler
// what to sample between its polls, a failed read breaks the curves, and the dock shows the
// adapter latency when that limits the rate.
class FastSamplingControl : public QObject
{
    Q_OBJECT

public:
    explicit FastSamplingControl(PlotDock* dock);

    // A new connection's scheduler, on `portName`.
    void attach(UiScheduler* scheduler, const QString& portName);

private:
    void apply();

    PlotDock* _dock;
    QPointer<UiScheduler> _scheduler;
};
