#include "window/controllers/buscontrol.h"

#include "core/jobs/busroster.h"
#include "core/jobs/motorsoff.h"
#include "core/model/modelregistry.h"
#include "core/session/uischeduler.h"
#include "core/settings/settingshelper.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"
#include "window/dialogs/applyconfigurationdialog.h"
#include "window/dialogs/numberingdialog.h"
#include "window/dialogs/searchdialog.h"
#include "window/docks/busdock.h"

#include <QAction>
#include <QDir>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>

namespace {
const QString keyFolder = QStringLiteral("configurationFolder");
}

BusControl::BusControl(QMainWindow* window, QAction* numberServos, std::shared_ptr<SerialHelper> serial,
                       SearchDialog* search, Hooks hooks)
    : QObject(window), _serial(std::move(serial)), _hooks(std::move(hooks)), _roster(new BusRoster(this)),
      _window(window)
{
    _roster->setAssumedProtocol(
        protocolOfSetting(Settings(QStringLiteral("port settings")).getValue(QStringLiteral("protocol"), QVariant())));
    _dock = new BusDock(_roster, numberServos, window);
    _dock->setObjectName(QStringLiteral("busDock"));
    window->addDockWidget(Qt::BottomDockWidgetArea, _dock);
    _dock->hide();
    if (QMenu* view = window->findChild<QMenu*>(QStringLiteral("menuView")))
        view->addAction(_dock->toggleViewAction());

    connect(search, &SearchDialog::addToBus, this, [this](int id, int baudRate, int model, int firmware, int protocol) {
        _roster->add(id, baudRate, model, firmware, protocol);
        _dock->show();
    });
    connect(_dock, &BusDock::connectTo, this, [this](const BusAddress& servo) { _hooks.connectTo(servo); });

    _apply = new ApplyConfigurationDialog(_serial, {[this](QString* why) { return takeBus(why); }, [this] { giveBack(); }},
                                          window);
    connect(_apply, &ApplyConfigurationDialog::folderUsed, this,
            [this](const QString& folder) { _hooks.settings->setValue(keyFolder, folder); });
    connect(_apply, &ApplyConfigurationDialog::finished, this,
            [this](const QString& summary) { _hooks.passingMessage(summary); });
    connect(_dock, &BusDock::applyToSelected, this, [this](const QList<BusAddress>& servos) {
        _apply->start(servos, _hooks.settings->getValue(keyFolder, QDir::homePath()).toString());
    });

    connect(numberServos, &QAction::triggered, this, [this] {
        if (!_numbering) {
            _numbering = new NumberingDialog(_serial, _window);
            _numbering->setWindowConnected(_windowConnected);
            _numbering->knownServoAt = [this](int id, int baudRate) {
                const int row = _roster->rowOf(id);
                return row >= 0 && _roster->baudRateAt(row) == baudRate;
            };
            connect(_numbering, &NumberingDialog::servoNumbered, this, [this](int id, int baudRate) {
                // Nothing answers at the factory id once a servo is numbered: a row there is gone.
                const int factoryRow = _roster->rowOf(_numbering->factoryId());
                if (factoryRow >= 0 && _roster->baudRateAt(factoryRow) == _numbering->factoryRate())
                    _roster->remove(factoryRow);
                _roster->add(id, baudRate);
                _dock->show();
            });
        }
        _hooks.releasePort(); // the dialog opens it itself, and must not lose it to a delayed close
        _numbering->show();
        _numbering->raise();
    });
}

// The dialogs and the dock call back into this object and show its roster: they go first.
BusControl::~BusControl()
{
    delete _apply;
    delete _numbering;
    delete _dock;
}

void BusControl::connected(UiScheduler& scheduler, int baudRate)
{
    // Numbering and polling would take the bus from each other.
    _windowConnected = true;
    if (_numbering)
        _numbering->setWindowConnected(true);
    _dock->setDefaultBaudRate(baudRate);
    _roster->setAssumedProtocol(int(_serial->protocol()));
    _roster->setUnits(storedUnits()); // Settings may have changed them since the last connection
    scheduler.setBusRoster(_roster);
}

