#include "cli/commands.h"
#include "cli/output.h"
#include "cli/values.h"

#include "core/session/devicehelper.h"
#include "core/settings/settingshelper.h"
#include "core/units/unitshelper.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

namespace cli {

ServoConfiguration readConfigurationFile(const QString& path, const FieldCatalogue& catalogue, int model,
                                         int firmware)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw UsageError{QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
    const auto read = ServoConfiguration::fromJson(file.read(1 << 20), QFileInfo(path).fileName(), catalogue,
                                                   model, firmware);
    if (!read.error.isEmpty())
        throw UsageError{read.error};
    if (!read.warning.isEmpty())
        err() << "velkora-servo: " << read.warning << '\n';
    return read.configuration;
}

ServoConfiguration readConfigurationFileForServo(const CommandContext& context, const QString& path)
{
    return readConfigurationFile(path, context.bus().catalogue(),
                                 context.rawOfRole(QStringLiteral("modelNumber")),
                                 context.rawOfRole(QStringLiteral("firmware")));
}

namespace {

QByteArray configurationJson(const BusClient& bus)
{
    ServoConfiguration configuration =
        ServoConfiguration::fromTable(bus.catalogue(), bus.table(), bus.baudRate());
    configuration.savedBy = QStringLiteral("Velkora Servo Manager %1").arg(QStringLiteral(VSM_VERSION));
    configuration.saved = QDateTime::currentDateTimeUtc();
    // In the units the window shows, so both save the same file for the same servo.
    return configuration.toJson(bus.catalogue(),
                                UnitsHelper(std::make_shared<PhysicalQuantities>(storedUnits())));
}

// Two sides of a diff over one model's fields.
struct Sides
{
    ServoConfiguration left;
    ServoConfiguration right;
    QString leftName;
    std::unique_ptr<FieldCatalogue> ownCatalogue; // for two files: no servo gives one
};

// Two files: the first says which model both must be of.
Sides twoFiles(const QString& first, const QString& second)
{
    QFile file(first);
    if (!file.open(QIODevice::ReadOnly))
        throw UsageError{QStringLiteral("cannot read %1: %2").arg(first, file.errorString())};
    const QJsonObject servo =
        QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("servo")).toObject();
    const int model = servo.value(QStringLiteral("modelNumber")).toInt(-1);
    const int firmware = servo.value(QStringLiteral("firmware")).toInt(-1);
    const std::shared_ptr<IDevice> device = DeviceHelper::createDevice(model);
    if (!device)
        throw UsageError{QStringLiteral("%1: not a configuration file of a known servo model").arg(first)};
    Sides sides;
    sides.ownCatalogue = std::make_unique<FieldCatalogue>(*device);
    sides.left = readConfigurationFile(first, *sides.ownCatalogue, model, firmware);
    sides.right = readConfigurationFile(second, *sides.ownCatalogue, model, firmware);
    sides.leftName = QFileInfo(first).fileName();
    return sides;
}

} // namespace

int saveCommand(CommandContext& context, Arguments& arguments)
{
    const QString path = arguments.rest(1, 1, QStringLiteral("save wants one file name")).first();
    if (const int status = context.connectBus())
        return status;
    const QByteArray json = configurationJson(context.bus());
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
    if (context.globals().json)
        printJson(QJsonObject{{QStringLiteral("saved"), path}});
    else
        err() << "velkora-servo: saved servo " << context.bus().id() << " to " << path << '\n';
    return ExitDone;
}

int diffCommand(CommandContext& context, Arguments& arguments)
{
    const QStringList files = arguments.rest(1, 2, QStringLiteral("diff wants one file, or two"));
    Sides sides;
    const FieldCatalogue* catalogue = nullptr;
    if (files.size() == 1) {
        if (const int status = context.connectBus())
            return status;
        catalogue = &context.bus().catalogue();
        sides.left =
            ServoConfiguration::fromTable(*catalogue, context.bus().table(), context.bus().baudRate());
        sides.right = readConfigurationFileForServo(context, files.first());
        sides.leftName = QStringLiteral("servo");
    } else {
        sides = twoFiles(files.first(), files.last());
        catalogue = sides.ownCatalogue.get();
    }
    QString leftName = sides.leftName;
    QString rightName = QFileInfo(files.last()).fileName();
    // Two files of one name in different folders are told apart by their paths.
    if (rightName == leftName) {
        leftName = files.first();
        rightName = files.last();
    }
    const bool raw = context.globals().raw;
    QJsonObject differing;
    for (const FieldRecord& field : catalogue->fields()) {
        const auto a = sides.left.values.find(field.key);
        const auto b = sides.right.values.find(field.key);
        if (a == sides.left.values.end() || b == sides.right.values.end() || a->second == b->second)
            continue;
        differing.insert(field.key, QJsonObject{{leftName, valueOf(field, a->second)},
                                                {rightName, valueOf(field, b->second)}});
        if (!context.globals().json)
            out() << field.key << ": " << leftName << ' ' << valueText(field, a->second, raw) << ", "
                  << rightName << ' ' << valueText(field, b->second, raw) << '\n';
    }
    if (context.globals().json)
        printJson(QJsonObject{{QStringLiteral("equal"), differing.isEmpty()},
                              {QStringLiteral("differing"), differing}});
    else if (differing.isEmpty())
        err() << "velkora-servo: no differences\n";
    return differing.isEmpty() ? ExitDone : ExitDiffers;
}

} // namespace cli
