#pragma once

#include "servomodel.h"

#include <memory>

struct ModelDescription;
struct ModelEntry;

namespace servosim {

// A servo played from a model description: its table, defaults, access and non-volatile rule, baud codes
// and protocols are the description's; the live values follow the entries' roles.
class DescribedModel : public ServoModel
{
public:
    explicit DescribedModel(std::shared_ptr<const ModelDescription> description);
    // Why the simulator cannot play `description` (it needs a one-byte id and baud register); empty
    // when it can.
    static QString unplayable(const ModelDescription& description);

    int idAddress() const override { return m_id; }
    int baudAddress() const override { return m_baud; }
    int returnDelayAddress() const override { return m_returnDelay; }
    int statusReturnLevelAddress() const override { return m_statusReturnLevel; }
    int baudRateForCode(int code) const override;
    int codeForBaudRate(int baudRate) const override;
    QString protocolProblem(int protocol) const override;
    bool refusesWrite(const QByteArray& table, int address, int length) const override;
    QByteArray pingParams(const QByteArray& table) const override;
    quint8 resetOptionError(quint8 option) const override;
    quint8 plainResetOption() const override;
    bool hasInstruction(const QString& name) const override;
    bool rebootClearsHardwareError() const override;
    bool setSupplyVoltage(QByteArray& table, double volts) const override;
    quint8 inputVoltageErrorBit() const override;
    bool keepsWrites(const QByteArray& table) const override;
    bool isNonVolatile(int address) const override;

    void keepLiveValues(QByteArray& fresh, const QByteArray& old) const override;
    QByteArray factoryTable() const override;
    void powerOn(QByteArray& table) const override;
    void simulate(QByteArray& table, double& fraction, double seconds,
                  QRandomGenerator& noise) const override;

    // An entry's value in a table, in the description's byte order, mask and sign.
    int64_t value(const QByteArray& table, const ModelEntry& entry) const;
    void setValue(QByteArray& table, const ModelEntry& entry, int64_t value) const;

private:
    // Where the `byte`th byte of the entry sits in its value, in bits.
    int byteShift(const ModelEntry& entry, int byte) const;
    const ModelEntry* role(const char* name) const;
    int64_t defaultOf(const ModelEntry& entry) const;
    void setWithin(QByteArray& table, const ModelEntry* entry, int64_t value) const;
    // The live values that wander a little around their defaults.
    void addNoise(QByteArray& table, const char* roleName, QRandomGenerator& noise) const;

    std::shared_ptr<const ModelDescription> m_description;
    int m_id = -1;
    int m_baud = -1;
    int m_returnDelay = -1;
    int m_statusReturnLevel = -1;
};

} // namespace servosim
