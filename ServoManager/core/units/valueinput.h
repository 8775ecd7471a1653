#pragma once

#include "core/units/physicalquantitiesenum.h"

#include <QString>
#include <QStringList>

// A value as a person types it in a shell or a script: a number in the quantity's default unit,
// or a number with one of the quantity's units appended ("90deg", "176degF", "1.5 rad").
struct ValueInput
{
    bool ok = false;
    double inDefaultUnit = 0;
    QString error; // why the text is no value of this quantity
};
ValueInput readValueInUnit(const QString& text, PhysicalQuantitiesEnum quantity);

// The unit names a value of the quantity may carry, its default unit first; empty without units.
QStringList unitNamesOf(PhysicalQuantitiesEnum quantity);
