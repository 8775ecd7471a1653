#pragma once

#include "core/protocol/statuspacketframer.h"
#include "core/transport/portcheck.h"

#include <QByteArray>
#include <QList>

#include <memory>

struct ModelDescription;

// What the bus doctor says of one servo from its whole control table, read at `baudRate`: its
// supply voltage against its own limits, hardware errors in words, its temperature against its
// limit, what its return delay costs each exchange, and a status return level that leaves writes
// unanswered. `alarms`: a Protocol 1 answer's alarm bits, -1: none.
// `portName` and `protocol` go into the commands the fixes give (no port: the stored one).
QList<DoctorFinding> checkServo(int id, const std::shared_ptr<const ModelDescription>& model,
                                const QByteArray& table, int baudRate, int alarms = -1,
                                const QString& portName = {}, BusProtocol protocol = BusProtocol::Two);

// The command line that runs `words` on one servo where it answers.
QString servoCommand(const QString& portName, int id, int baudRate, BusProtocol protocol,
                     const QString& words);
