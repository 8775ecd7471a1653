#pragma once

#include <QStringList>

// Runs `velkora-servo` with `arguments` (without the program's name) and gives its exit status.
// Results go to standard output, messages to standard error.
int runCommandLine(const QStringList& arguments);
