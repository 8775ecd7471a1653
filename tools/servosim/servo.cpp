#include "servo.h"

#include "protocol.h"

namespace servosim {

namespace {

constexpr quint8 HighestServoId = 252;

int paramU16(const QByteArray& params, int offset)
{
    return quint8(params.at(offset)) | (quint8(params.at(offset + 1)) << 8);
}

QByteArray u16(int value)
{
    return QByteArray(1, char(value & 0xFF)) + char((value >> 8) & 0xFF);
}

// Protocol 1 has no access, length or limit errors of its own: a refused value is out of range, a
// packet of the wrong length a bad instruction.
quint8 errorP1For(quint8 errorP2)
{
    switch (errorP2) {
    case error::None:
        return errorP1::None;
    case error::Crc:
        return errorP1::Checksum;
    case error::DataRange:
    case error::DataLimit:
    case error::Access:
        return errorP1::Range;
    default:
        return errorP1::Instruction;
    }
}

} // namespace

Servo::Servo(std::unique_ptr<ServoModel> model, quint8 id, int baudRate, qint64 nowUs, int protocol)
    : m_model(std::move(model)), m_protocol(protocol), m_table(m_model->factoryTable()),
      m_lineBaudRate(baudRate), m_lastUpdateUs(nowUs), m_noise(id)
{
    m_table[m_model->idAddress()] = char(id);
    m_table[m_model->baudAddress()] = char(m_model->codeForBaudRate(baudRate));
}

qint64 Servo::returnDelayUs() const
{
    const int address = m_model->returnDelayAddress();
    return address < 0 ? 0 : 2 * quint8(m_table.at(address));
}

void Servo::completeBaudSwitch()
{
    m_lineBaudRate = m_model->baudRateForCode(quint8(m_table.at(m_model->baudAddress())));
}

Servo::Reply Servo::execute(quint8 code, const QByteArray& params, qint64 nowUs)
{
    advance(nowUs);
    if (m_protocol == protocolNumber::Feetech)
        return executeFeetech(code, params);
    Reply reply = m_protocol == protocolNumber::P1 ? executeP1(code, params) : executeP2(code, params);
    // At status return level 0 the instruction is carried out but only a ping is answered.
    const int level = m_model->statusReturnLevelAddress();
    if (code != instruction::Ping && level >= 0 && m_table.at(level) == 0)
        reply.silent = true;
    return reply;
}

void Servo::setSupplyVoltage(double volts, qint64 nowUs)
{
    m_supplyVolts = volts;
    advance(nowUs);
}

Servo::Reply Servo::executeP2(quint8 code, const QByteArray& params)
{
    switch (code) {
    case instruction::Ping:
        return ping();
    case instruction::Read:
        return read(params);
    case instruction::Write:
        return write(params);
    case instruction::RegWrite:
        return regWrite(params);
    case instruction::Action:
        return action();
    case instruction::FactoryReset:
        return factoryReset(params);
    case instruction::Reboot:
        return reboot();
    default:
        return {error::Instruction, {}};
    }
}

// Addresses and lengths are one byte each; widened, the Protocol 2 handlers do the work.
Servo::Reply Servo::executeP1(quint8 code, const QByteArray& params)
{
    QByteArray widened;
    switch (code) {
    case instruction::Ping:
        // A Protocol 1 ping carries no model number.
        return {params.isEmpty() ? errorP1::None : errorP1::Instruction, {}};
    case instruction::Read:
        if (params.size() != 2)
            return {errorP1::Instruction, {}};
        widened = u16(quint8(params.at(0))) + u16(quint8(params.at(1)));
        break;
    case instruction::Write:
    case instruction::RegWrite:
        if (params.size() < 2) // an address and at least one byte
            return {errorP1::Instruction, {}};
        widened = u16(quint8(params.at(0))) + params.mid(1);
        break;
    case instruction::Action:
    case instruction::Reboot:
    case instruction::FactoryReset:
        if (!params.isEmpty())
            return {errorP1::Instruction, {}};
        // A reset without options: everything goes back, the id and the baud rate too.
        if (code == instruction::FactoryReset)
            widened = QByteArray(1, char(resetOption::All));
        break;
    default:
        return {errorP1::Instruction, {}};
    }
    Reply reply = executeP2(code, widened);
    reply.error = errorP1For(reply.error);
    return reply;
}

// Feetech servos refuse nothing aloud: their error byte holds alarms only. A packet that does not fit
// its instruction gets no answer; a write the servo cannot take is left undone and an unknown instruction
// ignored, both answered as if all were well.
Servo::Reply Servo::executeFeetech(quint8 code, const QByteArray& params)
{
    const Reply silent{error::None, {}, true};
    QByteArray widened;
    switch (code) {
    case instruction::Ping:
        // No model number in the answer either.
        return params.isEmpty() ? Reply{} : silent;
    case instruction::Read:
        if (params.size() != 2)
            return silent;
        widened = u16(quint8(params.at(0))) + u16(quint8(params.at(1)));
        break;
    case instruction::Write:
    case instruction::RegWrite:
        if (params.size() < 2)
            return silent;
        widened = u16(quint8(params.at(0))) + params.mid(1);
        break;
    case instruction::Action:
    case instruction::FactoryReset:
        if (!params.isEmpty())
            return silent;
        // A reset has no option: the model's one reset.
        if (code == instruction::FactoryReset)
            widened = QByteArray(1, char(m_model->plainResetOption()));
        break;
    default:
        return {};
    }
    Reply reply = executeP2(code, widened);
    // A read past the table has nothing to answer with.
    if (code == instruction::Read && reply.error != error::None)
        return silent;
    reply.error = error::None;
    // At status return level 0 only a read is answered (a ping always).
    const int level = m_model->statusReturnLevelAddress();
    reply.silent = code != instruction::Read && level >= 0 && m_table.at(level) == 0;
    return reply;
}

QByteArray Servo::table(qint64 nowUs)
{
    advance(nowUs);
    return m_table;
}

void Servo::poke(int address, const QByteArray& bytes, qint64 nowUs)
{
    advance(nowUs);
    const int count = qMin(bytes.size(), m_table.size() - address);
    if (address < 0 || count <= 0)
        return;
    m_table.replace(address, count, bytes.left(count));
    for (int at = address; at < address + count; ++at)
        m_lostAtRestart.remove(at); // set past every rule, for good
    if (m_model->baudRateForCode(quint8(m_table.at(m_model->baudAddress()))) > 0)
        completeBaudSwitch();
}

quint8 Servo::hardwareError() const
{
    const int address = m_model->hardwareErrorAddress();
    return address < 0 ? m_hardwareError : quint8(m_table.at(address));
}

void Servo::setHardwareError(quint8 bits)
{
    const int address = m_model->hardwareErrorAddress();
    if (address < 0)
        m_hardwareError = bits;
    else
        m_table[address] = char(bits);
}

bool Servo::setBaudRate(int baudRate)
{
    const int code = m_model->codeForBaudRate(baudRate);
    if (code < 0)
        return false;
    m_table[m_model->baudAddress()] = char(code);
    m_lineBaudRate = baudRate;
    return true;
}

Servo::Reply Servo::ping() const
{
    return {error::None, m_model->pingParams(m_table)};
}

Servo::Reply Servo::read(const QByteArray& params)
{
    if (params.size() != 4)
        return {error::DataLength, {}};
    const int address = paramU16(params, 0);
    const int length = paramU16(params, 2);
    if (address + length > m_table.size())
        return {error::DataRange, {}};
    return {error::None, m_table.mid(address, length)};
}

quint8 Servo::checkWrite(int address, const QByteArray& data) const
{
    if (data.isEmpty())
        return error::None;
    if (address + data.size() > m_table.size())
        return error::DataRange;
    if (!m_model->isWritable(address))
        return error::Access;
    if (m_model->refusesWrite(m_table, address, data.size()))
        return error::Access;
    // An id the bus cannot address, or a baud code nobody can talk to, would lose the servo.
    const int idOffset = m_model->idAddress() - address;
    if (idOffset >= 0 && idOffset < data.size() && quint8(data.at(idOffset)) > HighestServoId)
        return error::DataLimit;
    const int baudOffset = m_model->baudAddress() - address;
    if (baudOffset >= 0 && baudOffset < data.size() &&
        m_model->baudRateForCode(quint8(data.at(baudOffset))) < 0)
        return error::DataLimit;
    return error::None;
}

void Servo::applyWrite(int address, const QByteArray& data)
{
    const bool kept = m_model->keepsWrites(m_table);
    for (int i = 0; i < data.size(); ++i) {
        const int at = address + i;
        if (!m_model->isWritable(at))
            continue;
        if (kept)
            m_lostAtRestart.remove(at);
        else if (m_model->isNonVolatile(at) && !m_lostAtRestart.contains(at))
            m_lostAtRestart.insert(at, m_table.at(at));
        m_table[at] = data.at(i);
    }
    // The pending flag reflects whether a registered write waits; clearing it drops that write.
    const int pendingOffset = m_model->pendingAddress() - address;
    if (m_model->isWritable(m_model->pendingAddress()) && pendingOffset >= 0 && pendingOffset < data.size() &&
        data.at(pendingOffset) == 0)
        m_hasPending = false;
    setPending(m_hasPending);
}

Servo::Reply Servo::write(const QByteArray& params)
{
    if (params.size() < 2)
        return {error::DataLength, {}};
    const int address = paramU16(params, 0);
    const QByteArray data = params.mid(2);
    const quint8 result = checkWrite(address, data);
    if (result == error::None && m_refusedAddress >= address && m_refusedAddress < address + data.size()) {
        applyWrite(address, data.left(m_refusedAddress - address));
        return {error::DataLimit, {}};
    }
    if (result == error::None)
        applyWrite(address, data);
    return {result, {}};
}

Servo::Reply Servo::regWrite(const QByteArray& params)
{
    if (params.size() < 2)
        return {error::DataLength, {}};
    const int address = paramU16(params, 0);
    const QByteArray data = params.mid(2);
    const quint8 result = checkWrite(address, data);
    if (result == error::None) {
        m_pendingAddress = address;
        m_pendingData = data;
        setPending(true);
    }
    return {result, {}};
}

Servo::Reply Servo::action()
{
    if (!m_hasPending)
        return {error::None, {}};
    setPending(false);
    // The table may have changed since the write was registered (motor enabled, for one).
    const quint8 result = checkWrite(m_pendingAddress, m_pendingData);
    if (result == error::None)
        applyWrite(m_pendingAddress, m_pendingData);
    return {result, {}};
}

Servo::Reply Servo::factoryReset(const QByteArray& params)
{
    if (params.size() != 1)
        return {error::DataLength, {}};
    const quint8 option = quint8(params.at(0));
    if (const quint8 refused = m_model->resetOptionError(option); refused != error::None)
        return {refused, {}};
    const QByteArray old = m_table;
    m_lostAtRestart.clear(); // the factory settings are written for good
    m_table = m_model->factoryTable();
    // The shaft and its hardware faults are not part of the settings.
    m_model->keepLiveValues(m_table, old);
    if (option != resetOption::All)
        m_table[m_model->idAddress()] = old.at(m_model->idAddress());
    if (option == resetOption::KeepIdAndBaud)
        m_table[m_model->baudAddress()] = old.at(m_model->baudAddress());
    return reboot();
}

Servo::Reply Servo::reboot()
{
    // What was written past a closed lock is gone; the rate too, if it was among it.
    for (auto it = m_lostAtRestart.cbegin(); it != m_lostAtRestart.cend(); ++it)
        m_table[it.key()] = it.value();
    const bool rateLost = m_lostAtRestart.contains(m_model->baudAddress());
    m_lostAtRestart.clear();
    if (rateLost && m_model->baudRateForCode(quint8(m_table.at(m_model->baudAddress()))) > 0)
        completeBaudSwitch();
    m_hasPending = false;
    m_positionFraction = 0;
    m_model->powerOn(m_table);
    if (m_model->rebootClearsHardwareError())
        m_hardwareError = 0;
    return {error::None, {}};
}

void Servo::setPending(bool pending)
{
    m_hasPending = pending;
    if (m_model->pendingAddress() >= 0)
        m_table[m_model->pendingAddress()] = pending ? 1 : 0;
}

void Servo::advance(qint64 nowUs)
{
    const double seconds = (nowUs - m_lastUpdateUs) / 1e6;
    m_lastUpdateUs = nowUs;
    m_model->simulate(m_table, m_positionFraction, seconds, m_noise);
    // The supply holds the voltage where it is, whatever the model's own drift; outside the limits the
    // servo flags it as any servo would.
    if (m_supplyVolts && m_model->setSupplyVoltage(m_table, *m_supplyVolts))
        setHardwareError(hardwareError() | m_model->inputVoltageErrorBit());
}

} // namespace servosim
