#include "core/model/fieldcatalogue.h"

#include "core/model/fieldregisters.h"
#include "core/model/modeldescription.h"
#include "core/model/rangemap.h"


#include <algorithm>
#include <stdexcept>

namespace {
// Widget classes as the form's object names end in them.
const char* const widgetSuffixes[] = {"DoubleSpinBox", "SpinBox", "LineEdit", "ComboBox", "CheckBox"};

} // namespace

int FieldRecord::rawIn(const QByteArray& table) const
{
    uint32_t bits = 0;
    for (int i = 0; i < size; ++i) {
        const int shift = 8 * (bigEndian ? size - 1 - i : i);
        if (address + i < table.size())
            bits |= uint32_t(uint8_t(table.at(address + i))) << shift;
    }
    bits &= mask & registerMask(size);
    if (isDirection())
        return bits != 0 ? 1 : 0;
    if (signBit != 0) {
        const int magnitude = static_cast<int>(bits & (signBit - 1));
        return (bits & signBit) ? -magnitude : magnitude;
    }
    if (isSigned && size < 4) {
        const uint32_t sign = uint32_t(1) << (8 * size - 1);
        return static_cast<int32_t>((bits ^ sign) - sign);
    }
    return static_cast<int32_t>(bits);
}

double FieldRecord::toPhysical(int raw) const
{
    const FieldDeviceMetadata range{rawMin, rawMax, min, max};
    return rawToPhysical(hasRange ? &range : nullptr, raw);
}

int FieldRecord::toRaw(double physical) const
{
    const FieldDeviceMetadata range{rawMin, rawMax, min, max};
    return physicalToRaw(hasRange ? &range : nullptr, physical);
}

uint32_t FieldRecord::bitsOf(int raw) const
{
    if (isDirection())
        return raw != 0 ? mask : 0;
    if (signBit != 0)
        return raw < 0 ? (uint32_t(-raw) & (signBit - 1)) | signBit : uint32_t(raw) & (signBit - 1);
    return static_cast<uint32_t>(raw);
}

bool FieldRecord::holds(qint64 raw) const
{
    if (hasRange)
        return raw >= std::min(rawMin, rawMax) && raw <= std::max(rawMin, rawMax);
    if (isDirection())
        return raw == 0 || raw == 1;
    const qint64 bits = mask == 0xFFFFFFFF ? qint64(registerMask(size)) : qint64(mask & registerMask(size));
    return raw >= 0 && raw <= bits;
}

FieldCatalogue::FieldCatalogue(const IDevice& device)
{
    const ModelDescription& model = device.description();
    _nonVolatileNeedsMotorOff = model.nonVolatileNeedsMotorOff;
    _lockKey = model.lockKey;
    _lockOpen = int(model.lockOpen);
    _lockClose = int(model.lockClose);
    _modelNumbers = model.modelNumbers;
    _baudCodes = model.baudCodes;
    static const FieldGroup groups[] = {FieldGroup::NonVolatile, FieldGroup::Volatile, FieldGroup::Command,
                                        FieldGroup::State};
    for (const ModelEntry& entry : model.entries) {
        FieldRecord record;
        record.key = entry.key;
        record.objectName = entry.widget.isEmpty() ? entry.key : entry.widget;
        record.caption = entry.caption;
        record.group = groups[int(entry.area)];
        record.address = entry.address;
        record.size = entry.size;
        record.mask = entry.mask ? entry.mask : 0xFFFFFFFF;
        record.signBit = entry.sign == ModelEntry::Sign::SignMagnitude ? uint32_t(1) << entry.signBit : 0;
        record.isSigned = entry.sign == ModelEntry::Sign::TwosComplement;
        record.quantity = entry.quantity;
        record.hasRange = entry.hasRange;
        if (entry.hasRange) {
            record.rawMin = int32_t(entry.rawMin);
            record.rawMax = int32_t(entry.rawMax);
            record.min = entry.min;
            record.max = entry.max;
        }
        record.writable = entry.writable && entry.area != ModelEntry::Area::State;
        record.bigEndian = model.bigEndian;
        record.role = entry.role;
        record.description = entry.description;
        for (auto it = entry.listValues.begin(); it != entry.listValues.end(); ++it)
            record.listValues.insert(it.key(), it.value());
        // A baud register's codes read as their rates.
        if (entry.role == QLatin1String("baudRate"))
            record.baudRates = model.baudCodes;
        if (record.listValues.isEmpty() && entry.role == QLatin1String("baudRate"))
            for (auto it = model.baudCodes.begin(); it != model.baudCodes.end(); ++it)
                record.listValues.insert(it.key(), QStringLiteral("%L1 baud").arg(it.value()));
        _fields.push_back(record);
    }
    std::stable_sort(_fields.begin(), _fields.end(),
                     [](const FieldRecord& a, const FieldRecord& b) { return a.address < b.address; });
}

bool FieldCatalogue::motorBlocksNonVolatile(const QByteArray& table) const
{
    const FieldRecord* motor = byRole(QStringLiteral("motorEnable"));
    return _nonVolatileNeedsMotorOff && motor && motor->rawIn(table) != 0;
}

const FieldRecord* FieldCatalogue::lockField() const
{
    return _lockKey.isEmpty() ? nullptr : byKey(_lockKey);
}

// By address, so that a raw write of the register view counts as well as a named field.
bool FieldCatalogue::needsUnlocking(const GroupWrite& write) const
{
    const FieldRecord* lock = lockField();
    if (!lock || write.isEmpty())
        return false;
    const auto overlaps = [](const WriteField& field, const FieldRecord& record) {
        return field.address < record.address + record.size && record.address < field.address + field.size;
    };
    bool nonVolatile = false;
    for (const WriteField& field : write.fields()) {
        if (overlaps(field, *lock))
            return false;
        for (const FieldRecord& record : _fields)
            nonVolatile = nonVolatile || (record.group == FieldGroup::NonVolatile && overlaps(field, record));
    }
    return nonVolatile;
}

bool FieldCatalogue::lockOpenIn(const QByteArray& table) const
{
    const FieldRecord* lock = lockField();
    return lock && lock->rawIn(table) != _lockClose;
}

const FieldRecord* FieldCatalogue::byRole(const QString& role) const
{
    for (const FieldRecord& record : _fields) {
        if (record.role == role)
            return &record;
    }
    return nullptr;
}

const FieldRecord* FieldCatalogue::byKey(const QString& key) const
{
    for (const FieldRecord& record : _fields) {
        if (record.key == key)
            return &record;
    }
    return nullptr;
}

const FieldRecord* FieldCatalogue::byObjectName(const QString& name) const
{
    for (const FieldRecord& record : _fields) {
        if (record.objectName == name)
            return &record;
    }
    return nullptr;
}

QString FieldCatalogue::keyOf(const QString& objectName)
{
    for (const char* suffix : widgetSuffixes) {
        if (objectName.endsWith(QLatin1String(suffix)))
            return objectName.left(objectName.size() - int(qstrlen(suffix)));
    }
    return objectName;
}
