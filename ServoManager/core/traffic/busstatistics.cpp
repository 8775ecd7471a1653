#include "core/traffic/busstatistics.h"

#include <QCoreApplication>

BusStatistics::BusStatistics()
{
    _clock.start();
    _decodeNs.reserve(decodeSampleLimit);
}

namespace {
void keep(std::vector<qint64>& ring, size_t& next, qint64 value)
{
    if (ring.size() < BusStatistics::decodeSampleLimit) {
        ring.push_back(value);
    } else {
        ring[next] = value;
        next = (next + 1) % BusStatistics::decodeSampleLimit;
    }
}

std::vector<qint64> inOrder(const std::vector<qint64>& ring, size_t next)
{
    std::vector<qint64> ordered(ring.begin() + static_cast<std::ptrdiff_t>(next), ring.end());
    ordered.insert(ordered.end(), ring.begin(), ring.begin() + static_cast<std::ptrdiff_t>(next));
    return ordered;
}
} // namespace

void BusStatistics::recordPoll(qint64 decodeNs)
{
    ++_polls;
    _lastPollMs = _clock.elapsed();
    _lastSampleMs = _lastPollMs;
    keep(_decodeNs, _decodeNext, decodeNs);
}

void BusStatistics::recordFastSample(qint64 handlingNs)
{
    ++_fastSamples;
    _lastSampleMs = _clock.elapsed();
    if (_fastNs.empty())
        _fastNs.reserve(decodeSampleLimit);
    keep(_fastNs, _fastNext, handlingNs);
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

double BusStatistics::takeSampleRate()
{
    const int samples = _polls + _fastSamples - _sampleRateSinceCount;
    const int fast = _fastSamples - _sampleRateSinceFast;
    const qint64 span = _lastSampleMs - _sampleRateSinceMs;
    if (samples == 0)
        return 0.0;
    _sampleRateSinceMs = _lastSampleMs;
    _sampleRateSinceCount = _polls + _fastSamples;
    _sampleRateSinceFast = _fastSamples;
    return fast > 0 && span > 0 ? samples * 1000.0 / span : 0.0;
}

std::vector<qint64> BusStatistics::decodeSamples() const
{
    return inOrder(_decodeNs, _decodeNext);
}

std::vector<qint64> BusStatistics::fastSampleTimes() const
{
    return inOrder(_fastNs, _fastNext);
}

QString BusStatistics::summary(double pollRate, double sampleRate) const
{
    QString text = QCoreApplication::translate("MainWindow", "%1 polls/s, ").arg(pollRate, 0, 'f', 1);
    if (sampleRate > 0)
        text += QCoreApplication::translate("MainWindow", "%1 samples/s, ").arg(sampleRate, 0, 'f', 1);
    text += QCoreApplication::translate("MainWindow", "%1 timed out, %2 corrupt").arg(_timeouts).arg(_corrupt);
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
