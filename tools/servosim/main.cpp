// velkora-servo-sim: simulated servos on a pseudo-terminal, for trying and testing the program without
// hardware.
#include "describedmodel.h"
#include "protocol.h"
#include "servosimulator.h"

#include "core/model/configurationregisters.h"
#include "core/model/modelregistry.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop picks the signal up from the pipe.
void onSignal(int)
{
    const char byte = 1;
    (void)::write(signalPipe[1], &byte, 1);
}

bool parseIds(const QString& text, QList<int>* ids)
{
    ids->clear();
    for (const QString& part : text.split(QLatin1Char(','))) {
        bool ok = false;
        const int id = part.trimmed().toInt(&ok);
        if (!ok)
            return false;
        ids->append(id);
    }
    return true;
}

// Exit code 2 for a bad command line, 1 when the simulator cannot start.
int fail(const QString& message, int exitCode = 2)
{
    QTextStream(stderr) << "velkora-servo-sim: " << message << '\n';
    return exitCode;
}

// A model by name: v1 and ax12 (the built-in simulations), a model description's name (the built-ins, the
// user's folder and --models) or a description file. The problem in words, or nothing.
QString findModel(const QString& name, servosim::ServoGroup* group)
{
    group->description.reset();
    if (name.toLower() == QLatin1String("v1") || name.toLower() == QLatin1String("ax12")) {
        group->model = name.toLower() == QLatin1String("v1") ? servosim::Model::V1 : servosim::Model::Ax12;
        return {};
    }
    const ModelRegistry& registry = ModelRegistry::shared();
    QString problem;
    group->description = registry.find(name, &problem);
    if (group->description)
        return servosim::DescribedModel::unplayable(*group->description);
    // The model asked for may be in a file that was refused: say why.
    for (const ModelRegistry::Refused& refused : registry.refused())
        problem += QStringLiteral("\n  refused %1").arg(refused.problem);
    return QStringLiteral("--model: %1").arg(problem);
}

// What plug commands plug by default, and where.
struct PlugDefaults
{
    servosim::ServoGroup group; // the first --model's
    int baudRate = 0;
    int protocol = 2;
};

// plug ID [RATE] [MODEL]: the answer line.
QString plug(servosim::ServoSimulator& simulator, const PlugDefaults& defaults, const QStringList& words)
{
    bool idOk = false;
    const int id = words.at(1).toInt(&idOk);
    int rate = defaults.baudRate;
    bool rateOk = true;
    if (words.size() > 2)
        rate = words.at(2).toInt(&rateOk);
    // A model may follow the id directly: a name is no number.
    const QString modelName = words.size() == 4              ? words.at(3)
                              : words.size() == 3 && !rateOk ? words.at(2)
                                                             : QString();
    if (words.size() == 3 && !modelName.isEmpty()) {
        rate = defaults.baudRate;
        rateOk = true;
    }
    if (!idOk || !rateOk)
        return QStringLiteral("error: plug wants an id and maybe a baud rate, as numbers, and maybe a model");
    if (id < 0 || id > 252)
        return QStringLiteral("error: servo id %1 is outside 0 to 252").arg(id);
    servosim::ServoGroup group = defaults.group;
    if (!modelName.isEmpty())
        if (const QString problem = findModel(modelName, &group); !problem.isEmpty())
            return QStringLiteral("error: ") + problem;
    // A model that speaks one protocol only speaks it whatever the bus's first servos speak.
    const int protocol = group.description && group.description->protocols.size() == 1
                             ? group.description->protocols.first()
                             : defaults.protocol;
    if (const QString problem = servosim::servoProblem(group, rate, protocol); !problem.isEmpty())
        return QStringLiteral("error: ") + problem;
    const bool plugged = group.description ? simulator.plugServo(id, rate, group.description, protocol)
                                           : simulator.plugServo(id, rate, group.model, protocol);
    if (!plugged)
        return QStringLiteral("error: servo %1 cannot be plugged at %2 baud").arg(id).arg(rate);
    return QStringLiteral("plugged %1 at %2 baud").arg(id).arg(rate);
}

