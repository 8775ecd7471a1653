#pragma once

#include "core/model/fieldcatalogue.h"

#include <QJsonValue>
#include <QString>

// A field's values as the command line shows and takes them: ranged values in the quantity's
// default unit, the baud code as its rate, lists by the names the edit view gives their values.
namespace cli {

// "non-volatile", "volatile", "command" or "state".
QString groupName(FieldGroup group);
// The default unit of a ranged field ("V"); empty for one without units.
QString unitOf(const FieldRecord& field);
// A value for people and scripts: ranged values in the default unit, the baud code as its rate,
// lists and flags as their number.
QJsonValue valueOf(const FieldRecord& field, int raw);
// A list value's name as the edit view shows it ("Joint"); empty for a field that is no list.
QString nameOf(const FieldRecord& field, int raw);
// "1.5 V", "2 (Joint)", or the raw number when `asRaw`.
QString valueText(const FieldRecord& field, int raw, bool asRaw);
// The raw value `text` stands for, checked against what the field can hold; throws UsageError.
int rawOfText(const FieldRecord& field, const QString& text, bool asRaw);
// The field of `key`; throws UsageError for a key the servo has not.
const FieldRecord& fieldOf(const FieldCatalogue& catalogue, const QString& key);

} // namespace cli
