#pragma once

#include <QMargins>
#include <QRect>
#include <QSize>

class QWidget;

// Where a top-level window of `designed` size goes when no geometry of its own is stored: within
// `available` (a screen without its panels and docks) less `frame` (the window manager's
// decoration), shrunk where it does not fit, and centred there.
QRect fittedWindowGeometry(const QSize& designed, const QRect& available, const QMargins& frame);

// `geometry` moved, and shrunk where it must, to lie within `room`.
QRect keptWithin(const QRect& geometry, const QRect& room);

// Gives `window` its fitted geometry on the screen it opens on.
void fitWindowToScreen(QWidget* window);
