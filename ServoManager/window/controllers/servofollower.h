#pragma once

#include "core/session/uischeduler.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class PlotDock;
class QAction;
class QDateTime;
class QSpinBox;
class QWidget;
class SearchDialog;
class ServoSession;

// The window's side of a polled servo that moves or falls silent: the scheduler already polls it
// where it is now, and the tool bar, the settings and the status bar follow.
class ServoFollower : public QObject
{
    Q_OBJECT

public:
    struct Window
    {
        QWidget* window;       // parent of the box that offers a search
        ServoSession* session; // the port's rate, and the servo's moves
        QSpinBox* servoId;     // the tool bar's address; setting it stores the servo id
        QAction* disconnect;   // before a search, which needs the port
        SearchDialog* search;
        PlotDock* plot;
        QList<QWidget*> liveViews;                     // not editable while the servo is silent
        std::function<void(int)> followBaudRate;       // the port is open at a new rate
        std::function<void(const QString&)> showState; // stays until the state changes
        std::function<void(const QString&)> showPassing;
    };

    explicit ServoFollower(Window window);

    // Shows whether the servo `scheduler` polls answers.
    void follow(UiScheduler* scheduler);

private:
    void moved(int id, int baudRate, WriteOutcome::Answer answer);
    void notFound(const QList<BusAddress>& tried);
    void answeringChanged(bool answering, const QDateTime& since, int servoId);

    Window _window;
};
