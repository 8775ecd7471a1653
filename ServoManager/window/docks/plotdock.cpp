#include "ui_plotdock.h"
#include "window/docks/plotdock.h"
#include "window/docks/plotseries.h"

#include <QLineEdit>
#include <QScrollBar>
#include <qwt_legend.h>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_series_data.h>

#include "core/transport/portlatency.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>

// The curves of one of the servos plotted together, over its own history.
struct PlotDock::ServoCurves
{
    int id = 0;
    std::shared_ptr<const LiveLayout> layout;
    SampleHistory history;
    std::array<QwtPlotCurve*, liveChannelCount> curves{};
    std::array<HistorySeries*, liveChannelCount> series{};
};

namespace {
// An actual value and its target share a colour; the target is dashed.
const QColor channelColours[liveChannelCount] = {
    QColor(31, 119, 180), QColor(230, 120, 20), QColor(44, 160, 44), QColor(214, 39, 40), QColor(148, 103, 189),
    QColor(140, 86, 75),  QColor(31, 119, 180), QColor(230, 120, 20), QColor(44, 160, 44),
};
constexpr int firstTargetChannel = static_cast<int>(LiveChannel::TargetPosition);
const double timeWindows[] = {10, 30, 60};
// Servos plotted together differ by colour; a servo's values by the line's style.
const QColor servoColours[] = {QColor(31, 119, 180), QColor(230, 120, 20), QColor(44, 160, 44),
                               QColor(214, 39, 40),  QColor(148, 103, 189), QColor(140, 86, 75),
                               QColor(227, 119, 194), QColor(127, 127, 127), QColor(188, 189, 34),
                               QColor(23, 190, 207)};
const Qt::PenStyle channelStyles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine, Qt::DashDotDotLine};
} // namespace

PlotDock::PlotDock(QWidget* parent) : QDockWidget(parent), ui(new Ui::PlotDock)
{
    ui->setupUi(this);
    _checkBoxes = {ui->actualPositionCheckBox,        ui->actualAngularVelocityCheckBox,
                   ui->actualTorqueCheckBox,          ui->actualVoltageCheckBox,
                   ui->actualCurrentCheckBox,         ui->actualTemperatureCheckBox,
                   ui->targetPositionCheckBox,        ui->targetAngularVelocityCheckBox,
                   ui->targetTorqueCheckBox};
    // The controls scroll rather than make the dock (and the window) taller than a laptop's
    // screen; they are never cut sideways.
    fitControlsWidth();

    QwtPlot* plot = ui->plot;
    plot->setCanvasBackground(Qt::white);
    // Paint within the frame timer rather than at some later paint event, so a frame's cost
    // is where it can be measured and frames never pile up. Every frame changes the whole
    // canvas, so a backing store would only add a fill and a copy; a plain frame is cheaper
    // to draw than the style's panel.
    if (auto* canvas = qobject_cast<QwtPlotCanvas*>(plot->canvas())) {
        canvas->setPaintAttribute(QwtPlotCanvas::ImmediatePaint, true);
        canvas->setPaintAttribute(QwtPlotCanvas::BackingStore, false);
        canvas->setFrameStyle(QFrame::Box | QFrame::Plain);
        canvas->setLineWidth(1);
    }
    plot->setAxisTitle(QwtPlot::xBottom, tr("time (s)"));
    plot->insertLegend(new QwtLegend(), QwtPlot::TopLegend);
    auto* grid = new QwtPlotGrid();
    grid->setMajorPen(QColor(230, 230, 230), 0, Qt::SolidLine);
    grid->attach(plot);

    for (size_t channel = 0; channel < _curves.size(); ++channel) {
        auto* curve = new GappedCurve(_checkBoxes[channel]->text());
        // Cosmetic (one pixel) pens: wider ones are stroked as polygons, many times slower.
        QPen pen(channelColours[channel], 0, int(channel) >= firstTargetChannel ? Qt::DashLine : Qt::SolidLine);
        pen.setCosmetic(true);
        curve->setPen(pen);
        _series[channel] = new HistorySeries(_history, channel);
        curve->setData(_series[channel]); // the curve owns the series
        _curves[channel] = curve;
        connect(_checkBoxes[channel], &QCheckBox::toggled, this, &PlotDock::updateCurveVisibility);
        connect(_checkBoxes[channel], &QCheckBox::toggled, this, &PlotDock::samplingChanged);
    }
    connect(ui->fastSamplingCheckBox, &QCheckBox::toggled, this, &PlotDock::samplingChanged);
    connect(ui->servosLineEdit, &QLineEdit::editingFinished, this, &PlotDock::servosChanged);
    connect(ui->clearButton, &QPushButton::clicked, this, &PlotDock::clear);
    connect(ui->pauseButton, &QPushButton::toggled, this, &PlotDock::setPaused);
    connect(ui->timeWindowComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
        _viewChanged = true;
        drawFrame();
    });
    updateCurveVisibility();

    _frameTimer.setInterval(frameIntervalMs);
    connect(&_frameTimer, &QTimer::timeout, this, &PlotDock::frameDue);
}

