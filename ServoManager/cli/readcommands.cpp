#include "cli/commands.h"
#include "cli/interruption.h"
#include "cli/output.h"
#include "cli/values.h"

#include "core/model/hardwarestatus.h"
#include "core/model/modelregistry.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace cli {

namespace {

QJsonArray fieldList(const FieldCatalogue& catalogue)
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
    return list;
}

// One field a line: key, caption, group, range, writable; tab-separated for cut and awk.
void printFieldLines(const QJsonArray& list)
{
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

void printInfoLines(const CommandContext& context, const QJsonObject& result, const QStringList& errors,
                    int bits)
{
    const BusClient& bus = context.bus();
    auto unitText = [&](const QString& role) {
        const FieldRecord* field = bus.catalogue().byRole(role);
        return field ? valueText(*field, field->rawIn(bus.table()), false) : QStringLiteral("-");
    };
    out() << "model: " << result.value(QStringLiteral("model")).toString() << " (model number "
          << result.value(QStringLiteral("modelNumber")).toInt() << ")\n"
          << "firmware: " << result.value(QStringLiteral("firmware")).toInt() << '\n'
          << "id: " << bus.id() << '\n'
          << "baud rate: " << bus.baudRate() << '\n'
          << "voltage: " << unitText(QStringLiteral("presentVoltage")) << '\n'
          << "temperature: " << unitText(QStringLiteral("presentTemperature")) << '\n'
          << "hardware error status: "
          << (errors.isEmpty() ? QStringLiteral("none") : errors.join(QStringLiteral(", ")))
          << QStringLiteral(" (0x%1)").arg(bits, 2, 16, QLatin1Char('0')) << '\n';
}

// The CSV header of a watch: the time, then each key with its unit.
QStringList watchHeader(const QList<const FieldRecord*>& fields, bool raw)
{
    QStringList header{QStringLiteral("time (s)")};
    for (const FieldRecord* field : fields) {
        const QString unit = raw ? QStringLiteral("raw") : unitOf(*field);
        header << (unit.isEmpty() ? field->key : QStringLiteral("%1 (%2)").arg(field->key, unit));
    }
    return header;
}

} // namespace

int infoCommand(CommandContext& context, Arguments& arguments)
{
    arguments.rest(0, 0, QStringLiteral("info takes no arguments"));
    if (const int status = context.connectBus())
        return status;
    const BusClient& bus = context.bus();
    int bits = 0;
    const QStringList errors = hardwareErrorsOf(bus.catalogue(), bus.table(), &bits, bus.alarms());
    auto measured = [&](const QString& role) -> QJsonValue {
        const FieldRecord* field = bus.catalogue().byRole(role);
        return field ? valueOf(*field, field->rawIn(bus.table())) : QJsonValue();
    };
    const QJsonObject result{
        {QStringLiteral("port"), bus.portName()},
        {QStringLiteral("id"), bus.id()},
        {QStringLiteral("baudRate"), bus.baudRate()},
        {QStringLiteral("model"), context.modelName()},
        {QStringLiteral("modelNumber"), context.rawOfRole(QStringLiteral("modelNumber"))},
        {QStringLiteral("firmware"), context.rawOfRole(QStringLiteral("firmware"))},
        {QStringLiteral("voltage"), measured(QStringLiteral("presentVoltage"))},
        {QStringLiteral("temperature"), measured(QStringLiteral("presentTemperature"))},
        {QStringLiteral("hardwareErrorStatus"), bits},
        {QStringLiteral("hardwareErrors"), QJsonArray::fromStringList(errors)},
    };
    if (context.globals().json)
        printJson(result);
    else
        printInfoLines(context, result, errors, bits);
    return ExitDone;
}

int fieldsCommand(CommandContext& context, Arguments& arguments)
{
    arguments.rest(0, 0, QStringLiteral("fields takes no arguments"));
    if (const int status = context.connectBus())
        return status;
    const QJsonArray list = fieldList(context.bus().catalogue());
    if (context.globals().json)
        printJson(list);
    else
        printFieldLines(list);
    return ExitDone;
}

