#pragma once

#include "core/protocol/multianswerframer.h"
#include "core/protocol/statuspacketframer.h"

#include <QList>

// How long packets take on the line and how long a transaction may take before it counts as
// failed: the arithmetic behind every deadline, without a port.
namespace linetime {
// What a transaction allows for a USB adapter whose latency timer is unknown (2 × 16 ms + 2 ms).
constexpr int defaultAdapterAllowanceUs = 34000;
// The longest return delay a servo may add before it answers (254 × 2 µs).
constexpr int longestReturnDelayUs = 508;

// Microseconds `bytes` take on the line at `baudRate`: ten bits a byte (start, eight data, stop).
double bytesUs(int bytes, int baudRate);

// The line bytes of a read of `length` bytes, request and answer, in a protocol.
int readRequestBytes(BusProtocol protocol);
int readAnswerBytes(BusProtocol protocol, int length);

// Milliseconds a transaction of these sizes may take at `baudRate`: both packets' line time, the
// longest return delay and what the port's adapter adds (see PortLatency), rounded up.
int transactionDeadlineMs(int baudRate, int requestBytes, int answerBytes,
                          int adapterAllowanceUs = defaultAdapterAllowanceUs);

// The line bytes of a multi-servo read's request for `count` servos.
int multiReadRequestBytes(BusProtocol protocol, MultiReadKind kind, int count);

// Milliseconds a multi-servo read may take: the request's line time, every expected answer's
// (`answerBytes`, one a servo, see MultiAnswerFramer::answerBytesEach), each servo's return delay
// (`returnDelaysUs` in the same order; a negative or missing one counts as the longest) and what
// the adapter adds once, rounded up.
int multiReadDeadlineMs(int baudRate, int requestBytes, const QList<int>& answerBytes,
                        const QList<int>& returnDelaysUs, int adapterAllowanceUs = defaultAdapterAllowanceUs);

// A window long enough for every id up to `highestId` to answer a broadcast ping (Protocol 2) in
// its turn, each answer followed by the gap the servos leave.
int broadcastPingWindowMs(int baudRate, int highestId, int adapterAllowanceUs);
} // namespace linetime
