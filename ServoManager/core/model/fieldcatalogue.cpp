#include "core/model/fieldcatalogue.h"

#include "core/model/fieldmetadefs.h"
#include "core/model/fieldregisters.h"
#include "core/model/rangemap.h"


#include <algorithm>
#include <stdexcept>

namespace {
// Widget classes as the form's object names end in them.
const char* const widgetSuffixes[] = {"DoubleSpinBox", "SpinBox", "LineEdit", "ComboBox", "CheckBox"};

// Keys whose words are not what the value is: files keep the old key, people read the caption.
struct KeyCaption
{
    const char* key;
    const char* caption;
};
const KeyCaption captionsOfOddKeys[] = {
    {"quadratureCurrentLimit", "Torque limit"}, // register 14 limits the torque, in Nm
};
} // namespace

int FieldRecord::rawIn(const QByteArray& table) const
{
    uint32_t bits = 0;
    for (int i = 0; i < size; ++i) {
        if (address + i < table.size())
            bits |= uint32_t(uint8_t(table.at(address + i))) << (8 * i);
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
    const FieldStaticMetadataHelper quantities;
    for (const FieldRegister& location : device.getFieldRegisters()) {
        FieldRecord record;
        record.objectName = location.name;
        record.key = keyOf(location.name);
        record.caption = captionOf(record.key);
        record.group = location.group;
        record.address = location.address;
        record.size = location.byteCount;
        record.mask = location.mask;
        record.signBit = location.signBit;
        record.quantity = quantities.getFieldStaticMetadata(location.name)->physicalQuantity;
        try {
            const auto range = device.getFieldDeviceMetadata(location.name);
            record.rawMin = range->rawMin;
            record.rawMax = range->rawMax;
            record.min = range->min;
            record.max = range->max;
            record.hasRange = range->rawMin != range->rawMax;
        } catch (const std::out_of_range&) {
            // A value the model keeps but gives no range (a list or a flag).
        }
        record.isSigned = record.hasRange && record.rawMin < 0 && record.signBit == 0;
        const auto registerRecord = device.getRegisterDeviceMetadata(location.address);
        record.writable = location.group != FieldGroup::State && (!registerRecord || registerRecord->writable != 0);
        _fields.push_back(record);
    }
    std::stable_sort(_fields.begin(), _fields.end(),
                     [](const FieldRecord& a, const FieldRecord& b) { return a.address < b.address; });
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

QString FieldCatalogue::captionOf(const QString& key)
{
    for (const KeyCaption& odd : captionsOfOddKeys) {
        if (key == QLatin1String(odd.key))
            return QString::fromLatin1(odd.caption);
    }
    QString caption;
    for (int i = 0; i < key.size(); ++i) {
        const QChar c = key.at(i);
        if (i == 0)
            caption += c.toUpper();
        else if (c.isUpper())
            caption += QLatin1Char(' ') + c.toLower();
        else
            caption += c;
    }
    return caption;
}