// One line of --control input carried out; the answer line, or nothing for a blank line.
QString runCommand(servosim::ServoSimulator& simulator, const PlugDefaults& defaults, const QString& line)
{
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {};
    const QString& command = words.first();
    int id = 0;
    bool idOk = words.size() > 1;
    if (idOk)
        id = words.at(1).toInt(&idOk);
    if (command == QLatin1String("plug") && words.size() >= 2 && words.size() <= 4)
        return plug(simulator, defaults, words);
    if (command == QLatin1String("unplug") && words.size() == 2) {
        if (!idOk)
            return QStringLiteral("error: unplug wants an id as a number");
        return simulator.unplugServo(id) ? QStringLiteral("unplugged %1").arg(id)
                                         : QStringLiteral("error: no servo answers to id %1").arg(id);
    }
    if (command == QLatin1String("list") && words.size() == 1) {
        QStringList ids;
        for (int present : simulator.servoIds())
            ids.append(QString::number(present));
        return ids.isEmpty() ? QStringLiteral("servos")
                             : QStringLiteral("servos ") + ids.join(QLatin1Char(','));
    }
    if (command == QLatin1String("power-cycle") && words.size() == 1) {
        simulator.powerCycle();
        return QStringLiteral("power cycled");
    }
    return QStringLiteral("error: \"%1\" is not plug ID [RATE] [MODEL], unplug ID, list or power-cycle")
        .arg(words.join(QLatin1Char(' ')));
}

// Commands from standard input, answered on standard output, for as long as the input lasts.
class ControlInput
{
public:
    ControlInput(servosim::ServoSimulator& simulator, PlugDefaults defaults)
        : m_simulator(simulator), m_defaults(std::move(defaults)),
          m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    {
        QObject::connect(&m_notifier, &QSocketNotifier::activated, [this] { readInput(); });
    }

private:
    // Bounds what an endless line without a newline can take.
    static constexpr int MaxLineBytes = 4096;

    void readInput()
    {
        char buffer[4096];
        // Read once per notification: the descriptor stays blocking, as it may be shared with a terminal.
        const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (size < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (size > 0)
            m_pending.append(buffer, int(size));
        int end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            if (m_skipping)
                m_skipping = false;
            else
                answer(line);
        }
        if (size <= 0) {
            // End of input (or an unreadable one) ends the commands, not the simulator.
            if (!m_pending.isEmpty() && !m_skipping)
                answer(m_pending);
            m_pending.clear();
            m_notifier.setEnabled(false);
        } else if (m_pending.size() > MaxLineBytes) {
            if (!m_skipping)
                reply(QStringLiteral("error: line longer than %1 bytes").arg(MaxLineBytes));
            m_pending.clear();
            m_skipping = true;
        }
    }

    void answer(const QByteArray& line)
    {
        const QString text = runCommand(m_simulator, m_defaults, QString::fromLocal8Bit(line));
        if (!text.isEmpty())
            reply(text);
    }

    static void reply(const QString& text)
    {
        QTextStream(stdout) << text << '\n';
        std::fflush(stdout);
    }

    servosim::ServoSimulator& m_simulator;
    const PlugDefaults m_defaults;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
    bool m_skipping = false; // the rest of an overlong line
};

// The command line's options.
struct OptionSet
{
    QCommandLineOption link, ids, model, models, protocol, baud, noWireTime, faultRate, faults, hardwareError,
        quiet, pieces, pieceGap, config, control, echo, noise, supply;
};

