#include "cli/commands.h"
#include "cli/output.h"

#include "core/jobs/motorsoff.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"

#include <QEventLoop>
#include <QJsonObject>

namespace cli {

// Every motor off, each read back: a servo still on or silent is named, and the exit status says so.
int offCommand(CommandContext& context, Arguments& arguments)
{
    const QString idsText = arguments.value(QStringLiteral("--ids"));
    arguments.rest(0, 0, QStringLiteral("off takes only --ids"));
    const Globals& globals = context.globals();
    const QList<int> ids = idsText.isNull() ? QList<int>{globals.id} : idsOf(idsText);

    auto serial = std::make_shared<SerialHelper>();
    serial->setProtocol(globals.protocol);
    const QString error = serial->openSerialPort(globals.portName, globals.baudRate);
    if (!error.isEmpty())
        return fail(ExitPortFailed, portOpenErrorText(globals.portName, error));
    QList<MotorsOff::Servo> servos;
    for (int id : ids)
        servos.append({id, {}});
    MotorsOff job(serial);
    QEventLoop loop;
    QObject::connect(&job, &MotorsOff::finished, &loop, &QEventLoop::quit);
    job.start(servos);
    if (job.isRunning())
        loop.exec();

    int notOff = 0;
    int silent = 0;
    QJsonObject results;
    for (const MotorOffResult& result : job.results()) {
        silent += result.outcome == MotorOffResult::Outcome::NotAnswering;
        notOff += !result.isOff() && result.outcome != MotorOffResult::Outcome::NotAnswering;
        if (globals.json)
            results.insert(QString::number(result.id), result.text());
        else
            out() << "servo " << result.id << ": " << result.text() << '\n';
    }
    if (globals.json)
        printJson(results);
    if (notOff)
        err() << "velkora-servo: " << notOff << " of " << ids.size() << " motors may still be on\n";
    if (silent)
        err() << "velkora-servo: " << silent << " of " << ids.size() << " servos did not answer\n";
    return notOff ? ExitDiffers : silent ? ExitNoAnswer : ExitDone;
}

} // namespace cli
