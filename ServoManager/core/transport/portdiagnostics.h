#pragma once

#include <QString>

// The message for a port that did not open: the port's own error text, plus how to fix it
// when the device exists but this user may not use it.
QString portOpenErrorText(const QString& portName, const QString& error);

// Says so when `portName` exists but is no terminal device (/dev/null, a file, a folder), which
// nothing on a serial bus can answer through; empty otherwise (a pseudo-terminal is a serial port).
// It opens the device for a moment: look while the port itself is held open, so that closing
// this look does not hang up the line.
QString notSerialPortText(const QString& portName);

// How to get access to a device file owned by the given group.
QString portPermissionHint(const QString& path, const QString& group);

// The message for a port that failed while open. Qt's own error text is stale by then ("Inappropriate
// ioctl for device"), so it says what happened in terms the user can act on: the device is gone
// (unplugged) or it is still there but stopped responding.
QString portLostText(const QString& portName);
