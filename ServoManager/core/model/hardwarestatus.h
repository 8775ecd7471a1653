#pragma once

#include <QByteArray>
#include <QStringList>

class FieldCatalogue;

// The hardware error status a control table holds: the raw status byte in *bits and the captions
// of the bits that are set (the entries with the role "hardwareError"). A model without a status
// register (the AX-12) reports its alarms in its answers instead: `alarms`, the
// last answer's alarms as status bits (readanswer::alarmsOf), -1 when not known.
QStringList hardwareErrorsOf(const FieldCatalogue& catalogue, const QByteArray& table, int* bits, int alarms = -1);
