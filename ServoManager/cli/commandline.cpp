#include "cli/commandline.h"

#include "cli/busclient.h"
#include "cli/listnames.h"

#include "core/files/servoconfiguration.h"
#include "core/jobs/configurationwriter.h"
#include "core/jobs/servonumbering.h"
#include "core/jobs/servosearch.h"
#include "core/launch/launchoptions.h"
#include "core/model/dynamixelax12.h"
#include "core/model/hardwarestatus.h"
#include "core/model/idevice.h"
#include "core/model/velkorav1.h"
#include "core/session/devicehelper.h"
#include "core/settings/settingshelper.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/portlatency.h"
#include "core/transport/serialhelper.h"
#include "core/units/unitshelper.h"
#include "core/units/valueinput.h"

#include <serialportitem.h>
#include <servosimulator.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <unistd.h>

namespace {

constexpr int defaultBaudRate = 1000000;
constexpr int defaultId = 1;
constexpr int highestId = 252;
const char* const defaultPort = "/dev/ttyUSB0";

const char* const usageText = R"(Usage: velkora-servo [OPTIONS] COMMAND [ARGUMENTS]

Configure and watch smart servo motors on a half-duplex serial bus, from a shell.

Options (before the command):
  --port PATH       serial port (default: the window's stored port, else /dev/ttyUSB0)
  --baud RATE       baud rate (default: the window's stored rate, else 1000000)
  --id N            servo id (default: the window's stored id, else 1)
  --simulate        run against simulated servos inside the program (--id: their ids, comma-separated)
  --model MODEL     with --simulate: v1 or ax12
  --protocol N      bus protocol, 1 or 2 (default: the window's stored protocol, else 2;
                    with --simulate --model ax12: 1). AX-12 servos speak Protocol 1 only.
  --json            every result as one JSON document
  --raw             values as the servo holds them, not in units
  -h, --help        this text
  -v, --version     the version

Commands:
  ports                              serial ports, their /dev/serial/by-id names and latency timers
  scan [--ids A-B] [--bauds LIST|all] [--protocols 1|2|1,2] [--quick]
                                     look for servos (default ids 1-10 at the chosen rate and
                                     protocol; --quick pings in Protocol 2 only)
  info                               model, firmware, id, baud rate, voltage, temperature, errors
  fields                             the servo model's keys: caption, group, unit, range, writable
  keys [v1|ax12]                     only the keys, without a servo (for completion)
  get KEY...                         values in units (--raw: raw)
  set KEY=VALUE...                   write, verified; VALUE may carry a unit: targetPosition=90deg
  dump                               the whole control table
  save FILE                          the servo's settings to a configuration file
  restore FILE [--only KEYS] [--with-id-baud] [--dry-run]
  restore FILE --ids IDS [--only KEYS] [--dry-run]
                                     write a configuration file's settings, verified (--ids: to each
                                     of several servos at the port's rate; ids and rates stay)
  diff FILE [FILE2]                  a file against the servo, or two files (exit 1 when they differ)
  watch KEY... [--interval MS] [--count N]
                                     one CSV row per poll until Ctrl+C or N rows
  reboot                             reboot the servo
  reset --yes                        factory reset (its settings return to the factory defaults)
  number --from N [--rate R] [--config FILE] [--factory-id ID] [--factory-rate R] [--count C]
                                     give factory-new servos, plugged in one at a time, ids N, N+1, ...
                                     until Ctrl+C or C servos

Exit status: 0 done, 1 differences, a write not taken as asked or a numbering step that failed,
2 wrong usage, 3 no answer, 4 the port could not be opened.
)";

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& err()
{
    static QTextStream stream(stderr);
    return stream;
}

// Thrown for a command line that cannot be run as given.
struct UsageError
{
    QString message;
};

// The arguments of one command: its words and its own options.
class Arguments
{
public:
    explicit Arguments(QStringList words) : _words(std::move(words)) {}

    bool flag(const QString& name) { return _words.removeAll(name) > 0; }
    // `--name VALUE` or `--name=VALUE`; `fallback` when absent.
    QString value(const QString& name, const QString& fallback = {})
    {
        for (int i = 0; i < _words.size(); ++i) {
            if (_words[i] == name) {
                if (i + 1 >= _words.size())
                    throw UsageError{QStringLiteral("%1 wants a value").arg(name)};
                const QString found = _words[i + 1];
                _words.erase(_words.begin() + i, _words.begin() + i + 2);
                return given(found);
            }
            if (_words[i].startsWith(name + QLatin1Char('='))) {
                const QString found = _words[i].mid(name.size() + 1);
                _words.removeAt(i);
                return given(found);
            }
        }
        return fallback;
    }
    int number(const QString& name, int fallback, int lowest, int highest)
    {
        const QString text = value(name);
        if (text.isNull())
            return fallback;
        bool ok = false;
        const int n = text.toInt(&ok);
        if (!ok || n < lowest || n > highest)
            throw UsageError{QStringLiteral("%1 wants a number from %2 to %3").arg(name).arg(lowest).arg(highest)};
        return n;
    }
    // What is left once the options are taken: the positional words, none of them an option.
    QStringList rest(int least, int most, const QString& what)
    {
        for (const QString& word : _words)
            if (word.startsWith(QLatin1String("--")))
                throw UsageError{QStringLiteral("unknown option %1").arg(word)};
        if (_words.size() < least || (most >= 0 && _words.size() > most))
            throw UsageError{what};
        return _words;
    }

private:
    // An empty value given is not the null of an option left out.
    static QString given(const QString& value) { return value.isNull() ? QStringLiteral("") : value; }

    QStringList _words;
};

struct Globals
{
    QString portName;
    int baudRate = defaultBaudRate;
    int id = defaultId;
    BusProtocol protocol = BusProtocol::Two;
    bool json = false;
    bool raw = false;
};

void printJson(const QJsonValue& value)
{
    const QJsonDocument document =
        value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    out() << QString::fromUtf8(document.toJson(QJsonDocument::Indented));
    out().flush();
}

QString groupName(FieldGroup group)
{
    switch (group) {
    case FieldGroup::NonVolatile: return QStringLiteral("non-volatile");
    case FieldGroup::Volatile: return QStringLiteral("volatile");
    case FieldGroup::Command: return QStringLiteral("command");
    case FieldGroup::State: return QStringLiteral("state");
    }
    return {};
}

const UnitsHelper& defaultUnits()
{
    static const UnitsHelper units(std::make_shared<PhysicalQuantities>());
    return units;
}

QString unitOf(const FieldRecord& field)
{
    return field.hasRange ? defaultUnits().getUnitString(field.quantity) : QString();
}

bool isBaudRate(const FieldRecord& field)
{
    return field.key == QLatin1String("baudRate");
}

// A value for people and scripts: ranged values in the default unit, the baud code as its rate,
// lists and flags as their number.
QJsonValue valueOf(const FieldRecord& field, int raw)
{
    if (isBaudRate(field))
        return SerialHelper::baudRateOfCode(raw);
    if (field.hasRange) {
        // Enough digits to tell one raw step from the next.
        return QString::number(field.toPhysical(raw), 'g', 10).toDouble();
    }
    return raw;
}

// A list value's name as the edit view shows it ("Joint"); empty for a field that is no list.
QString nameOf(const FieldRecord& field, int raw)
{
    return listnames::nameOf(field.objectName, raw);
}

QString valueText(const FieldRecord& field, int raw, bool asRaw)
{
    if (asRaw)
        return QString::number(raw);
    const QJsonValue value = valueOf(field, raw);
    const QString number = QString::number(value.toDouble(), 'g', 10);
    // The number first, so scripts that take it keep working.
    if (const QString name = nameOf(field, raw); !name.isEmpty())
        return QStringLiteral("%1 (%2)").arg(number, name);
    const QString unit = unitOf(field);
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

// The raw value `text` stands for, checked against what the field can hold.
int rawOfText(const FieldRecord& field, const QString& text, bool asRaw)
{
    auto outside = [&] {
        return UsageError{QStringLiteral("%1=%2 is outside what %1 can hold").arg(field.key, text)};
    };
    if (asRaw || !field.hasRange) {
        bool ok = false;
        // Decimal, or hexadecimal with 0x: a leading zero does not make it octal.
        const QString digits = text.trimmed();
        const bool hex = digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
        qint64 raw = hex ? digits.mid(2).toLongLong(&ok, 16) : digits.toLongLong(&ok, 10);
        // A list value may be given by the name get shows for it.
        if (!ok && !asRaw && listnames::valueOf(field.objectName, digits) >= 0) {
            raw = listnames::valueOf(field.objectName, digits);
            ok = true;
        }
        if (!ok && !asRaw && !listnames::namesOf(field.objectName).isEmpty())
            throw UsageError{QStringLiteral("%1=%2: a whole number or one of %3 is wanted")
                                 .arg(field.key, text, listnames::namesOf(field.objectName).join(QStringLiteral(", ")))};
        if (!ok)
            throw UsageError{QStringLiteral("%1=%2: a whole number is wanted").arg(field.key, text)};
        if (isBaudRate(field) && !asRaw) {
            for (int code = 0; code < 256; ++code)
                if (SerialHelper::baudRateOfCode(code) == raw)
                    return code;
            throw UsageError{QStringLiteral("%1=%2 is no baud rate the servo knows").arg(field.key, text)};
        }
        if (!field.holds(raw))
            throw outside();
        return static_cast<int>(raw);
    }
    const ValueInput input = readValueInUnit(text, field.quantity);
    if (!input.ok)
        throw UsageError{QStringLiteral("%1=%2: %3").arg(field.key, text, input.error)};
    const double low = std::min(field.min, field.max);
    const double high = std::max(field.min, field.max);
    // Half a raw step of slack, so a value printed by get is taken back.
    const double slack = std::abs(field.max - field.min) / std::max(1, std::abs(field.rawMax - field.rawMin)) / 2;
    if (input.inDefaultUnit < low - slack || input.inDefaultUnit > high + slack)
        throw UsageError{QStringLiteral("%1=%2 is outside %3 to %4 %5")
                             .arg(field.key, text, QString::number(low, 'g', 10), QString::number(high, 'g', 10),
                                  unitOf(field))
                             .trimmed()};
    return field.toRaw(input.inDefaultUnit);
}

const FieldRecord& fieldOf(const FieldCatalogue& catalogue, const QString& key)
{
    const FieldRecord* field = catalogue.byKey(key);
    if (!field)
        throw UsageError{QStringLiteral("unknown key %1 (velkora-servo fields lists this servo's keys)").arg(key)};
    return *field;
}

QString modelName(const BusClient& bus)
{
    const FieldRecord* model = bus.catalogue().byKey(QStringLiteral("modelNumber"));
    return ServoSearch::modelText(model ? model->rawIn(bus.table()) : 0);
}

int rawOf(const BusClient& bus, const QString& key)
{
    const FieldRecord* field = bus.catalogue().byKey(key);
    return field ? field->rawIn(bus.table()) : 0;
}

QStringList hardwareErrors(const BusClient& bus, int* bits)
{
    return hardwareErrorsOf(bus.catalogue(), bus.table(), bits, bus.alarms());
}

// Ctrl+C ends a watch with its rows complete: the signal only wakes the event loop.
int interruptPipe[2] = {-1, -1};
void onInterrupt(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(interruptPipe[1], &byte, 1);
}

class Program
{
public:
    explicit Program(Globals globals) : _globals(std::move(globals)) {}

    int run(const QString& command, Arguments arguments)
    {
        using Handler = int (Program::*)(Arguments&);
        static const std::map<QString, Handler> commands{
            {QStringLiteral("ports"), &Program::ports},   {QStringLiteral("scan"), &Program::scan},
            {QStringLiteral("info"), &Program::info},     {QStringLiteral("fields"), &Program::fields},
            {QStringLiteral("keys"), &Program::keys},     {QStringLiteral("get"), &Program::get},
            {QStringLiteral("set"), &Program::set},       {QStringLiteral("dump"), &Program::dump},
            {QStringLiteral("save"), &Program::save},     {QStringLiteral("restore"), &Program::restore},
            {QStringLiteral("diff"), &Program::diff},     {QStringLiteral("watch"), &Program::watch},
            {QStringLiteral("reboot"), &Program::reboot}, {QStringLiteral("reset"), &Program::reset},
            {QStringLiteral("number"), &Program::number},
        };
        const auto it = commands.find(command);
        if (it == commands.end())
            throw UsageError{QStringLiteral("unknown command %1 (velkora-servo --help lists them)").arg(command)};
        return (this->*(it->second))(arguments);
    }

private:
    // Connects, or says why not; ExitDone when the servo answered.
    // "1-6", "1,3,5" or "1-3,7": ascending, each once.
    static QList<int> idsOf(const QString& text)
    {
        QList<int> ids;
        const auto wrong = [] {
            return UsageError{
                QStringLiteral("--ids wants ids such as 1-6 or 1,3,5, within 0-%1").arg(highestId)};
        };
        for (const QString& part : text.split(QLatin1Char(','))) {
            const QStringList range = part.split(QLatin1Char('-'));
            bool lowOk = false;
            bool highOk = false;
            const int low = range.value(0).trimmed().toInt(&lowOk);
            const int high = range.size() == 2 ? range.value(1).trimmed().toInt(&highOk) : low;
            if (!lowOk || (range.size() == 2 && !highOk) || range.size() > 2 || low < 0 || high > highestId ||
                low > high)
                throw wrong();
            for (int id = low; id <= high; ++id)
                if (!ids.contains(id))
                    ids.append(id);
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    int connectBus()
    {
        _bus = std::make_unique<BusClient>(_globals.portName, _globals.baudRate, _globals.id, _globals.protocol);
        const int status = _bus->connect();
        if (status != ExitDone)
            err() << "velkora-servo: " << _bus->error() << '\n';
        return status;
    }

    int fail(int status, const QString& message)
    {
        err() << "velkora-servo: " << message << '\n';
        return status;
    }

    int ports(Arguments& arguments)
    {
        arguments.rest(0, 0, QStringLiteral("ports takes no arguments"));
        // By-id names point at the devices; a device may have several.
        std::map<QString, QStringList> byId;
        const QDir links(QStringLiteral("/dev/serial/by-id"));
        for (const QFileInfo& link : links.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
            byId[QFileInfo(link.symLinkTarget()).canonicalFilePath()].append(link.absoluteFilePath());

        QJsonArray list;
        SerialHelper serial;
        for (const auto& port : serial.getSerialPortList()) {
            const QString device = QFileInfo(port->getSystemLocation()).canonicalFilePath();
            const PortLatency latency = probePortLatency(port->getPortName());
            QJsonObject entry{{QStringLiteral("name"), port->getPortName()},
                              {QStringLiteral("path"), port->getSystemLocation()},
                              {QStringLiteral("description"), port->getDescription()},
                              {QStringLiteral("manufacturer"), port->getManufacturer()},
                              {QStringLiteral("byId"), QJsonArray::fromStringList(byId[device])}};
            if (port->getVendorIdentifier() != 0)
                entry.insert(QStringLiteral("usb"), QStringLiteral("%1:%2")
                                                        .arg(port->getVendorIdentifier(), 4, 16, QLatin1Char('0'))
                                                        .arg(port->getProductIdentifier(), 4, 16, QLatin1Char('0')));
            if (latency.kind == PortLatency::Kind::UsbWithTimer)
                entry.insert(QStringLiteral("latencyTimerMs"), latency.latencyTimerMs);
            list.append(entry);
        }
        if (_globals.json) {
            printJson(list);
            return ExitDone;
        }
        if (list.isEmpty())
            err() << "velkora-servo: no serial ports found\n";
        for (const QJsonValue& value : list) {
            const QJsonObject port = value.toObject();
            QStringList parts{port.value(QStringLiteral("path")).toString()};
            if (!port.value(QStringLiteral("description")).toString().isEmpty())
                parts << port.value(QStringLiteral("description")).toString();
            for (const QJsonValue& link : port.value(QStringLiteral("byId")).toArray())
                parts << link.toString();
            if (port.contains(QStringLiteral("latencyTimerMs")))
                parts << QStringLiteral("latency timer %1 ms").arg(port.value(QStringLiteral("latencyTimerMs")).toInt());
            out() << parts.join(QStringLiteral("  ")) << '\n';
        }
        return ExitDone;
    }

    int scan(Arguments& arguments)
    {
        SearchPlan plan;
        plan.portName = _globals.portName;
        plan.quick = arguments.flag(QStringLiteral("--quick"));
        const QString protocols =
            arguments.value(QStringLiteral("--protocols"), QString::number(static_cast<int>(_globals.protocol)));
        plan.protocols.clear();
        for (const QString& text : protocols.split(QLatin1Char(','))) {
            if (text.trimmed() != QLatin1String("1") && text.trimmed() != QLatin1String("2"))
                throw UsageError{QStringLiteral("--protocols wants 1, 2 or 1,2")};
            const BusProtocol protocol = text.trimmed() == QLatin1String("1") ? BusProtocol::One : BusProtocol::Two;
            if (!plan.protocols.contains(protocol))
                plan.protocols.append(protocol);
        }
        const QList<int> ids = idsOf(arguments.value(QStringLiteral("--ids"), QStringLiteral("1-10")));
        plan.lower = ids.first();
        plan.upper = ids.last();
        if (ids.size() != plan.upper - plan.lower + 1)
            throw UsageError{QStringLiteral("--ids wants a range such as 1-20, within 0-%1").arg(highestId)};
        const QString bauds = arguments.value(QStringLiteral("--bauds"), QString::number(_globals.baudRate));
        if (bauds == QLatin1String("all")) {
            plan.rates = offeredBaudRates();
        } else {
            for (const QString& text : bauds.split(QLatin1Char(','))) {
                bool ok = false;
                const int rate = text.trimmed().toInt(&ok);
                if (!ok || !offeredBaudRates().contains(rate))
                    throw UsageError{QStringLiteral("--bauds wants rates from %1, comma-separated, or all")
                                         .arg(ratesText())};
                if (!plan.rates.contains(rate))
                    plan.rates.append(rate);
            }
            std::sort(plan.rates.begin(), plan.rates.end()); // slowest first, as the window scans
        }
        arguments.rest(0, 0, QStringLiteral("scan takes only options"));

        ServoSearch search(plan);
        const bool terminal = ::isatty(STDERR_FILENO) == 1;
        search.onProgress = [terminal](int made, int total, qint64 leftMs) {
            if (terminal)
                err() << QStringLiteral("\r%1 of %2 probes, about %3 s left  ")
                             .arg(made)
                             .arg(total)
                             .arg(std::ceil(leftMs / 1000.0), 0, 'f', 0)
                      << Qt::flush;
        };
        QJsonArray found;
        search.onFound = [&](const FoundServo& servo) {
            const QString model = ServoSearch::modelText(servo.modelNumber);
            found.append(QJsonObject{{QStringLiteral("id"), servo.id},
                                     {QStringLiteral("baudRate"), servo.baudRate},
                                     {QStringLiteral("modelNumber"), servo.modelNumber},
                                     {QStringLiteral("model"), model},
                                     {QStringLiteral("protocol"), static_cast<int>(servo.protocol)}});
            if (!_globals.json) {
                if (terminal)
                    err() << "\r\033[K" << Qt::flush;
                out() << QStringLiteral("servo %1 at %2 baud: %3, Protocol %4")
                             .arg(servo.id)
                             .arg(servo.baudRate)
                             .arg(model)
                             .arg(static_cast<int>(servo.protocol))
                      << '\n'
                      << Qt::flush;
            }
        };
        search.run();
        if (terminal)
            err() << "\r\033[K" << Qt::flush;
        if (!search.portError().isEmpty())
            return fail(ExitPortFailed, QStringLiteral("cannot search %1: %2")
                                            .arg(plan.portName, portOpenErrorText(plan.portName, search.portError())));
        if (_globals.json)
            printJson(found);
        if (found.isEmpty())
            return fail(ExitNoAnswer, QStringLiteral("no servo answered on %1 (%2 probes)")
                                          .arg(plan.portName)
                                          .arg(search.probesMade()));
        return ExitDone;
    }

    static QString ratesText()
    {
        QStringList rates;
        for (int rate : offeredBaudRates())
            rates << QString::number(rate);
        return rates.join(QStringLiteral(", "));
    }

    int info(Arguments& arguments)
    {
        arguments.rest(0, 0, QStringLiteral("info takes no arguments"));
        if (const int status = connectBus())
            return status;
        int bits = 0;
        const QStringList errors = hardwareErrors(*_bus, &bits);
        const FieldCatalogue& catalogue = _bus->catalogue();
        auto measured = [&](const QString& key) -> QJsonValue {
            const FieldRecord* field = catalogue.byKey(key);
            return field ? valueOf(*field, field->rawIn(_bus->table())) : QJsonValue();
        };
        const QJsonObject result{
            {QStringLiteral("port"), _bus->portName()},
            {QStringLiteral("id"), _bus->id()},
            {QStringLiteral("baudRate"), _bus->baudRate()},
            {QStringLiteral("model"), modelName(*_bus)},
            {QStringLiteral("modelNumber"), rawOf(*_bus, QStringLiteral("modelNumber"))},
            {QStringLiteral("firmware"), rawOf(*_bus, QStringLiteral("firmwareVersion"))},
            {QStringLiteral("voltage"), measured(QStringLiteral("actualVoltage"))},
            {QStringLiteral("temperature"), measured(QStringLiteral("actualTemperature"))},
            {QStringLiteral("hardwareErrorStatus"), bits},
            {QStringLiteral("hardwareErrors"), QJsonArray::fromStringList(errors)},
        };
        if (_globals.json) {
            printJson(result);
            return ExitDone;
        }
        auto unitText = [&](const QString& key) {
            const FieldRecord* field = catalogue.byKey(key);
            return field ? valueText(*field, field->rawIn(_bus->table()), false) : QStringLiteral("-");
        };
        out() << "model: " << result.value(QStringLiteral("model")).toString() << " (model number "
              << result.value(QStringLiteral("modelNumber")).toInt() << ")\n"
              << "firmware: " << result.value(QStringLiteral("firmware")).toInt() << '\n'
              << "id: " << _bus->id() << '\n'
              << "baud rate: " << _bus->baudRate() << '\n'
              << "voltage: " << unitText(QStringLiteral("actualVoltage")) << '\n'
              << "temperature: " << unitText(QStringLiteral("actualTemperature")) << '\n'
              << "hardware error status: "
              << (errors.isEmpty() ? QStringLiteral("none") : errors.join(QStringLiteral(", ")))
              << QStringLiteral(" (0x%1)").arg(bits, 2, 16, QLatin1Char('0')) << '\n';
        return ExitDone;
    }

    void listFields(const FieldCatalogue& catalogue)
    {
        QJsonArray list;
        for (const FieldRecord& field : catalogue.fields()) {
            QJsonObject entry{{QStringLiteral("key"), field.key},
                              {QStringLiteral("caption"), field.caption},
                              {QStringLiteral("group"), groupName(field.group)},
                              {QStringLiteral("writable"), field.writable},
                              {QStringLiteral("address"), field.address},
                              {QStringLiteral("size"), field.size}};
            if (!unitOf(field).isEmpty())
                entry.insert(QStringLiteral("unit"), unitOf(field));
            if (field.hasRange) {
                entry.insert(QStringLiteral("min"), std::min(field.min, field.max));
                entry.insert(QStringLiteral("max"), std::max(field.min, field.max));
            }
            list.append(entry);
        }
        if (_globals.json) {
            printJson(list);
            return;
        }
        for (const QJsonValue& value : list) {
            const QJsonObject field = value.toObject();
            const QString range = field.contains(QStringLiteral("min"))
                                      ? QStringLiteral("%1 to %2 %3")
                                            .arg(field.value(QStringLiteral("min")).toDouble(), 0, 'g', 10)
                                            .arg(field.value(QStringLiteral("max")).toDouble(), 0, 'g', 10)
                                            .arg(field.value(QStringLiteral("unit")).toString())
                                            .trimmed()
                                      : QStringLiteral("-");
            out() << field.value(QStringLiteral("key")).toString() << '\t'
                  << field.value(QStringLiteral("caption")).toString() << '\t'
                  << field.value(QStringLiteral("group")).toString() << '\t' << range << '\t'
                  << (field.value(QStringLiteral("writable")).toBool() ? "writable" : "read-only") << '\n';
        }
    }

    int fields(Arguments& arguments)
    {
        arguments.rest(0, 0, QStringLiteral("fields takes no arguments"));
        if (const int status = connectBus())
            return status;
        listFields(_bus->catalogue());
        return ExitDone;
    }

    int keys(Arguments& arguments)
    {
        const QStringList model = arguments.rest(0, 1, QStringLiteral("keys takes at most a model, v1 or ax12"));
        const QString name = model.value(0, QStringLiteral("v1"));
        std::shared_ptr<IDevice> device;
        if (name == QLatin1String("v1"))
            device = std::make_shared<VelkoraV1>();
        else if (name == QLatin1String("ax12"))
            device = std::make_shared<DynamixelAx12>();
        else
            throw UsageError{QStringLiteral("keys takes v1 or ax12")};
        const FieldCatalogue catalogue(*device);
        for (const FieldRecord& field : catalogue.fields())
            out() << field.key << '\n';
        return ExitDone;
    }

    int get(Arguments& arguments)
    {
        const QStringList keys = arguments.rest(1, -1, QStringLiteral("get wants one or more keys"));
        if (const int status = connectBus())
            return status;
        QJsonObject result;
        QStringList lines;
        for (const QString& key : keys) {
            const FieldRecord& field = fieldOf(_bus->catalogue(), key);
            const int raw = field.rawIn(_bus->table());
            QJsonObject entry{{QStringLiteral("raw"), raw}};
            if (!_globals.raw) {
                entry.insert(QStringLiteral("value"), valueOf(field, raw));
                if (const QString name = nameOf(field, raw); !name.isEmpty())
                    entry.insert(QStringLiteral("name"), name);
                if (!unitOf(field).isEmpty())
                    entry.insert(QStringLiteral("unit"), unitOf(field));
            }
            result.insert(key, entry);
            lines << QStringLiteral("%1 %2").arg(key, valueText(field, raw, _globals.raw));
        }
        if (_globals.json)
            printJson(result);
        else
            out() << lines.join(QLatin1Char('\n')) << '\n';
        return ExitDone;
    }

    // Writes `values` (raw by key) as the window does and says per key what the servo holds then.
    int writeAndReport(const std::map<QString, int>& values, const QList<GroupWrite>& writes)
    {
        QList<WriteOutcome> outcomes;
        const int status = _bus->write(writes, &outcomes);
        bool allHeld = status == ExitDone;
        QJsonObject result;
        for (const auto& [key, raw] : values) {
            const FieldRecord& field = fieldOf(_bus->catalogue(), key);
            QString text;
            if (status != ExitDone) {
                text = QStringLiteral("not verified: %1").arg(_bus->error());
            } else {
                const int held = field.rawIn(_bus->table());
                text = held == raw ? QStringLiteral("written and verified")
                                   : QStringLiteral("differs: the servo holds %1, not %2")
                                         .arg(valueText(field, held, _globals.raw), valueText(field, raw, _globals.raw));
                allHeld = allHeld && held == raw;
            }
            result.insert(key, text);
            if (!_globals.json)
                out() << key << ": " << text << '\n';
        }
        for (const WriteOutcome& outcome : outcomes) {
            if (outcome.answer == WriteOutcome::Answer::Refused)
                err() << "velkora-servo: the servo reported: " << outcome.problem << '\n';
            if (!outcome.readBack)
                allHeld = false;
        }
        if (_globals.json)
            printJson(result);
        if (status != ExitDone)
            return fail(status, _bus->error());
        return allHeld ? ExitDone : ExitDiffers;
    }

    // Non-volatile settings are refused by the servo while its motor runs: nothing is sent then.
    // The keys of `values` the servo takes only while its motor is off, when it is on.
    QStringList motorRefuses(const std::map<QString, int>& values) const
    {
        QStringList nonVolatile;
        if (rawOf(*_bus, QStringLiteral("enableMotor")) == 0)
            return nonVolatile;
        for (const auto& [key, raw] : values)
            if (fieldOf(_bus->catalogue(), key).group == FieldGroup::NonVolatile)
                nonVolatile << key;
        return nonVolatile;
    }

    bool refuseWhileMotorOn(const std::map<QString, int>& values)
    {
        const QStringList nonVolatile = motorRefuses(values);
        if (nonVolatile.isEmpty())
            return false;
        err() << "velkora-servo: nothing written: " << nonVolatile.join(QStringLiteral(", "))
              << (nonVolatile.size() == 1 ? " is a non-volatile setting" : " are non-volatile settings")
              << ", which the servo takes only while its motor is off (set enableMotor=0 first)\n";
        return true;
    }

    int set(Arguments& arguments)
    {
        const QStringList assignments = arguments.rest(1, -1, QStringLiteral("set wants KEY=VALUE, one or more"));
        if (const int status = connectBus())
            return status;
        std::map<QString, int> values;
        for (const QString& assignment : assignments) {
            const int equals = assignment.indexOf(QLatin1Char('='));
            if (equals <= 0)
                throw UsageError{QStringLiteral("set wants KEY=VALUE, not %1").arg(assignment)};
            const FieldRecord& field = fieldOf(_bus->catalogue(), assignment.left(equals));
            if (!field.writable)
                throw UsageError{QStringLiteral("%1 is read-only").arg(field.key)};
            if (values.count(field.key))
                throw UsageError{QStringLiteral("%1 is given twice").arg(field.key)};
            values[field.key] = rawOfText(field, assignment.mid(equals + 1), _globals.raw);
        }
        if (refuseWhileMotorOn(values))
            return ExitDiffers;
        // Only what differs from the servo is written, as the window writes the changed fields.
        std::map<QString, int> changed;
        for (const auto& [key, raw] : values)
            if (fieldOf(_bus->catalogue(), key).rawIn(_bus->table()) != raw)
                changed[key] = raw;
        if (changed.empty()) {
            if (_globals.json)
                printJson(QJsonObject{});
            else
                err() << "velkora-servo: the servo holds these values already; nothing written\n";
            return ExitDone;
        }
        return writeAndReport(changed, groupWrites(_bus->catalogue(), changed));
    }

    int dump(Arguments& arguments)
    {
        arguments.rest(0, 0, QStringLiteral("dump takes no arguments"));
        if (const int status = connectBus())
            return status;
        const QByteArray& table = _bus->table();
        if (_globals.json) {
            QJsonArray bytes;
            for (char byte : table)
                bytes.append(int(uint8_t(byte)));
            printJson(QJsonObject{{QStringLiteral("id"), _bus->id()},
                                  {QStringLiteral("model"), modelName(*_bus)},
                                  {QStringLiteral("length"), table.size()},
                                  {QStringLiteral("hex"), QString::fromLatin1(table.toHex())},
                                  {QStringLiteral("bytes"), bytes}});
            return ExitDone;
        }
        for (int row = 0; row < table.size(); row += 16)
            out() << QStringLiteral("%1: ").arg(row, 4, 16, QLatin1Char('0'))
                  << QString::fromLatin1(table.mid(row, 16).toHex(' ')) << '\n';
        return ExitDone;
    }

    QByteArray configurationJson() const
    {
        ServoConfiguration configuration =
            ServoConfiguration::fromTable(_bus->catalogue(), _bus->table(), _bus->baudRate());
        configuration.savedBy = QStringLiteral("Velkora Servo Manager %1").arg(QStringLiteral(VSM_VERSION));
        configuration.saved = QDateTime::currentDateTimeUtc();
        // In the units the window shows, so both save the same file for the same servo.
        return configuration.toJson(_bus->catalogue(),
                                    UnitsHelper(std::make_shared<PhysicalQuantities>(storedUnits())));
    }

    int save(Arguments& arguments)
    {
        const QString path = arguments.rest(1, 1, QStringLiteral("save wants one file name")).first();
        if (const int status = connectBus())
            return status;
        const QByteArray json = configurationJson();
        // Written beside the target and renamed, so a failed save leaves an older file whole.
        QFile file(path + QStringLiteral(".part"));
        if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.flush()) {
            const QString reason = file.errorString();
            file.remove();
            return fail(ExitUsage, QStringLiteral("cannot write %1: %2").arg(path, reason));
        }
        file.close();
        QFile::remove(path);
        if (!QFile::rename(file.fileName(), path)) {
            file.remove();
            return fail(ExitUsage, QStringLiteral("cannot write %1").arg(path));
        }
        if (_globals.json)
            printJson(QJsonObject{{QStringLiteral("saved"), path}});
        else
            err() << "velkora-servo: saved servo " << _bus->id() << " to " << path << '\n';
        return ExitDone;
    }

    // A configuration file read for `catalogue`; throws for a file that cannot be used.
    static ServoConfiguration readFile(const QString& path, const FieldCatalogue& catalogue, int model, int firmware)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw UsageError{QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
        const auto read =
            ServoConfiguration::fromJson(file.read(1 << 20), QFileInfo(path).fileName(), catalogue, model, firmware);
        if (!read.error.isEmpty())
            throw UsageError{read.error};
        if (!read.warning.isEmpty())
            err() << "velkora-servo: " << read.warning << '\n';
        return read.configuration;
    }

    ServoConfiguration readFileForServo(const QString& path) const
    {
        return readFile(path, _bus->catalogue(), rawOf(*_bus, QStringLiteral("modelNumber")),
                        rawOf(*_bus, QStringLiteral("firmwareVersion")));
    }

    // One file onto several servos at the port's rate, each verified; ids and rates stay.
    int restoreMany(const QString& path, const QList<int>& ids, const QString& only, bool dryRun)
    {
        QFile head(path);
        if (!head.open(QIODevice::ReadOnly))
            throw UsageError{QStringLiteral("cannot read %1: %2").arg(path, head.errorString())};
        const QJsonObject servo =
            QJsonDocument::fromJson(head.read(1 << 20)).object().value(QStringLiteral("servo")).toObject();
        const int model = servo.value(QStringLiteral("modelNumber")).toInt(-1);
        const std::shared_ptr<IDevice> device = DeviceHelper::createDevice(model);
        if (!device)
            throw UsageError{QStringLiteral("%1: not a configuration file of a known servo model").arg(path)};
        const FieldCatalogue catalogue(*device);
        const ServoConfiguration file =
            readFile(path, catalogue, model, servo.value(QStringLiteral("firmware")).toInt(-1));
        QStringList keys;
        for (const QString& key : only.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (!file.values.count(key))
                throw UsageError{QStringLiteral("--only: %1 is not a setting of %2").arg(key, path)};
            if (key == QLatin1String("id") || key == QLatin1String("baudRate"))
                throw UsageError{QStringLiteral("--only: with --ids, ids and baud rates stay as they are")};
            keys << key;
        }

        auto serial = std::make_shared<SerialHelper>();
        serial->setProtocol(_globals.protocol);
        const QString error = serial->openSerialPort(_globals.portName, _globals.baudRate);
        if (!error.isEmpty())
            return fail(ExitPortFailed, portOpenErrorText(_globals.portName, error));
        QList<BusAddress> servos;
        for (int id : ids)
            servos.append({id, _globals.baudRate});
        ConfigurationWriter writer(serial, file, keys);
        QEventLoop loop;
        QString portError;
        QJsonObject results;
        QObject::connect(&writer, &ConfigurationWriter::finished, &loop, &QEventLoop::quit);
        QObject::connect(&writer, &ConfigurationWriter::portFailed, &loop, [&](const QString& why) {
            portError = why;
            loop.quit();
        });
        QObject::connect(&writer, &ConfigurationWriter::servoFinished, [&](const ServoWriteResult& result) {
            QJsonObject changes;
            for (const auto& [key, raw] : result.changes) {
                const FieldRecord& field = fieldOf(catalogue, key);
                changes.insert(key, valueOf(field, raw));
                if (!_globals.json && result.outcome == ServoWriteResult::Outcome::WouldChange)
                    out() << "servo " << result.servo.id << ' ' << key << ": "
                          << valueText(field, result.held.at(key), _globals.raw) << " -> "
                          << valueText(field, raw, _globals.raw) << '\n';
            }
            if (_globals.json)
                results.insert(QString::number(result.servo.id),
                               QJsonObject{{QStringLiteral("result"), result.text()}, {QStringLiteral("changes"), changes}});
            else if (result.outcome != ServoWriteResult::Outcome::WouldChange)
                out() << "servo " << result.servo.id << ": " << result.text() << '\n';
            out().flush();
        });
        writer.start(servos, dryRun);
        if (writer.isRunning())
            loop.exec();
        if (!portError.isEmpty())
            return fail(ExitPortFailed, portOpenErrorText(_globals.portName, portError));
        if (_globals.json)
            printJson(results);
        int differs = 0;
        int silent = 0;
        for (const ServoWriteResult& result : writer.results()) {
            differs += result.outcome == ServoWriteResult::Outcome::Differs ||
                       result.outcome == ServoWriteResult::Outcome::Refused ||
                       result.outcome == ServoWriteResult::Outcome::OtherModel;
            silent += result.outcome == ServoWriteResult::Outcome::NotAnswering;
        }
        if (differs)
            err() << "velkora-servo: " << differs << " of " << ids.size() << " servos did not take the file as asked\n";
        if (silent)
            err() << "velkora-servo: " << silent << " of " << ids.size() << " servos did not answer\n";
        return differs ? ExitDiffers : silent ? ExitNoAnswer : ExitDone;
    }

    int restore(Arguments& arguments)
    {
        const bool dryRun = arguments.flag(QStringLiteral("--dry-run"));
        const bool withAddress = arguments.flag(QStringLiteral("--with-id-baud"));
        const QString only = arguments.value(QStringLiteral("--only"));
        const QString several = arguments.value(QStringLiteral("--ids"));
        const QString path = arguments.rest(1, 1, QStringLiteral("restore wants one file name")).first();
        // An empty list (an unset shell variable, say) must not mean "everything".
        if (!only.isNull() && only.split(QLatin1Char(','), Qt::SkipEmptyParts).isEmpty())
            throw UsageError{QStringLiteral("--only names no setting (--only KEY,KEY...)")};
        if (!several.isNull()) {
            if (withAddress)
                throw UsageError{QStringLiteral("--with-id-baud: with --ids, ids and baud rates stay as they are")};
            return restoreMany(path, idsOf(several), only, dryRun);
        }
        if (const int status = connectBus())
            return status;
        const ServoConfiguration file = readFileForServo(path);
        QStringList keys;
        for (const auto& [key, raw] : file.values)
            keys << key;
        if (!only.isNull()) {
            const QStringList chosen = only.split(QLatin1Char(','), Qt::SkipEmptyParts);
            for (const QString& key : chosen) {
                if (!keys.contains(key))
                    throw UsageError{QStringLiteral("--only: %1 is not a setting of %2").arg(key, path)};
                // Asked for by name, it must not be dropped without a word.
                if (!withAddress && (key == QLatin1String("id") || key == QLatin1String("baudRate")))
                    throw UsageError{QStringLiteral("--only: %1 is written only with --with-id-baud").arg(key)};
            }
            keys = chosen;
        }
        // A servo keeps its place on the bus unless asked otherwise.
        if (!withAddress) {
            keys.removeAll(QStringLiteral("id"));
            keys.removeAll(QStringLiteral("baudRate"));
        }
        std::map<QString, int> changes;
        for (const QString& key : keys) {
            const FieldRecord& field = fieldOf(_bus->catalogue(), key);
            const int held = field.rawIn(_bus->table());
            const int wanted = file.values.at(key);
            if (held == wanted)
                continue;
            changes[key] = wanted;
            if (!_globals.json)
                out() << key << ": " << valueText(field, held, _globals.raw) << " -> "
                      << valueText(field, wanted, _globals.raw) << '\n';
        }
        if (changes.empty()) {
            if (_globals.json)
                printJson(QJsonObject{});
            else
                err() << "velkora-servo: the servo holds the file's settings already; nothing written\n";
            return ExitDone;
        }
        if (dryRun) {
            // Say so now, rather than let the real run be the first to tell.
            if (motorRefuses(changes).size() > 0)
                err() << "velkora-servo: the motor is on, so the servo would refuse "
                      << motorRefuses(changes).join(QStringLiteral(", ")) << " (set enableMotor=0 first)\n";
            if (_globals.json) {
                QJsonObject planned;
                for (const auto& [key, raw] : changes)
                    planned.insert(key, raw);
                printJson(QJsonObject{{QStringLiteral("wouldWrite"), planned}});
            }
            return ExitDone;
        }
        if (refuseWhileMotorOn(changes))
            return ExitDiffers;
        QStringList changedKeys;
        for (const auto& [key, raw] : changes)
            changedKeys << key;
        return writeAndReport(changes, restoreWrites(file, _bus->catalogue(), changedKeys));
    }

    int diff(Arguments& arguments)
    {
        const QStringList files = arguments.rest(1, 2, QStringLiteral("diff wants one file, or two"));
        ServoConfiguration left;
        ServoConfiguration right;
        std::unique_ptr<FieldCatalogue> ownCatalogue;
        const FieldCatalogue* catalogue = nullptr;
        QString leftName;
        if (files.size() == 1) {
            if (const int status = connectBus())
                return status;
            catalogue = &_bus->catalogue();
            left = ServoConfiguration::fromTable(*catalogue, _bus->table(), _bus->baudRate());
            right = readFileForServo(files.first());
            leftName = QStringLiteral("servo");
        } else {
            // Two files: the first says which model both must be of.
            QFile first(files.first());
            if (!first.open(QIODevice::ReadOnly))
                throw UsageError{QStringLiteral("cannot read %1: %2").arg(files.first(), first.errorString())};
            const QJsonObject servo =
                QJsonDocument::fromJson(first.readAll()).object().value(QStringLiteral("servo")).toObject();
            const int model = servo.value(QStringLiteral("modelNumber")).toInt(-1);
            const int firmware = servo.value(QStringLiteral("firmware")).toInt(-1);
            ownCatalogue = std::make_unique<FieldCatalogue>(*DeviceHelper::createDevice(model));
            catalogue = ownCatalogue.get();
            left = readFile(files.first(), *catalogue, model, firmware);
            right = readFile(files.last(), *catalogue, model, firmware);
            leftName = QFileInfo(files.first()).fileName();
        }
        QString rightName = QFileInfo(files.last()).fileName();
        // Two files of one name in different folders are told apart by their paths.
        if (rightName == leftName) {
            leftName = files.first();
            rightName = files.last();
        }
        QJsonObject differing;
        for (const FieldRecord& field : catalogue->fields()) {
            const auto a = left.values.find(field.key);
            const auto b = right.values.find(field.key);
            if (a == left.values.end() || b == right.values.end() || a->second == b->second)
                continue;
            differing.insert(field.key, QJsonObject{{leftName, valueOf(field, a->second)},
                                                    {rightName, valueOf(field, b->second)}});
            if (!_globals.json)
                out() << field.key << ": " << leftName << ' ' << valueText(field, a->second, _globals.raw) << ", "
                      << rightName << ' ' << valueText(field, b->second, _globals.raw) << '\n';
        }
        if (_globals.json)
            printJson(QJsonObject{{QStringLiteral("equal"), differing.isEmpty()},
                                  {QStringLiteral("differing"), differing}});
        else if (differing.isEmpty())
            err() << "velkora-servo: no differences\n";
        return differing.isEmpty() ? ExitDone : ExitDiffers;
    }

    int watch(Arguments& arguments)
    {
        const int interval = arguments.number(QStringLiteral("--interval"), 100, 1, 60000);
        const int count = arguments.number(QStringLiteral("--count"), 0, 0, 1 << 30);
        const QStringList keys = arguments.rest(1, -1, QStringLiteral("watch wants one or more keys"));
        if (const int status = connectBus())
            return status;
        QList<const FieldRecord*> fields;
        for (const QString& key : keys)
            fields << &fieldOf(_bus->catalogue(), key);

        if (::pipe(interruptPipe) == 0) {
            std::signal(SIGINT, onInterrupt);
            std::signal(SIGTERM, onInterrupt);
        }
        QSocketNotifier interrupted(interruptPipe[0], QSocketNotifier::Read);
        bool stop = false;
        QObject::connect(&interrupted, &QSocketNotifier::activated, [&stop] { stop = true; });

        QStringList header{QStringLiteral("time (s)")};
        for (const FieldRecord* field : fields) {
            const QString unit = _globals.raw ? QStringLiteral("raw") : unitOf(*field);
            header << (unit.isEmpty() ? field->key : QStringLiteral("%1 (%2)").arg(field->key, unit));
        }
        std::fputs((header.join(QLatin1Char(',')) + QLatin1Char('\n')).toUtf8().constData(), stdout);
        std::fflush(stdout);
        int rows = 0;
        qint64 startNs = -1;
        const int status = _bus->poll(interval, [&](const QByteArray& table, qint64 arrivalNs) {
            if (stop)
                return false;
            if (startNs < 0)
                startNs = arrivalNs;
            QStringList row{QString::number((arrivalNs - startNs) / 1e9, 'f', 6)};
            for (const FieldRecord* field : fields) {
                const int raw = field->rawIn(table);
                row << (_globals.raw ? QString::number(raw)
                                     : QString::number(valueOf(*field, raw).toDouble(), 'g', 10));
            }
            // A row at a time, so a pipe's reader sees each poll when it happens.
            std::fputs((row.join(QLatin1Char(',')) + QLatin1Char('\n')).toUtf8().constData(), stdout);
            std::fflush(stdout);
            ++rows;
            return count == 0 || rows < count;
        });
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        if (status != ExitDone)
            return fail(status, _bus->error());
        return ExitDone;
    }

    int reboot(Arguments& arguments)
    {
        arguments.rest(0, 0, QStringLiteral("reboot takes no arguments"));
        if (const int status = connectBus())
            return status;
        if (const int status = _bus->maintenance(false))
            return fail(status, _bus->error());
        err() << "velkora-servo: servo " << _bus->id() << " was rebooted\n";
        return ExitDone;
    }

    int reset(Arguments& arguments)
    {
        const bool confirmed = arguments.flag(QStringLiteral("--yes"));
        arguments.rest(0, 0, QStringLiteral("reset takes only --yes"));
        if (!confirmed)
            throw UsageError{QStringLiteral("reset returns every setting of the servo to the factory defaults "
                                            "(its id and baud rate too); give --yes to do it")};
        if (const int status = connectBus())
            return status;
        if (const int status = _bus->maintenance(true))
            return fail(status, _bus->error());
        err() << "velkora-servo: servo " << _bus->id() << " was reset to the factory defaults\n";
        return ExitDone;
    }

    int rateOption(Arguments& arguments, const QString& name, int fallback)
    {
        const QString text = arguments.value(name);
        if (text.isNull())
            return fallback;
        bool ok = false;
        const int rate = text.toInt(&ok);
        if (!ok || !offeredBaudRates().contains(rate))
            throw UsageError{QStringLiteral("%1 wants one of %2").arg(name, ratesText())};
        return rate;
    }

    int number(Arguments& arguments)
    {
        NumberingPlan plan;
        plan.nextId = arguments.number(QStringLiteral("--from"), -1, 0, highestId);
        plan.factoryId = arguments.number(QStringLiteral("--factory-id"), plan.factoryId, 0, highestId);
        plan.factoryRate = rateOption(arguments, QStringLiteral("--factory-rate"), plan.factoryRate);
        plan.newRate = rateOption(arguments, QStringLiteral("--rate"), 0);
        const int count = arguments.number(QStringLiteral("--count"), 0, 0, highestId + 1);
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

        if (_globals.protocol != BusProtocol::Two)
            throw UsageError{QStringLiteral("number works in Protocol 2 only: it finds new servos by a broadcast ping")};
        const auto serial = std::make_shared<SerialHelper>();
        const QString portName = _globals.portName;
        const QString openError = serial->openSerialPort(portName, plan.factoryRate);
        if (!openError.isEmpty())
            return fail(ExitPortFailed,
                        QStringLiteral("cannot open %1: %2").arg(portName, portOpenErrorText(portName, openError)));

        if (::pipe(interruptPipe) == 0) {
            std::signal(SIGINT, onInterrupt);
            std::signal(SIGTERM, onInterrupt);
        }
        QEventLoop loop;
        int status = ExitDone;
        int done = 0;
        bool configurationMissed = false;
        ServoNumbering numbering(serial);
        auto finish = [&](int with) {
            status = with;
            numbering.stop();
            loop.quit();
        };
        QSocketNotifier interrupted(interruptPipe[0], QSocketNotifier::Read);
        QObject::connect(&interrupted, &QSocketNotifier::activated, [&] { finish(status); });
        serial->setPortErrorCallback([&](const QString&) {
            // Not from inside the port's own error report.
            QTimer::singleShot(0, &loop, [&] {
                err() << "velkora-servo: " << portLostText(portName) << '\n';
                finish(ExitPortFailed);
            });
        });
        servosim::ServoSimulator* simulator = LaunchSession::runningSimulator();
        QObject::connect(&numbering, &ServoNumbering::waiting, [&] {
            err() << "velkora-servo: waiting for a new servo at id " << plan.factoryId << ", " << plan.factoryRate
                  << " baud (Ctrl+C ends)\n"
                  << Qt::flush;
            // One new servo at a time, as a user plugs them: never a second beside one still waiting.
            if (simulator && !simulator->servoIds().contains(plan.factoryId) &&
                simulator->plugServo(plan.factoryId, plan.factoryRate))
                err() << "velkora-servo: simulated: a new servo plugged in at id " << plan.factoryId << '\n'
                      << Qt::flush;
        });
        QObject::connect(&numbering, &ServoNumbering::idTaken, [&](int id) {
            err() << "velkora-servo: id " << id << " answers on the bus already; it is left alone\n" << Qt::flush;
        });
        QObject::connect(&numbering, &ServoNumbering::servoReady, [&](int id, int baudRate, const QString&) {
            QString line = QStringLiteral("servo %1 at %2 baud: ready").arg(id).arg(baudRate);
            if (plan.configuration && !numbering.results().isEmpty()) {
                const ServoWriteResult& result = numbering.results().last();
                line += QStringLiteral("; configuration: %1").arg(result.text());
                configurationMissed = configurationMissed ||
                                      (result.outcome != ServoWriteResult::Outcome::Verified &&
                                       result.outcome != ServoWriteResult::Outcome::Unchanged);
            }
            out() << line << '\n' << Qt::flush;
            if (count > 0 && ++done >= count)
                finish(ExitDone);
        });
        QObject::connect(&numbering, &ServoNumbering::failed, [&](const QString& why) {
            err() << "velkora-servo: " << why << '\n';
            finish(ExitDiffers);
        });
        QObject::connect(&numbering, &ServoNumbering::portFailed, [&](const QString& error) {
            err() << "velkora-servo: " << error << '\n';
            finish(ExitPortFailed);
        });
        numbering.start(plan);
        if (numbering.isRunning())
            loop.exec();
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        serial->setPortErrorCallback({});
        if (status == ExitDone && configurationMissed) {
            err() << "velkora-servo: the configuration was not taken as written by every servo\n";
            status = ExitDiffers;
        }
        return status;
    }

    Globals _globals;
    std::unique_ptr<BusClient> _bus;
};

// Takes the options before the command; what is left is the command and its own words.
QStringList readGlobals(const QStringList& arguments, LaunchOptions* launch, Globals* globals)
{
    static const QStringList withValue{QStringLiteral("--port"), QStringLiteral("--baud"), QStringLiteral("--id"),
                                       QStringLiteral("--model"), QStringLiteral("--protocol")};
    static const QStringList switches{QStringLiteral("--simulate"), QStringLiteral("--json"), QStringLiteral("--raw")};
    QStringList launchWords{QStringLiteral("velkora-servo")};
    int i = 0;
    for (; i < arguments.size(); ++i) {
        const QString& word = arguments[i];
        const QString name = word.section(QLatin1Char('='), 0, 0);
        if (word == QLatin1String("--json"))
            globals->json = true;
        else if (word == QLatin1String("--raw"))
            globals->raw = true;
        else if (switches.contains(word))
            launchWords << word;
        else if (withValue.contains(name) && word.contains(QLatin1Char('=')))
            launchWords << word;
        else if (withValue.contains(word)) {
            if (i + 1 >= arguments.size())
                throw UsageError{QStringLiteral("%1 wants a value").arg(word)};
            launchWords << word << arguments[++i];
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
    QStringList rest = arguments.mid(i);
    // --json and --raw are also taken after the command.
    globals->json = rest.removeAll(QStringLiteral("--json")) > 0 || globals->json;
    globals->raw = rest.removeAll(QStringLiteral("--raw")) > 0 || globals->raw;
    return rest;
}

} // namespace

int runCommandLine(const QStringList& arguments)
{
    out().setCodec("UTF-8");
    err().setCodec("UTF-8");
    for (const QString& word : arguments) {
        if (!word.startsWith(QLatin1Char('-')))
            break;
        if (word == QLatin1String("-h") || word == QLatin1String("--help")) {
            out() << usageText;
            return ExitDone;
        }
        if (word == QLatin1String("-v") || word == QLatin1String("--version")) {
            out() << "velkora-servo " << QCoreApplication::applicationVersion() << '\n';
            return ExitDone;
        }
    }
    try {
        LaunchOptions launch;
        Globals globals;
        QStringList rest = readGlobals(arguments, &launch, &globals);
        if (!launch.simulate && launch.listedIds.size() > 1)
            throw UsageError{QStringLiteral("--id takes one servo id here (restore --ids writes to several)")};
        // The window offers 253, but no servo answers to it (it would mimic a packet's header).
        if (!launch.simulate && launch.servoId > highestId)
            throw UsageError{QStringLiteral("--id wants a servo id from 0 to %1").arg(highestId)};
        if (rest.isEmpty())
            throw UsageError{QStringLiteral("a command is wanted (velkora-servo --help lists them)")};
        const QString command = rest.takeFirst();
        // Simulated servos, or the port, rate and id given, else the window's stored choices.
        LaunchSession session(launch);
        QString error;
        if (!session.start(&error)) {
            err() << "velkora-servo: " << error << '\n';
            return ExitPortFailed;
        }
        const Settings port(QStringLiteral("port settings"));
        const Settings window(QStringLiteral("main window settings"));
        globals.portName = port.getValue(QStringLiteral("serialPortName"), QString()).toString();
        if (globals.portName.isEmpty())
            globals.portName = QString::fromLatin1(defaultPort);
        globals.baudRate = port.getValue(QStringLiteral("baudRate"), defaultBaudRate).toInt();
        if (!offeredBaudRates().contains(globals.baudRate))
            globals.baudRate = defaultBaudRate;
        globals.protocol = protocolOfSetting(port.getValue(QStringLiteral("protocol"), QVariant())) == 1
                               ? BusProtocol::One
                               : BusProtocol::Two;
        bool idOk = false;
        globals.id = window.getValue(QStringLiteral("servoId"), defaultId).toInt(&idOk);
        if (!idOk || globals.id < 0 || globals.id > highestId)
            globals.id = defaultId;
        Program program(globals);
        const int status = program.run(command, Arguments(rest));
        out().flush();
        return status;
    } catch (const UsageError& usage) {
        out().flush();
        err() << "velkora-servo: " << usage.message << '\n';
        return ExitUsage;
    }
}
