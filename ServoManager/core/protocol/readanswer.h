#pragma once

#include "core/protocol/statuspacketframer.h"

#include <QByteArray>

#include <cstdint>

// The parts of a status packet that answers a read from address 0, in either protocol: the
// packet tells which (Protocol 2 starts FF FF FD 00; a Protocol 1 length is never 0).
namespace readanswer {
bool isProtocol1(const QByteArray& response);
// The id of the servo that answered (0 if the answer is too short to hold one).
uint8_t servoId(const QByteArray& response);
// The little-endian item of `byteCount` bytes at `address`; bytes past the end of a short
// answer count as 0.
uint32_t valueAt(const QByteArray& response, int address, int byteCount);
// The answer's error byte in the Protocol 2 form, whatever the protocol (0 if none). A packet of
// Protocol 1's form means what `protocol`, the port's, says of it (Protocol 1's or Feetech's bits).
uint8_t errorByte(const QByteArray& response, BusProtocol protocol);
// For a model without a hardware error register: the alarms a Protocol 1 answer's error byte
// flags, as hardware error status bits; a Protocol 2 answer's error byte as it is.
uint8_t alarmsOf(const QByteArray& response, BusProtocol protocol);
// The data bytes between the error byte and the checksum.
QByteArray table(const QByteArray& response);
// Everything from the first data byte on: a short answer's last bytes are values too.
QByteArray dataOnward(const QByteArray& response);
} // namespace readanswer
