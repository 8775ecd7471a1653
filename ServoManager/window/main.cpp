#include "core/launch/launchoptions.h"
#include "core/settings/settingshelper.h"
#include "window/controllers/buscontrol.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>

namespace {
// --help and --version only print, so they must work without a display.
bool onlyPrints(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "-h" || argument == "-?" || argument == "--help" || argument == "--help-all" ||
            argument == "-v" || argument == "--version")
            return true;
    }
    return false;
}

// Qt's windowing plugins for a desktop session abort without one; say so in words instead.
bool lacksDisplay(int argc, char* argv[])
{
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i)
        if (QByteArray(argv[i]) == "-platform" || QByteArray(argv[i]) == "--platform")
            platform = argv[i + 1];
    const bool desktopPlatform = platform.isEmpty() || platform.startsWith("xcb") || platform.startsWith("wayland");
    return desktopPlatform && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Exit code 2 for a bad command line, 1 when the run cannot start.
int fail(const QString& message, int exitCode)
{
    QTextStream(stderr) << "VelkoraServoManager: " << message << '\n';
    return exitCode;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationVersion(QStringLiteral(VSM_VERSION));
    if (onlyPrints(argc, argv)) {
        QCoreApplication application(argc, argv);
        QCommandLineParser parser;
        addLaunchOptions(parser);
        parser.process(application); // prints and exits, unless the word was an option's value
    }

    if (lacksDisplay(argc, argv))
        return fail(QStringLiteral("needs a display, and none was found (DISPLAY and WAYLAND_DISPLAY are not "
                                   "set). Start it in a desktop session. QT_QPA_PLATFORM=offscreen runs it "
                                   "without one, for tests only: nothing can be seen."),
                    1);
    QApplication application(argc, argv);
    QCommandLineParser parser;
    addLaunchOptions(parser);
    parser.process(application);
    LaunchOptions options;
    QString error = readLaunchOptions(parser, &options);
    if (!error.isEmpty())
        return fail(error, 2);
    LaunchSession session(options);
    if (!session.start(&error))
        return fail(error, 1);

    MainWindow window;
    window.setWindowTitle(session.windowTitle(window.windowTitle()));
    if (!options.listedIds.isEmpty())
        window.bus()->list(options.listedIds, Settings(QStringLiteral("port settings"))
                                                  .getValue(QStringLiteral("baudRate"), 1000000)
                                                  .toInt());
    window.show();
    return QApplication::exec();
}
