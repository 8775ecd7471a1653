#include "core/model/describeddevice.h"

#include <algorithm>
#include <stdexcept>

DescribedDevice::DescribedDevice(std::shared_ptr<const ModelDescription> description)
    : _description(std::move(description))
{
    buildRows();
}

namespace {
// The entry whose bytes hold `address`; a register split into masks gives its first part.
const ModelEntry* entryAt(const ModelDescription& model, int address)
{
    for (const ModelEntry& entry : model.entries)
        if (address >= entry.address && address < entry.address + entry.size)
            return &entry;
    return nullptr;
}

bool writableAt(const ModelDescription& model, int address)
{
    for (const ModelEntry& entry : model.entries)
        if (address >= entry.address && address < entry.address + entry.size && entry.writable)
            return true;
    return false;
}
} // namespace

// The description's own tables, or one table of every byte an entry holds, in address order.
void DescribedDevice::buildRows()
{
    const ModelDescription& model = *_description;
    for (int table = 0; table < model.registerTables.size(); ++table) {
        const auto& rows = model.registerTables.at(table).rows;
        for (int row = 0; row < rows.size(); ++row) {
            const int address = rows.at(row).first;
            _rows.emplace(uint16_t(address), RegisterDeviceMetadata{RegisterBank(table), uint16_t(row),
                                                                     writableAt(model, address) ? 1 : 0,
                                                                     rows.at(row).second});
        }
    }
    if (!model.registerTables.isEmpty())
        return;
    uint16_t row = 0;
    for (int address = 0; address < model.tableLength && address < 256; ++address) {
        const ModelEntry* entry = entryAt(model, address);
        if (!entry)
            continue;
        const QString text = entry->size == 1 ? entry->caption
                                              : QStringLiteral("%1 (byte %2)").arg(entry->caption).arg(address - entry->address);
        _rows.emplace(uint16_t(address),
                      RegisterDeviceMetadata{RegisterBank::NonVolatileBank1, row++, writableAt(model, address) ? 1 : 0, text});
    }
}

int DescribedDevice::getMemoryUpperLimit() const
{
    return _description->tableLength;
}

std::unique_ptr<FieldDeviceMetadata> DescribedDevice::getFieldDeviceMetadata(const QString& name) const
{
    for (const ModelEntry& entry : _description->entries) {
        if (name.isEmpty() || (entry.widget != name && entry.key != name))
            continue;
        if (!entry.hasRange)
            return std::make_unique<FieldDeviceMetadata>(FieldDeviceMetadata{0, 0, 0, 0});
        return std::make_unique<FieldDeviceMetadata>(
            FieldDeviceMetadata{int32_t(entry.rawMin), int32_t(entry.rawMax), entry.min, entry.max});
    }
    throw std::out_of_range(name.toStdString());
}

std::unique_ptr<RegisterDeviceMetadata> DescribedDevice::getRegisterDeviceMetadata(unsigned short address) const
{
    const auto it = _rows.find(address);
    if (it == _rows.end())
        return {};
    return std::make_unique<RegisterDeviceMetadata>(it->second);
}

int DescribedDevice::getRegisterBankRowCount(RegisterBank bank) const
{
    return static_cast<int>(
        std::count_if(_rows.begin(), _rows.end(), [bank](const auto& row) { return row.second.bank == bank; }));
}

std::vector<FieldRegister> DescribedDevice::getFieldRegisters() const
{
    std::vector<FieldRegister> fields;
    for (const ModelEntry& entry : _description->entries) {
        static const FieldGroup groups[] = {FieldGroup::NonVolatile, FieldGroup::Volatile, FieldGroup::Command,
                                            FieldGroup::State};
        const uint32_t signBit =
            entry.sign == ModelEntry::Sign::SignMagnitude ? uint32_t(1) << entry.signBit : uint32_t(0);
        fields.push_back(FieldRegister{entry.widget.isEmpty() ? entry.key : entry.widget, uint8_t(entry.address),
                                       uint8_t(entry.size), groups[int(entry.area)],
                                       entry.mask ? entry.mask : 0xFFFFFFFF, signBit});
    }
    return fields;
}

// One item per register, in address order: the parts of a register split into masks are one item.
std::vector<RegisterItem> DescribedDevice::getRegisterItems() const
{
    std::map<int, int> items;
    for (const ModelEntry& entry : _description->entries)
        items.emplace(entry.address, entry.size);
    std::vector<RegisterItem> list;
    for (const auto& [address, size] : items)
        list.push_back({uint8_t(address), uint8_t(size)});
    return list;
}

int DescribedDevice::getHardwareErrorAddress() const
{
    const ModelEntry* entry = _description->entryWithRole(QStringLiteral("hardwareError"));
    return entry ? entry->address : -1;
}
