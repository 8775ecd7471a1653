#include "core/protocol/linetime.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double bitsPerByte = 10.0;
// In a broadcast ping's answer train each servo gets its answer's line time plus this.
constexpr int broadcastGapUs = 3000;
} // namespace

namespace linetime {
double bytesUs(int bytes, int baudRate)
{
    return bytes * bitsPerByte * 1e6 / std::max(baudRate, 1);
}

int readRequestBytes(BusProtocol protocol)
{
    const ProtocolSizes sizes = ProtocolSizes::of(protocol);
    return sizes.instructionOverhead + 2 * sizes.addressBytes;
}

int readAnswerBytes(BusProtocol protocol, int length)
{
    return ProtocolSizes::of(protocol).statusOverhead + length;
}

int transactionDeadlineMs(int baudRate, int requestBytes, int answerBytes, int adapterAllowanceUs)
{
    const double lineUs = bytesUs(requestBytes + answerBytes, baudRate);
    return static_cast<int>(std::ceil((lineUs + longestReturnDelayUs + adapterAllowanceUs) / 1000.0));
}

int multiReadRequestBytes(BusProtocol protocol, MultiReadKind kind, int count)
{
    const ProtocolSizes sizes = ProtocolSizes::of(protocol);
    const int span = 2 * sizes.addressBytes; // address and length
    const bool perServoSpan = kind == MultiReadKind::BulkRead || kind == MultiReadKind::FastBulkRead;
    if (perServoSpan && !hasProtocol1Form(protocol))
        return sizes.instructionOverhead + count * (1 + span); // id, address, length each
    return sizes.instructionOverhead + span + std::max(count, 0);
}

int multiReadDeadlineMs(int baudRate, int requestBytes, const QList<int>& answerBytes,
                        const QList<int>& returnDelaysUs, int adapterAllowanceUs)
{
    int lineBytes = requestBytes;
    double delaysUs = 0;
    for (int i = 0; i < answerBytes.size(); ++i) {
        lineBytes += answerBytes[i];
        const int delay = i < returnDelaysUs.size() ? returnDelaysUs[i] : -1;
        delaysUs += delay < 0 ? longestReturnDelayUs : delay;
    }
    const double totalUs = bytesUs(lineBytes, baudRate) + delaysUs + adapterAllowanceUs;
    return static_cast<int>(std::ceil(totalUs / 1000.0));
}

int broadcastPingWindowMs(int baudRate, int highestId, int adapterAllowanceUs)
{
    const ProtocolSizes sizes = ProtocolSizes::of(BusProtocol::Two);
    const double byteUs = bytesUs(1, baudRate);
    const double answerUs = (sizes.statusOverhead + sizes.pingParameters) * byteUs + broadcastGapUs;
    const double windowUs = sizes.instructionOverhead * byteUs + (std::max(highestId, 0) + 1) * answerUs +
                            longestReturnDelayUs + adapterAllowanceUs;
    return static_cast<int>(std::ceil(windowUs / 1000.0));
}
} // namespace linetime
