#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

namespace servosim {

// Ways an answer can go wrong on the line.
enum class Fault
{
    None,          // sent as the servo built it
    NoAnswer,      // nothing is sent (the request is still carried out)
    BadCrc,        // the CRC bytes are wrong
    Truncated,     // the answer stops short
    GarbageBefore, // a few stray bytes come before the header
    Split,         // the answer arrives in several chunks a few milliseconds apart
    Delayed,       // the answer comes far too late
    WrongId,       // the answer carries the next id (with a valid CRC)
    ErrorByte      // the answer carries a given error byte
};

// Every fault but None.
QList<Fault> allFaults();
// Command-line names: "no-answer", "bad-crc", "truncated", "garbage-before", "split", "delayed", "wrong-id",
// "error-byte" (and "none").
QString faultName(Fault fault);
bool faultFromName(const QString& name, Fault* fault);

} // namespace servosim

Q_DECLARE_METATYPE(servosim::Fault)
