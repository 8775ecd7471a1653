#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class BusRoster;
class PlotDock;
class UiScheduler;
struct SampledServo;

// Fast sampling on one connection: the plot dock's box and its ticked curves tell the scheduler
// what to sample between its polls, a failed read breaks the curves, and the dock shows the
// adapter latency when that limits the rate. The servos typed into "Servos" are checked against
// the Bus table and sampled together with the connected one.
class FastSamplingControl : public QObject
{
    Q_OBJECT

public:
    explicit FastSamplingControl(PlotDock* dock);

    // A new connection's scheduler, on `portName`.
    void attach(UiScheduler* scheduler, const QString& portName);
    // The Bus table the typed servos must be rows of.
    void setRoster(BusRoster* roster) { _roster = roster; }

    // The servos of `ids` that can be sampled with the connected servo (their models, for the
    // scheduler), and why the others cannot: empty when all can.
    QString checkServos(const QList<int>& ids, QList<SampledServo>* accepted) const;

private:
    void apply();
    void showSampledServos();

    PlotDock* _dock;
    QPointer<UiScheduler> _scheduler;
    BusRoster* _roster = nullptr;
};
