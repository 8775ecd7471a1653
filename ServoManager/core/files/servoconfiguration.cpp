#include "core/files/servoconfiguration.h"

#include "core/model/groupwrite.h"
#include "core/units/unitshelper.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("ServoConfiguration", text);
}

// Every unit the program knows, as unit sets: the first and the second choice of each quantity.
std::vector<UnitsHelper> allUnits()
{
    auto second = std::make_shared<PhysicalQuantities>();
    second->angularVelocity = second->angle = second->torque = second->current = second->temperature = 1;
    return {UnitsHelper(std::make_shared<PhysicalQuantities>()), UnitsHelper(second)};
}

int decimalsOf(const UnitsHelper& units, PhysicalQuantitiesEnum quantity)
{
    return static_cast<int>(units.getTargetUnitDecimalPlaces(quantity));
}

bool isWholeNumber(const QJsonValue& value)
{
    return value.isDouble() && std::floor(value.toDouble()) == value.toDouble() && std::fabs(value.toDouble()) < 1e10;
}

} // namespace

bool ServoConfiguration::isKept(const FieldRecord& field)
{
    return field.writable && (field.group == FieldGroup::NonVolatile || field.group == FieldGroup::Volatile);
}

ServoConfiguration ServoConfiguration::fromTable(const FieldCatalogue& catalogue, const QByteArray& table,
                                                 int baudRate)
{
    ServoConfiguration configuration;
    configuration.baudRate = baudRate;
    for (const FieldRecord& field : catalogue.fields()) {
        if (field.role == QLatin1String("modelNumber"))
            configuration.modelNumber = field.rawIn(table);
        else if (field.role == QLatin1String("firmware"))
            configuration.firmware = field.rawIn(table);
        else if (field.role == QLatin1String("id"))
            configuration.id = field.rawIn(table);
        if (isKept(field))
            configuration.values[field.key] = field.rawIn(table);
    }
    return configuration;
}

