#pragma once

#include "core/transport/portlatency.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <sys/types.h>

// One verdict of a check the bus doctor runs: what was looked at, what was found, and where
// something is wrong, how to fix it (a command or a step).
struct DoctorFinding
{
    enum class Verdict
    {
        Fine,    // looked at, nothing wrong
        Note,    // worth knowing, nothing to fix
        Problem, // something is wrong; `fix` says what to do
    };
    QString check; // "Port", "Permission", …
    Verdict verdict = Verdict::Fine;
    QString text;
    QString fix;

    bool isProblem() const { return verdict == Verdict::Problem; }
};
Q_DECLARE_METATYPE(DoctorFinding)

// Who may open a device file: its mode, owner and group, against a user and the groups the user
// is in. Root may open anything.
struct FileAccess
{
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};
bool mayReadAndWrite(const FileAccess& file, uid_t user, const QList<gid_t>& groups);

// The checks of the port itself, in order, without opening it for a request: that it exists, is a
// terminal device (and which adapter and driver it is, where sysfs says), that this user may open
// it, and that no other process holds it (by the exclusive flag, a lock file, or an open file of
// another process, which is named where it can be found). Ends at the first check that makes the
// rest meaningless (a port that does not exist is not looked at further).
QList<DoctorFinding> checkPort(const QString& portName);

// The processes (pid and name) other than this one that have `devicePath` open, from /proc.
QList<QPair<qint64, QString>> processesHolding(const QString& devicePath);

// The adapter's latency timer: a problem when it holds answers back longer than needed (the
// command that lowers it now and the udev rule that lowers it for good), a note when unknown.
DoctorFinding latencyFinding(const PortLatency& latency);
