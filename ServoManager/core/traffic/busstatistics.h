#pragma once

#include "core/protocol/statuspacketframer.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <vector>

// What the connection's traffic did since connecting: answers decoded, failures by kind,
// the last write the servo did not take, and how long decoding took on the GUI thread.
class BusStatistics
{
public:
    BusStatistics();

    void recordPoll(qint64 decodeNs);
    // A sample of a span read between polls, and the GUI time it took (decode, plot, recording).
    void recordFastSample(qint64 handlingNs);
    void recordFailure(FailureKind kind);
    void recordWriteProblem(int address, const QString& reason);
    void recordSkippedTick() { ++_skippedTicks; }

    int polls() const { return _polls; }
    int fastSamples() const { return _fastSamples; }
    int timeouts() const { return _timeouts; }
    int corrupt() const { return _corrupt; }
    int refused() const { return _refused; }
    int skippedTicks() const { return _skippedTicks; }
    int failures() const { return _timeouts + _corrupt + _refused; }
    QString lastWriteProblem() const { return _lastWriteProblem; }

    // Polls per second between the last poll before the previous call and the last poll now.
    double takePollRate();
    // The same for every sample (polls and span reads); 0 when no span read was answered since
    // the previous call, so the figure only shows while fast sampling.
    double takeSampleRate();

    // Most recent decode times, oldest first, at most decodeSampleLimit of them.
    std::vector<qint64> decodeSamples() const;
    static constexpr size_t decodeSampleLimit = 8192;
    // The same for the samples of span reads.
    std::vector<qint64> fastSampleTimes() const;

    // sampleRate 0 leaves the samples out.
    QString summary(double pollRate, double sampleRate = 0) const;

private:
    int _polls = 0;
    int _timeouts = 0;
    int _corrupt = 0;
    int _refused = 0;
    int _skippedTicks = 0;
    QString _lastWriteProblem;
    QElapsedTimer _clock;
    qint64 _rateSinceMs = 0;
    qint64 _lastPollMs = 0;
    int _rateSincePolls = 0;
    std::vector<qint64> _decodeNs;
    size_t _decodeNext = 0;
    int _fastSamples = 0;
    qint64 _lastSampleMs = 0;
    qint64 _sampleRateSinceMs = 0;
    int _sampleRateSinceCount = 0;
    int _sampleRateSinceFast = 0;
    std::vector<qint64> _fastNs;
    size_t _fastNext = 0;
};

// Text of a status packet's error byte, e.g. "access error".
QString servoErrorText(uint8_t errorByte);
