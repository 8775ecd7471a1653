#include "cli/values.h"

#include "cli/arguments.h"
#include "cli/listnames.h"

#include "core/units/unitshelper.h"
#include "core/units/valueinput.h"

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

const UnitsHelper& defaultUnits()
{
    static const UnitsHelper units(std::make_shared<PhysicalQuantities>());
    return units;
}

bool isBaudRate(const FieldRecord& field)
{
    return field.key == QLatin1String("baudRate");
}

// The edit view's list where the field shows in one; otherwise the model's own list.
bool ownList(const FieldRecord& field)
{
    return !isBaudRate(field) && !field.listValues.isEmpty() &&
           listnames::namesOf(field.objectName).isEmpty();
}

QStringList namesOf(const FieldRecord& field)
{
    return ownList(field) ? QStringList(field.listValues.values()) : listnames::namesOf(field.objectName);
}

int valueOfName(const FieldRecord& field, const QString& name)
{
    if (!ownList(field))
        return listnames::valueOf(field.objectName, name);
    for (auto it = field.listValues.begin(); it != field.listValues.end(); ++it)
        if (it.value().compare(name, Qt::CaseInsensitive) == 0)
            return int(it.key());
    return -1;
}

// A whole number (decimal, or hexadecimal with 0x), a list value's name or a baud rate.
int rawOfWholeNumber(const FieldRecord& field, const QString& text, bool asRaw)
{
    bool ok = false;
    // A leading zero does not make it octal.
    const QString digits = text.trimmed();
    const bool hex = digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    qint64 raw = hex ? digits.mid(2).toLongLong(&ok, 16) : digits.toLongLong(&ok, 10);
    // A list value may be given by the name get shows for it.
    if (!ok && !asRaw && valueOfName(field, digits) >= 0) {
        raw = valueOfName(field, digits);
        ok = true;
    }
    if (!ok && !asRaw && !namesOf(field).isEmpty())
        throw UsageError{QStringLiteral("%1=%2: a whole number or one of %3 is wanted")
                             .arg(field.key, text, namesOf(field).join(QStringLiteral(", ")))};
    if (!ok)
        throw UsageError{QStringLiteral("%1=%2: a whole number is wanted").arg(field.key, text)};
    if (isBaudRate(field) && !asRaw) {
        // The model's own codes: one rate has different codes on different models.
        if (const int code = field.baudRates.key(int(raw), -1); raw > 0 && code >= 0)
            return code;
        throw UsageError{QStringLiteral("%1=%2 is no baud rate the servo knows").arg(field.key, text)};
    }
    if (!field.holds(raw))
        throw UsageError{QStringLiteral("%1=%2 is outside what %1 can hold").arg(field.key, text)};
    return static_cast<int>(raw);
}

// A quantity, in its default unit or with a unit of its own ("90deg").
int rawOfQuantity(const FieldRecord& field, const QString& text)
{
    const ValueInput input = readValueInUnit(text, field.quantity);
    if (!input.ok)
        throw UsageError{QStringLiteral("%1=%2: %3").arg(field.key, text, input.error)};
    const double low = std::min(field.min, field.max);
    const double high = std::max(field.min, field.max);
    // Half a raw step of slack, so a value printed by get is taken back.
    const double slack =
        std::abs(field.max - field.min) / std::max(1, std::abs(field.rawMax - field.rawMin)) / 2;
    if (input.inDefaultUnit < low - slack || input.inDefaultUnit > high + slack)
        throw UsageError{QStringLiteral("%1=%2 is outside %3 to %4 %5")
                             .arg(field.key, text, QString::number(low, 'g', 10),
                                  QString::number(high, 'g', 10), unitOf(field))
                             .trimmed()};
    return field.toRaw(input.inDefaultUnit);
}

} // namespace

QString groupName(FieldGroup group)
{
    switch (group) {
    case FieldGroup::NonVolatile:
        return QStringLiteral("non-volatile");
    case FieldGroup::Volatile:
        return QStringLiteral("volatile");
    case FieldGroup::Command:
        return QStringLiteral("command");
    case FieldGroup::State:
        return QStringLiteral("state");
    }
    return {};
}

QString unitOf(const FieldRecord& field)
{
    return field.hasRange ? defaultUnits().getUnitString(field.quantity) : QString();
}

QJsonValue valueOf(const FieldRecord& field, int raw)
{
    if (isBaudRate(field))
        return field.baudRates.value(raw, 0); // 0: a code the model does not list
    if (field.hasRange) {
        // Enough digits to tell one raw step from the next.
        return QString::number(field.toPhysical(raw), 'g', 10).toDouble();
    }
    return raw;
}

QString nameOf(const FieldRecord& field, int raw)
{
    if (ownList(field))
        return field.listValues.value(raw, QStringLiteral("Unknown (%1)").arg(raw));
    return listnames::nameOf(field.objectName, raw);
}

QString valueText(const FieldRecord& field, int raw, bool asRaw)
{
    if (asRaw)
        return QString::number(raw);
    const QJsonValue value = valueOf(field, raw);
    const QString number = QString::number(value.toDouble(), 'g', 10);
    // The number first, so scripts that take it keep working.
    if (const QString name = nameOf(field, raw); !name.isEmpty())
        return QStringLiteral("%1 (%2)").arg(number, name);
    const QString unit = unitOf(field);
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

int rawOfText(const FieldRecord& field, const QString& text, bool asRaw)
{
    if (asRaw || !field.hasRange)
        return rawOfWholeNumber(field, text, asRaw);
    return rawOfQuantity(field, text);
}

const FieldRecord& fieldOf(const FieldCatalogue& catalogue, const QString& key)
{
    const FieldRecord* field = catalogue.byKey(key);
    if (!field)
        throw UsageError{
            QStringLiteral("unknown key %1 (velkora-servo fields lists this servo's keys)").arg(key)};
    return *field;
}

} // namespace cli
