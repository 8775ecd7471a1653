#pragma once

#include "core/model/idevice.h"

#include <map>

// The Dynamixel AX-12: a 50-byte control table in its own layout and units, and no register
// descriptions, so the register view stays empty for it.
class DynamixelAx12 : public IDevice
{
public:
    DynamixelAx12();

    int getMemoryUpperLimit() const override;
    std::unique_ptr<FieldDeviceMetadata> getFieldDeviceMetadata(const QString& name) const override;
    std::unique_ptr<RegisterDeviceMetadata> getRegisterDeviceMetadata(unsigned short address) const override;
    int getRegisterBankRowCount(RegisterBank bank) const override;
    bool isCurrentReadingEnabled() const override;
    bool hasVelkoraControlTable() const override;
    std::vector<FieldRegister> getFieldRegisters() const override;
    std::vector<RegisterItem> getRegisterItems() const override;
    int getHardwareErrorAddress() const override;

private:
    const std::map<QString, FieldDeviceMetadata> _fieldMap;
};
