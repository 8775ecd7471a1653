#include "cli/commands.h"
#include "cli/output.h"
#include "cli/values.h"

#include "core/jobs/configurationwriter.h"
#include "core/session/devicehelper.h"
#include "core/transport/portdiagnostics.h"
#include "core/transport/serialhelper.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

namespace cli {

namespace {

// What restore was asked for.
struct RestoreRequest
{
    QString path;
    QString only; // null: every setting of the file
    bool withAddress = false;
    bool dryRun = false;
};

// A configuration file read for the model it names, without a servo to ask.
struct ModelFile
{
    std::unique_ptr<FieldCatalogue> catalogue;
    ServoConfiguration configuration;
};

ModelFile readFileOfItsModel(const QString& path)
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
    ModelFile file;
    file.catalogue = std::make_unique<FieldCatalogue>(*device);
    file.configuration = readConfigurationFile(path, *file.catalogue, model,
                                               servo.value(QStringLiteral("firmware")).toInt(-1));
    return file;
}

// --only's keys for several servos: settings of the file, never the id or rate.
QStringList keysForSeveral(const RestoreRequest& request, const ServoConfiguration& file)
{
    QStringList keys;
    for (const QString& key : request.only.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (!file.values.count(key))
            throw UsageError{QStringLiteral("--only: %1 is not a setting of %2").arg(key, request.path)};
        if (key == QLatin1String("id") || key == QLatin1String("baudRate"))
            throw UsageError{QStringLiteral("--only: with --ids, ids and baud rates stay as they are")};
        keys << key;
    }
    return keys;
}

// Each servo's result as it comes: a line, or its part of the JSON document.
void reportServo(const ServoWriteResult& result, const FieldCatalogue& catalogue, const Globals& globals,
                 QJsonObject* results)
{
    QJsonObject changes;
    for (const auto& [key, raw] : result.changes) {
        const FieldRecord& field = fieldOf(catalogue, key);
        changes.insert(key, valueOf(field, raw));
        if (!globals.json && result.outcome == ServoWriteResult::Outcome::WouldChange)
            out() << "servo " << result.servo.id << ' ' << key << ": "
                  << valueText(field, result.held.at(key), globals.raw) << " -> "
                  << valueText(field, raw, globals.raw) << '\n';
    }
    if (globals.json)
        results->insert(
            QString::number(result.servo.id),
            QJsonObject{{QStringLiteral("result"), result.text()}, {QStringLiteral("changes"), changes}});
    else if (result.outcome != ServoWriteResult::Outcome::WouldChange)
        out() << "servo " << result.servo.id << ": " << result.text() << '\n';
    out().flush();
}

int summaryOfSeveral(const QList<ServoWriteResult>& results, int servos)
{
    int differs = 0;
    int silent = 0;
    for (const ServoWriteResult& result : results) {
        differs += result.outcome == ServoWriteResult::Outcome::Differs ||
                   result.outcome == ServoWriteResult::Outcome::Refused ||
                   result.outcome == ServoWriteResult::Outcome::OtherModel;
        silent += result.outcome == ServoWriteResult::Outcome::NotAnswering;
    }
    if (differs)
        err() << "velkora-servo: " << differs << " of " << servos
              << " servos did not take the file as asked\n";
    if (silent)
        err() << "velkora-servo: " << silent << " of " << servos << " servos did not answer\n";
    return differs ? ExitDiffers : silent ? ExitNoAnswer : ExitDone;
}

// One file onto several servos at the port's rate, each verified; ids and rates stay.
int restoreMany(const Globals& globals, const RestoreRequest& request, const QList<int>& ids)
{
    const ModelFile file = readFileOfItsModel(request.path);
    const QStringList keys = keysForSeveral(request, file.configuration);

    auto serial = std::make_shared<SerialHelper>();
    serial->setProtocol(globals.protocol);
    const QString error = serial->openSerialPort(globals.portName, globals.baudRate);
    if (!error.isEmpty())
        return fail(ExitPortFailed, portOpenErrorText(globals.portName, error));
    QList<BusAddress> servos;
    for (int id : ids)
        servos.append({id, globals.baudRate});
    ConfigurationWriter writer(serial, file.configuration, keys);
    QEventLoop loop;
    QString portError;
    QJsonObject results;
    QObject::connect(&writer, &ConfigurationWriter::finished, &loop, &QEventLoop::quit);
    QObject::connect(&writer, &ConfigurationWriter::portFailed, &loop, [&](const QString& why) {
        portError = why;
        loop.quit();
    });
    QObject::connect(&writer, &ConfigurationWriter::servoFinished, [&](const ServoWriteResult& result) {
        reportServo(result, *file.catalogue, globals, &results);
    });
    writer.start(servos, request.dryRun);
    if (writer.isRunning())
        loop.exec();
    if (!portError.isEmpty())
        return fail(ExitPortFailed, portOpenErrorText(globals.portName, portError));
    if (globals.json)
        printJson(results);
    return summaryOfSeveral(writer.results(), ids.size());
}

// The file's keys restore writes: --only's choice, and the id and rate only when asked for.
QStringList keysForOne(const RestoreRequest& request, const ServoConfiguration& file)
{
    QStringList keys;
    for (const auto& [key, raw] : file.values)
        keys << key;
    if (!request.only.isNull()) {
        const QStringList chosen = request.only.split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString& key : chosen) {
            if (!keys.contains(key))
                throw UsageError{QStringLiteral("--only: %1 is not a setting of %2").arg(key, request.path)};
            // Asked for by name, it must not be dropped without a word.
            if (!request.withAddress && (key == QLatin1String("id") || key == QLatin1String("baudRate")))
                throw UsageError{QStringLiteral("--only: %1 is written only with --with-id-baud").arg(key)};
        }
        keys = chosen;
    }
    // A servo keeps its place on the bus unless asked otherwise.
    if (!request.withAddress) {
        keys.removeAll(QStringLiteral("id"));
        keys.removeAll(QStringLiteral("baudRate"));
    }
    return keys;
}

