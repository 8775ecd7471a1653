#pragma once

#include <QByteArray>
#include <QStringList>

class FieldCatalogue;

// The hardware error status a control table holds: the raw status byte in *bits and the captions
// of the bits that are set. Bits the model has no field for are named too ("Overload").
QStringList hardwareErrorsOf(const FieldCatalogue& catalogue, const QByteArray& table, int* bits);
