#include "cli/commands.h"
#include "cli/output.h"

#include "core/model/idevice.h"
#include "core/model/modeldescription.h"
#include "core/session/factoryreset.h"

namespace cli {

int rebootCommand(CommandContext& context, Arguments& arguments)
{
    arguments.rest(0, 0, QStringLiteral("reboot takes no arguments"));
    if (const int status = context.connectBus())
        return status;
    if (const int status = context.bus().maintenance(false))
        return fail(status, context.bus().error());
    err() << "velkora-servo: servo " << context.bus().id() << " was rebooted\n";
    return ExitDone;
}

namespace {
using factoryreset::Keeps;

QString keptText(Keeps keeps)
{
    switch (keeps) {
    case Keeps::Nothing:
        return QStringLiteral("nothing");
    case Keeps::Id:
        return QStringLiteral("id");
    case Keeps::IdAndRate:
        return QStringLiteral("id,rate");
    }
    return {};
}

// What --keep names, among what the servo's model offers. Without --keep the servo keeps its id
// where its reset can: a script's next command still finds it.
Keeps keepsOf(const QString& keep, const QList<Keeps>& offered)
{
    if (keep.isNull())
        return offered.contains(Keeps::Id) ? Keeps::Id : offered.first();
    QStringList names;
    for (Keeps keeps : offered) {
        names.append(keptText(keeps));
        if (names.last() == keep)
            return keeps;
    }
    throw UsageError{QStringLiteral("--keep %1: this servo's reset keeps %2")
                         .arg(keep, names.join(QStringLiteral(" or ")))};
}
} // namespace

int resetCommand(CommandContext& context, Arguments& arguments)
{
    const bool confirmed = arguments.flag(QStringLiteral("--yes"));
    const QString keep = arguments.value(QStringLiteral("--keep"));
    arguments.rest(0, 0, QStringLiteral("reset takes only --yes and --keep"));
    if (!confirmed)
        throw UsageError{
            QStringLiteral("reset returns the settings of the servo to the factory defaults "
                           "(its id and baud rate too, unless --keep names them); give --yes to do it")};
    if (const int status = context.connectBus())
        return status;
    const auto device = context.bus().device();
    const ModelDescription* model = device ? &device->description() : nullptr;
    const int protocol = int(context.globals().protocol);
    const QList<Keeps> offered = factoryreset::choices(model, protocol);
    if (offered.isEmpty())
        return fail(ExitUsage, QStringLiteral("no factory reset is sent to servos of this protocol; set the "
                                              "settings with set or restore instead"));
    const Keeps keeps = keepsOf(keep, offered);
    if (const int status = context.bus().maintenance(true, factoryreset::optionByte(keeps)))
        return fail(status, context.bus().error());
    const factoryreset::Address after =
        factoryreset::after(keeps, model, {context.bus().id(), context.globals().baudRate});
    err() << "velkora-servo: servo " << context.bus().id()
          << " was reset to the factory defaults; it answers at id " << after.id << ", " << after.baudRate
          << " baud\n";
    return ExitDone;
}

} // namespace cli
