#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// One run of the command-line program with a home of its own (settings, models folder), as a
// user's shell would start it.
struct CliRun
{
    bool finished = false;
    int status = -1;
    QString out;
    QString err;
};

inline CliRun runCli(const QString& program, const QString& home, const QStringList& arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* variable : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
        environment.insert(variable, home);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(home);
    process.start(program, arguments);
    CliRun run;
    run.finished = process.waitForFinished(60000);
    run.status = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}
