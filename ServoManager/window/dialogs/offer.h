#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// A message with a way out: besides OK, a button that starts what helps next (Search after a
// connect that got no answer, say). Opened without a nested event loop, like every box of the
// window; `offered` runs once the box is gone and only when its button was pressed.
void showWithOffer(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                   const QString& offerText, std::function<void()> offered);
