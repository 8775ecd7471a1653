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

// One line of --control input carried out; the answer line, or nothing for a blank line.
QString runCommand(servosim::ServoSimulator& simulator, int busBaudRate, const QString& line)
{
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return {};
    const QString& command = words.first();
    int id = 0;
    bool idOk = words.size() > 1;
    if (idOk)
        id = words.at(1).toInt(&idOk);
    if (command == QLatin1String("plug") && (words.size() == 2 || words.size() == 3)) {
        int rate = busBaudRate;
        bool rateOk = true;
        if (words.size() == 3)
            rate = words.at(2).toInt(&rateOk);
        if (!idOk || !rateOk)
            return QStringLiteral("error: plug wants an id and maybe a baud rate, as numbers");
        if (id < 0 || id > 252)
            return QStringLiteral("error: servo id %1 is outside 0 to 252").arg(id);
        if (!simulator.plugServo(id, rate))
            return QStringLiteral("error: %1 baud has no baud-rate code").arg(rate);
        return QStringLiteral("plugged %1 at %2 baud").arg(id).arg(rate);
    }
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
    return QStringLiteral("error: \"%1\" is not plug ID [RATE], unplug ID or list")
        .arg(words.join(QLatin1Char(' ')));
}

// Commands from standard input, answered on standard output, for as long as the input lasts.
class ControlInput
{
public:
    ControlInput(servosim::ServoSimulator& simulator, int busBaudRate)
        : m_simulator(simulator), m_busBaudRate(busBaudRate), m_notifier(STDIN_FILENO, QSocketNotifier::Read)
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
        const QString text = runCommand(m_simulator, m_busBaudRate, QString::fromLocal8Bit(line));
        if (!text.isEmpty())
            reply(text);
    }

    static void reply(const QString& text)
    {
        QTextStream(stdout) << text << '\n';
        std::fflush(stdout);
    }

    servosim::ServoSimulator& m_simulator;
    const int m_busBaudRate;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
    bool m_skipping = false; // the rest of an overlong line
};

// The command line's options.
struct OptionSet
{
    QCommandLineOption link, ids, model, models, protocol, baud, noWireTime, faultRate, faults, hardwareError,
        quiet, pieces, pieceGap, config, control;
};

OptionSet makeOptions()
{
    return {
        {QStringLiteral("link"), QStringLiteral("Symbolic link to the device."), QStringLiteral("PATH")},
        {QStringLiteral("id"), QStringLiteral("Servo ids, comma-separated (default 1)."), QStringLiteral("LIST"),
         QStringLiteral("1")},
        {QStringLiteral("model"),
         QStringLiteral("Servo model: v1, ax12, the name of another model description or a\n"
                        "description file (.json) (default v1)."),
         QStringLiteral("NAME|FILE"), QStringLiteral("v1")},
        {QStringLiteral("models"),
         QStringLiteral("Also read the model descriptions of this folder (after the user's own\n"
                        "folder; may be given several times)."),
         QStringLiteral("DIR")},
        {QStringLiteral("protocol"),
         QStringLiteral("Protocol the servos speak: 1 or 2, one the model speaks (default 2, or the\n"
                        "model's only one)."),
         QStringLiteral("1|2"), QStringLiteral("2")},
        {QStringLiteral("baud"), QStringLiteral("The servos' baud rate (default 1000000)."), QStringLiteral("RATE"),
         QStringLiteral("1000000")},
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
        {QStringLiteral("piece-gap"), QStringLiteral("Pause between answer pieces in milliseconds (default 1)."),
         QStringLiteral("MS"), QStringLiteral("1")},
        {QStringLiteral("config"),
         QStringLiteral("Start every servo with the settings of this configuration file (saved by the\n"
                        "program; the servos keep the ids and the rate given here)."),
         QStringLiteral("FILE")},
        {QStringLiteral("control"),
         QStringLiteral("Read commands from standard input, one a line, and answer\n"
                        "each on standard output:\n"
                        "  plug ID [RATE]  plug in a factory-new servo (RATE:\n"
                        "                  the --baud rate if not given)\n"
                        "  unplug ID       pull the servo answering to ID (the\n"
                        "                  latest plugged of several)\n"
                        "  list            the ids of the servos plugged in")},
    };
}

// What the command line asks for.
struct Startup
{
    servosim::Options options;
    uint hardwareError = 0;
    QString configPath;
    bool control = false;
};

// A model description by name (the built-ins, the user's folder and --models) or file.
QString readDescription(const QCommandLineParser& parser, const OptionSet& o, servosim::Options* options)
{
    if (parser.isSet(o.models))
        ModelRegistry::use(QStringList{ModelRegistry::userFolder()} + parser.values(o.models));
    const ModelRegistry& registry = ModelRegistry::shared();
    QString problem;
    options->description = registry.find(parser.value(o.model), &problem);
    if (options->description)
        return servosim::DescribedModel::unplayable(*options->description);
    // The model asked for may be in a file that was refused: say why.
    for (const ModelRegistry::Refused& refused : registry.refused())
        problem += QStringLiteral("\n  refused %1").arg(refused.problem);
    return QStringLiteral("--model: %1").arg(problem);
}

// The model and the protocol it speaks; the problem in words, or nothing.
QString readModel(const QCommandLineParser& parser, const OptionSet& o, servosim::Options* options)
{
    const QString modelName = parser.value(o.model).toLower();
    if (modelName == QLatin1String("ax12")) {
        options->model = servosim::Model::Ax12;
    } else if (modelName != QLatin1String("v1")) {
        if (const QString problem = readDescription(parser, o, options); !problem.isEmpty())
            return problem;
    }
    bool ok = false;
    options->protocol = parser.value(o.protocol).toInt(&ok);
    // A model that speaks one protocol only is played in it unless asked otherwise.
    if (options->description && options->description->protocols.size() == 1 && !parser.isSet(o.protocol))
        options->protocol = options->description->protocols.first();
    if (!ok || (options->protocol != 1 && options->protocol != 2))
        return QStringLiteral("--protocol is 1 or 2");
    if (options->description) {
        const QList<int>& protocols = options->description->protocols;
        if (!protocols.contains(options->protocol))
            return QStringLiteral("--protocol %1: model %2 speaks protocol %3 only")
                .arg(options->protocol)
                .arg(options->description->name)
                .arg(protocols.value(0));
    } else if (options->protocol == 1 && options->model != servosim::Model::Ax12) {
        return QStringLiteral("--protocol 1 needs --model ax12: the V1 speaks protocol 2 only");
    }
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
    if (!parseIds(parser.value(o.ids), &options.ids))
        return QStringLiteral("--id wants a comma-separated list of numbers");
    if (const QString problem = readModel(parser, o, &options); !problem.isEmpty())
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
    parser.addOptions({o.link, o.ids, o.model, o.models, o.protocol, o.baud, o.noWireTime, o.faultRate,
                       o.faults, o.hardwareError, o.quiet, o.pieces, o.pieceGap, o.config, o.control});
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
    for (int id : options.ids) {
        simulator.setHardwareError(id, quint8(startup.hardwareError));
        for (const RegisterBytes& setting : settings)
            simulator.setRegisters(id, setting.address, setting.bytes);
    }

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
        controlInput = std::make_unique<ControlInput>(simulator, options.baudRate);
    }

    app.exec();
    controlInput.reset();
    simulator.stop();
    return 0;
}
