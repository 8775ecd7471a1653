#pragma once

#include "window/docks/plotdock.h"

#include <qwt_plot_curve.h>
#include <qwt_series_data.h>

#include <QPointF>
#include <QVector>

// One channel of the history inside the time window, thinned to what the canvas can show:
// per pixel column only the lowest and the highest value, in the order they came. A minute
// at 100 polls a second would otherwise draw several points into every pixel.
class HistorySeries : public QwtSeriesData<QPointF>
{
public:
    HistorySeries(const SampleHistory& history, size_t channel) : _history(history), _channel(channel) {}

    // Called before every frame with the window's first point and its span in time and pixels.
    void show(size_t first, double start, double window, int pixels);

    size_t size() const override { return static_cast<size_t>(_shown.size()); }
    QPointF sample(size_t i) const override { return _shown[static_cast<int>(i)]; }
    QRectF boundingRect() const override { return d_boundingRect; }
    // Indexes of the shown points that start a new stretch after a silence.
    const QVector<int>& breaks() const { return _breaks; }

private:
    const SampleHistory& _history;
    size_t _channel;
    QVector<QPointF> _shown;
    QVector<int> _breaks;
};

// Draws each stretch between silences on its own, so no line bridges a gap.
class GappedCurve : public QwtPlotCurve
{
public:
    using QwtPlotCurve::QwtPlotCurve;

    void drawSeries(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRectF& canvasRect,
                    int from, int to) const override;
};