QByteArray ServoConfiguration::toJson(const FieldCatalogue& catalogue, const UnitsHelper& units) const
{
    QJsonObject values;
    for (const FieldRecord& field : catalogue.fields()) {
        const auto it = this->values.find(field.key);
        if (it == this->values.end())
            continue;
        QJsonObject entry{{QStringLiteral("raw"), it->second}};
        const QString unit = units.getUnitString(field.quantity);
        if (field.hasRange) {
            // As many decimals as the field shows, or more where that is needed to name this very
            // raw value: a file read by value alone restores what was saved.
            const double shown = units.convertToTargetUnit(field.toPhysical(it->second), field.quantity);
            double value = shown;
            for (int decimals = decimalsOf(units, field.quantity); decimals <= 12; ++decimals) {
                value = QString::number(shown, 'f', decimals).toDouble();
                if (field.toRaw(units.convertToDefaultUnit(value, field.quantity)) == it->second)
                    break;
            }
            entry.insert(QStringLiteral("value"), value);
            if (!unit.isEmpty())
                entry.insert(QStringLiteral("unit"), unit);
        }
        values.insert(field.key, entry);
    }
    const QJsonObject servo{{QStringLiteral("id"), id},
                            {QStringLiteral("baudRate"), baudRate},
                            {QStringLiteral("modelNumber"), modelNumber},
                            {QStringLiteral("firmware"), firmware}};
    const QJsonObject document{{QStringLiteral("format"), QLatin1String(format)},
                               {QStringLiteral("version"), version},
                               {QStringLiteral("savedBy"), savedBy},
                               {QStringLiteral("saved"), saved.toUTC().toString(Qt::ISODate)},
                               {QStringLiteral("servo"), servo},
                               {QStringLiteral("values"), values}};
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

namespace {

// Why the document is no configuration this program reads, or empty.
QString formatProblem(const QJsonDocument& document)
{
    const QJsonObject root = document.object();
    if (!document.isObject() ||
        root.value(QStringLiteral("format")).toString() != QLatin1String(ServoConfiguration::format))
        return tr("not a servo configuration file");
    const QJsonValue fileVersion = root.value(QStringLiteral("version"));
    if (!isWholeNumber(fileVersion) || fileVersion.toInt() < 1)
        return tr("the format version is missing or unreadable");
    if (fileVersion.toInt() > ServoConfiguration::version)
        return tr("written in format version %1 by a newer program; this one reads version %2")
            .arg(fileVersion.toInt())
            .arg(ServoConfiguration::version);
    return {};
}

void readServo(const QJsonObject& root, ServoConfiguration& configuration)
{
    const QJsonObject servo = root.value(QStringLiteral("servo")).toObject();
    configuration.id = servo.value(QStringLiteral("id")).toInt(-1);
    configuration.baudRate = servo.value(QStringLiteral("baudRate")).toInt();
    configuration.modelNumber = servo.value(QStringLiteral("modelNumber")).toInt(-1);
    configuration.firmware = servo.value(QStringLiteral("firmware")).toInt(-1);
    configuration.savedBy = root.value(QStringLiteral("savedBy")).toString();
    configuration.saved = QDateTime::fromString(root.value(QStringLiteral("saved")).toString(), Qt::ISODate);
}

// What is wrong with the members of a value's entry, or empty.
QString entryProblem(const QString& key, const QJsonObject& entry)
{
    for (auto member = entry.begin(); member != entry.end(); ++member) {
        if (member.key() != QLatin1String("raw") && member.key() != QLatin1String("value") &&
            member.key() != QLatin1String("unit"))
            return tr("\"%1\" has an unknown entry \"%2\"").arg(key, member.key());
    }
    const QJsonValue raw = entry.value(QStringLiteral("raw"));
    if (!raw.isUndefined() && !isWholeNumber(raw))
        return tr("\"%1\": the raw value must be a whole number").arg(key);
    if (raw.isUndefined() && !entry.value(QStringLiteral("value")).isDouble())
        return tr("\"%1\" gives neither a raw value nor a value").arg(key);
    return {};
}

// The unit set whose unit of the field's quantity the entry names; null (and why) when none.
const UnitsHelper* unitsOf(const QString& key, const FieldRecord& field, const QJsonObject& entry,
                           const std::vector<UnitsHelper>& unitSets, QString* problem)
{
    const QJsonValue value = entry.value(QStringLiteral("value"));
    if (!value.isDouble() || !field.hasRange) {
        *problem = tr("\"%1\": the value must be a number of a field with a unit; give \"raw\"").arg(key);
        return nullptr;
    }
    const QString unit = entry.value(QStringLiteral("unit")).toString();
    for (const UnitsHelper& candidate : unitSets) {
        if (candidate.getUnitString(field.quantity) == unit)
            return &candidate;
    }
    *problem = tr("\"%1\": unknown unit \"%2\"").arg(key, unit);
    return nullptr;
}

// The raw value a value in `units` stands for; why it stands for none.
qint64 rawOfValue(const QString& key, const FieldRecord& field, double value, const QString& unit,
                  const UnitsHelper& units, QString* problem)
{
    const double physical = units.convertToDefaultUnit(value, field.quantity);
    // The nearest step of a value outside the range would be the range end: not what the file says.
    const double halfStep =
        std::fabs(field.max - field.min) / std::abs(double(field.rawMax) - field.rawMin) / 2;
    if (physical < std::min(field.min, field.max) - halfStep ||
        physical > std::max(field.min, field.max) + halfStep) {
        *problem = tr("\"%1\": %2 %3 is outside the field's range").arg(key).arg(value).arg(unit);
        return 0;
    }
    return field.toRaw(physical);
}

// Both given: the value must name the raw value, as saved or as the field shows it.
QString disagreement(const QString& key, const FieldRecord& field, qint64 raw, double value,
                     const QString& unit, const UnitsHelper& units)
{
    const double shown = units.convertToTargetUnit(field.toPhysical(int(raw)), field.quantity);
    const int decimals = decimalsOf(units, field.quantity);
    const bool names = field.toRaw(units.convertToDefaultUnit(value, field.quantity)) == raw;
    if (names || QString::number(shown, 'f', decimals) == QString::number(value, 'f', decimals))
        return {};
    return tr("\"%1\": raw value %2 is %3 %4, not %5 %4")
        .arg(key)
        .arg(raw)
        .arg(QString::number(shown, 'f', decimals), unit)
        .arg(value);
}

// The raw value of one entry of "values"; why it cannot be restored.
int readValue(const QString& key, const QJsonObject& entry, const FieldCatalogue& catalogue,
              const std::vector<UnitsHelper>& unitSets, QString* problem)
{
    const FieldRecord* field = catalogue.byKey(key);
    if (!field) {
        *problem = tr("unknown field \"%1\"").arg(key);
        return 0;
    }
    if (!ServoConfiguration::isKept(*field)) {
        *problem = tr("\"%1\" is not a setting a configuration may restore").arg(key);
        return 0;
    }
    *problem = entryProblem(key, entry);
    if (!problem->isEmpty())
        return 0;
    const QJsonValue raw = entry.value(QStringLiteral("raw"));
    const double value = entry.value(QStringLiteral("value")).toDouble();
    const QString unit = entry.value(QStringLiteral("unit")).toString();
    // The value, in a unit of the field's quantity.
    const UnitsHelper* units = nullptr;
    if (!entry.value(QStringLiteral("value")).isUndefined()) {
        units = unitsOf(key, *field, entry, unitSets, problem);
        if (!units)
            return 0;
    }
    const qint64 rawValue = raw.isUndefined() ? rawOfValue(key, *field, value, unit, *units, problem)
                                              : static_cast<qint64>(raw.toDouble());
    if (!problem->isEmpty())
        return 0;
    if (!field->holds(rawValue))
        *problem = tr("\"%1\": raw value %2 is outside the field's range").arg(key).arg(rawValue);
    else if (key == QLatin1String("baudRate") && !catalogue.baudCodes().contains(int(rawValue)))
        *problem = tr("\"baudRate\": %1 is no baud-rate code").arg(rawValue);
    else if (!raw.isUndefined() && units)
        *problem = disagreement(key, *field, rawValue, value, unit, *units);
    return static_cast<int>(rawValue);
}

} // namespace

ServoConfiguration::ReadResult ServoConfiguration::fromJson(const QByteArray& json, const QString& fileName,
                                                            const FieldCatalogue& catalogue, int modelNumber,
                                                            int firmware)
{
    ReadResult result;
    auto fail = [&result, &fileName](const QString& why) {
        result.error = tr("%1: %2").arg(fileName, why);
        return result;
    };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(tr("not a configuration file (%1 at byte %2)")
                        .arg(parseError.errorString())
                        .arg(parseError.offset));
    if (const QString problem = formatProblem(document); !problem.isEmpty())
        return fail(problem);

    const QJsonObject root = document.object();
    ServoConfiguration& configuration = result.configuration;
    readServo(root, configuration);
    // One description may cover a family of model numbers: its settings fit every member.
    const bool sameModel = configuration.modelNumber == modelNumber ||
                           (catalogue.modelNumbers().contains(configuration.modelNumber) &&
                            catalogue.modelNumbers().contains(modelNumber));
    if (!sameModel)
        return fail(tr("a configuration of model number %1; this servo is model number %2")
                        .arg(configuration.modelNumber)
                        .arg(modelNumber));
    // Only two known versions can differ: a file without one says nothing about it.
    if (configuration.firmware >= 0 && firmware >= 0 && configuration.firmware != firmware)
        result.warning = tr("%1 was saved from firmware %2; this servo runs firmware %3.")
                             .arg(fileName)
                             .arg(configuration.firmware)
                             .arg(firmware);

    const QJsonValue values = root.value(QStringLiteral("values"));
    if (!values.isObject())
        return fail(tr("no values"));
    const std::vector<UnitsHelper> unitSets = allUnits();
    const QJsonObject entries = values.toObject();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        QString problem;
        const int raw = readValue(it.key(), it.value().toObject(), catalogue, unitSets, &problem);
        if (!problem.isEmpty())
            return fail(problem);
        configuration.values[it.key()] = raw;
    }
    return result;
}