// Nothing is drawn while hidden; a shown dock catches up at its first frame.
void PlotDock::showEvent(QShowEvent* event)
{
    _viewChanged = true;
    _frameTimer.start();
    QDockWidget::showEvent(event);
}

void PlotDock::hideEvent(QHideEvent* event)
{
    _frameTimer.stop();
    QDockWidget::hideEvent(event);
}

PlotDock::~PlotDock()
{
    dropServoCurves();
    // The curves own their series and the plot owns the attached curves.
    for (QwtPlotCurve* curve : _curves)
        if (!curve->plot())
            delete curve;
    delete ui;
}

double PlotDock::timeWindow() const
{
    return timeWindows[std::clamp(ui->timeWindowComboBox->currentIndex(), 0, 2)];
}

bool PlotDock::fastSampling() const
{
    return ui->fastSamplingCheckBox->isChecked();
}

std::array<bool, liveChannelCount> PlotDock::plottedChannels() const
{
    std::array<bool, liveChannelCount> plotted{};
    for (size_t channel = 0; channel < plotted.size(); ++channel)
        plotted[channel] = _checkBoxes[channel]->isChecked() && (!_layout || _layout->described[channel]);
    return plotted;
}

QCheckBox* PlotDock::fastSamplingCheckBox() const
{
    return ui->fastSamplingCheckBox;
}

QLabel* PlotDock::adapterLatencyLabel() const
{
    return ui->adapterLatencyLabel;
}

void PlotDock::setAdapterLatency(const PortLatency& latency)
{
    const bool limits = latency.kind == PortLatency::Kind::UsbWithTimer && latency.latencyTimerMs > 1;
    // Each short answer waits in the adapter until its timer runs out.
    ui->adapterLatencyLabel->setText(
        limits ? tr("USB adapter latency timer %1 ms: about %2 samples/s at most")
                     .arg(latency.latencyTimerMs)
                     .arg(1000 / latency.latencyTimerMs)
               : QString());
    ui->adapterLatencyLabel->setToolTip(
        limits ? tr("The adapter holds each answer up to this long. Lower it to 1 ms:\necho 1 | sudo tee %1")
                     .arg(latency.latencyTimerPath)
               : QString());
    ui->adapterLatencyLabel->setVisible(limits);
}

bool PlotDock::isPaused() const
{
    return ui->pauseButton->isChecked();
}

// While samples come faster than frames, a frame is drawn right after the next one: the scheduler
// has just put its next request on the line, and the exchange goes on while this thread draws.
void PlotDock::frameDue()
{
    if (!_frameDue && _sinceSample.isValid() && _sinceSample.elapsed() < frameIntervalMs) {
        _frameDue = true;
        return;
    }
    _frameDue = false; // no sample for a whole frame
    drawFrame();
}

void PlotDock::addSample(const LiveSample& sample)
{
    if (sample.layout != _layout)
        applyLayout(sample.layout);
    // Several servos are plotted from their samples together, not from the polls.
    if (!_servoCurves.empty())
        return;
    _sinceSample.start();
    if (isPaused()) {
        _heldBack.push_back(sample);
        const qint64 oldest = sample.arrivalNs - static_cast<qint64>(longestWindowSeconds * 1e9);
        while (_heldBack.front().arrivalNs < oldest)
            _heldBack.pop_front();
        return;
    }
    _history.add(sample);
    // Also while hidden: a dock left closed for hours must not keep hours of values.
    _history.keepLast(longestWindowSeconds);
    _newData = true;
    // Queued: drawn once this sample's handling is done, still while the next request is out.
    if (_frameDue) {
        _frameDue = false;
        QMetaObject::invokeMethod(this, &PlotDock::drawFrame, Qt::QueuedConnection);
    }
}