OptionSet makeOptions()
{
    return {
        {QStringLiteral("link"), QStringLiteral("Symbolic link to the device."), QStringLiteral("PATH")},
        {QStringLiteral("id"),
         QStringLiteral("Servo ids, comma-separated, of the --model before it (before any\n"
                        "--model: of the first) (default 1). An id of the first model given\n"
                        "twice puts two servos at it: their answers collide."),
         QStringLiteral("LIST"), QStringLiteral("1")},
        {QStringLiteral("model"),
         QStringLiteral("Servo model: v1, ax12, the name of another model description or a\n"
                        "description file (.json) (default v1). Each --model adds servos of\n"
                        "its own, at the --id after it (default 1)."),
         QStringLiteral("NAME|FILE"), QStringLiteral("v1")},
        {QStringLiteral("models"),
         QStringLiteral("Also read the model descriptions of this folder (after the user's own\n"
                        "folder; may be given several times)."),
         QStringLiteral("DIR")},
        {QStringLiteral("protocol"),
         QStringLiteral("Protocol the servos speak: 1, 2 or feetech\n"
                        "(Protocol 1's packets, Feetech's instructions\n"
                        "and error bits); one every model speaks\n"
                        "(default 2, or the first model's only one)."),
         QStringLiteral("1|2|feetech"), QStringLiteral("2")},
        {QStringLiteral("baud"),
         QStringLiteral("The servos' baud rate, one of every model's baud codes\n"
                        "(default 1000000)."),
         QStringLiteral("RATE"), QStringLiteral("1000000")},
        {QStringLiteral("no-wire-time"), QStringLiteral("Answer at once instead of after the line time.")},
        {QStringLiteral("fault-rate"), QStringLiteral("Probability (0 to 1) that an answer gets a fault."),
         QStringLiteral("P"), QStringLiteral("0")},
        {QStringLiteral("faults"),
         QStringLiteral("Faults to draw from, comma-separated (default all): no-answer, bad-crc, truncated,\n"
                        "garbage-before, split, delayed, wrong-id, error-byte."),
         QStringLiteral("KINDS")},
        {QStringLiteral("hw-error"), QStringLiteral("Hardware error bits of every servo (e.g. 0x04)."),
         QStringLiteral("BITS"), QStringLiteral("0")},
        {QStringLiteral("quiet"), QStringLiteral("Do not print the traffic.")},
        {QStringLiteral("pieces"),
         QStringLiteral("Deliver answers in pieces of this many bytes, as USB adapters do\n"
                        "(default 0: whole answers)."),
         QStringLiteral("BYTES"), QStringLiteral("0")},
        {QStringLiteral("piece-gap"),
         QStringLiteral("Pause between answer pieces in milliseconds (default 1)."), QStringLiteral("MS"),
         QStringLiteral("1")},
        {QStringLiteral("config"),
         QStringLiteral("Start the first model's servos with the settings of this configuration\n"
                        "file (saved by the program; the servos keep the ids and the rate given\n"
                        "here)."),
         QStringLiteral("FILE")},
        {QStringLiteral("control"),
         QStringLiteral("Read commands from standard input, one a line, and answer\n"
                        "each on standard output:\n"
                        "  plug ID [RATE] [MODEL]  plug in a factory-new servo\n"
                        "                  (RATE: the --baud rate, MODEL: the first\n"
                        "                  --model if not given)\n"
                        "  unplug ID       pull the servo answering to ID (the\n"
                        "                  latest plugged of several)\n"
                        "  list            the ids of the servos plugged in\n"
                        "  power-cycle     every servo off and on: what\n"
                        "                  was written past a closed lock\n"
                        "                  is lost")},
        {QStringLiteral("echo"),
         QStringLiteral("Every byte sent comes back first, as on a line that echoes\n"
                        "(half-duplex wiring, a loop-back adapter).")},
        {QStringLiteral("noise"),
         QStringLiteral("A few stray bytes every MS milliseconds while the line is quiet\n"
                        "(default 0: none)."),
         QStringLiteral("MS"), QStringLiteral("0")},
        {QStringLiteral("supply"),
         QStringLiteral("Every servo's present voltage reads V volts; outside the model's\n"
                        "voltage limits its input voltage error is set (default: the\n"
                        "model's own reading)."),
         QStringLiteral("V")},
    };
}

QList<QCommandLineOption> allOptions(const OptionSet& o)
{
    return {o.link,   o.ids,           o.model, o.models, o.protocol, o.baud,   o.noWireTime, o.faultRate,
            o.faults, o.hardwareError, o.quiet, o.pieces, o.pieceGap, o.config, o.control,
            o.echo,   o.noise,         o.supply};
}

// What the command line asks for.
struct Startup
{
    servosim::Options options;
    uint hardwareError = 0;
    QString configPath;
    bool control = false;
};

// The words of the --model and --id options in the order given: each --model starts a group of servos,
// the --id after it (or before the first --model) gives that group's ids.
struct GroupWords
{
    QString model = QStringLiteral("v1");
    QString ids = QStringLiteral("1");
    bool modelGiven = false;
    bool idsGiven = false;
};

QString groupWords(const QStringList& arguments, const QList<QCommandLineOption>& all,
                   QList<GroupWords>* groups)
{
    QStringList withValue;
    for (const QCommandLineOption& option : all)
        if (!option.valueName().isEmpty())
            withValue += option.names();
    groups->clear();
    groups->append(GroupWords());
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--"))
            break;
        if (!argument.startsWith(QLatin1String("--")))
            continue;
        const int equals = argument.indexOf(QLatin1Char('='));
        const QString name = argument.mid(2, equals < 0 ? -1 : equals - 2);
        if (!withValue.contains(name))
            continue;
        const QString value = equals >= 0 ? argument.mid(equals + 1) : arguments.value(++i);
        if (name == QLatin1String("model")) {
            if (groups->last().modelGiven)
                groups->append(GroupWords());
            groups->last().model = value;
            groups->last().modelGiven = true;
        } else if (name == QLatin1String("id")) {
            if (groups->last().idsGiven)
                return QStringLiteral("--id %1 and --id %2 both give the ids of model %3: each --model takes "
                                      "one --id after it")
                    .arg(groups->last().ids, value, groups->last().model);
            groups->last().ids = value;
            groups->last().idsGiven = true;
        }
    }
    return {};
}