void BusControl::disconnected()
{
    _windowConnected = false;
    if (_numbering)
        _numbering->setWindowConnected(false);
}

void BusControl::list(const QList<int>& ids, int baudRate)
{
    const Settings port(QStringLiteral("port settings"));
    _roster->setAssumedProtocol(protocolOfSetting(port.getValue(QStringLiteral("protocol"), QVariant())));
    _dock->setDefaultBaudRate(baudRate);
    for (int id : ids)
        _roster->add(id, baudRate);
    if (ids.size() > 1)
        _dock->show();
}

// The connected servo's polls pause while the dialog reads and writes; a write of the edit view
// still waiting for its verification must end first.
bool BusControl::takeBus(QString* why)
{
    if (_numbering && _numbering->isNumbering()) {
        *why = tr("New servos are being numbered; stop that first.");
        return false;
    }
    const std::shared_ptr<UiScheduler> scheduler = _hooks.scheduler();
    if (scheduler && scheduler->isRunning()) {
        if (scheduler->hasWritesPending()) {
            *why = tr("The connected servo's writes are not verified yet; try again in a moment.");
            return false;
        }
        scheduler->stopScheduler();
        _serial->cancelTransaction();
        _pausedScheduler = true;
        return true;
    }
    _hooks.releasePort();
    if (_serial->isOpen()) // the numbering dialog's
        return true;
    const Settings port(QStringLiteral("port settings"));
    const QString name = port.getValue(QStringLiteral("serialPortName"), QString()).toString();
    const QString error = _serial->openSerialPort(name, port.getValue(QStringLiteral("baudRate"), 1000000).toInt());
    if (!error.isEmpty()) {
        *why = portOpenErrorText(name, error);
        return false;
    }
    _openedPort = true;
    return true;
}

void BusControl::giveBack()
{
    if (_pausedScheduler) {
        _pausedScheduler = false;
        if (const std::shared_ptr<UiScheduler> scheduler = _hooks.scheduler())
            scheduler->startScheduler(_hooks.pollingInterval());
    }
    if (_openedPort) {
        _openedPort = false;
        _serial->closeSerialPort();
    }
}

void BusControl::allMotorsOff()
{
    if (_motorsOff && _motorsOff->isRunning())
        return;
    QString why;
    if (!takeBus(&why)) {
        showMotorsWarning(why);
        return;
    }
    // One rate at a time: the servos at the port's rate now; the others are named, not reached.
    QList<MotorsOff::Servo> servos;
    QList<int> notReached;
    for (int row = 0; row < _roster->servoCount(); ++row) {
        if (_roster->baudRateAt(row) != _serial->baudRate()) {
            notReached.append(_roster->idAt(row));
            continue;
        }
        // The model the table knows saves the identification; an unknown one is identified.
        servos.append({_roster->idAt(row), ModelRegistry::shared().byNumber(_roster->modelNumberAt(row))});
    }
    if (!_motorsOff) {
        _motorsOff = new MotorsOff(_serial, this);
        connect(_motorsOff, &MotorsOff::finished, this, [this](const QList<MotorOffResult>& results) {
            motorsOffFinished(results, _motorsNotReached);
        });
    }
    _motorsNotReached = notReached;
    _motorsOff->start(servos);
}

void BusControl::motorsOffFinished(const QList<MotorOffResult>& results, const QList<int>& notReached)
{
    giveBack();
    QStringList problems;
    QStringList off;
    for (const MotorOffResult& result : results) {
        if (result.isOff())
            off << QString::number(result.id);
        else
            problems << tr("Servo %1: %2").arg(result.id).arg(result.text());
    }
    for (int id : notReached)
        problems << tr("Servo %1: at another rate than the port's: not reached").arg(id);
    if (problems.isEmpty()) {
        _hooks.passingMessage(tr("All motors off (ids %1)").arg(off.join(QStringLiteral(", "))));
        return;
    }
    showMotorsWarning(tr("Not every motor is known to be off:") + QLatin1Char('\n') +
                      problems.join(QLatin1Char('\n')));
}

// Without a nested event loop: the bus goes on meanwhile.
void BusControl::showMotorsWarning(const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Warning, tr("All motors off"), text, QMessageBox::Ok, _window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
