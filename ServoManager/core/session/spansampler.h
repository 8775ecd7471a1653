#pragma once

#include "core/model/livevalues.h"

#include <array>
#include <optional>

enum class FailureKind;

// Fast sampling's reads: only the span of the control table that holds the wanted values, back to
// back between the polls, each a sample of its own. Says what to read next and when to hold off;
// the scheduler sends the reads.
class SpanSampler
{
public:
    // The values wanted (none: off). The span follows from the decoder of the connection.
    void setWanted(const std::array<bool, liveChannelCount>& wanted, const LiveValueDecoder* decoder);
    // A new decoder (a new model); none: off until there is one.
    void setDecoder(const LiveValueDecoder* decoder);
    // The span to read in a table of `tableLength` bytes; an empty span: off.
    void setSpan(const SampledSpan& span, int tableLength);

    bool isSampling() const { return !_span.isEmpty(); }
    const SampledSpan& span() const { return _span; }

    struct Read
    {
        int address = 0;
        int length = 0;
    };
    // The next read, marked in flight; none while off or held.
    std::optional<Read> next();
    bool isInFlight() const { return _inFlight; }
    void answered();
    void failed(FailureKind kind);
    // The servo answered a poll: span reads may go again.
    void pollAnswered();
    // The connection ends with whatever is on the line.
    void stop() { _inFlight = false; }

private:
    std::array<bool, liveChannelCount> _wanted{};
    SampledSpan _span;
    int _tableLength = 0;
    bool _inFlight = false;
    // A span read whose answer may still come is followed by one a byte longer (or shorter), so
    // that late answer cannot pass for the next one's: only the size tells them apart.
    bool _resized = false;
    int _failuresInRow = 0;
    bool _held = false; // after failures in a row, until a poll is answered
};
