#pragma once

#include "core/protocol/statuspacketframer.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

namespace cli {

// The highest id asked for: the window offers 253, but no servo answers to it (it would mimic a
// packet's header).
constexpr int highestId = 252;

// Thrown for a command line that cannot be run as given.
struct UsageError
{
    QString message;
};

// The arguments of one command: its words and its own options. Each option taken is removed, so
// what is left at the end are the positional words.
class Arguments
{
public:
    explicit Arguments(QStringList words) : _words(std::move(words)) {}

    bool flag(const QString& name) { return _words.removeAll(name) > 0; }
    // `--name VALUE` or `--name=VALUE`; `fallback` when absent. An empty value given is not null.
    QString value(const QString& name, const QString& fallback = {});
    // A whole number from `lowest` to `highest`; `fallback` when absent.
    int number(const QString& name, int fallback, int lowest, int highest);
    // One of the baud rates the window offers; `fallback` when absent.
    int rate(const QString& name, int fallback);
    // What is left once the options are taken: from `least` to `most` (-1: any) positional words,
    // none of them an option; else `what` is the usage error.
    QStringList rest(int least, int most, const QString& what);

private:
    QStringList _words;
};

// "1-6", "1,3,5" or "1-3,7" within 0 to highestId: ascending, each once.
QList<int> idsOf(const QString& text);
// A range without gaps ("1-20"), as a search takes it: its lowest and highest id.
std::pair<int, int> idRangeOf(const QString& text);
// "1", "2" or "1,2": in the order given, each once.
QList<BusProtocol> protocolsOf(const QString& text);
// Offered rates, comma-separated, or "all": ascending, each once.
QList<int> baudRatesOf(const QString& text);
// The offered rates for a message: "9600, 57600, ...".
QString ratesText();

} // namespace cli