void PlotDock::addGap()
{
    if (isPaused() && !_heldBack.empty()) {
        LiveSample gap = _heldBack.back();
        gap.layout = nullptr; // marks the silence among the held-back samples
        _heldBack.push_back(gap);
        return;
    }
    _history.addGap();
    _newData = true;
}

void PlotDock::clear()
{
    _history.clear();
    _heldBack.clear();
    for (const auto& servo : _servoCurves)
        servo->history.clear();
    _heldBackServos.clear();
    _viewChanged = true;
    drawFrame();
}

// A new connection: other units or another model, so the old curves would mislead.
void PlotDock::applyLayout(const std::shared_ptr<const LiveLayout>& layout)
{
    _layout = layout;
    clear();
    for (size_t channel = 0; channel < _curves.size(); ++channel) {
        const bool described = layout && layout->described[channel];
        const QString caption = layout ? layout->caption(int(channel)) : _checkBoxes[channel]->text();
        _checkBoxes[channel]->setText(caption);
        _checkBoxes[channel]->setEnabled(described);
        _checkBoxes[channel]->setToolTip(described ? QString() : tr("This servo model has no such value."));
        _curves[channel]->setTitle(caption);
    }
    fitControlsWidth(); // the captions name their units now
    updateCurveVisibility();
}

void PlotDock::fitControlsWidth()
{
    ui->plotControlsWidget->layout()->activate();
    ui->plotControlsScrollArea->setMinimumWidth(ui->plotControlsWidget->minimumSizeHint().width() +
                                                ui->plotControlsScrollArea->verticalScrollBar()->sizeHint().width());
}

void PlotDock::updateCurveVisibility()
{
    const auto showOrHide = [this](QwtPlotCurve* curve, bool show) {
        if (show && !curve->plot())
            curve->attach(ui->plot);
        else if (!show && curve->plot())
            curve->detach();
    };
    for (size_t channel = 0; channel < _curves.size(); ++channel) {
        const bool ticked = _checkBoxes[channel]->isChecked();
        showOrHide(_curves[channel], _servoCurves.empty() && ticked && (!_layout || _layout->described[channel]));
        for (const auto& servo : _servoCurves)
            showOrHide(servo->curves[channel], ticked && servo->layout && servo->layout->described[channel]);
    }
    _viewChanged = true;
    drawFrame();
}

void PlotDock::setPaused(bool paused)
{
    ui->pauseButton->setText(paused ? tr("Resume") : tr("Pause"));
    if (paused)
        return;
    for (const LiveSample& sample : _heldBack) {
        if (sample.layout)
            _history.add(sample);
        else
            _history.addGap();
    }
    _heldBack.clear();
    for (const ServoSamples& samples : _heldBackServos)
        takeServoSamples(samples);
    _heldBackServos.clear();
    _viewChanged = true;
    drawFrame();
}

// New values alone redraw only once the curves have moved by a pixel column: a minute on
// a canvas some 900 pixels wide scrolls a pixel in about 67 ms, and frames in between would
// draw the same picture. Changes of the view itself redraw at once, also while paused.
void PlotDock::drawFrame()
{
    if (!isVisible())
        return;
    const double window = timeWindow();
    const int pixels = std::max(1, ui->plot->canvas()->width());
    const double newest = newestTime();
    if (!_viewChanged && (!_newData || isPaused() || newest - _drawnNewest < window / pixels))
        return;
    QElapsedTimer clock;
    clock.start();
    _newData = false;
    _viewChanged = false;
    _drawnNewest = newest;
    const size_t first = _history.firstAtOrAfter(newest - window);
    // The window scrolls with the newest value; until it fills, it starts at 0.
    const double start = std::max(0.0, newest - window);
    for (size_t channel = 0; channel < _series.size(); ++channel)
        if (_curves[channel]->plot())
            _series[channel]->show(first, start, window, pixels);
    for (const auto& servo : _servoCurves) {
        const size_t servoFirst = servo->history.firstAtOrAfter(newest - window);
        for (size_t channel = 0; channel < servo->series.size(); ++channel)
            if (servo->curves[channel]->plot())
                servo->series[channel]->show(servoFirst, start, window, pixels);
    }
    ui->plot->setAxisScale(QwtPlot::xBottom, start, start + window);
    ui->plot->replot();
    ++_framesDrawn;
    _drawingNs += clock.nsecsElapsed();
}

QLineEdit* PlotDock::servosLineEdit() const
{
    return ui->servosLineEdit;
}

QString PlotDock::servosText() const
{
    return ui->servosLineEdit->text();
}

