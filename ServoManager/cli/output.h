#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QTextStream>

// Where the command line's words go: results to standard output, messages to standard error.
namespace cli {

QTextStream& out();
QTextStream& err();
// An object or array as one indented JSON document on standard output.
void printJson(const QJsonValue& value);
// Says `message` on standard error, after the program's name, and gives `status`.
int fail(int status, const QString& message);
// One CSV row, written and flushed at once, so a pipe's reader sees each row when it happens.
void printRowNow(const QStringList& cells);

} // namespace cli
