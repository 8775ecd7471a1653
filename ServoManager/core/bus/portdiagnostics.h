#pragma once

#include <QString>

// The message for a port that did not open: the port's own error text, plus how to fix it
// when the device exists but this user may not use it.
QString portOpenErrorText(const QString& portName, const QString& error);

// How to get access to a device file owned by the given group.
QString portPermissionHint(const QString& path, const QString& group);

// The message for a port that failed while open. Qt's own error text is stale by then ("Inappropriate
// ioctl for device"), so it says what happened in terms the user can act on: the device is gone
// (unplugged) or it is still there but stopped responding.
QString portLostText(const QString& portName);
