#pragma once

class MainWindow;

// Finds the program's main window among the application's top-level widgets.
class ObjectHelper
{
public:
    // Null when no main window exists (widgets used on their own).
    static MainWindow* getMainWindowHandle();
};
