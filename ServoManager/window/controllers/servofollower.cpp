#include "window/controllers/servofollower.h"

#include "core/session/servosession.h"
#include "window/dialogs/searchdialog.h"
#include "window/docks/plotdock.h"
#include "window/widgets/staleoverlay.h"

#include <QAction>
#include <QDateTime>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>

ServoFollower::ServoFollower(Window window) : QObject(window.window), _window(std::move(window))
{
    connect(_window.session, &ServoSession::servoMoved, this, &ServoFollower::moved);
    connect(_window.session, &ServoSession::servoNotFound, this, &ServoFollower::notFound);
}

void ServoFollower::follow(UiScheduler* scheduler)
{
    connect(scheduler, &UiScheduler::servoAnswering, this,
            [this, scheduler](bool answering, const QDateTime& since) {
                answeringChanged(answering, since, scheduler->servoId());
            });
}

void ServoFollower::moved(int id, int baudRate, WriteOutcome::Answer answer)
{
    const int oldId = _window.servoId->value();
    const int oldRate = _window.session->baudRate(); // the session follows once it has told
    if (id == oldId && baudRate == oldRate)
        return;
    _window.servoId->setValue(id);
    if (baudRate != oldRate)
        _window.followBaudRate(baudRate);
    _window.showPassing(servoMovedText(id != oldId ? id : -1, baudRate != oldRate ? baudRate : 0, answer));
}

void ServoFollower::notFound(const QList<BusAddress>& tried)
{
    QStringList places;
    for (const BusAddress& where : tried)
        places << tr("id %1 at %2 baud").arg(where.id).arg(where.baudRate);
    auto* box = new QMessageBox(
        QMessageBox::Critical, tr("Error"),
        tr("The servo did not answer after a write that changes its id or baud rate (tried %1). "
           "It may have taken only part of the write. Search the port for it?")
            .arg(places.join(tr(", "))),
        QMessageBox::Close, _window.window);
    QPushButton* search = box->addButton(tr("Search…"), QMessageBox::AcceptRole);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(search, &QPushButton::clicked, this, [this] {
        _window.disconnect->trigger();
        _window.search->show();
    });
    box->open();
}

// A silent servo's values are not live: they are faded under a banner that says so, cannot be
// edited, and the plot breaks.
void ServoFollower::answeringChanged(bool answering, const QDateTime& since, int servoId)
{
    const QString time = since.toString(QStringLiteral("HH:mm:ss"));
    for (QWidget* view : _window.liveViews) {
        view->setEnabled(answering);
        if (answering)
            StaleOverlay::uncover(view);
        else
            StaleOverlay::cover(
                view,
                tr("Servo %1 is not answering since %2: these are its last values.").arg(servoId).arg(time));
    }
    _window.showState(answering ? tr("Connected")
                                : tr("Servo %1 is not answering (since %2)").arg(servoId).arg(time));
    if (!answering)
        _window.plot->addGap();
}