QList<GroupWrite> groupWrites(const FieldCatalogue& catalogue, const std::map<QString, int>& values)
{
    QList<GroupWrite> writes;
    for (bool nonVolatile : {true, false}) {
        QList<WriteField> fields;
        for (const FieldRecord& field : catalogue.fields()) {
            const auto it = values.find(field.key);
            const bool inGroup = nonVolatile ? field.group == FieldGroup::NonVolatile
                                             : field.group == FieldGroup::Volatile || field.group == FieldGroup::Command;
            if (inGroup && it != values.end())
                fields.append(field.writeOf(it->second));
        }
        GroupWrite write(fields);
        if (write.isEmpty())
            continue;
        if (nonVolatile && values.count(QStringLiteral("id")))
            write.newId = values.at(QStringLiteral("id"));
        if (nonVolatile && values.count(QStringLiteral("baudRate"))) {
            write.newBaudCode = values.at(QStringLiteral("baudRate"));
            write.newBaudRate = catalogue.baudCodes().value(write.newBaudCode, 0);
        }
        writes.append(write);
    }
    return writes;
}

QList<GroupWrite> restoreWrites(const ServoConfiguration& configuration, const FieldCatalogue& catalogue,
                                const QStringList& keys)
{
    // A file holds no commands: only its settings are written.
    std::map<QString, int> chosen;
    for (const auto& [key, raw] : configuration.values) {
        const FieldRecord* field = catalogue.byKey(key);
        if (keys.contains(key) && field &&
            (field->group == FieldGroup::NonVolatile || field->group == FieldGroup::Volatile))
            chosen[key] = raw;
    }
    return groupWrites(catalogue, chosen);
}
