#pragma once

#include "core/units/physicalquantitiesenum.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

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
    // Without `hasRange` the raw value is the value itself, and rawMin..rawMax what the register holds.
    bool hasRange = false;
    int64_t rawMin = 0;
    int64_t rawMax = 0;
    double min = 0;
    double max = 0;
    QMap<int64_t, QString> listValues;
    QString widget; // the edit view's field that shows it; empty: none
    QString role;   // what the program uses it for; empty: nothing in particular
    std::optional<int64_t> powerOnDefault;
    // A model number shown as its high byte, a decimal point and its low byte (1025 as 4.1).
    bool seriesAndVariant = false;
};

// One table of the register view: the bytes it shows, row by row, with their texts.
struct RegisterTable
{
    QString title;
    QList<QPair<int, QString>> rows; // address, text
};

// What the program knows about one servo model, read from its description file.
struct ModelDescription
{
    QString name;    // the short name of --model, --as and "Treat as…"
    QString caption; // what people read
    int version = 1;
    QList<int> modelNumbers;
    std::optional<int> firmwareMin;
    std::optional<int> firmwareMax;
    QList<int> protocols;
    bool bigEndian = false;
    int tableLength = 0;
    int factoryId = 1;
    int factoryBaudRate = 0;
    QMap<int, int> baudCodes; // the baud register's code -> its rate
    // Non-volatile settings are taken only while the motor-enable entry is 0.
    bool nonVolatileNeedsMotorOff = false;
    // A lock entry opened (written `lockOpen`) before and closed (`lockClose`) after a write of
    // non-volatile settings; empty when the model has none.
    QString lockKey;
    int64_t lockOpen = 0;
    int64_t lockClose = 1;
    // The instructions its servos answer beyond ping, read and write (sync and bulk reads…).
    QStringList instructions;
    // What a factory reset may keep: "all" resets everything; "allButId" and "allButIdAndBaudRate"
    // where the reset instruction takes that option.
    QStringList resetOptions{QStringLiteral("all")};
    // A reboot clears the hardware error bits (where their cause is gone); otherwise they outlive it.
    bool rebootClearsHardwareError = false;
    QList<RegisterTable> registerTables; // empty: one table in address order
    QList<ModelEntry> entries;

    const ModelEntry* entry(const QString& key) const;
    const ModelEntry* entryWithRole(const QString& role) const;
    // The rate the baud register's `code` selects on this model; 0 for a code it does not list.
    int rateOfBaudCode(int code) const { return baudCodes.value(code, 0); }
    // The code that selects `rate` on this model; -1 for a rate it cannot take.
    int baudCodeOfRate(int rate) const { return baudCodes.key(rate, -1); }
    // The rates its baud register selects, slowest first.
    QList<int> baudRates() const;
    bool answersModelNumber(int number) const { return modelNumbers.contains(number); }
};

// The roles an entry may have: what the program uses it for.
const QStringList& modelEntryRoles();

// Reads one description strictly: a file with any fault is refused whole, and `problem` names the
// file, the entry and why.
std::optional<ModelDescription> readModelDescription(const QByteArray& json, const QString& fileName,
                                                     QString* problem);
