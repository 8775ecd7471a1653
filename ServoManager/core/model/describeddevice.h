#pragma once

#include "core/model/idevice.h"
#include "core/model/modeldescription.h"

#include <map>
#include <memory>

// A servo model as its description file states it: the only kind of model the program has.
class DescribedDevice : public IDevice
{
public:
    explicit DescribedDevice(std::shared_ptr<const ModelDescription> description);
    virtual ~DescribedDevice() = default;

    int getMemoryUpperLimit() const override;
    std::unique_ptr<FieldDeviceMetadata> getFieldDeviceMetadata(const QString& name) const override;
    std::unique_ptr<RegisterDeviceMetadata> getRegisterDeviceMetadata(unsigned short address) const override;
    int getRegisterBankRowCount(RegisterBank bank) const override;
    std::vector<FieldRegister> getFieldRegisters() const override;
    std::vector<RegisterItem> getRegisterItems() const override;
    int getHardwareErrorAddress() const override;
    const ModelDescription& description() const override { return *_description; }

private:
    void buildRows();

    std::shared_ptr<const ModelDescription> _description;
    std::map<uint16_t, RegisterDeviceMetadata> _rows;
};