int keysCommand(CommandContext&, Arguments& arguments)
{
    const QStringList model = arguments.rest(0, 1, QStringLiteral("keys takes at most a model"));
    QString problem;
    const std::shared_ptr<IDevice> device =
        deviceOf(ModelRegistry::shared().find(model.value(0, QStringLiteral("v1")), &problem));
    if (!device)
        throw UsageError{QStringLiteral("keys: %1").arg(problem)};
    const FieldCatalogue catalogue(*device);
    for (const FieldRecord& field : catalogue.fields())
        out() << field.key << '\n';
    return ExitDone;
}

int getCommand(CommandContext& context, Arguments& arguments)
{
    const QStringList keys = arguments.rest(1, -1, QStringLiteral("get wants one or more keys"));
    if (const int status = context.connectBus())
        return status;
    const bool raw = context.globals().raw;
    QJsonObject result;
    QStringList lines;
    for (const QString& key : keys) {
        const FieldRecord& field = fieldOf(context.bus().catalogue(), key);
        const int held = field.rawIn(context.bus().table());
        QJsonObject entry{{QStringLiteral("raw"), held}};
        if (!raw) {
            entry.insert(QStringLiteral("value"), valueOf(field, held));
            if (const QString name = nameOf(field, held); !name.isEmpty())
                entry.insert(QStringLiteral("name"), name);
            if (!unitOf(field).isEmpty())
                entry.insert(QStringLiteral("unit"), unitOf(field));
        }
        result.insert(key, entry);
        lines << QStringLiteral("%1 %2").arg(key, valueText(field, held, raw));
    }
    if (context.globals().json)
        printJson(result);
    else
        out() << lines.join(QLatin1Char('\n')) << '\n';
    return ExitDone;
}

int dumpCommand(CommandContext& context, Arguments& arguments)
{
    if (const QString ids = arguments.value(QStringLiteral("--ids")); !ids.isNull())
        return dumpGroupCommand(context, arguments, idsOf(ids));
    arguments.rest(0, 0, QStringLiteral("dump takes no arguments"));
    if (const int status = context.connectBus())
        return status;
    const QByteArray& table = context.bus().table();
    if (context.globals().json) {
        QJsonArray bytes;
        for (char byte : table)
            bytes.append(int(uint8_t(byte)));
        printJson(QJsonObject{{QStringLiteral("id"), context.bus().id()},
                              {QStringLiteral("model"), context.modelName()},
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

int watchCommand(CommandContext& context, Arguments& arguments)
{
    if (const QString ids = arguments.value(QStringLiteral("--ids")); !ids.isNull())
        return watchGroupCommand(context, arguments, idsOf(ids));
    const int interval = arguments.number(QStringLiteral("--interval"), 100, 1, 60000);
    const int count = arguments.number(QStringLiteral("--count"), 0, 0, 1 << 30);
    const QStringList keys = arguments.rest(1, -1, QStringLiteral("watch wants one or more keys"));
    if (const int status = context.connectBus())
        return status;
    const bool raw = context.globals().raw;
    QList<const FieldRecord*> fields;
    for (const QString& key : keys)
        fields << &fieldOf(context.bus().catalogue(), key);

    bool stop = false;
    const Interruption interruption([&stop] { stop = true; });
    printRowNow(watchHeader(fields, raw));
    int rows = 0;
    qint64 startNs = -1;
    const int status = context.bus().poll(interval, [&](const QByteArray& table, qint64 arrivalNs) {
        if (stop)
            return false;
        if (startNs < 0)
            startNs = arrivalNs;
        QStringList row{QString::number((arrivalNs - startNs) / 1e9, 'f', 6)};
        for (const FieldRecord* field : fields) {
            const int value = field->rawIn(table);
            row << (raw ? QString::number(value)
                        : QString::number(valueOf(*field, value).toDouble(), 'g', 10));
        }
        printRowNow(row);
        ++rows;
        return count == 0 || rows < count;
    });
    if (status != ExitDone)
        return fail(status, context.bus().error());
    return ExitDone;
}

} // namespace cli
