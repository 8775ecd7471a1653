#include "core/launch/launchoptions.h"

#include "core/model/modeldescription.h"
#include "core/model/modelregistry.h"
#include "core/protocol/statuspacketframer.h"
#include "core/settings/settingshelper.h"

#include <servosimulator.h>

#include <QCommandLineParser>
#include <QSet>
#include <QStringList>

#include <algorithm>

namespace {
const QString simulateName = QStringLiteral("simulate");
const QString idName = QStringLiteral("id");
const QString modelName = QStringLiteral("model");
const QString baudName = QStringLiteral("baud");
const QString portName = QStringLiteral("port");
const QString protocolName = QStringLiteral("protocol");
const QString modelsName = QStringLiteral("models");
constexpr int defaultSimulatedBaudRate = 1000000;
constexpr int highestServoId = 253;
constexpr int highestSimulatedId = 252; // 253 and up are reserved on the bus
servosim::ServoSimulator* running = nullptr;
QString runningModel; // the short name of the model the running simulator plays

QString offeredRatesText()
{
    QStringList rates;
    for (int rate : offeredBaudRates())
        rates.append(QString::number(rate));
    return rates.join(QStringLiteral(", "));
}

bool readId(const QString& text, int highest, int* id)
{
    bool ok = false;
    *id = text.trimmed().toInt(&ok);
    return ok && *id >= 0 && *id <= highest;
}

QString readSimulatedIds(const QString& text, QList<int>* ids)
{
    ids->clear();
    for (const QString& part : text.split(QLatin1Char(','))) {
        int id = 0;
        if (!readId(part, highestSimulatedId, &id))
            return QStringLiteral("--id with --simulate wants servo ids from 0 to %1, comma-separated")
                .arg(highestSimulatedId);
        // An id given twice puts two servos there, whose answers collide: a fault to try out.
        ids->append(id);
    }
    return {};
}
} // namespace

void addLaunchOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Configure and watch smart servo motors on a half-duplex serial bus.\n"
                       "--port, --baud and --id choose for this run only; the stored choices stay."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {simulateName, QStringLiteral("Start simulated servos inside the program and point the window at "
                                      "them. Nothing is stored during such a run.")},
        {idName,
         QStringLiteral(
             "Servo id (0 to %1), or several, comma-separated, for the bus table; the first is chosen. "
             "With --simulate: the simulated servos' ids (default 1); an id given twice puts two servos "
             "there.")
             .arg(highestServoId),
         QStringLiteral("ID")},
        {modelName,
         QStringLiteral("With --simulate: the simulated servos' model, a model's name or a description "
                        "file (default v1)."),
         QStringLiteral("MODEL")},
        {modelsName,
         QStringLiteral("Read model descriptions from DIR too, after the user's folder (may be given "
                        "more than once)."),
         QStringLiteral("DIR")},
        {baudName,
         QStringLiteral("Baud rate. With --simulate: the simulated servos' rate (default %1).")
             .arg(defaultSimulatedBaudRate),
         QStringLiteral("RATE")},
        {portName, QStringLiteral("Serial port, a name such as ttyUSB0 or a device path."),
         QStringLiteral("PATH")},
        {protocolName,
         QStringLiteral(
             "Bus protocol, 1, 2 or feetech (AX-12 servos speak 1, Feetech servos feetech). With --simulate "
             "the default is the model's."),
         QStringLiteral("N")},
    });
}

// --models and --model: the folders first, as they may add or replace the model named.
static QString readModelOptions(const QCommandLineParser& parser, LaunchOptions* options)
{
    // Before anything looks a model up: the folders may add or replace models.
    if (parser.isSet(modelsName)) {
        options->modelFolders = parser.values(modelsName);
        ModelRegistry::use(QStringList{ModelRegistry::userFolder()} + options->modelFolders);
    }

    if (parser.isSet(modelName)) {
        if (!options->simulate)
            return QStringLiteral("--model goes with --simulate only");
        const QString model = parser.value(modelName);
        const bool overridden =
            std::any_of(ModelRegistry::shared().models().begin(), ModelRegistry::shared().models().end(),
                        [&](const ModelRegistry::Model& known) {
                            return !known.overrides.isEmpty() &&
                                   known.description->name.compare(model, Qt::CaseInsensitive) == 0;
                        });
        if (model.toLower() == QLatin1String("ax12") && !overridden)
            options->model = servosim::Model::Ax12;
        else if (model.toLower() != QLatin1String("v1") || overridden) {
            // Any other model, or a built-in one a user's file replaces: the description is played.
            QString problem;
            options->description = ModelRegistry::shared().find(model, &problem);
            if (!options->description)
                return QStringLiteral("--model: %1").arg(problem);
        }
    }
    return {};
}