// Whether the servos of `group` can speak `protocol`; the problem in words, or nothing.
QString protocolFits(const servosim::ServoGroup& group, int protocol, bool given, const QString& first)
{
    const QList<int> spoken = group.description                      ? group.description->protocols
                              : group.model == servosim::Model::Ax12 ? QList<int>{1, 2}
                                                                     : QList<int>{2};
    if (spoken.contains(protocol))
        return {};
    if (!group.description && protocol == servosim::protocolNumber::Feetech)
        return QStringLiteral("--protocol feetech needs a model description that speaks it, not model %1")
            .arg(servosim::modelName(group));
    if (!group.description)
        return QStringLiteral("--protocol 1 needs --model ax12: the V1 speaks protocol 2 only");
    if (given)
        return QStringLiteral("--protocol %1: model %2 speaks protocol %3 only")
            .arg(servosim::protocolName(protocol), group.description->name,
                 servosim::protocolName(spoken.value(0)));
    return QStringLiteral(
               "model %1 speaks protocol %2 only, not protocol %3 of the first model %4 (--protocol "
               "chooses another)")
        .arg(group.description->name, servosim::protocolName(spoken.value(0)),
             servosim::protocolName(protocol), first);
}

// The servos' models and ids, and the protocol they speak; the problem in words, or nothing.
QString readGroups(const QCommandLineParser& parser, const OptionSet& o, servosim::Options* options)
{
    QList<GroupWords> words;
    if (const QString problem = groupWords(QCoreApplication::arguments(), allOptions(o), &words);
        !problem.isEmpty())
        return problem;
    if (parser.isSet(o.models))
        ModelRegistry::use(QStringList{ModelRegistry::userFolder()} + parser.values(o.models));
    QList<servosim::ServoGroup> groups;
    for (const GroupWords& word : words) {
        servosim::ServoGroup group;
        if (!parseIds(word.ids, &group.ids))
            return QStringLiteral("--id wants a comma-separated list of numbers");
        if (const QString problem = findModel(word.model, &group); !problem.isEmpty())
            return problem;
        groups.append(group);
    }
    const servosim::ServoGroup& first = groups.first();
    options->ids = first.ids;
    options->model = first.model;
    options->description = first.description;
    options->moreGroups = groups.mid(1);

    bool ok = false;
    const QString protocolWord = parser.value(o.protocol).trimmed().toLower();
    options->protocol = protocolWord.toInt(&ok);
    ok = ok && (options->protocol == servosim::protocolNumber::P1 ||
                options->protocol == servosim::protocolNumber::P2);
    if (protocolWord == QLatin1String("feetech")) {
        options->protocol = servosim::protocolNumber::Feetech;
        ok = true;
    }
    // A first model that speaks one protocol only is played in it unless asked otherwise.
    if (first.description && first.description->protocols.size() == 1 && !parser.isSet(o.protocol))
        options->protocol = first.description->protocols.first();
    if (!ok)
        return QStringLiteral("--protocol is 1, 2 or feetech");
    for (const servosim::ServoGroup& group : groups)
        if (const QString problem =
                protocolFits(group, options->protocol, parser.isSet(o.protocol), servosim::modelName(first));
            !problem.isEmpty())
            return problem;
    return {};
}

// Which faults the answers get, and how often.
QString readLineFaults(const QCommandLineParser& parser, const OptionSet& o, servosim::Options* options)
{
    bool ok = false;
    options->faultRate = parser.value(o.faultRate).toDouble(&ok);
    if (!ok)
        return QStringLiteral("--fault-rate wants a number from 0 to 1");
    if (parser.isSet(o.faults)) {
        for (const QString& name : parser.value(o.faults).split(QLatin1Char(','))) {
            servosim::Fault fault;
            if (!servosim::faultFromName(name, &fault))
                return QStringLiteral("unknown fault %1").arg(name);
            options->faultKinds.append(fault);
        }
    }
    return {};
}

