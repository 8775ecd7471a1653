#pragma once

#include "bus/statuspacketframer.h"

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
    void recordFailure(FailureKind kind);
    void recordWriteProblem(int address, const QString& reason);
    void recordSkippedTick() { ++_skippedTicks; }

    int polls() const { return _polls; }
    int timeouts() const { return _timeouts; }
    int corrupt() const { return _corrupt; }
    int refused() const { return _refused; }
    int skippedTicks() const { return _skippedTicks; }
    int failures() const { return _timeouts + _corrupt + _refused; }
    QString lastWriteProblem() const { return _lastWriteProblem; }

    // Polls per second between the last poll before the previous call and the last poll now.
    double takePollRate();

    // Most recent decode times, oldest first, at most decodeSampleLimit of them.
    std::vector<qint64> decodeSamples() const;
    static constexpr size_t decodeSampleLimit = 8192;

    QString summary(double pollRate) const;

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
};

// Text of a status packet's error byte, e.g. "access error".
QString servoErrorText(uint8_t errorByte);
