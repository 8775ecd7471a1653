#pragma once

#include "servomodel.h"

#include <QByteArray>
#include <QMap>
#include <QRandomGenerator>

#include <memory>
#include <optional>

namespace servosim {

// One simulated servo: its control table, the access rules, a registered write and the live values.
// It speaks Protocol 2, Protocol 1 or Feetech's flavour of it; all share the table logic, only parameters
// and errors differ.
class Servo
{
public:
    struct Reply
    {
        quint8 error = 0;
        QByteArray params;
        // No answer at all: the packet did not fit its instruction, or the servo is set to answer none.
        bool silent = false;
    };

    // `baudRate` must have a code in the model's baud register.
    Servo(std::unique_ptr<ServoModel> model, quint8 id, int baudRate, qint64 nowUs, int protocol = 2);

    int protocol() const { return m_protocol; }
    // Whether the servo answers this group instruction ("syncRead", say).
    bool hasInstruction(const QString& name) const { return m_model->hasInstruction(name); }
    quint8 id() const { return quint8(m_table.at(m_model->idAddress())); }
    // The rate the servo listens and answers at; a new baud code takes over in completeBaudSwitch().
    int lineBaudRate() const { return m_lineBaudRate; }
    void completeBaudSwitch();
    // Return delay register, in microseconds.
    qint64 returnDelayUs() const;

    // Runs one instruction addressed to this servo (directly or by broadcast), with the parameters and
    // the error byte of the servo's protocol.
    Reply execute(quint8 code, const QByteArray& params, qint64 nowUs);

    QByteArray table(qint64 nowUs);
    // Direct change of the table, past every access rule (test fixture).
    void poke(int address, const QByteArray& bytes, qint64 nowUs);
    quint8 hardwareError() const;
    void setHardwareError(quint8 bits);
    bool setBaudRate(int baudRate);
    // The present voltage reads `volts` from now on; outside the model's voltage limits the input
    // voltage error bit is set (when the model has one).
    void setSupplyVoltage(double volts, qint64 nowUs);
    // Power off and on: the servo restarts as after a reboot, without answering.
    void powerCycle() { reboot(); }
    // Writes covering `address` are refused after the bytes before it were taken; -1: none.
    void refuseWritesAt(int address) { m_refusedAddress = address; }

private:
    Reply executeP2(quint8 code, const QByteArray& params);
    Reply executeP1(quint8 code, const QByteArray& params);
    Reply executeFeetech(quint8 code, const QByteArray& params);
    Reply ping() const;
    Reply read(const QByteArray& params);
    quint8 checkWrite(int address, const QByteArray& data) const;
    void applyWrite(int address, const QByteArray& data);
    Reply write(const QByteArray& params);
    Reply regWrite(const QByteArray& params);
    Reply action();
    Reply factoryReset(const QByteArray& params);
    Reply reboot();
    void setPending(bool pending);
    void advance(qint64 nowUs);

    std::unique_ptr<ServoModel> m_model;
    const int m_protocol;
    QByteArray m_table;
    int m_lineBaudRate;
    quint8 m_hardwareError = 0; // only for models without a hardware error register
    bool m_hasPending = false;
    int m_refusedAddress = -1;
    int m_pendingAddress = 0;
    QByteArray m_pendingData;
    // Settings written while the model's lock was closed: their address and the value kept over a
    // restart, which brings it back.
    QMap<int, char> m_lostAtRestart;
    qint64 m_lastUpdateUs;
    double m_positionFraction = 0;
    QRandomGenerator m_noise;
    std::optional<double> m_supplyVolts;
};

} // namespace servosim
