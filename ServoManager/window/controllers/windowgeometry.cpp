#include "window/controllers/windowgeometry.h"

#include <QScreen>
#include <QWidget>

namespace {
// The decoration is only known once the window is on screen: room for the title bar and borders
// of the usual window managers.
const QMargins estimatedFrame(8, 40, 8, 8);
} // namespace

QRect fittedWindowGeometry(const QSize& designed, const QRect& available, const QMargins& frame)
{
    const QRect room = available.marginsRemoved(frame);
    QRect geometry(QPoint(), designed.boundedTo(room.size()));
    geometry.moveCenter(room.center());
    return geometry;
}

QRect keptWithin(const QRect& geometry, const QRect& room)
{
    QRect kept(geometry.topLeft(), geometry.size().boundedTo(room.size()));
    kept.moveLeft(qBound(room.left(), kept.left(), room.right() - kept.width() + 1));
    kept.moveTop(qBound(room.top(), kept.top(), room.bottom() - kept.height() + 1));
    return kept;
}

void fitWindowToScreen(QWidget* window)
{
    if (const QScreen* screen = window->screen())
        window->setGeometry(
            fittedWindowGeometry(window->size(), screen->availableGeometry(), estimatedFrame));
}
