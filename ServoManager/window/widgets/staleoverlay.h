#pragma once

#include <QString>
#include <QWidget>

// Laid over a view whose values are no longer live (the servo stopped answering): the values
// show washed out beneath it, and a banner across its top says why. The view under it is
// disabled by whoever covers it; the overlay goes as soon as the view is enabled again,
// whoever does it (the servo answers again, Disconnect).
class StaleOverlay : public QWidget
{
    Q_OBJECT

public:
    // Covers `view` with `text` in the banner; one overlay per view, made on first use.
    static void cover(QWidget* view, const QString& text);
    static void uncover(QWidget* view);
    // The overlay of `view`, or null when it was never covered.
    static StaleOverlay* of(const QWidget* view);

    QString text() const { return _text; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit StaleOverlay(QWidget* view);

    QString _text;
};
