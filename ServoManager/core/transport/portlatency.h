#pragma once

#include <QString>

// How much delay the device behind a serial port adds to every exchange. USB serial adapters
// hold received bytes until their latency timer runs out (16 ms by default), once on the way
// out and once on the way back; built-in UARTs add only scheduling delay, and on a pseudo-terminal
// the answer waits for a program on this machine to be scheduled.
struct PortLatency
{
    enum class Kind
    {
        UsbWithTimer,   // a USB serial adapter whose latency timer Linux exposes
        UsbOther,       // a USB adapter without such a file (CDC ACM, say): its timer is unknown
        NotUsb,         // a built-in UART, or nothing known
        PseudoTerminal, // a program on this machine (the simulator) is the far end
    };

    Kind kind = Kind::NotUsb;
    QString device;           // the tty behind the port name, links followed ("ttyUSB0")
    int latencyTimerMs = 0;   // the timer's value for UsbWithTimer
    QString latencyTimerPath; // the file that holds it

    // What a transaction's deadline allows for the adapter, in microseconds.
    int allowanceUs() const;
};

// Looks the port up in sysfs. sysRoot is "/sys" on a running system; tests pass a fake tree.
PortLatency probePortLatency(const QString& portName, const QString& sysRoot = QStringLiteral("/sys"));

// One line for the settings dialog's port details: the latency found and, when it is above
// 2 ms, the command that lowers it.
QString portLatencyText(const PortLatency& latency);
