#pragma once

#include "core/units/physicalquantitiesenum.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <cstdint>
#include <optional>

// One item of a model's control table, as its description file states it.
struct ModelEntry
{
    enum class Area
    {
        NonVolatile,
        Volatile,
        Command,
        State
    };
    enum class Sign
    {
        Unsigned,
        TwosComplement,
        SignMagnitude // the sign in `signBit`, the magnitude in the bits below it
    };

    QString key;
    QString caption;
    QString description;
    int address = 0;
    int size = 1;
    bool writable = false;
    Area area = Area::Volatile;
    uint32_t mask = 0; // 0: the whole register
    Sign sign = Sign::Unsigned;
    int signBit = 0;
    PhysicalQuantitiesEnum quantity = PhysicalQuantitiesEnum::Unitless;
    // Raw range and the physical range it maps onto linearly (in the quantity's default unit).
    int64_t rawMin = 0;
    int64_t rawMax = 0;
    double min = 0;
    double max = 0;
    QMap<int64_t, QString> listValues;
    QString widget; // the edit view's field that shows it; empty: none
    QString role;   // what the program uses it for; empty: nothing in particular
    std::optional<int64_t> powerOnDefault;
};

// What the program knows about one servo model, read from its description file.
struct ModelDescription
{
    QString name;
    int version = 1;
    QList<int> modelNumbers;
    QList<int> protocols;
    bool bigEndian = false;
    int tableLength = 0;
    int factoryId = 1;
    int factoryBaudRate = 0;
    QMap<int, int> baudCodes; // the baud register's code -> its rate
    QList<ModelEntry> entries;

    const ModelEntry* entry(const QString& key) const;
    const ModelEntry* entryWithRole(const QString& role) const;
};

// Reads one description strictly: a file with any fault is refused whole, and `problem` names the
// file, the entry and why.
std::optional<ModelDescription> readModelDescription(const QByteArray& json, const QString& fileName,
                                                     QString* problem);
