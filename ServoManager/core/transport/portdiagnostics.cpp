#include "core/transport/portdiagnostics.h"

#include "core/settings/settingshelper.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString portOpenErrorText(const QString& portName, const QString& error)
{
    if (portName.isEmpty())
        return QCoreApplication::translate("MainWindow",
                                           "No serial port is selected. Choose one in Settings.");
    const QString path = portSystemLocation(portName);
    const QByteArray nativePath = QFile::encodeName(path);
    if (QFileInfo::exists(path) && ::access(nativePath.constData(), R_OK | W_OK) != 0)
        return error + QStringLiteral("\n\n") + portPermissionHint(path, QFileInfo(path).group());
    return error;
}

QString notSerialPortText(const QString& portName)
{
    const QString path = portSystemLocation(portName);
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat status = {};
    if (path.isEmpty() || ::stat(nativePath.constData(), &status) != 0)
        return {};
    bool terminal = false;
    if (S_ISCHR(status.st_mode)) {
        const int fd = ::open(nativePath.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return {}; // cannot tell (not ours to use, say): the port's own error says why
        terminal = ::isatty(fd) != 0;
        ::close(fd);
    }
    if (terminal)
        return {};
    return QCoreApplication::translate("MainWindow",
                                       "%1 is not a serial port. Choose the port of the servos' adapter, such "
                                       "as /dev/ttyUSB0.")
        .arg(portName);
}

QString portPermissionHint(const QString& path, const QString& group)
{
    if (group.isEmpty() || group == QLatin1String("root"))
        return QCoreApplication::translate("MainWindow",
                                           "Only root may use %1. A udev rule that gives it to the group "
                                           "\"dialout\" lets members of that group use it.")
            .arg(path);
    return QCoreApplication::translate("MainWindow",
                                       "You may not use %1. Add your user to the group \"%2\" that owns it "
                                       "(sudo usermod -aG %2 $USER), then log out and in again.")
        .arg(path, group);
}

QString portLostText(const QString& portName)
{
    // exists() follows links: a /dev/serial/by-id link left dangling counts as gone.
    if (!QFileInfo::exists(portSystemLocation(portName)))
        return QCoreApplication::translate(
                   "MainWindow", "The serial port %1 was unplugged.\nThe connection was closed. Plug "
                                 "the adapter in again, then press Connect.")
            .arg(portName);
    return QCoreApplication::translate("MainWindow",
                                       "The serial port %1 stopped responding.\nThe connection was closed. "
                                       "Check the adapter and its cable, then press Connect.")
        .arg(portName);
}
