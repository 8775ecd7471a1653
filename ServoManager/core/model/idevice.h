#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

struct ModelDescription;

// One table of the register view per bank.
enum class RegisterBank : int32_t
{
    NonVolatileBank1 = 0,
    NonVolatileBank2 = 1,
    VolatileBank1 = 2,
    VolatileBank2 = 3,
};

// Range of one edit-view field for a model: raw register values rawMin..rawMax stand for
// min..max in the default unit of the field's quantity (linear in between). All four zero
// means the field has no numeric range (combo boxes whose items are fixed by the form).
struct FieldDeviceMetadata
{
    int32_t rawMin;
    int32_t rawMax;
    double min;
    double max;
};

// Where the register view shows one register address, and whether the user may write it.
struct RegisterDeviceMetadata
{
    RegisterBank bank;
    uint16_t row;
    int32_t writable;
    QString description;
};

// One item of a model's control table as a read-all answer is decoded: the little-endian value of
// `byteCount` bytes at `address`.
struct RegisterItem
{
    uint8_t address;
    uint8_t byteCount;
};

// What a field is to the servo: a setting kept over power cycles, a setting of this power-on,
// a command (it switches or moves something), or state the servo reports.
enum class FieldGroup
{
    NonVolatile,
    Volatile,
    Command,
    State
};

// Where a model keeps the value of one field: the bits `mask` of the little-endian register of
// `byteCount` bytes at `address` (a direction bit and its magnitude share one). Most are fields
// of the edit view; a name without a widget's suffix is a value only files and the command line
// reach.
struct FieldRegister
{
    QString name;
    uint8_t address;
    uint8_t byteCount;
    FieldGroup group = FieldGroup::State;
    uint32_t mask = 0xFFFFFFFF;
    // Sign and magnitude: this bit set makes the value below it negative (clockwise).
    uint32_t signBit = 0;
};

// A servo model. Models are immutable once built and are owned only through
// std::shared_ptr<IDevice> made from the concrete class, so the destructor is protected
// rather than virtual.
class IDevice
{
public:
    // Number of control-table bytes one poll reads, from address 0.
    virtual int getMemoryUpperLimit() const = 0;
    // A fresh copy; throws std::out_of_range for a name the model does not know.
    virtual std::unique_ptr<FieldDeviceMetadata> getFieldDeviceMetadata(const QString& name) const = 0;
    // A fresh copy, or empty for an address the model does not list.
    virtual std::unique_ptr<RegisterDeviceMetadata>
    getRegisterDeviceMetadata(unsigned short address) const = 0;
    virtual int getRegisterBankRowCount(RegisterBank bank) const = 0;
    // Where the model keeps each edit-view field it has: the one list of addresses the edit
    // view's writes, the live values and the configuration files read (see FieldCatalogue).
    virtual std::vector<FieldRegister> getFieldRegisters() const = 0;
    // The control table item by item in address order, as the edit view decodes a read-all
    // answer; empty for a model whose answers are decoded field by field only.
    virtual std::vector<RegisterItem> getRegisterItems() const = 0;
    // The register of the hardware error bits; -1 when the model keeps them outside its table.
    virtual int getHardwareErrorAddress() const = 0;
    // Everything the model's description file says.
    virtual const ModelDescription& description() const = 0;

protected:
    ~IDevice() = default;
};
