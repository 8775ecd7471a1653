#pragma once

#include "core/model/livevalues.h"
#include "core/session/multiservosampler.h"

#include <QDockWidget>
#include <QElapsedTimer>
#include <QTimer>

#include <array>
#include <deque>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
struct PortLatency;
class QwtPlotCurve;
class HistorySeries;

namespace Ui {
class PlotDock;
}

// The live values of the last seconds, kept for the plot: the newest last, at most the
// longest time window old.
class SampleHistory
{
public:
    struct Point
    {
        double time; // s since the first sample
        std::array<double, liveChannelCount> values;
        bool gap = false; // no values from here to the next point: the curves break
    };

    void add(const LiveSample& sample);
    // The servo went silent after the newest point.
    void addGap();
    void clear();
    // Drops the points older than `seconds` before the newest.
    void keepLast(double seconds);
    const std::deque<Point>& points() const { return _points; }
    // Index of the first point at or after `time`.
    size_t firstAtOrAfter(double time) const;

private:
    std::deque<Point> _points;
    qint64 _originNs = 0;
};

// Curves of the live values over a scrolling time window. New samples are only stored;
// a frame timer redraws at most about 30 times a second while the dock is shown, and only
// when there is something new to see.
class PlotDock : public QDockWidget
{
    Q_OBJECT

public:
    explicit PlotDock(QWidget* parent = nullptr);
    ~PlotDock() override;

    static constexpr int frameIntervalMs = 33;
    static constexpr double longestWindowSeconds = 60;

    // Seconds of the time window chosen.
    double timeWindow() const;
    bool isPaused() const;
    QwtPlotCurve* curve(LiveChannel channel) const { return _curves[static_cast<size_t>(channel)]; }
    QCheckBox* checkBox(LiveChannel channel) const { return _checkBoxes[static_cast<size_t>(channel)]; }
    const SampleHistory& history() const { return _history; }
    // Whether the box asks for fast sampling, and of which values: the curves shown.
    bool fastSampling() const;
    std::array<bool, liveChannelCount> plottedChannels() const;
    QCheckBox* fastSamplingCheckBox() const;
    QLabel* adapterLatencyLabel() const;
    // A USB adapter's latency timer above 1 ms, not the line, limits the sample rate: say so.
    void setAdapterLatency(const PortLatency& latency);
    // The servos typed into "Servos" and the message about them (empty: none).
    QLineEdit* servosLineEdit() const;
    QString servosText() const;
    void setServosMessage(const QString& message);
    // The servos plotted together, the connected one first; fewer than two: the connected one's
    // curves alone, as without any typed.
    void setSampledServos(const QList<int>& ids);
    QList<int> sampledServos() const;
    // A servo's curve and values while several are plotted; none for a servo not plotted.
    QwtPlotCurve* servoCurve(int id, LiveChannel channel) const;
    const SampleHistory* servoHistory(int id) const;
    // For the benchmark: frames drawn and the time spent drawing them.
    int framesDrawn() const { return _framesDrawn; }
    qint64 drawingNs() const { return _drawingNs; }

public slots:
    void addSample(const LiveSample& sample);
    // The servo stopped answering: the curves do not join across the silence.
    void addGap();
    // One sample of the servos plotted together; a servo that did not answer gets a gap.
    void addServoSamples(const ServoSamples& samples);
    void clear();

signals:
    // The box or a curve was ticked or cleared.
    void samplingChanged();
    // "Servos" was edited.
    void servosChanged();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void applyLayout(const std::shared_ptr<const LiveLayout>& layout);
    void fitControlsWidth();
    void updateCurveVisibility();
    void frameDue();
    void drawFrame();
    void setPaused(bool paused);
    struct ServoCurves;
    ServoCurves* servoCurvesOf(int id) const;
    void takeServoSamples(const ServoSamples& samples);
    void titleServoCurves(ServoCurves& servo, const std::shared_ptr<const LiveLayout>& layout);
    void dropServoCurves();
    double newestTime() const;

    Ui::PlotDock* ui;
    std::array<QwtPlotCurve*, liveChannelCount> _curves{};
    std::array<HistorySeries*, liveChannelCount> _series{};
    std::array<QCheckBox*, liveChannelCount> _checkBoxes{};
    std::shared_ptr<const LiveLayout> _layout;
    SampleHistory _history;
    // Samples that arrive while paused (the last minute of them); they join on resume.
    std::deque<LiveSample> _heldBack;
    std::vector<std::unique_ptr<ServoCurves>> _servoCurves;
    std::deque<ServoSamples> _heldBackServos;
    QTimer _frameTimer;
    bool _frameDue = false;
    QElapsedTimer _sinceSample;
    bool _newData = false;
    bool _viewChanged = true;
    double _drawnNewest = 0; // s: the newest time of the last frame
    int _framesDrawn = 0;
    qint64 _drawingNs = 0;
};
