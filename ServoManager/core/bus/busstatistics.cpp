#include "bus/busstatistics.h"

#include <QCoreApplication>

BusStatistics::BusStatistics()
{
    _clock.start();
    _decodeNs.reserve(decodeSampleLimit);
}

void BusStatistics::recordPoll(qint64 decodeNs)
{
    ++_polls;
    _lastPollMs = _clock.elapsed();
    if (_decodeNs.size() < decodeSampleLimit) {
        _decodeNs.push_back(decodeNs);
    } else {
        _decodeNs[_decodeNext] = decodeNs;
        _decodeNext = (_decodeNext + 1) % decodeSampleLimit;
    }
}

void BusStatistics::recordFailure(FailureKind kind)
{
    switch (kind) {
    case FailureKind::Timeout:
    case FailureKind::NotSent:
        ++_timeouts;
        break;
    case FailureKind::Incomplete:
    case FailureKind::Corrupt:
    case FailureKind::WrongId:
        ++_corrupt;
        break;
    case FailureKind::Refused:
        ++_refused;
        break;
    }
}

void BusStatistics::recordWriteProblem(int address, const QString& reason)
{
    _lastWriteProblem =
        QCoreApplication::translate("MainWindow", "Write to address %1 failed: %2").arg(address).arg(reason);
}

double BusStatistics::takePollRate()
{
    // Measured from poll to poll, so the moment of asking does not make the figure jump.
    const int polls = _polls - _rateSincePolls;
    const qint64 span = _lastPollMs - _rateSinceMs;
    if (polls == 0)
        return 0.0;
    _rateSinceMs = _lastPollMs;
    _rateSincePolls = _polls;
    return span > 0 ? polls * 1000.0 / span : 0.0;
}

std::vector<qint64> BusStatistics::decodeSamples() const
{
    std::vector<qint64> ordered(_decodeNs.begin() + static_cast<std::ptrdiff_t>(_decodeNext),
                                _decodeNs.end());
    ordered.insert(ordered.end(), _decodeNs.begin(),
                   _decodeNs.begin() + static_cast<std::ptrdiff_t>(_decodeNext));
    return ordered;
}

QString BusStatistics::summary(double pollRate) const
{
    QString text = QCoreApplication::translate("MainWindow", "%1 polls/s, %2 timeouts, %3 corrupt")
                       .arg(pollRate, 0, 'f', 1)
                       .arg(_timeouts)
                       .arg(_corrupt);
    if (_refused > 0)
        text += QCoreApplication::translate("MainWindow", ", %1 refused").arg(_refused);
    if (!_lastWriteProblem.isEmpty())
        text += QStringLiteral(" | ") + _lastWriteProblem;
    return text;
}

QString servoErrorText(uint8_t errorByte)
{
    static const char* const numbers[] = {
        QT_TRANSLATE_NOOP("MainWindow", "no error"),
        QT_TRANSLATE_NOOP("MainWindow", "result fail"),
        QT_TRANSLATE_NOOP("MainWindow", "instruction error"),
        QT_TRANSLATE_NOOP("MainWindow", "checksum error"),
        QT_TRANSLATE_NOOP("MainWindow", "data range error"),
        QT_TRANSLATE_NOOP("MainWindow", "data length error"),
        QT_TRANSLATE_NOOP("MainWindow", "data limit error"),
        QT_TRANSLATE_NOOP("MainWindow", "access error"),
    };
    const int number = errorByte & 0x7F;
    QString text = number < 8 ? QCoreApplication::translate("MainWindow", numbers[number])
                              : QCoreApplication::translate("MainWindow", "error %1").arg(number);
    if (errorByte & 0x80)
        text += QCoreApplication::translate("MainWindow", " (hardware alert)");
    return text;
}
