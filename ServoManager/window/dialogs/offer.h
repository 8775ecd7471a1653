#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// A way on offered with a message: the button's text and what it starts.
struct Offer
{
    QString text;
    std::function<void()> run;
};

// A message with a way out: besides OK, a button that starts what helps next (Search after a
// connect that got no answer, say). Opened without a nested event loop, like every box of the
// window; `offered` runs once the box is gone and only when its button was pressed.
void showWithOffer(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                   const QString& offerText, std::function<void()> offered);
// The same with several ways on, a button each, in this order.
void showWithOffers(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                    const QList<Offer>& offers);
