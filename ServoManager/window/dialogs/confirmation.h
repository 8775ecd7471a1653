#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// Asks before an action that cannot be undone. The box is window-modal but opened without a
// nested event loop, so the program keeps running while it is shown (and a test can find it
// among the top-level widgets and press a button). `confirmed` runs only when the user presses
// the button named `actionText`; Cancel is the default and the Escape key's button.
void askToConfirm(QWidget* parent, const QString& title, const QString& question, const QString& actionText,
                  std::function<void()> confirmed);
// The same with one button per way to do it: `chosen` gets the index of the pressed one.
void askToChoose(QWidget* parent, const QString& title, const QString& question,
                 const QStringList& actionTexts, std::function<void(int)> chosen);
