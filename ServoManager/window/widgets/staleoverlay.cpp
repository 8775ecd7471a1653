#include "window/widgets/staleoverlay.h"

#include <QEvent>
#include <QPainter>

namespace {
const char* const overlayName = "staleOverlay";
} // namespace

StaleOverlay::StaleOverlay(QWidget* view) : QWidget(view)
{
    setObjectName(QLatin1String(overlayName));
    // Nothing under a stale view may be used; the view is disabled as well.
    setAttribute(Qt::WA_NoSystemBackground);
    view->installEventFilter(this);
    hide();
}

StaleOverlay* StaleOverlay::of(const QWidget* view)
{
    return view->findChild<StaleOverlay*>(QLatin1String(overlayName), Qt::FindDirectChildrenOnly);
}

void StaleOverlay::cover(QWidget* view, const QString& text)
{
    StaleOverlay* overlay = of(view);
    if (!overlay)
        overlay = new StaleOverlay(view);
    overlay->_text = text;
    overlay->setGeometry(view->rect());
    overlay->raise();
    overlay->show();
    overlay->update();
}

void StaleOverlay::uncover(QWidget* view)
{
    if (StaleOverlay* overlay = of(view))
        overlay->hide();
}

void StaleOverlay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // The values beneath show through, faded: still readable, plainly not live.
    painter.fillRect(rect(), QColor(255, 255, 255, 150));
    QFont font = painter.font();
    font.setBold(true);
    painter.setFont(font);
    const int height = 2 * QFontMetrics(font).height();
    const QRect banner(0, 0, width(), height);
    painter.fillRect(banner, QColor(0xFF, 0xE0, 0x82));
    painter.setPen(QColor(0xB2, 0x6A, 0x00));
    painter.drawLine(banner.bottomLeft(), banner.bottomRight());
    painter.setPen(QColor(0x3E, 0x27, 0x23));
    painter.drawText(banner.adjusted(8, 0, -8, 0), Qt::AlignCenter | Qt::TextSingleLine, _text);
}

void StaleOverlay::changeEvent(QEvent* event)
{
    // Enabled again with its view: the values are live (or gone) again.
    if (event->type() == QEvent::EnabledChange && isEnabled())
        hide();
    QWidget::changeEvent(event);
}

bool StaleOverlay::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parent() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}
