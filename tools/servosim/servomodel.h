#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVector>

#include <memory>

class QRandomGenerator;
struct ModelDescription;

namespace servosim {

enum class Model
{
    V1,
    Ax12
};

// Little-endian access to a control table.
int tableU16(const QByteArray& table, int address);
int tableS16(const QByteArray& table, int address);
qint32 tableS32(const QByteArray& table, int address);
void setTableU16(QByteArray& table, int address, int value);
void setTableS32(QByteArray& table, int address, qint32 value);

// What differs between servo models: control-table layout, access, defaults and the live behaviour.
class ServoModel
{
public:
    static constexpr int IdAddress = 3;
    static constexpr int BaudAddress = 4;
    static constexpr int ReturnDelayAddress = 5;

    virtual ~ServoModel() = default;
    // `description`, when given, is played instead of `model`.
    static std::unique_ptr<ServoModel>
    create(Model model, const std::shared_ptr<const ModelDescription>& description = {});

    int tableSize() const { return m_writable.size(); }
    // Registers the servo lets a write change; read-only registers and unused addresses are not.
    bool isWritable(int address) const { return m_writable.value(address, false); }
    int motorEnableAddress() const { return m_motorEnable; }
    // Addresses below this one are the non-volatile parameters.
    int volatileStart() const { return m_volatileStart; }
    // The flag that a registered (Reg Write) write waits for Action.
    int pendingAddress() const { return m_pending; }
    // -1 when the model keeps its hardware error bits outside the control table.
    int hardwareErrorAddress() const { return m_hardwareError; }

    virtual int idAddress() const { return IdAddress; }
    virtual int baudAddress() const { return BaudAddress; }
    // -1: the servo answers without delay.
    virtual int returnDelayAddress() const { return ReturnDelayAddress; }
    // -1: the servo answers whatever it is asked (a Feetech servo at level 0 answers ping and read only).
    virtual int statusReturnLevelAddress() const { return -1; }
    // The model's own baud-rate codes; -1 for a code or rate it has not.
    virtual int baudRateForCode(int code) const;
    virtual int codeForBaudRate(int baudRate) const;
    // Every rate the baud register has a code for, ascending.
    QList<int> baudRates() const;
    // Why the model cannot speak `protocol`; empty when it can.
    virtual QString protocolProblem(int protocol) const;
    // A write of `length` bytes at `address` the servo refuses in its present state (settings while the
    // motor is on, say); bounds and read-only registers are checked apart.
    virtual bool refusesWrite(const QByteArray& table, int address, int length) const;
    // What a Protocol 2 ping answers: the model number (little-endian) and the firmware version.
    virtual QByteArray pingParams(const QByteArray& table) const { return table.left(3); }

    // The Protocol 2 error a factory reset with `option` gets; 0: the servo takes the option.
    virtual quint8 resetOptionError(quint8 option) const;
    // What a reset without an option (Feetech's) keeps: a reset option.
    virtual quint8 plainResetOption() const;
    // Whether the servos answer a group instruction beyond ping, read and write ("syncRead", say).
    virtual bool hasInstruction(const QString&) const { return false; }
    // A reboot clears the hardware error bits; otherwise they outlive it.
    virtual bool rebootClearsHardwareError() const { return false; }
    // Whether a write into `table` as it is now is kept over a restart: false while a lock entry
    // closes the non-volatile area, whose writes then last until the servo restarts.
    virtual bool keepsWrites(const QByteArray&) const { return true; }
    // Whether `address` is a byte of the settings kept over a restart.
    virtual bool isNonVolatile(int) const { return true; }

    // Puts `volts` into the present voltage register; true when that is outside the voltage limits.
    // False as well for a model without such a register.
    virtual bool setSupplyVoltage(QByteArray&, double) const { return false; }
    // The hardware error bit for an input voltage outside the limits; 0: none.
    virtual quint8 inputVoltageErrorBit() const { return 0; }

    // What a factory reset keeps of the `old` table in `fresh`: the shaft's place and the live values.
    virtual void keepLiveValues(QByteArray& fresh, const QByteArray& old) const;

    // The table of a servo as it leaves the factory, just powered on.
    virtual QByteArray factoryTable() const = 0;
    // Volatile registers back to their power-on values; the shaft stays where it is.
    virtual void powerOn(QByteArray& table) const = 0;
    // Moves the live values on by `seconds`; `fraction` keeps the part of the position below one count.
    virtual void simulate(QByteArray& table, double& fraction, double seconds,
                          QRandomGenerator& noise) const = 0;

protected:
    struct Range
    {
        int first;
        int last;
    };
    ServoModel(int tableSize, std::initializer_list<Range> writable, int motorEnable, int volatileStart,
               int pending, int hardwareError);
    void setWritable(int address) { m_writable[address] = true; }

private:
    QVector<bool> m_writable;
    int m_motorEnable;
    int m_volatileStart;
    int m_pending;
    int m_hardwareError;
};

} // namespace servosim

Q_DECLARE_METATYPE(servosim::Model)
