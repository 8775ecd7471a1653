#include "cli/commandline.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velkora-servo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VSM_VERSION));
    return runCommandLine(QCoreApplication::arguments().mid(1));
}
