#include "core/session/spansampler.h"

#include "core/model/idevice.h"
#include "core/protocol/statuspacketframer.h"

#include <algorithm>

void SpanSampler::setWanted(const std::array<bool, liveChannelCount>& wanted, const LiveValueDecoder* decoder)
{
    _wanted = wanted;
    setDecoder(decoder);
}

void SpanSampler::setDecoder(const LiveValueDecoder* decoder)
{
    const bool any = std::any_of(_wanted.begin(), _wanted.end(), [](bool on) { return on; });
    setSpan(decoder && any ? decoder->spanOf(_wanted) : SampledSpan(),
            decoder && decoder->device() ? decoder->device()->getMemoryUpperLimit() : 0);
}

void SpanSampler::setSpan(const SampledSpan& span, int tableLength)
{
    _span = span;
    _tableLength = tableLength;
}

std::optional<SpanSampler::Read> SpanSampler::next()
{
    if (_span.isEmpty() || _held)
        return std::nullopt;
    Read read{_span.address, _span.length};
    if (_resized) {
        if (read.address + read.length < _tableLength)
            ++read.length;
        else if (read.address > 0) {
            --read.address;
            ++read.length;
        }
    }
    _inFlight = true;
    return read;
}

void SpanSampler::answered()
{
    _inFlight = false;
    _failuresInRow = 0;
}

void SpanSampler::failed(FailureKind kind)
{
    _inFlight = false;
    if (kind == FailureKind::Timeout || kind == FailureKind::Incomplete)
        _resized = !_resized;
    // Reads failing in a row mean trouble on the line (late answers coming in a train, say): the
    // polls alone go on until one is answered. A read that was not sent would fail again at once.
    if (++_failuresInRow >= 2 || kind == FailureKind::NotSent)
        _held = true;
}

void SpanSampler::pollAnswered()
{
    _held = false;
    _failuresInRow = 0;
}
