#pragma once

#include <QList>
#include <QObject>

class QDockWidget;
class QMainWindow;
class QRect;

// Keeps the main window within its screen while docks are shown: docks side by side in one area
// that would make the window wider or taller than the screen share the space as tabs instead,
// and a window that still outgrows the screen is brought back within it.
class DockFitter : public QObject
{
    Q_OBJECT

public:
    DockFitter(QMainWindow* window, QList<QDockWidget*> docks);

    // Does it now (tests; otherwise it runs whenever a dock is shown, docked or floated).
    void fit();

private:
    void fitSoon();
    bool fitsIn(const QRect& available) const;
    void tabifyArea(Qt::DockWidgetArea area);

    QMainWindow* _window;
    QList<QDockWidget*> _docks;
    bool _queued = false;
};
