#include "cli/commands.h"
#include "cli/output.h"

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

int resetCommand(CommandContext& context, Arguments& arguments)
{
    const bool confirmed = arguments.flag(QStringLiteral("--yes"));
    arguments.rest(0, 0, QStringLiteral("reset takes only --yes"));
    if (!confirmed)
        throw UsageError{QStringLiteral("reset returns every setting of the servo to the factory defaults "
                                        "(its id and baud rate too); give --yes to do it")};
    if (const int status = context.connectBus())
        return status;
    if (const int status = context.bus().maintenance(true))
        return fail(status, context.bus().error());
    err() << "velkora-servo: servo " << context.bus().id() << " was reset to the factory defaults\n";
    return ExitDone;
}

} // namespace cli
