#pragma once

#include "core/model/groupwrite.h"
#include "core/model/idevice.h"
#include "core/units/physicalquantitiesenum.h"

#include <QList>
#include <QMap>
#include <QString>

#include <memory>
#include <vector>

// Everything the program knows of one entry of a model's description, in one record: where the
// servo keeps it, its raw and physical range, its quantity, whether it may be written and what
// the program uses it for.
struct FieldRecord
{
    QString key;        // the object name without its widget class: "temperatureLimit"
    QString objectName; // the edit view's field: "temperatureLimitDoubleSpinBox"
    QString caption;    // "Temperature limit"
    FieldGroup group = FieldGroup::State;
    int address = 0;
    int size = 1;
    uint32_t mask = 0xFFFFFFFF;
    uint32_t signBit = 0;  // sign and magnitude (see FieldRegister)
    bool isSigned = false; // the register holds a two's-complement value
    PhysicalQuantitiesEnum quantity = PhysicalQuantitiesEnum::Unitless;
    bool hasRange = false; // rawMin..rawMax stand for min..max in the quantity's default unit
    int32_t rawMin = 0;
    int32_t rawMax = 0;
    double min = 0;
    double max = 0;
    bool writable = false;
    bool bigEndian = false; // the model's byte order
    QString role;           // what the program uses it for (see modelEntryRoles)
    QString description;
    QMap<qint64, QString> listValues; // raw value -> its text
    QMap<int, int> baudRates;         // of the baud register: code -> the rate it selects

    // The field's raw value out of a control table from address 0 (missing bytes are 0).
    int rawIn(const QByteArray& table) const;
    // raw <-> the value in the quantity's default unit (the nearest raw step, inside the range).
    double toPhysical(int raw) const;
    int toRaw(double physical) const;
    // The raw values the register can hold for this field.
    bool holds(qint64 raw) const;
    // A direction's raw value is the item of its list (0 or 1), not its bit.
    bool isDirection() const { return quantity == PhysicalQuantitiesEnum::Direction; }
    // The register bits a raw value of this field sets, for a write.
    uint32_t bitsOf(int raw) const;
    // A write of `raw` into this field, in the model's byte order.
    WriteField writeOf(int raw) const { return {objectName, address, size, bitsOf(raw), mask, bigEndian}; }
};

// The fields of one model, in address order.
class FieldCatalogue
{
public:
    FieldCatalogue() = default;
    explicit FieldCatalogue(const IDevice& device);

    const std::vector<FieldRecord>& fields() const { return _fields; }
    const FieldRecord* byKey(const QString& key) const;
    const FieldRecord* byObjectName(const QString& name) const;
    // The first field with the role; the hardware error bits share theirs.
    const FieldRecord* byRole(const QString& role) const;
    // The model takes non-volatile settings only while its motor is off, and `table` shows it on.
    bool motorBlocksNonVolatile(const QByteArray& table) const;
    // The entry the model's non-volatile settings are unlocked and locked with (none: the model
    // keeps them without), and the values that open and close it.
    const FieldRecord* lockField() const;
    int lockOpen() const { return _lockOpen; }
    int lockClose() const { return _lockClose; }
    // The write reaches the non-volatile area of a model with a lock, and does not write the lock
    // itself (who writes the lock keeps it as they choose).
    bool needsUnlocking(const GroupWrite& write) const;
    // `table` shows the lock open, on a model with one.
    bool lockOpenIn(const QByteArray& table) const;
    // The model numbers of the model, and its baud register's codes (code -> rate).
    const QList<int>& modelNumbers() const { return _modelNumbers; }
    const QMap<int, int>& baudCodes() const { return _baudCodes; }

    // "temperatureLimitDoubleSpinBox" -> "temperatureLimit"
    static QString keyOf(const QString& objectName);

private:
    std::vector<FieldRecord> _fields;
    bool _nonVolatileNeedsMotorOff = false;
    QString _lockKey;
    int _lockOpen = 0;
    int _lockClose = 1;
    QList<int> _modelNumbers;
    QMap<int, int> _baudCodes;
};
