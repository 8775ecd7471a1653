#pragma once

#include <QString>
#include <QStringList>

// The names the edit view gives the values of its lists (operating mode, input mode, the
// directions), read from its own form, so the command line and the window never disagree.
namespace listnames {
// The name of `raw` in the list of `field` (its object name, "operatingModeComboBox"): empty
// for a field that is no list, "Unknown (N)" for a value the list does not have.
QString nameOf(const QString& field, int raw);
// The names of the list's values, in the order of their numbers; empty for a field that is no list.
QStringList namesOf(const QString& field);
// The value a name stands for in that list, ignoring case; -1 when it names none.
int valueOf(const QString& field, const QString& name);
} // namespace listnames
