// The window's actions, as tests and the controllers the window wires reach them.
#include "ui_mainwindow.h"
#include "window/mainwindow.h"

QAction* MainWindow::getConnectAction()
{
    return ui->actionConnect;
}

QAction* MainWindow::getDisconnectAction()
{
    return ui->actionDisconnect;
}

QAction* MainWindow::getQuitAction()
{
    return ui->actionQuit;
}

QAction* MainWindow::getSettingsAction()
{
    return ui->actionSettings;
}

QAction* MainWindow::getSearchAction()
{
    return ui->actionSearch;
}

QAction* MainWindow::getAboutAction()
{
    return ui->actionAbout;
}

QAction* MainWindow::getRebootAction()
{
    return ui->actionReboot;
}

QAction* MainWindow::getResetAction()
{
    return ui->actionReset;
}

QAction* MainWindow::getRecordAction()
{
    return ui->actionRecord;
}
