#include "window/controllers/connectionreports.h"

#include "core/model/modelregistry.h"
#include "core/session/devicehelper.h"
#include "core/session/servosession.h"
#include "core/settings/settingshelper.h"
#include "core/transport/portdiagnostics.h"
#include "window/dialogs/offer.h"

#include <QAction>
#include <QInputDialog>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>

ConnectionReports::ConnectionReports(ServoSession* session, Window window)
    : QObject(window.window), _session(session), _window(std::move(window))
{
    connect(session, &ServoSession::identificationFailed, this, &ConnectionReports::identificationFailed);
    connect(session, &ServoSession::portFailed, this, &ConnectionReports::portFailed);
    connect(session, &ServoSession::portLost, this, &ConnectionReports::portLost);
    connect(session->deviceHelper().get(), &DeviceHelper::unknownModel, this,
            &ConnectionReports::unknownModel);
}

void ConnectionReports::identificationFailed(int id, FailureKind kind)
{
    _window.disconnect->trigger();
    // The id, rate or protocol may be other than the settings say: a search finds out, and the
    // doctor also looks at the port, the adapter and the line.
    showWithOffers(
        _window.window, QMessageBox::Critical, tr("Error"),
        (kind == FailureKind::Timeout
             ? tr("No answer from servo id %1 at %2 baud in Protocol %3 on %4 (%5).")
             : tr("No valid answer from servo id %1 at %2 baud in Protocol %3 on %4 (%5)."))
                .arg(id)
                .arg(_session->baudRate())
                .arg(protocolText(_session->protocol()), _session->portName(), failureKindText(kind)) +
            QLatin1Char('\n') +
            tr("Search the port for servos at other ids, rates and protocols, or diagnose why nothing "
               "answers?"),
        {{tr("Search…"), _window.offerSearch}, {tr("Diagnose…"), _window.offerDiagnosis}});
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

namespace {

QString unknownModelText(int id, int modelNumber, int firmware)
{
    return firmware < 0
               ? ConnectionReports::tr("Servo %1 reports model number %2, which no model description covers")
                     .arg(id)
                     .arg(modelNumber)
               : ConnectionReports::tr(
                     "Servo %1 reports model number %2 (firmware %3), which no model description covers")
                     .arg(id)
                     .arg(modelNumber)
                     .arg(firmware);
}

} // namespace

void ConnectionReports::unknownModel(int id, int modelNumber, int firmware)
{
    // Another job's identification (a numbering, say) tells its own user.
    if (_session->state() != ServoSession::State::Identifying)
        return;
    // Nothing is written meanwhile: the session stays identifying, with no model loaded, until
    // the user picks one or gives up.
    const QString text = unknownModelText(id, modelNumber, firmware);
    if (auto* main = qobject_cast<QMainWindow*>(_window.window))
        main->statusBar()->showMessage(text);
    auto* box =
        new QMessageBox(QMessageBox::Warning, tr("Unknown servo model"),
                        text + QLatin1Char('\n') + tr("Treat it as one of the known models, or disconnect?"),
                        QMessageBox::Cancel, _window.window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* treatAs = box->addButton(tr("Treat as…"), QMessageBox::AcceptRole);
    connect(box, &QDialog::finished, this, [this, box, treatAs, id, modelNumber] {
        if (box->clickedButton() == treatAs)
            chooseModel(id, modelNumber);
        else if (_session->state() == ServoSession::State::Identifying)
            _window.disconnect->trigger();
    });
    box->open();
}

void ConnectionReports::chooseModel(int id, int modelNumber)
{
    auto* dialog = new QInputDialog(_window.window);
    dialog->setObjectName(QStringLiteral("treatAsDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("Treat as"));
    dialog->setLabelText(tr("Treat servos of model number %1 as:").arg(modelNumber));
    QStringList captions;
    QStringList names;
    for (const ModelRegistry::Model& model : ModelRegistry::shared().models()) {
        captions << QStringLiteral("%1 (%2)").arg(model.description->caption, model.description->name);
        names << model.description->name;
    }
    dialog->setComboBoxItems(captions);
    dialog->setComboBoxEditable(false);
    dialog->setOkButtonText(tr("Treat as"));
    connect(dialog, &QDialog::finished, this, [this, dialog, id, modelNumber, captions, names](int result) {
        // The user may have disconnected while the dialog was open: then nothing is read.
        if (_session->state() != ServoSession::State::Identifying)
            return;
        const int chosen = captions.indexOf(dialog->textValue());
        if (result != QDialog::Accepted || chosen < 0) {
            _window.disconnect->trigger();
            return;
        }
        setTreatedAs(modelNumber, names.at(chosen));
        _session->deviceHelper()->triggerDeviceInfoRead(id);
    });
    dialog->open();
}
