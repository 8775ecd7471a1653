#pragma once

#include <QString>
#include <QTemporaryDir>

// Points every QSettings created from now on at a fresh temporary directory, so a test never
// reads or writes the user's real configuration. Create it before any settings object and
// keep it alive longer than all of them.
class IsolatedSettings
{
public:
    IsolatedSettings();

    bool isValid() const { return _dir.isValid(); }
    QString path() const { return _dir.path(); }

private:
    QTemporaryDir _dir;
};
