#include "cli/commands.h"
#include "cli/interruption.h"
#include "cli/output.h"

#include "core/jobs/busdoctor.h"
#include "core/settings/settingshelper.h"

#include <QEventLoop>

#include <unistd.h>

namespace cli {

namespace {

// What the doctor looks at: the port, and the settings it compares what answers with.
DoctorPlan doctorPlanOf(const Globals& globals, Arguments& arguments)
{
    DoctorPlan plan;
    const QString port = arguments.value(QStringLiteral("--port"), globals.portName).trimmed();
    if (port.isEmpty())
        throw UsageError{QStringLiteral("--port wants a port name")};
    plan.portName = portSystemLocation(port);
    plan.baudRate = globals.baudRate;
    plan.protocol = globals.protocol;
    plan.servoId = globals.id;
    const QString ids = arguments.value(QStringLiteral("--ids"));
    if (!ids.isNull())
        std::tie(plan.lower, plan.upper) = idRangeOf(ids);
    // "all", like no --bauds, leaves the rates to the doctor: every rate a described model takes.
    const QString bauds = arguments.value(QStringLiteral("--bauds"));
    if (!bauds.isNull() && bauds != QLatin1String("all"))
        plan.rates = baudRatesOf(bauds);
    arguments.rest(0, 0, QStringLiteral("doctor takes only options"));
    return plan;
}

// Wires the doctor's announcements to the terminal: verdicts to standard output as they are
// reached (as the report's text has them), progress on standard error where a person watches it.
void showProgress(BusDoctor& doctor, bool json)
{
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    if (terminal)
        QObject::connect(&doctor, &BusDoctor::progress, [](int done, int total, const QString& step) {
            err() << QStringLiteral("\r\033[K%1 of %2: %3").arg(done).arg(total).arg(step) << Qt::flush;
        });
    if (json)
        return;
    out() << QStringLiteral("Bus doctor on %1\n").arg(doctor.plan().portName) << Qt::flush;
    QObject::connect(&doctor, &BusDoctor::findingAdded, [terminal](const DoctorFinding& finding) {
        if (terminal)
            err() << "\r\033[K" << Qt::flush;
        out() << DoctorReport::findingText(finding) << Qt::flush;
    });
}

} // namespace

int doctorCommand(CommandContext& context, Arguments& arguments)
{
    const bool json = context.globals().json;
    BusDoctor doctor(doctorPlanOf(context.globals(), arguments));
    showProgress(doctor, json);
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&doctor, &BusDoctor::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    // The first Ctrl+C stops the doctor at its next step; a second one does not wait for that.
    bool interrupted = false;
    const Interruption interruption([&] {
        if (interrupted)
            loop.quit();
        interrupted = true;
        doctor.stop();
    });
    doctor.start();
    if (!finished)
        loop.exec();
    if (::isatty(STDERR_FILENO) == 1)
        err() << "\r\033[K" << Qt::flush;

    const DoctorReport& report = doctor.report();
    if (json)
        out() << QString::fromUtf8(report.json()).trimmed() << '\n';
    else
        out() << report.summary() << '\n';
    out().flush();
    const int status = report.status();
    if (status == DoctorReport::PortFailed)
        return fail(status, QStringLiteral("%1 cannot be opened").arg(report.portName));
    if (status == DoctorReport::NoServo)
        return fail(status, QStringLiteral("no servo answered on %1").arg(report.portName));
    return status;
}

} // namespace cli
