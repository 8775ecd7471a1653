#include "cli/commands.h"
#include "cli/interruption.h"
#include "cli/output.h"
#include "cli/servogroup.h"
#include "cli/values.h"

#include "core/jobs/servosearch.h"
#include "core/transport/portdiagnostics.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QTimer>
#include <QVector>

#include <algorithm>

namespace cli {

namespace {

// The group on the open port, every servo identified; the status to leave with when none can be read.
int openGroup(ServoGroup& group, const Globals& globals, const QList<int>& ids)
{
    const QString error = group.open();
    if (!error.isEmpty())
        return fail(ExitPortFailed, portOpenErrorText(globals.portName, error));
    group.identify(ids);
    for (const GroupServo& servo : group.servos())
        if (servo.state == GroupServo::State::UnknownModel)
            err() << "velkora-servo: servo " << servo.id << " reports model number " << servo.modelNumber
                  << ", which no model description covers (choose one with --as MODEL)\n";
    const auto known = [](const GroupServo& servo) { return servo.known(); };
    if (std::none_of(group.servos().begin(), group.servos().end(), known)) {
        const bool unknown =
            std::any_of(group.servos().begin(), group.servos().end(),
                        [](const GroupServo& s) { return s.state == GroupServo::State::UnknownModel; });
        return unknown ? ExitUnknownModel
                       : fail(ExitNoAnswer, QStringLiteral("no servo of %1 answered at %2 baud on %3")
                                                .arg(ids.size())
                                                .arg(globals.baudRate)
                                                .arg(globals.portName));
    }
    return ExitDone;
}

// A servo that cannot be read at all, or failed in some rounds, makes the status: no answer
// before an unknown model.
int groupStatus(const ServoGroup& group, const QVector<int>& failedRounds)
{
    int status = ExitDone;
    for (int i = 0; i < group.servos().size(); ++i) {
        const GroupServo& servo = group.servos()[i];
        if (servo.state == GroupServo::State::Silent || failedRounds.value(i) > 0)
            return ExitNoAnswer;
        if (servo.state == GroupServo::State::UnknownModel)
            status = ExitUnknownModel;
    }
    return status;
}

struct WatchedServo
{
    QList<const FieldRecord*> fields; // in the keys' order; empty for a servo not read
    Span span;                        // from the first key's byte to the last one's
};

QList<WatchedServo> watchedServos(const ServoGroup& group, const QStringList& keys)
{
    QList<WatchedServo> watched;
    for (const GroupServo& servo : group.servos()) {
        WatchedServo one;
        if (servo.known()) {
            int low = 0x10000;
            int high = 0;
            for (const QString& key : keys) {
                const FieldRecord* field = servo.catalogue->byKey(key);
                if (!field)
                    throw UsageError{
                        QStringLiteral("watch: servo %1 (%2) has no key %3 (velkora-servo --id %1 "
                                       "fields lists its keys)")
                            .arg(servo.id)
                            .arg(ServoSearch::modelText(servo.modelNumber), key)};
                one.fields << field;
                low = std::min(low, field->address);
                high = std::max(high, field->address + field->size);
            }
            one.span = {low, high - low};
        }
        watched.append(one);
    }
    return watched;
}

// "time (s)", then each servo's keys: "id1.presentPosition (rad)".
QStringList groupHeader(const ServoGroup& group, const QList<WatchedServo>& watched, const QStringList& keys,
                        bool raw)
{
    QStringList header{QStringLiteral("time (s)")};
    for (int i = 0; i < watched.size(); ++i) {
        for (int k = 0; k < keys.size(); ++k) {
            const QString name = QStringLiteral("id%1.%2").arg(group.servos()[i].id).arg(keys[k]);
            const QString unit = watched[i].fields.isEmpty() ? QString()
                                 : raw                       ? QStringLiteral("raw")
                                                             : unitOf(*watched[i].fields[k]);
            header << (unit.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, unit));
        }
    }
    return header;
}

QStringList groupCells(const GroupServo& servo, const WatchedServo& watched, int keys,
                       const std::optional<QByteArray>& data, bool raw)
{
    QStringList cells;
    if (!data) {
        for (int k = 0; k < keys; ++k)
            cells << (servo.known() ? QStringLiteral("no answer") : servo.problemText());
        return cells;
    }
    // The fields read their bytes by address, from a table that starts at 0.
    const QByteArray table = QByteArray(watched.span.address, '\0') + *data;
    for (const FieldRecord* field : watched.fields) {
        const int value = field->rawIn(table);
        cells << (raw ? QString::number(value) : QString::number(valueOf(*field, value).toDouble(), 'g', 10));
    }
    return cells;
}

void reportFailedRounds(const ServoGroup& group, const QVector<int>& failedRounds, int rounds)
{
    for (int i = 0; i < group.servos().size(); ++i)
        if (group.servos()[i].known() && failedRounds[i] > 0)
            err() << "velkora-servo: servo " << group.servos()[i].id << " did not answer"
                  << (rounds > 1 ? QStringLiteral(" in %1 of %2 rounds").arg(failedRounds[i]).arg(rounds)
                                 : QString())
                  << '\n';
    for (const GroupServo& servo : group.servos())
        if (servo.state == GroupServo::State::Silent)
            err() << "velkora-servo: servo " << servo.id << " did not answer\n";
}

} // namespace

