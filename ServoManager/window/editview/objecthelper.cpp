#include "window/editview/objecthelper.h"

#include "window/mainwindow.h"

#include <QApplication>

MainWindow* ObjectHelper::getMainWindowHandle()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<MainWindow*>(widget))
            return window;
    }
    return nullptr;
}
