#pragma once

#include "core/model/idevice.h"

#include <map>

// The maker's own servo: 118-byte control table, every register described.
class VelkoraV1 : public IDevice
{
public:
    VelkoraV1();

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
    const std::map<uint16_t, RegisterDeviceMetadata> _registerMap;
};
