#include "core/model/groupwrite.h"

#include "core/model/fieldregisters.h"

#include <algorithm>

namespace {

// Where the `byte`th byte of a register sits in its value, in bits.
int shiftOf(int byte, int size, bool bigEndian)
{
    return 8 * (bigEndian ? size - 1 - byte : byte);
}

uint32_t registerValue(const QByteArray& bytes, int offset, int size, bool bigEndian)
{
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
        const int at = offset + i;
        if (at >= 0 && at < bytes.size())
            value |= uint32_t(uint8_t(bytes.at(at))) << shiftOf(i, size, bigEndian);
    }
    return value;
}

} // namespace

uint32_t WriteField::heldIn(const QByteArray& table) const
{
    return registerValue(table, address, size, bigEndian) & mask & registerMask(size);
}

bool WriteField::operator==(const WriteField& other) const
{
    return name == other.name && address == other.address && size == other.size && value == other.value &&
           mask == other.mask && bigEndian == other.bigEndian;
}

bool GroupWrite::operator==(const GroupWrite& other) const
{
    return _fields == other._fields && newId == other.newId && newBaudCode == other.newBaudCode;
}

GroupWrite::GroupWrite(QList<WriteField> fields) : _fields(std::move(fields))
{
    if (_fields.isEmpty())
        return;
    int first = _fields.first().address;
    int end = first;
    for (const WriteField& field : _fields) {
        first = std::min(first, field.address);
        end = std::max(end, field.address + field.size);
    }
    _address = first;
    _length = end - first;
}

const WriteField* GroupWrite::field(const QString& name) const
{
    for (const WriteField& field : _fields) {
        if (field.name == name)
            return &field;
    }
    return nullptr;
}

QByteArray GroupWrite::block(const QByteArray& table) const
{
    QByteArray block = table.mid(_address, _length);
    block.append(QByteArray(_length - block.size(), '\0'));
    for (const WriteField& field : _fields) {
        const uint32_t mask = field.mask & registerMask(field.size);
        const int offset = field.address - _address;
        const uint32_t merged =
            (registerValue(block, offset, field.size, field.bigEndian) & ~mask) | (field.value & mask);
        for (int i = 0; i < field.size; ++i)
            block[offset + i] = static_cast<char>((merged >> shiftOf(i, field.size, field.bigEndian)) & 0xFF);
    }
    return block;
}

WriteCheck GroupWrite::check(const QByteArray& table) const
{
    WriteCheck result;
    for (int i = 0; i < _fields.size(); ++i) {
        const WriteField& field = _fields.at(i);
        const uint32_t held = field.heldIn(table);
        if (held == (field.value & field.mask & registerMask(field.size))) {
            ++result.fieldsHeld;
        } else if (result.firstDiffering < 0) {
            result.firstDiffering = i;
            result.held = held;
        }
    }
    return result;
}