QString readLaunchOptions(const QCommandLineParser& parser, LaunchOptions* options)
{
    *options = LaunchOptions();
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first());
    options->simulate = parser.isSet(simulateName);

    if (parser.isSet(portName)) {
        if (options->simulate)
            return QStringLiteral("--port does not go with --simulate: the simulated servos bring their own");
        options->portName = parser.value(portName).trimmed();
        if (options->portName.isEmpty())
            return QStringLiteral("--port wants a port name");
    }

    if (const QString problem = readModelOptions(parser, options); !problem.isEmpty())
        return problem;

    if (parser.isSet(protocolName)) {
        const std::optional<BusProtocol> protocol = protocolOfWord(parser.value(protocolName));
        if (!protocol)
            return QStringLiteral("--protocol is 1, 2 or feetech");
        options->protocol = int(*protocol);
    }
    if (options->simulate && options->description && options->protocol > 0 &&
        !options->description->protocols.contains(options->protocol))
        return QStringLiteral("a simulated %1 does not speak Protocol %2")
            .arg(options->description->caption, protocolText(BusProtocol(options->protocol)));
    if (options->simulate && !options->description && options->protocol != 0 && options->protocol != 2 &&
        options->model != servosim::Model::Ax12)
        return QStringLiteral("a simulated V1 speaks Protocol 2 only; Protocol 1 goes with --model ax12");

    if (parser.isSet(baudName)) {
        bool ok = false;
        options->baudRate = parser.value(baudName).toInt(&ok);
        if (!ok || !offeredBaudRates().contains(options->baudRate))
            return QStringLiteral("--baud wants one of %1").arg(offeredRatesText());
    } else if (options->simulate) {
        options->baudRate = defaultSimulatedBaudRate;
    }

    if (parser.isSet(idName)) {
        if (options->simulate) {
            const QString problem = readSimulatedIds(parser.value(idName), &options->simulatedIds);
            if (!problem.isEmpty())
                return problem;
        } else {
            // Several ids: the first is connected to, all are listed in the bus table.
            for (const QString& part : parser.value(idName).split(QLatin1Char(','))) {
                int id = 0;
                if (!readId(part, highestServoId, &id))
                    return QStringLiteral("--id wants a servo id from 0 to %1, or several, comma-separated")
                        .arg(highestServoId);
                if (options->listedIds.contains(id))
                    return QStringLiteral("servo id %1 is given twice").arg(id);
                options->listedIds.append(id);
            }
            options->servoId = options->listedIds.first();
        }
    }
    if (options->simulate) {
        options->servoId = options->simulatedIds.first();
        for (int id : options->simulatedIds)
            if (!options->listedIds.contains(id))
                options->listedIds.append(id);
    }
    return {};
}

LaunchSession::LaunchSession(LaunchOptions options) : _options(std::move(options))
{
    // Real AX-12 servos answer Protocol 1 only; the V1 speaks Protocol 2.
    if (_options.simulate && _options.protocol == 0) {
        if (_options.description)
            _options.protocol =
                _options.description->protocols.contains(2) ? 2 : _options.description->protocols.first();
        else
            _options.protocol = _options.model == servosim::Model::Ax12 ? 1 : 2;
    }
}

LaunchSession::~LaunchSession()
{
    if (running == _simulator.get())
        running = nullptr;
    if (_simulator)
        _simulator->stop();
    Settings::clearRunOverrides();
}

bool LaunchSession::start(QString* error)
{
    const QString portGroup = QStringLiteral("port settings");
    QString port = _options.portName;
    if (_options.simulate) {
        servosim::Options simulated;
        simulated.ids = _options.simulatedIds;
        const QSet<int> distinct(_options.simulatedIds.begin(), _options.simulatedIds.end());
        simulated.allowSharedIds = distinct.size() != _options.simulatedIds.size();
        simulated.model = _options.model;
        simulated.description = _options.description;
        simulated.baudRate = _options.baudRate;
        simulated.protocol = _options.protocol;
        _simulator = std::make_unique<servosim::ServoSimulator>(simulated);
        QString problem;
        if (!_simulator->start(&problem)) {
            if (error)
                *error = QStringLiteral("the simulated servos cannot start: %1").arg(problem);
            _simulator.reset();
            return false;
        }
        port = _simulator->devicePath();
        running = _simulator.get();
        runningModel = _options.description                      ? _options.description->name
                       : _options.model == servosim::Model::Ax12 ? QStringLiteral("ax12")
                                                                 : QStringLiteral("v1");
        Settings::keepWritesInMemory(true);
    }
    if (!port.isEmpty())
        Settings::overrideForRun(portGroup, QStringLiteral("serialPortName"), port);
    if (_options.baudRate > 0)
        Settings::overrideForRun(portGroup, QStringLiteral("baudRate"), _options.baudRate);
    if (_options.protocol > 0)
        Settings::overrideForRun(portGroup, QStringLiteral("protocol"), _options.protocol);
    if (_options.servoId >= 0)
        Settings::overrideForRun(QStringLiteral("main window settings"), QStringLiteral("servoId"),
                                 _options.servoId);
    return true;
}

servosim::ServoSimulator* LaunchSession::runningSimulator()
{
    return running;
}

QString LaunchSession::simulatedModel()
{
    return running ? runningModel : QString();
}

QString LaunchSession::windowTitle(const QString& title) const
{
    if (!_simulator)
        return title;
    // Only what stays true for the whole run: the simulated servos' ids and rates change when the
    // user changes them, and the window's status bar and Bus table follow those.
    const QString model = _options.description                      ? _options.description->caption
                          : _options.model == servosim::Model::Ax12 ? QStringLiteral("AX-12")
                                                                    : QStringLiteral("Velkora V1");
    return QStringLiteral("%1 \u2014 simulated %2 servos, Protocol %3")
        .arg(title, model, protocolText(BusProtocol(_options.protocol)));
}
