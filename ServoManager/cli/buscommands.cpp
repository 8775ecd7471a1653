#include "cli/commands.h"
#include "cli/output.h"

#include "core/jobs/servosearch.h"
#include "core/settings/settingshelper.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/portlatency.h"
#include "core/transport/serialhelper.h"

#include <serialportitem.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

#include <cmath>
#include <map>
#include <unistd.h>

namespace cli {

namespace {

// Every serial port with its by-id names and, for a USB adapter with one, its latency timer.
QJsonArray portList()
{
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
            entry.insert(QStringLiteral("usb"),
                         QStringLiteral("%1:%2")
                             .arg(port->getVendorIdentifier(), 4, 16, QLatin1Char('0'))
                             .arg(port->getProductIdentifier(), 4, 16, QLatin1Char('0')));
        if (latency.kind == PortLatency::Kind::UsbWithTimer)
            entry.insert(QStringLiteral("latencyTimerMs"), latency.latencyTimerMs);
        list.append(entry);
    }
    return list;
}

// The search the options ask for, at the chosen port, rate and protocol unless they say otherwise.
SearchPlan searchPlanOf(const Globals& globals, Arguments& arguments)
{
    SearchPlan plan;
    plan.portName = globals.portName;
    plan.quick = arguments.flag(QStringLiteral("--quick"));
    plan.protocols = protocolsOf(
        arguments.value(QStringLiteral("--protocols"), QString::number(static_cast<int>(globals.protocol))));
    std::tie(plan.lower, plan.upper) =
        idRangeOf(arguments.value(QStringLiteral("--ids"), QStringLiteral("1-10")));
    plan.rates = baudRatesOf(arguments.value(QStringLiteral("--bauds"), QString::number(globals.baudRate)));
    arguments.rest(0, 0, QStringLiteral("scan takes only options"));
    return plan;
}

QJsonObject foundServoJson(const FoundServo& servo)
{
    return QJsonObject{{QStringLiteral("id"), servo.id},
                       {QStringLiteral("baudRate"), servo.baudRate},
                       {QStringLiteral("modelNumber"), servo.modelNumber},
                       {QStringLiteral("model"), ServoSearch::modelText(servo.modelNumber)},
                       {QStringLiteral("protocol"), static_cast<int>(servo.protocol)}};
}

} // namespace

int portsCommand(CommandContext& context, Arguments& arguments)
{
    arguments.rest(0, 0, QStringLiteral("ports takes no arguments"));
    const QJsonArray list = portList();
    if (context.globals().json) {
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
            parts << QStringLiteral("latency timer %1 ms")
                         .arg(port.value(QStringLiteral("latencyTimerMs")).toInt());
        out() << parts.join(QStringLiteral("  ")) << '\n';
    }
    return ExitDone;
}

int scanCommand(CommandContext& context, Arguments& arguments)
{
    const bool json = context.globals().json;
    const SearchPlan plan = searchPlanOf(context.globals(), arguments);
    ServoSearch search(plan);
    // Progress only where a person watches: a log keeps no carriage returns.
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
        found.append(foundServoJson(servo));
        if (json)
            return;
        if (terminal)
            err() << "\r\033[K" << Qt::flush;
        out() << QStringLiteral("servo %1 at %2 baud: %3, Protocol %4")
                     .arg(servo.id)
                     .arg(servo.baudRate)
                     .arg(ServoSearch::modelText(servo.modelNumber), protocolText(servo.protocol))
              << '\n'
              << Qt::flush;
    };
    search.run();
    if (terminal)
        err() << "\r\033[K" << Qt::flush;
    if (!search.portError().isEmpty())
        return fail(ExitPortFailed,
                    QStringLiteral("cannot search %1: %2")
                        .arg(plan.portName, portOpenErrorText(plan.portName, search.portError())));
    if (json)
        printJson(found);
    if (found.isEmpty())
        return fail(ExitNoAnswer, QStringLiteral("no servo answered on %1 (%2 probes)")
                                      .arg(plan.portName)
                                      .arg(search.probesMade()));
    return ExitDone;
}

} // namespace cli
