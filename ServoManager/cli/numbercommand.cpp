#include "cli/commands.h"
#include "cli/interruption.h"
#include "cli/output.h"

#include "core/jobs/servonumbering.h"
#include "core/launch/launchoptions.h"
#include "core/model/modelregistry.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"

#include <servosimulator.h>

#include <QEventLoop>
#include <QTimer>

#include <memory>

namespace cli {

namespace {

// The numbering the options ask for, its configuration file read.
NumberingPlan numberingPlanOf(Arguments& arguments, int* count)
{
    NumberingPlan plan;
    // New servos of a model leave the factory at its address.
    if (const QString model = arguments.value(QStringLiteral("--new-model")); !model.isNull()) {
        QString problem;
        const auto description = ModelRegistry::shared().find(model, &problem);
        if (!description)
            throw UsageError{QStringLiteral("--new-model: %1").arg(problem)};
        plan.factoryId = description->factoryId;
        plan.factoryRate = description->factoryBaudRate;
    }
    plan.nextId = arguments.number(QStringLiteral("--from"), -1, 0, highestId);
    plan.factoryId = arguments.number(QStringLiteral("--factory-id"), plan.factoryId, 0, highestId);
    plan.factoryRate = arguments.rate(QStringLiteral("--factory-rate"), plan.factoryRate);
    plan.newRate = arguments.rate(QStringLiteral("--rate"), 0);
    *count = arguments.number(QStringLiteral("--count"), 0, 0, highestId + 1);
    const QString configPath = arguments.value(QStringLiteral("--config"));
    arguments.rest(0, 0, QStringLiteral("number takes only options"));
    if (plan.nextId < 0)
        throw UsageError{QStringLiteral("number wants --from N, the id the first new servo gets")};
    // Every new servo answers there: no servo could keep it.
    if (plan.nextId == plan.factoryId)
        throw UsageError{QStringLiteral("--from %1 is the factory id").arg(plan.nextId)};
    if (!configPath.isNull()) {
        const auto read = readNumberingConfiguration(configPath);
        if (!read.error.isEmpty())
            throw UsageError{read.error};
        if (!read.warning.isEmpty())
            err() << "velkora-servo: " << read.warning << '\n';
        plan.configuration = read.configuration;
    }
    return plan;
}

// One numbering session on an open port, until Ctrl+C, `count` servos, or a failure.
class NumberingRun
{
public:
    NumberingRun(std::shared_ptr<SerialHelper> serial, QString portName, NumberingPlan plan, int count)
        : _serial(std::move(serial)), _portName(std::move(portName)), _plan(std::move(plan)), _count(count),
          _numbering(_serial)
    {
    }

    int run()
    {
        const Interruption interruption([this] { finish(_status); });
        _serial->setPortErrorCallback([this](const QString&) {
            // Not from inside the port's own error report.
            QTimer::singleShot(0, &_loop, [this] {
                err() << "velkora-servo: " << portLostText(_portName) << '\n';
                finish(ExitPortFailed);
            });
        });
        connectProgress();
        connectOutcomes();
        _numbering.start(_plan);
        if (_numbering.isRunning())
            _loop.exec();
        _serial->setPortErrorCallback({});
        if (_status == ExitDone && _configurationMissed) {
            err() << "velkora-servo: the configuration was not taken as written by every servo\n";
            _status = ExitDiffers;
        }
        return _status;
    }

private:
    void finish(int with)
    {
        _status = with;
        _numbering.stop();
        _loop.quit();
    }

    void connectProgress()
    {
        servosim::ServoSimulator* simulator = LaunchSession::runningSimulator();
        QObject::connect(&_numbering, &ServoNumbering::waiting, [this, simulator] {
            err() << "velkora-servo: waiting for a new servo at id " << _plan.factoryId << ", "
                  << _plan.factoryRate << " baud (Ctrl+C ends)\n"
                  << Qt::flush;
            // One new servo at a time, as a user plugs them: never a second beside one still waiting.
            if (simulator && !simulator->servoIds().contains(_plan.factoryId) &&
                simulator->plugServo(_plan.factoryId, _plan.factoryRate))
                err() << "velkora-servo: simulated: a new servo plugged in at id " << _plan.factoryId << '\n'
                      << Qt::flush;
        });
        QObject::connect(&_numbering, &ServoNumbering::idTaken, [](int id) {
            err() << "velkora-servo: id " << id << " answers on the bus already; it is left alone\n"
                  << Qt::flush;
        });
    }

    void connectOutcomes()
    {
        QObject::connect(&_numbering, &ServoNumbering::servoReady,
                         [this](int id, int baudRate, const QString&) { onReady(id, baudRate); });
        QObject::connect(&_numbering, &ServoNumbering::failed, [this](const QString& why) {
            err() << "velkora-servo: " << why << '\n';
            finish(ExitDiffers);
        });
        QObject::connect(&_numbering, &ServoNumbering::portFailed, [this](const QString& error) {
            err() << "velkora-servo: " << error << '\n';
            finish(ExitPortFailed);
        });
    }

    void onReady(int id, int baudRate)
    {
        QString line = QStringLiteral("servo %1 at %2 baud: ready").arg(id).arg(baudRate);
        if (_plan.configuration && !_numbering.results().isEmpty()) {
            const ServoWriteResult& result = _numbering.results().last();
            line += QStringLiteral("; configuration: %1").arg(result.text());
            _configurationMissed =
                _configurationMissed || (result.outcome != ServoWriteResult::Outcome::Verified &&
                                         result.outcome != ServoWriteResult::Outcome::Unchanged);
        }
        out() << line << '\n' << Qt::flush;
        if (_count > 0 && ++_done >= _count)
            finish(ExitDone);
    }

    std::shared_ptr<SerialHelper> _serial;
    QString _portName;
    NumberingPlan _plan;
    int _count;
    QEventLoop _loop;
    ServoNumbering _numbering;
    int _status = ExitDone;
    int _done = 0;
    bool _configurationMissed = false;
};

} // namespace

int numberCommand(CommandContext& context, Arguments& arguments)
{
    int count = 0;
    const NumberingPlan plan = numberingPlanOf(arguments, &count);
    const auto serial = std::make_shared<SerialHelper>();
    serial->setProtocol(context.globals().protocol);
    const QString portName = context.globals().portName;
    const QString openError = serial->openSerialPort(portName, plan.factoryRate);
    if (!openError.isEmpty())
        return fail(
            ExitPortFailed,
            QStringLiteral("cannot open %1: %2").arg(portName, portOpenErrorText(portName, openError)));
    NumberingRun numbering(serial, portName, plan, count);
    return numbering.run();
}

} // namespace cli
