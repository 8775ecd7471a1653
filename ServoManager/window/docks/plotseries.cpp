#include "window/docks/plotseries.h"

#include <algorithm>
#include <cmath>

void HistorySeries::show(size_t first, double start, double window, int pixels)
{
    _shown.clear();
    const auto& points = _history.points();
    const double columnWidth = window / std::max(1, pixels);
    double low = INFINITY;
    double high = -INFINITY;
    long column = -1;
    QPointF columnMin;
    QPointF columnMax;
    auto flush = [this, &columnMin, &columnMax] {
        _shown.append(columnMin.x() <= columnMax.x() ? columnMin : columnMax);
        if (columnMin != columnMax)
            _shown.append(columnMin.x() <= columnMax.x() ? columnMax : columnMin);
    };
    _breaks.clear();
    for (size_t i = first; i < points.size(); ++i) {
        if (points[i].gap) {
            if (column >= 0)
                flush();
            column = -1;
            if (!_shown.isEmpty() && (_breaks.isEmpty() || _breaks.last() != _shown.size()))
                _breaks.append(_shown.size());
            continue;
        }
        const QPointF point(points[i].time, points[i].values[_channel]);
        if (std::isnan(point.y()))
            continue;
        low = std::min(low, point.y());
        high = std::max(high, point.y());
        const auto pointColumn = static_cast<long>((point.x() - start) / columnWidth);
        if (pointColumn != column) {
            if (column >= 0)
                flush();
            column = pointColumn;
            columnMin = columnMax = point;
        } else if (point.y() < columnMin.y()) {
            columnMin = point;
        } else if (point.y() > columnMax.y()) {
            columnMax = point;
        }
    }
    if (column >= 0)
        flush();
    d_boundingRect = _shown.isEmpty() ? QRectF(1.0, 1.0, -2.0, -2.0) // Qwt's "invalid"
                                      : QRectF(QPointF(_shown.first().x(), low), QPointF(_shown.last().x(), high));
}

void GappedCurve::drawSeries(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRectF& canvasRect,
                int from, int to) const
{
    if (to < 0)
        to = static_cast<int>(dataSize()) - 1;
    const auto* series = dynamic_cast<const HistorySeries*>(data());
    int start = from;
    if (series) {
        for (int next : series->breaks()) {
            if (next <= start)
                continue;
            if (next > to)
                break;
            QwtPlotCurve::drawSeries(painter, xMap, yMap, canvasRect, start, next - 1);
            start = next;
        }
    }
    if (start <= to)
        QwtPlotCurve::drawSeries(painter, xMap, yMap, canvasRect, start, to);
}

void SampleHistory::add(const LiveSample& sample)
{
    if (_points.empty())
        _originNs = sample.arrivalNs;
    _points.push_back({(sample.arrivalNs - _originNs) / 1e9, sample.values});
}

void SampleHistory::addGap()
{
    if (_points.empty() || _points.back().gap)
        return;
    Point gap{_points.back().time, {}, true};
    gap.values.fill(std::nan(""));
    _points.push_back(gap);
}

void SampleHistory::clear()
{
    _points.clear();
}

void SampleHistory::keepLast(double seconds)
{
    if (_points.empty())
        return;
    _points.erase(_points.begin(), _points.begin() + static_cast<std::ptrdiff_t>(
                                                         firstAtOrAfter(_points.back().time - seconds)));
}

size_t SampleHistory::firstAtOrAfter(double time) const
{
    const auto it = std::lower_bound(_points.begin(), _points.end(), time,
                                     [](const Point& point, double t) { return point.time < t; });
    return static_cast<size_t>(it - _points.begin());
}
