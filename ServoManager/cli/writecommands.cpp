#include "cli/commands.h"
#include "cli/output.h"
#include "cli/values.h"

#include <QJsonObject>

namespace cli {

int writeAndReport(CommandContext& context, const std::map<QString, int>& values,
                   const QList<GroupWrite>& writes)
{
    BusClient& bus = context.bus();
    const bool raw = context.globals().raw;
    QList<WriteOutcome> outcomes;
    const int status = bus.write(writes, &outcomes);
    bool allHeld = status == ExitDone;
    QJsonObject result;
    for (const auto& [key, wanted] : values) {
        const FieldRecord& field = fieldOf(bus.catalogue(), key);
        QString text;
        if (status != ExitDone) {
            text = QStringLiteral("not verified: %1").arg(bus.error());
        } else {
            const int held = field.rawIn(bus.table());
            text = held == wanted ? QStringLiteral("written and verified")
                                  : QStringLiteral("differs: the servo holds %1, not %2")
                                        .arg(valueText(field, held, raw), valueText(field, wanted, raw));
            allHeld = allHeld && held == wanted;
        }
        result.insert(key, text);
        if (!context.globals().json)
            out() << key << ": " << text << '\n';
    }
    for (const WriteOutcome& outcome : outcomes) {
        if (outcome.answer == WriteOutcome::Answer::Refused)
            err() << "velkora-servo: the servo reported: " << outcome.problem << '\n';
        // Values held behind a lock left open are not kept as asked: the servo takes whatever
        // comes next for good.
        if (!outcome.lockProblem.isEmpty())
            err() << "velkora-servo: " << outcome.lockProblem << '\n';
        if (!outcome.readBack || !outcome.lockProblem.isEmpty())
            allHeld = false;
    }
    if (context.globals().json)
        printJson(result);
    if (status != ExitDone)
        return fail(status, bus.error());
    return allHeld ? ExitDone : ExitDiffers;
}

// Non-volatile settings are refused by the servo while its motor runs: nothing is sent then.
QStringList motorRefuses(const CommandContext& context, const std::map<QString, int>& values)
{
    QStringList nonVolatile;
    if (!context.bus().catalogue().motorBlocksNonVolatile(context.bus().table()))
        return nonVolatile;
    for (const auto& [key, raw] : values)
        if (fieldOf(context.bus().catalogue(), key).group == FieldGroup::NonVolatile)
            nonVolatile << key;
    return nonVolatile;
}

bool refuseWhileMotorOn(const CommandContext& context, const std::map<QString, int>& values)
{
    const QStringList nonVolatile = motorRefuses(context, values);
    if (nonVolatile.isEmpty())
        return false;
    err() << "velkora-servo: nothing written: " << nonVolatile.join(QStringLiteral(", "))
          << (nonVolatile.size() == 1 ? " is a non-volatile setting" : " are non-volatile settings")
          << ", which the servo takes only while its motor is off (set enableMotor=0 first)\n";
    return true;
}

namespace {

// KEY=VALUE words as raw values by key, each checked against what its field can hold.
std::map<QString, int> assignedValues(const FieldCatalogue& catalogue, const QStringList& assignments,
                                      bool raw)
{
    std::map<QString, int> values;
    for (const QString& assignment : assignments) {
        const int equals = assignment.indexOf(QLatin1Char('='));
        if (equals <= 0)
            throw UsageError{QStringLiteral("set wants KEY=VALUE, not %1").arg(assignment)};
        const FieldRecord& field = fieldOf(catalogue, assignment.left(equals));
        if (!field.writable)
            throw UsageError{QStringLiteral("%1 is read-only").arg(field.key)};
        if (values.count(field.key))
            throw UsageError{QStringLiteral("%1 is given twice").arg(field.key)};
        values[field.key] = rawOfText(field, assignment.mid(equals + 1), raw);
    }
    return values;
}

} // namespace

int setCommand(CommandContext& context, Arguments& arguments)
{
    const QStringList assignments = arguments.rest(1, -1, QStringLiteral("set wants KEY=VALUE, one or more"));
    if (const int status = context.connectBus())
        return status;
    const FieldCatalogue& catalogue = context.bus().catalogue();
    const std::map<QString, int> values = assignedValues(catalogue, assignments, context.globals().raw);
    if (refuseWhileMotorOn(context, values))
        return ExitDiffers;
    // Only what differs from the servo is written, as the window writes the changed fields.
    std::map<QString, int> changed;
    for (const auto& [key, raw] : values)
        if (fieldOf(catalogue, key).rawIn(context.bus().table()) != raw)
            changed[key] = raw;
    if (changed.empty()) {
        if (context.globals().json)
            printJson(QJsonObject{});
        else
            err() << "velkora-servo: the servo holds these values already; nothing written\n";
        return ExitDone;
    }
    return writeAndReport(context, changed, groupWrites(catalogue, changed));
}

} // namespace cli
