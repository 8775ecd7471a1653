#include "isolatedsettings.h"

#include <QSettings>

IsolatedSettings::IsolatedSettings()
{
    // On Linux the native format is the INI file; the system scope is redirected too, so
    // machine-wide fallbacks cannot leak values in.
    const QString user = _dir.path() + QStringLiteral("/user");
    const QString system = _dir.path() + QStringLiteral("/system");
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, user);
        QSettings::setPath(format, QSettings::SystemScope, system);
    }
}