void PlotDock::setServosMessage(const QString& message)
{
    ui->servosMessageLabel->setText(message);
    ui->servosMessageLabel->setVisible(!message.isEmpty());
}

void PlotDock::setSampledServos(const QList<int>& ids)
{
    if (ids == sampledServos() || (ids.size() < 2 && _servoCurves.empty()))
        return;
    dropServoCurves();
    if (ids.size() >= 2) {
        for (int index = 0; index < ids.size(); ++index) {
            auto servo = std::make_unique<ServoCurves>();
            servo->id = ids[index];
            for (size_t channel = 0; channel < servo->curves.size(); ++channel) {
                auto* curve = new GappedCurve(QString());
                QPen pen(servoColours[size_t(index) % std::size(servoColours)], 0,
                         channelStyles[channel % std::size(channelStyles)]);
                pen.setCosmetic(true);
                curve->setPen(pen);
                servo->series[channel] = new HistorySeries(servo->history, channel);
                curve->setData(servo->series[channel]); // the curve owns the series
                servo->curves[channel] = curve;
            }
            _servoCurves.push_back(std::move(servo));
        }
    }
    clear();
    updateCurveVisibility();
}

QList<int> PlotDock::sampledServos() const
{
    QList<int> ids;
    for (const auto& servo : _servoCurves)
        ids.append(servo->id);
    return ids;
}

QwtPlotCurve* PlotDock::servoCurve(int id, LiveChannel channel) const
{
    const ServoCurves* servo = servoCurvesOf(id);
    return servo ? servo->curves[size_t(channel)] : nullptr;
}

const SampleHistory* PlotDock::servoHistory(int id) const
{
    const ServoCurves* servo = servoCurvesOf(id);
    return servo ? &servo->history : nullptr;
}

PlotDock::ServoCurves* PlotDock::servoCurvesOf(int id) const
{
    for (const auto& servo : _servoCurves)
        if (servo->id == id)
            return servo.get();
    return nullptr;
}

void PlotDock::addServoSamples(const ServoSamples& samples)
{
    if (_servoCurves.empty())
        return;
    _sinceSample.start();
    if (isPaused()) {
        _heldBackServos.push_back(samples);
        // A minute of them at most, as for one servo.
        const qint64 oldest = arrivalOf(samples) - static_cast<qint64>(longestWindowSeconds * 1e9);
        while (_heldBackServos.size() > 1 && arrivalOf(_heldBackServos.front()) < oldest)
            _heldBackServos.pop_front();
        return;
    }
    takeServoSamples(samples);
    _newData = true;
    if (_frameDue) {
        _frameDue = false;
        QMetaObject::invokeMethod(this, &PlotDock::drawFrame, Qt::QueuedConnection);
    }
}

// A servo that did not answer keeps the sample's time with no values, then a break: the
// histories of all servos start at the same sample, so their times line up.
void PlotDock::takeServoSamples(const ServoSamples& samples)
{
    const qint64 arrivalNs = arrivalOf(samples);
    for (const ServoSample& part : samples) {
        ServoCurves* servo = servoCurvesOf(part.id);
        if (!servo)
            continue;
        if (part.answered) {
            if (part.sample.layout && part.sample.layout != servo->layout)
                titleServoCurves(*servo, part.sample.layout);
            servo->history.add(part.sample);
        } else if (arrivalNs >= 0) {
            LiveSample silent;
            silent.arrivalNs = arrivalNs;
            silent.values.fill(std::nan(""));
            servo->history.add(silent);
            servo->history.addGap();
        } else {
            servo->history.addGap();
        }
        servo->history.keepLast(longestWindowSeconds);
    }
}

void PlotDock::titleServoCurves(ServoCurves& servo, const std::shared_ptr<const LiveLayout>& layout)
{
    servo.layout = layout;
    for (size_t channel = 0; channel < servo.curves.size(); ++channel)
        servo.curves[channel]->setTitle(servoCaption(*layout, int(channel), servo.id));
    updateCurveVisibility();
}

void PlotDock::dropServoCurves()
{
    for (const auto& servo : _servoCurves)
        for (QwtPlotCurve* curve : servo->curves) {
            curve->detach();
            delete curve;
        }
    _servoCurves.clear();
    _heldBackServos.clear();
}

double PlotDock::newestTime() const
{
    double newest = _history.points().empty() ? 0 : _history.points().back().time;
    for (const auto& servo : _servoCurves)
        if (!servo->history.points().empty())
            newest = std::max(newest, servo->history.points().back().time);
    return newest;
}
