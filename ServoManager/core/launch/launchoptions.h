#pragma once

#include <servomodel.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class QCommandLineParser;
struct ModelDescription;

namespace servosim {
class ServoSimulator;
}

// What the command line asks of one run of the program.
struct LaunchOptions
{
    bool simulate = false;
    QList<int> simulatedIds{1}; // an id listed twice: two servos share it
    servosim::Model model = servosim::Model::V1;
    // --model naming any other description: the simulated servos play it instead of `model`.
    std::shared_ptr<const ModelDescription> description;
    QStringList modelFolders; // --models, in the order given
    QString portName;         // empty: the stored port
    int baudRate = 0;         // 0: the stored rate (simulated servos: 1000000)
    int protocol = 0;         // 1 or 2; 0: the stored one (simulated servos: their model's)
    int servoId = -1;         // -1: the stored id
    QList<int> listedIds;     // every id given, for the bus table (the simulated ones with --simulate)
};

// Adds the program's options, --help and --version among them.
void addLaunchOptions(QCommandLineParser& parser);
// The options of a parsed command line, or the text that says what is wrong with it.
QString readLaunchOptions(const QCommandLineParser& parser, LaunchOptions* options);

// Carries the options out for one run: starts the simulated servos when asked to and points the
// port, baud rate and servo id at them, or at the values given, without storing any of it. A
// simulated run stores nothing at all. Create it before the main window and keep it longer.
class LaunchSession
{
public:
    explicit LaunchSession(LaunchOptions options);
    ~LaunchSession();
    LaunchSession(const LaunchSession&) = delete;
    LaunchSession& operator=(const LaunchSession&) = delete;

    bool start(QString* error);
    // The main window's title for this run; it says when the servos are simulated.
    QString windowTitle(const QString& title) const;
    servosim::ServoSimulator* simulator() const { return _simulator.get(); }
    // The simulated servos of the session that runs now, for views that plug servos in; null
    // when none is simulated.
    static servosim::ServoSimulator* runningSimulator();
    // The short name of the model the running simulated servos play; empty when none run.
    static QString simulatedModel();

private:
    LaunchOptions _options;
    std::unique_ptr<servosim::ServoSimulator> _simulator;
};
