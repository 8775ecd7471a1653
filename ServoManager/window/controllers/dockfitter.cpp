#include "window/controllers/dockfitter.h"

#include "window/controllers/windowgeometry.h"

#include <QDockWidget>
#include <QLayout>
#include <QMainWindow>
#include <QScreen>
#include <QTimer>

namespace {
// Room for the window manager's title bar and borders, which are known only once on screen.
const QMargins estimatedFrame(8, 40, 8, 8);
} // namespace

DockFitter::DockFitter(QMainWindow* window, QList<QDockWidget*> docks)
    : QObject(window), _window(window), _docks(std::move(docks))
{
    for (QDockWidget* dock : _docks) {
        connect(dock, &QDockWidget::visibilityChanged, this, [this](bool visible) {
            if (visible)
                fitSoon();
        });
        connect(dock, &QDockWidget::topLevelChanged, this, &DockFitter::fitSoon);
        connect(dock, &QDockWidget::dockLocationChanged, this, &DockFitter::fitSoon);
    }
}

void DockFitter::fitSoon()
{
    // Once the dock has been laid out, and once for a burst of changes (a restored state).
    if (_queued)
        return;
    _queued = true;
    QTimer::singleShot(0, this, [this] {
        _queued = false;
        fit();
    });
}

bool DockFitter::fitsIn(const QRect& available) const
{
    _window->layout()->activate();
    const QSize needed = _window->minimumSizeHint().expandedTo(_window->minimumSize());
    const QSize room = available.marginsRemoved(estimatedFrame).size();
    return needed.width() <= room.width() && needed.height() <= room.height();
}

void DockFitter::tabifyArea(Qt::DockWidgetArea area)
{
    QDockWidget* first = nullptr;
    for (QDockWidget* dock : _docks) {
        if (dock->isFloating() || dock->isHidden() || _window->dockWidgetArea(dock) != area)
            continue;
        if (!first) {
            first = dock;
            continue;
        }
        if (!_window->tabifiedDockWidgets(first).contains(dock))
            _window->tabifyDockWidget(first, dock);
    }
}

void DockFitter::fit()
{
    const QScreen* screen = _window->screen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    for (Qt::DockWidgetArea area :
         {Qt::BottomDockWidgetArea, Qt::TopDockWidgetArea, Qt::LeftDockWidgetArea, Qt::RightDockWidgetArea}) {
        if (fitsIn(available))
            break;
        tabifyArea(area);
    }
    if (_window->isMaximized() || _window->isFullScreen())
        return;
    const QRect room = available.marginsRemoved(estimatedFrame);
    if (!room.contains(_window->geometry()))
        _window->setGeometry(keptWithin(_window->geometry(), room));
}
