#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The register bytes of a servo configuration file, as the simulator starts from them: the raw
// values of the model's settings (the program saves every value with its raw number); the id
// and the baud rate are left out, the simulator's own command line gives those.
struct RegisterBytes
{
    int address = 0;
    QByteArray bytes;
};

// Empty on success; otherwise what is wrong, naming the file and the field.
QString configurationRegisters(const QByteArray& json, const QString& fileName, int modelNumber,
                               QList<RegisterBytes>* registers);