// The options given, checked; the problem in words, or nothing.
QString readOptions(const QCommandLineParser& parser, const OptionSet& o, Startup* startup)
{
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first());
    servosim::Options& options = startup->options;
    options.linkPath = parser.value(o.link);
    if (const QString problem = readGroups(parser, o, &options); !problem.isEmpty())
        return problem;
    bool ok = false;
    options.baudRate = parser.value(o.baud).toInt(&ok);
    if (!ok)
        return QStringLiteral("--baud wants a number");
    options.wireTime = !parser.isSet(o.noWireTime);
    if (const QString problem = readLineFaults(parser, o, &options); !problem.isEmpty())
        return problem;
    startup->hardwareError = parser.value(o.hardwareError).toUInt(&ok, 0);
    if (!ok || startup->hardwareError > 0xFF)
        return QStringLiteral("--hw-error wants a number from 0 to 255");
    options.quiet = parser.isSet(o.quiet);
    options.pieceBytes = parser.value(o.pieces).toInt(&ok);
    if (!ok || options.pieceBytes < 0)
        return QStringLiteral("--pieces wants a number of bytes, 0 or more");
    const double gapMs = parser.value(o.pieceGap).toDouble(&ok);
    if (!ok || gapMs < 0)
        return QStringLiteral("--piece-gap wants milliseconds, 0 or more");
    options.pieceGapUs = qRound64(gapMs * 1000);
    options.echo = parser.isSet(o.echo);
    options.noiseIntervalMs = parser.value(o.noise).toInt(&ok);
    if (!ok || options.noiseIntervalMs < 0)
        return QStringLiteral("--noise wants milliseconds, 0 or more");
    if (parser.isSet(o.supply)) {
        options.supplyVoltage = parser.value(o.supply).toDouble(&ok);
        if (!ok || options.supplyVoltage <= 0)
            return QStringLiteral("--supply wants a voltage above 0");
    }
    // Naming an id twice is asking for two servos there.
    options.allowSharedIds = true;
    if (parser.isSet(o.config))
        startup->configPath = parser.value(o.config);
    startup->control = parser.isSet(o.control);
    return {};
}

// The settings of a configuration file, as register bytes; the problem in words, or nothing.
QString readSettings(const Startup& startup, QList<RegisterBytes>* settings)
{
    if (startup.configPath.isEmpty())
        return {};
    QFile file(startup.configPath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
    const servosim::Options& options = startup.options;
    const int modelNumber = options.description ? options.description->modelNumbers.value(0)
                            : options.model == servosim::Model::Ax12 ? 12
                                                                     : 0x0401;
    return configurationRegisters(file.read(1 << 20), QFileInfo(file).fileName(), modelNumber, settings);
}

// SIGINT and SIGTERM end the event loop, through a pipe the loop watches.
bool quitOnSignals(QSocketNotifier** notifier)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(*notifier, &QSocketNotifier::activated, QCoreApplication::instance(), &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    // A closed standard descriptor would be reused by the next one opened, the device's say: answers
    // and --control would then go to and come from the servo line.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) < 0)
            (void)::open("/dev/null", O_RDWR);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velkora-servo-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VSM_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated servos on a pseudo-terminal. Prints the device to open, then answers as the servos\n"
        "until SIGINT or SIGTERM."));
    parser.addHelpOption();
    parser.addVersionOption();
    const OptionSet o = makeOptions();
    parser.addOptions(allOptions(o));
    parser.process(app);
    Startup startup;
    if (const QString problem = readOptions(parser, o, &startup); !problem.isEmpty())
        return fail(problem);
    const servosim::Options& options = startup.options;
    QList<RegisterBytes> settings;
    if (const QString problem = readSettings(startup, &settings); !problem.isEmpty())
        return fail(problem, 1);

    QSocketNotifier* signalNotifier = nullptr;
    if (!quitOnSignals(&signalNotifier))
        return fail(QStringLiteral("cannot create the signal pipe"), 1);

    servosim::ServoSimulator simulator(options);
    QString error;
    if (!simulator.start(&error))
        return fail(error, 1);
    for (const servosim::ServoGroup& group : options.groups())
        for (int id : group.ids)
            simulator.setHardwareError(id, quint8(startup.hardwareError));
    // The file is of the first model: the settings go to its servos only.
    for (int id : options.ids)
        for (const RegisterBytes& setting : settings)
            simulator.setRegisters(id, setting.address, setting.bytes);

    QTextStream out(stdout);
    out << simulator.devicePath() << '\n';
    if (!options.linkPath.isEmpty())
        out << simulator.portName() << '\n';
    out.flush();
    std::fflush(stdout);

    std::unique_ptr<ControlInput> controlInput;
    if (startup.control) {
        // A controller that goes away must not take the simulator with it at the next answer.
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, nullptr);
        const servosim::ServoGroup first = options.groups().first();
        controlInput = std::make_unique<ControlInput>(
            simulator, PlugDefaults{first, options.baudRate, options.protocol});
    }

    app.exec();
    controlInput.reset();
    simulator.stop();
    return 0;
}
