#include "window/controllers/connectionreports.h"

#include "core/session/servosession.h"
#include "core/transport/portdiagnostics.h"
#include "window/dialogs/offer.h"

#include <QAction>

ConnectionReports::ConnectionReports(ServoSession* session, Window window)
    : QObject(window.window), _session(session), _window(std::move(window))
{
    connect(session, &ServoSession::identificationFailed, this, &ConnectionReports::identificationFailed);
    connect(session, &ServoSession::portFailed, this, &ConnectionReports::portFailed);
    connect(session, &ServoSession::portLost, this, &ConnectionReports::portLost);
}

void ConnectionReports::identificationFailed(int id, FailureKind kind)
{
    _window.disconnect->trigger();
    // The id, rate or protocol may be other than the settings say: a search finds out.
    showWithOffer(_window.window, QMessageBox::Critical, tr("Error"),
                  (kind == FailureKind::Timeout
                       ? tr("No answer from servo id %1 at %2 baud in Protocol %3 on %4 (%5).")
                       : tr("No valid answer from servo id %1 at %2 baud in Protocol %3 on %4 (%5)."))
                          .arg(id)
                          .arg(_session->baudRate())
                          .arg(static_cast<int>(_session->protocol()))
                          .arg(_session->portName(), failureKindText(kind)) +
                      QLatin1Char('\n') + tr("Search the port for servos at other ids, rates and protocols?"),
                  tr("Search…"), _window.offerSearch);
}

void ConnectionReports::portFailed(const QString& error)
{
    // Not opened, or not reopened at a moved servo's new rate.
    if (_session->state() != ServoSession::State::Closed)
        _window.disconnect->trigger();
    _window.showMessage(QMessageBox::Critical, tr("Error"), portOpenErrorText(_session->portName(), error));
}

void ConnectionReports::portLost()
{
    // Then the dead port is closed at once. Its error text is stale after an unplug: the message
    // names the cause instead.
    _window.disconnect->trigger();
    _session->releasePort();
    _window.showMessage(QMessageBox::Critical, tr("Error"), portLostText(_session->portName()));
}
