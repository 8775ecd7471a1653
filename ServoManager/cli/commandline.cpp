#include "cli/commandline.h"

#include "cli/arguments.h"
#include "cli/commandcontext.h"
#include "cli/commands.h"
#include "cli/output.h"

#include "core/launch/launchoptions.h"
#include "core/model/modelregistry.h"
#include "core/settings/settingshelper.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

namespace cli {

namespace {

constexpr int defaultBaudRate = 1000000;
constexpr int defaultId = 1;
const char* const defaultPort = "/dev/ttyUSB0";

const char* const usageHead = R"(Usage: velkora-servo [OPTIONS] COMMAND [ARGUMENTS]

Configure and watch smart servo motors on a half-duplex serial bus, from a shell.

Options (before the command):
  --port PATH       serial port (default: the window's stored port, else /dev/ttyUSB0)
  --baud RATE       baud rate (default: the window's stored rate, else 1000000)
  --id N            servo id (default: the window's stored id, else 1)
  --simulate        run against simulated servos inside the program (--id: their ids, such as
                    1,2,3 or 1-6)
  --model MODEL     with --simulate: a model's name (velkora-servo models lists them) or a
                    description file (default: v1)
  --as MODEL        take a servo whose model number no description covers for this model
                    (a name or a description file)
  --models DIR      read model descriptions from DIR too (after the user's folder; repeatable)
  --protocol N      bus protocol, 1, 2 or feetech (default: the window's stored protocol,
                    else 2; with --simulate: the model's). AX-12 servos speak Protocol 1
                    only; Feetech servos take its packets with their own error bits (feetech).
  --json            every result as one JSON document
  --raw             values as the servo holds them, not in units
  -h, --help        this text
  -v, --version     the version

Commands:
)";

const char* const usageTail = R"(
Exit status: 0 done, 1 differences, a write not taken as asked, a numbering step that failed or
a problem the doctor found, 2 wrong usage, 3 no answer, 4 the port could not be opened, 5 no
model description covers the servo's model number (choose one with --as).
)";

using Command = int (*)(CommandContext&, Arguments&);

// A command: the word that names it, its function, and its lines in the usage. A synopsis too
// long for the summary's column stands on lines of its own; several forms are several lines.
struct CommandEntry
{
    const char* name;
    Command run;
    const char* synopsis;
    const char* summary;
};

// In the order the usage lists them.
const CommandEntry commandTable[] = {
    {"ports", portsCommand, "ports", "serial ports, their /dev/serial/by-id names and latency timers"},
    {"scan", scanCommand, "scan [--ids A-B] [--bauds LIST|all] [--protocols 1,2,feetech] [--quick]",
     "look for servos (default ids 1-10 at the chosen rate and\nprotocol; --quick pings in Protocol 2 only)"},
    {"doctor", doctorCommand, "doctor [--port P] [--json] [--ids A-B] [--bauds LIST|all]",
     "when nothing answers: checks the port, the adapter and the bus\n"
     "(every rate, both protocols), says what is wrong and its fix;\n"
     "exit 1 a problem found, 3 no servo answered, 4 no port"},
    {"info", infoCommand, "info", "model, firmware, id, baud rate, voltage, temperature, errors"},
    {"fields", fieldsCommand, "fields", "the servo model's keys: caption, group, unit, range, writable"},
    {"models", modelsCommand, "models",
     "the servo models known: names, model numbers, files;\nrefused files on standard error"},
    {"keys", keysCommand, "keys [v1|ax12]", "only the keys, without a servo (for completion)"},
    {"get", getCommand, "get KEY...", "values in units (--raw: raw)"},
    {"set", setCommand, "set KEY=VALUE...", "write, verified; VALUE may carry a unit: targetPosition=90deg"},
    {"dump", dumpCommand, "dump [--ids IDS]",
     "the whole control table (--ids: each servo's, read together\nwhere their models allow)"},
    {"save", saveCommand, "save FILE", "the servo's settings to a configuration file"},
    {"restore", restoreCommand,
     "restore FILE [--only KEYS] [--with-id-baud] [--dry-run]\n"
     "restore FILE --ids IDS [--only KEYS] [--dry-run]",
     "write a configuration file's settings, verified (--ids: to each\n"
     "of several servos at the port's rate; ids and rates stay)"},
    {"diff", diffCommand, "diff FILE [FILE2]",
     "a file against the servo, or two files (exit 1 when they differ)"},
    {"watch", watchCommand, "watch KEY... [--ids IDS] [--interval MS] [--count N]",
     "one CSV row per poll until Ctrl+C or N rows (--ids: a row per\n"
     "round of every servo, read together where their models allow;\n"
     "exit 3 when a servo did not answer)"},
    {"off", offCommand, "off [--ids IDS]",
     "switch the motor off on each servo (default: --id), each read back;\nexit 1 when one may still be on"},
    {"reboot", rebootCommand, "reboot", "reboot the servo"},
    {"reset", resetCommand, "reset --yes [--keep nothing|id|id,rate]",
     "factory reset (its settings return to the factory defaults)"},
    {"number", numberCommand,
     "number --from N [--rate R] [--config FILE] [--new-model MODEL] [--factory-id ID] [--factory-rate R] "
     "[--count C]",
     "give factory-new servos, plugged in one at a time, ids N, N+1, ...\nuntil Ctrl+C or C servos"},
};

QString usageText()
{
    constexpr int summaryColumn = 37;
    const QString indent(summaryColumn, QLatin1Char(' '));
    QString text = QString::fromUtf8(usageHead);
    for (const CommandEntry& command : commandTable) {
        const QStringList synopsis = QString::fromUtf8(command.synopsis).split(QLatin1Char('\n'));
        QStringList summary = QString::fromUtf8(command.summary).split(QLatin1Char('\n'));
        const QString first = QStringLiteral("  ") + synopsis.first();
        if (synopsis.size() == 1 && first.size() < summaryColumn) {
            text += first.leftJustified(summaryColumn) + summary.takeFirst() + QLatin1Char('\n');
        } else {
            for (const QString& line : synopsis)
                text += QStringLiteral("  ") + line + QLatin1Char('\n');
        }
        for (const QString& line : summary)
            text += indent + line + QLatin1Char('\n');
    }
    return text + QString::fromUtf8(usageTail);
}

// "1-3,7" as "1,2,3,7": --id's ranges written out, for the launch options that list ids one by
// one. What is no range stays as it is, for them to judge.
QString idsWrittenOut(const QString& text)
{
    static const QRegularExpression range(QStringLiteral("^\\s*(\\d{1,3})\\s*-\\s*(\\d{1,3})\\s*$"));
    QStringList parts;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QRegularExpressionMatch match = range.match(part);
        const int low = match.captured(1).toInt();
        const int high = match.captured(2).toInt();
        if (!match.hasMatch() || low > high || high > highestId) {
            parts << part;
            continue;
        }
        for (int id = low; id <= high; ++id)
            parts << QString::number(id);
    }
    return parts.join(QLatin1Char(','));
}

// Takes the options before the command; what is left is the command and its own words.
QStringList readGlobals(const QStringList& arguments, LaunchOptions* launch, Globals* globals)
{
    static const QStringList withValue{QStringLiteral("--port"),     QStringLiteral("--baud"),
                                       QStringLiteral("--id"),       QStringLiteral("--model"),
                                       QStringLiteral("--protocol"), QStringLiteral("--models")};
    static const QStringList switches{QStringLiteral("--simulate"), QStringLiteral("--json"),
                                      QStringLiteral("--raw")};
    QStringList launchWords{QStringLiteral("velkora-servo")};
    QString as;
    int i = 0;
    for (; i < arguments.size(); ++i) {
        const QString& word = arguments[i];
        const QString name = word.section(QLatin1Char('='), 0, 0);
        // --as is the command line's own: the window has no use for it.
        if (name == QLatin1String("--as")) {
            if (word.contains(QLatin1Char('=')))
                as = word.section(QLatin1Char('='), 1);
            else if (i + 1 < arguments.size())
                as = arguments[++i];
            else
                throw UsageError{QStringLiteral("--as wants a model")};
        } else if (word == QLatin1String("--json"))
            globals->json = true;
        else if (word == QLatin1String("--raw"))
            globals->raw = true;
        else if (switches.contains(word))
            launchWords << word;
        else if (name == QLatin1String("--id") && word.contains(QLatin1Char('=')))
            launchWords << QStringLiteral("--id=") + idsWrittenOut(word.section(QLatin1Char('='), 1));
        else if (withValue.contains(name) && word.contains(QLatin1Char('=')))
            launchWords << word;
        else if (withValue.contains(word)) {
            if (i + 1 >= arguments.size())
                throw UsageError{QStringLiteral("%1 wants a value").arg(word)};
            const QString value = arguments[++i];
            launchWords << word << (word == QLatin1String("--id") ? idsWrittenOut(value) : value);
        } else if (word.startsWith(QLatin1Char('-')))
            throw UsageError{QStringLiteral("unknown option %1").arg(word)};
        else
            break;
    }
    // The window's own reading of these options, so both take the same values.
    QCommandLineParser parser;
    addLaunchOptions(parser);
    if (!parser.parse(launchWords))
        throw UsageError{parser.errorText()};
    const QString problem = readLaunchOptions(parser, launch);
    if (!problem.isEmpty())
        throw UsageError{problem};
    // After --models: the model may be one of those folders'.
    if (!as.isNull()) {
        QString notFound;
        globals->as = ModelRegistry::shared().find(as, &notFound);
        if (!globals->as)
            throw UsageError{QStringLiteral("--as: %1").arg(notFound)};
    }
    QStringList rest = arguments.mid(i);
    // --json and --raw are also taken after the command.
    globals->json = rest.removeAll(QStringLiteral("--json")) > 0 || globals->json;
    globals->raw = rest.removeAll(QStringLiteral("--raw")) > 0 || globals->raw;
    return rest;
}

// The port, rate, protocol and id the launch session left in the settings: the ones given, the
// simulated bus's, or else the window's stored choices.
void readStoredChoices(Globals* globals)
{
    const Settings port(QStringLiteral("port settings"));
    const Settings window(QStringLiteral("main window settings"));
    globals->portName = port.getValue(QStringLiteral("serialPortName"), QString()).toString();
    if (globals->portName.isEmpty())
        globals->portName = QString::fromLatin1(defaultPort);
    globals->baudRate = port.getValue(QStringLiteral("baudRate"), defaultBaudRate).toInt();
    if (!offeredBaudRates().contains(globals->baudRate))
        globals->baudRate = defaultBaudRate;
    globals->protocol = BusProtocol(protocolOfSetting(port.getValue(QStringLiteral("protocol"), QVariant())));
    bool idOk = false;
    globals->id = window.getValue(QStringLiteral("servoId"), defaultId).toInt(&idOk);
    if (!idOk || globals->id < 0 || globals->id > highestId)
        globals->id = defaultId;
}

Command commandOf(const QString& name)
{
    for (const CommandEntry& command : commandTable)
        if (name == QLatin1String(command.name))
            return command.run;
    throw UsageError{QStringLiteral("unknown command %1 (velkora-servo --help lists them)").arg(name)};
}

// Help and version are answered before anything else is read, wherever they stand among the options.
bool answeredAtOnce(const QStringList& arguments)
{
    for (const QString& word : arguments) {
        if (!word.startsWith(QLatin1Char('-')))
            break;
        if (word == QLatin1String("-h") || word == QLatin1String("--help")) {
            out() << usageText();
            return true;
        }
        if (word == QLatin1String("-v") || word == QLatin1String("--version")) {
            out() << "velkora-servo " << QCoreApplication::applicationVersion() << '\n';
            return true;
        }
    }
    return false;
}

int run(const QStringList& arguments)
{
    LaunchOptions launch;
    Globals globals;
    QStringList rest = readGlobals(arguments, &launch, &globals);
    if (!launch.simulate && launch.listedIds.size() > 1)
        throw UsageError{QStringLiteral("--id takes one servo id here (restore --ids writes to several)")};
    if (!launch.simulate && launch.servoId > highestId)
        throw UsageError{QStringLiteral("--id wants a servo id from 0 to %1").arg(highestId)};
    if (rest.isEmpty())
        throw UsageError{QStringLiteral("a command is wanted (velkora-servo --help lists them)")};
    const QString command = rest.takeFirst();
    // Simulated servos, or the port, rate and id given, else the window's stored choices.
    LaunchSession session(launch);
    QString error;
    if (!session.start(&error))
        return fail(ExitPortFailed, error);
    readStoredChoices(&globals);
    CommandContext context(globals);
    Arguments words(rest);
    const int status = commandOf(command)(context, words);
    out().flush();
    return status;
}

} // namespace

} // namespace cli

int runCommandLine(const QStringList& arguments)
{
    using namespace cli;
    out().setCodec("UTF-8");
    err().setCodec("UTF-8");
    if (answeredAtOnce(arguments))
        return ExitDone;
    try {
        return run(arguments);
    } catch (const UsageError& usage) {
        out().flush();
        return fail(ExitUsage, usage.message);
    }
}
