#pragma once

#include "core/model/fieldcatalogue.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <map>

class GroupWrite;
class UnitsHelper;

// One servo's settings as a file keeps them: every writable setting of the model (the
// non-volatile group and the volatile settings), never a command, so restoring a file can
// neither switch a motor on nor move it.
struct ServoConfiguration
{
    static constexpr const char* format = "velkora-servo-configuration";
    static constexpr int version = 1;

    int id = 0;
    int baudRate = 0;
    int modelNumber = 0;
    int firmware = 0; // -1: the file does not say
    QString savedBy;
    QDateTime saved;
    std::map<QString, int> values; // by catalogue key: the raw value

    // The settings a file keeps, of a control table from address 0.
    static ServoConfiguration fromTable(const FieldCatalogue& catalogue, const QByteArray& table, int baudRate);
    // UTF-8 JSON; each value with its raw number and, for people, the value in `units`.
    QByteArray toJson(const FieldCatalogue& catalogue, const UnitsHelper& units) const;

    // Strict: anything doubtful is an error naming `fileName` and the field, and nothing is
    // taken from such a file. `catalogue` is the model the file must be of; `firmware` is the
    // servo's, or -1 when not known.
    struct ReadResult;
    static ReadResult fromJson(const QByteArray& json, const QString& fileName, const FieldCatalogue& catalogue,
                               int modelNumber, int firmware);

    // Whether a field belongs in a file.
    static bool isKept(const FieldRecord& field);
};

struct ServoConfiguration::ReadResult
{
    ServoConfiguration configuration;
    QString error;   // empty when the file can be used
    QString warning; // another firmware version, say
};

// One write per group of `values` (raw, by catalogue key) as the edit view's groups write them:
// the non-volatile settings, then the volatile settings with the commands; a new id or baud code
// is marked on the write that gives it.
QList<GroupWrite> groupWrites(const FieldCatalogue& catalogue, const std::map<QString, int>& values);

// One write per group of the chosen keys of `configuration` (empty writes left out).
QList<GroupWrite> restoreWrites(const ServoConfiguration& configuration, const FieldCatalogue& catalogue,
                                const QStringList& keys);