int watchGroupCommand(CommandContext& context, Arguments& arguments, const QList<int>& ids)
{
    // Rounds back to back unless an interval is asked: the line sets the pace.
    const int interval = arguments.number(QStringLiteral("--interval"), 0, 0, 60000);
    const int count = arguments.number(QStringLiteral("--count"), 0, 0, 1 << 30);
    const QStringList keys = arguments.rest(1, -1, QStringLiteral("watch wants one or more keys"));
    const Globals& globals = context.globals();
    ServoGroup group(globals);
    if (const int status = openGroup(group, globals, ids))
        return status;
    const QList<WatchedServo> watched = watchedServos(group, keys);
    QList<Span> spans;
    for (const WatchedServo& servo : watched)
        spans << servo.span;

    bool stop = false;
    QPointer<QEventLoop> waiting;
    const Interruption interruption([&] {
        stop = true;
        if (waiting)
            waiting->quit();
    });
    printRowNow(groupHeader(group, watched, keys, globals.raw));
    QVector<int> failedRounds(group.servos().size(), 0);
    QElapsedTimer clock;
    clock.start();
    qint64 firstNs = -1;
    int rounds = 0;
    while (!stop && (count == 0 || rounds < count)) {
        const qint64 startMs = clock.elapsed();
        const QList<std::optional<QByteArray>> data = group.read(spans);
        const qint64 nowNs = clock.nsecsElapsed();
        firstNs = firstNs < 0 ? nowNs : firstNs;
        QStringList row{QString::number((nowNs - firstNs) / 1e9, 'f', 6)};
        for (int i = 0; i < group.servos().size(); ++i) {
            row << groupCells(group.servos()[i], watched[i], keys.size(), data[i], globals.raw);
            failedRounds[i] += group.servos()[i].known() && !data[i];
        }
        printRowNow(row);
        ++rounds;
        const qint64 waitMs = startMs + interval - clock.elapsed();
        if (waitMs > 0 && !stop && (count == 0 || rounds < count)) {
            QEventLoop loop;
            waiting = &loop;
            QTimer::singleShot(int(waitMs), &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
    reportFailedRounds(group, failedRounds, rounds);
    return groupStatus(group, failedRounds);
}

namespace {

// Each servo's whole table, part by part: every part one read of all servos whose table reaches it.
QList<std::optional<QByteArray>> readTables(ServoGroup& group)
{
    QList<int> lengths;
    int longest = 0;
    for (const GroupServo& servo : group.servos()) {
        lengths << (servo.known() ? servo.device->getMemoryUpperLimit() : 0);
        longest = std::max(longest, lengths.last());
    }
    QList<std::optional<QByteArray>> tables;
    for (int i = 0; i < lengths.size(); ++i)
        tables << (lengths[i] > 0 ? std::optional<QByteArray>(QByteArray()) : std::nullopt);
    for (const Span& part : partsOf(0, longest)) {
        QList<Span> spans;
        for (int i = 0; i < lengths.size(); ++i) {
            const int length = tables[i] ? std::clamp(lengths[i] - part.address, 0, part.length) : 0;
            spans << Span{part.address, length};
        }
        const QList<std::optional<QByteArray>> data = group.read(spans);
        for (int i = 0; i < lengths.size(); ++i) {
            if (spans[i].length == 0)
                continue;
            if (data[i])
                tables[i]->append(*data[i]);
            else
                tables[i].reset(); // a table with a part missing is no table
        }
    }
    return tables;
}

void printTable(const QByteArray& table)
{
    for (int row = 0; row < table.size(); row += 16)
        out() << QStringLiteral("%1: ").arg(row, 4, 16, QLatin1Char('0'))
              << QString::fromLatin1(table.mid(row, 16).toHex(' ')) << '\n';
}

QJsonObject tableObject(const GroupServo& servo, const std::optional<QByteArray>& table)
{
    QJsonObject object{{QStringLiteral("id"), servo.id}};
    if (!table) {
        object.insert(QStringLiteral("error"), servo.problemText());
        return object;
    }
    QJsonArray bytes;
    for (char byte : *table)
        bytes.append(int(uint8_t(byte)));
    object.insert(QStringLiteral("model"), ServoSearch::modelText(servo.modelNumber));
    object.insert(QStringLiteral("length"), table->size());
    object.insert(QStringLiteral("hex"), QString::fromLatin1(table->toHex()));
    object.insert(QStringLiteral("bytes"), bytes);
    return object;
}

} // namespace

int dumpGroupCommand(CommandContext& context, Arguments& arguments, const QList<int>& ids)
{
    arguments.rest(0, 0, QStringLiteral("dump takes only --ids"));
    const Globals& globals = context.globals();
    ServoGroup group(globals);
    if (const int status = openGroup(group, globals, ids))
        return status;
    const QList<std::optional<QByteArray>> tables = readTables(group);
    QVector<int> failed;
    QJsonArray list;
    for (int i = 0; i < tables.size(); ++i) {
        const GroupServo& servo = group.servos()[i];
        failed << (servo.known() && !tables[i]);
        if (globals.json) {
            list.append(tableObject(servo, tables[i]));
            continue;
        }
        if (i > 0)
            out() << '\n';
        if (!tables[i]) {
            out() << "servo " << servo.id << ": " << servo.problemText() << '\n';
            continue;
        }
        out() << "servo " << servo.id << " (" << ServoSearch::modelText(servo.modelNumber) << "):\n";
        printTable(*tables[i]);
    }
    if (globals.json)
        printJson(list);
    out().flush();
    reportFailedRounds(group, failed, 1);
    return groupStatus(group, failed);
}

} // namespace cli
