#include "bus/portdiagnostics.h"

#include "settings/settingshelper.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

QString portOpenErrorText(const QString& portName, const QString& error)
{
    const QString path = portSystemLocation(portName);
    QString text =
        portName.isEmpty()
            ? QCoreApplication::translate("MainWindow", "No serial port is selected. Choose one in Settings.")
            : error;
    const QByteArray nativePath = QFile::encodeName(path);
    if (!portName.isEmpty() && QFileInfo::exists(path) &&
        ::access(nativePath.constData(), R_OK | W_OK) != 0) {
        QString group = QFileInfo(path).group();
        if (group.isEmpty() || group == QLatin1String("root"))
            group = QStringLiteral("dialout");
        text += QCoreApplication::translate(
                    "MainWindow", "\n\nYou may not use %1. Add your user to the group \"%2\" that owns it "
                                  "(sudo usermod -aG %2 $USER), then log out and in again.")
                    .arg(path, group);
    }
    return text;
}
