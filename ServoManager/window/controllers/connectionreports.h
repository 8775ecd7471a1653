#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>

#include <functional>

class QAction;
class QWidget;
class ServoSession;
enum class FailureKind;

// What the user is told when a connection fails: a servo that does not identify itself (a search
// is offered with it), a port that cannot be opened, a port lost while connected. Each first ends
// the connection as the user would, with the window's Disconnect. A servo of a model no
// description covers is offered "Treat as…" a known model, or Cancel, which disconnects.
class ConnectionReports : public QObject
{
    Q_OBJECT

public:
    using ShowMessage = std::function<void(QMessageBox::Icon, const QString& title, const QString& text)>;
    struct Window
    {
        QWidget* window;     // parent of the box that offers a search
        QAction* disconnect; // ends the connection, and everything that shows it
        std::function<void()> offerSearch;
        std::function<void()> offerDiagnosis;
        ShowMessage showMessage;
    };

    ConnectionReports(ServoSession* session, Window window);

private:
    void identificationFailed(int id, FailureKind kind);
    void portFailed(const QString& error);
    void portLost();
    void unknownModel(int id, int modelNumber, int firmware);
    void chooseModel(int id, int modelNumber);

    ServoSession* _session;
    Window _window;
};
