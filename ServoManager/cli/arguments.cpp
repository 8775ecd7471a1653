#include "cli/arguments.h"

#include "core/model/modelregistry.h"
#include "core/settings/settingshelper.h"

#include <algorithm>

namespace cli {

QString Arguments::value(const QString& name, const QString& fallback)
{
    // An empty value given is not the null of an option left out.
    const auto given = [](const QString& found) { return found.isNull() ? QStringLiteral("") : found; };
    for (int i = 0; i < _words.size(); ++i) {
        if (_words[i] == name) {
            if (i + 1 >= _words.size())
                throw UsageError{QStringLiteral("%1 wants a value").arg(name)};
            const QString found = _words[i + 1];
            _words.erase(_words.begin() + i, _words.begin() + i + 2);
            return given(found);
        }
        if (_words[i].startsWith(name + QLatin1Char('='))) {
            const QString found = _words[i].mid(name.size() + 1);
            _words.removeAt(i);
            return given(found);
        }
    }
    return fallback;
}

int Arguments::number(const QString& name, int fallback, int lowest, int highest)
{
    const QString text = value(name);
    if (text.isNull())
        return fallback;
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < lowest || n > highest)
        throw UsageError{
            QStringLiteral("%1 wants a number from %2 to %3").arg(name).arg(lowest).arg(highest)};
    return n;
}

int Arguments::rate(const QString& name, int fallback)
{
    const QString text = value(name);
    if (text.isNull())
        return fallback;
    bool ok = false;
    const int rate = text.toInt(&ok);
    if (!ok || !offeredBaudRates().contains(rate))
        throw UsageError{QStringLiteral("%1 wants one of %2").arg(name, ratesText())};
    return rate;
}

QStringList Arguments::rest(int least, int most, const QString& what)
{
    for (const QString& word : _words)
        if (word.startsWith(QLatin1String("--")))
            throw UsageError{QStringLiteral("unknown option %1").arg(word)};
    if (_words.size() < least || (most >= 0 && _words.size() > most))
        throw UsageError{what};
    return _words;
}

QList<int> idsOf(const QString& text)
{
    QList<int> ids;
    const auto wrong = [] {
        return UsageError{QStringLiteral("--ids wants ids such as 1-6 or 1,3,5, within 0-%1").arg(highestId)};
    };
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QStringList range = part.split(QLatin1Char('-'));
        bool lowOk = false;
        bool highOk = false;
        const int low = range.value(0).trimmed().toInt(&lowOk);
        const int high = range.size() == 2 ? range.value(1).trimmed().toInt(&highOk) : low;
        if (!lowOk || (range.size() == 2 && !highOk) || range.size() > 2 || low < 0 || high > highestId ||
            low > high)
            throw wrong();
        for (int id = low; id <= high; ++id)
            if (!ids.contains(id))
                ids.append(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::pair<int, int> idRangeOf(const QString& text)
{
    const QList<int> ids = idsOf(text);
    if (ids.size() != ids.last() - ids.first() + 1)
        throw UsageError{QStringLiteral("--ids wants a range such as 1-20, within 0-%1").arg(highestId)};
    return {ids.first(), ids.last()};
}

QList<BusProtocol> protocolsOf(const QString& text)
{
    QList<BusProtocol> protocols;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const std::optional<BusProtocol> protocol = protocolOfWord(part);
        if (!protocol)
            throw UsageError{
                QStringLiteral("--protocols wants 1, 2, feetech or several of them, comma-separated")};
        if (!protocols.contains(*protocol))
            protocols.append(*protocol);
    }
    return protocols;
}

QList<int> baudRatesOf(const QString& text)
{
    if (text == QLatin1String("all"))
        return offeredBaudRates();
    QList<int> rates;
    for (const QString& part : text.split(QLatin1Char(','))) {
        bool ok = false;
        const int rate = part.trimmed().toInt(&ok);
        if (!ok || !offeredBaudRates().contains(rate))
            throw UsageError{
                QStringLiteral("--bauds wants rates from %1, comma-separated, or all").arg(ratesText())};
        if (!rates.contains(rate))
            rates.append(rate);
    }
    std::sort(rates.begin(), rates.end()); // slowest first, as the window scans
    return rates;
}

QString ratesText()
{
    QStringList rates;
    for (int rate : offeredBaudRates())
        rates << QString::number(rate);
    return rates.join(QStringLiteral(", "));
}

} // namespace cli
