#pragma once
// The window's message boxes open without a nested event loop: tests find them among the
// top-level widgets and answer them. Header only, for the tests that link the widgets.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

namespace messageboxes {

inline QMessageBox* visible()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            return box;
    }
    return nullptr;
}

// Presses the button of that text on the box on screen; returns "title|text", empty when there
// is no box or no such button.
inline QString answer(const QString& buttonText)
{
    QMessageBox* box = visible();
    if (!box)
        return {};
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == buttonText) {
            const QString seen = box->windowTitle() + "|" + box->text();
            button->click();
            return seen;
        }
    }
    return {};
}

} // namespace messageboxes