// The keys whose value the servo holds differently from the file, each said as "held -> wanted".
std::map<QString, int> changesFor(const CommandContext& context, const ServoConfiguration& file,
                                  const QStringList& keys)
{
    const Globals& globals = context.globals();
    std::map<QString, int> changes;
    for (const QString& key : keys) {
        const FieldRecord& field = fieldOf(context.bus().catalogue(), key);
        const int held = field.rawIn(context.bus().table());
        const int wanted = file.values.at(key);
        if (held == wanted)
            continue;
        changes[key] = wanted;
        if (!globals.json)
            out() << key << ": " << valueText(field, held, globals.raw) << " -> "
                  << valueText(field, wanted, globals.raw) << '\n';
    }
    return changes;
}

int dryRun(const CommandContext& context, const std::map<QString, int>& changes)
{
    // Say so now, rather than let the real run be the first to tell.
    if (motorRefuses(context, changes).size() > 0)
        err() << "velkora-servo: the motor is on, so the servo would refuse "
              << motorRefuses(context, changes).join(QStringLiteral(", ")) << " (set enableMotor=0 first)\n";
    if (context.globals().json) {
        QJsonObject planned;
        for (const auto& [key, raw] : changes)
            planned.insert(key, raw);
        printJson(QJsonObject{{QStringLiteral("wouldWrite"), planned}});
    }
    return ExitDone;
}

int restoreOne(CommandContext& context, const RestoreRequest& request)
{
    if (const int status = context.connectBus())
        return status;
    const ServoConfiguration file = readConfigurationFileForServo(context, request.path);
    const std::map<QString, int> changes = changesFor(context, file, keysForOne(request, file));
    if (changes.empty()) {
        if (context.globals().json)
            printJson(QJsonObject{});
        else
            err() << "velkora-servo: the servo holds the file's settings already; nothing written\n";
        return ExitDone;
    }
    if (request.dryRun)
        return dryRun(context, changes);
    if (refuseWhileMotorOn(context, changes))
        return ExitDiffers;
    QStringList changedKeys;
    for (const auto& [key, raw] : changes)
        changedKeys << key;
    return writeAndReport(context, changes, restoreWrites(file, context.bus().catalogue(), changedKeys));
}

} // namespace

int restoreCommand(CommandContext& context, Arguments& arguments)
{
    RestoreRequest request;
    request.dryRun = arguments.flag(QStringLiteral("--dry-run"));
    request.withAddress = arguments.flag(QStringLiteral("--with-id-baud"));
    request.only = arguments.value(QStringLiteral("--only"));
    const QString several = arguments.value(QStringLiteral("--ids"));
    request.path = arguments.rest(1, 1, QStringLiteral("restore wants one file name")).first();
    // An empty list (an unset shell variable, say) must not mean "everything".
    if (!request.only.isNull() && request.only.split(QLatin1Char(','), Qt::SkipEmptyParts).isEmpty())
        throw UsageError{QStringLiteral("--only names no setting (--only KEY,KEY...)")};
    if (several.isNull())
        return restoreOne(context, request);
    if (request.withAddress)
        throw UsageError{QStringLiteral("--with-id-baud: with --ids, ids and baud rates stay as they are")};
    return restoreMany(context.globals(), request, idsOf(several));
}

} // namespace cli
