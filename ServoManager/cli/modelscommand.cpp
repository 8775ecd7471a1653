#include "cli/commands.h"
#include "cli/output.h"

#include "core/model/modelregistry.h"

#include <QJsonArray>
#include <QJsonObject>

namespace cli {

namespace {

QString numbersText(const QList<int>& numbers)
{
    QStringList texts;
    for (int number : numbers)
        texts << QString::number(number);
    return texts.join(QLatin1Char(','));
}

} // namespace

// Every model known, one a line (name, caption, model numbers, file), and the files refused with
// why on standard error: a faulty file is worth a word, not a failed listing.
int modelsCommand(CommandContext& context, Arguments& arguments)
{
    arguments.rest(0, 0, QStringLiteral("models takes no arguments"));
    const ModelRegistry& registry = ModelRegistry::shared();
    QJsonArray list;
    for (const ModelRegistry::Model& model : registry.models()) {
        const ModelDescription& description = *model.description;
        QString file = model.file;
        if (!model.overrides.isEmpty())
            file += QStringLiteral(" (overrides the built-in %1)").arg(model.overrides);
        if (!context.globals().json) {
            out() << description.name << '\t' << description.caption << '\t'
                  << numbersText(description.modelNumbers) << '\t' << file << '\n';
            continue;
        }
        QJsonArray numbers;
        for (int number : description.modelNumbers)
            numbers.append(number);
        QJsonObject entry{{QStringLiteral("name"), description.name},
                          {QStringLiteral("caption"), description.caption},
                          {QStringLiteral("modelNumbers"), numbers},
                          {QStringLiteral("file"), model.file}};
        if (!model.overrides.isEmpty())
            entry.insert(QStringLiteral("overrides"), model.overrides);
        list.append(entry);
    }
    if (context.globals().json)
        printJson(list);
    for (const ModelRegistry::Refused& refused : registry.refused())
        err() << "velkora-servo: " << refused.problem << '\n';
    return ExitDone;
}

} // namespace cli
