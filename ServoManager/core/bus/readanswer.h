#pragma once

#include <QByteArray>

#include <cstdint>

// The parts of a Protocol 2 status packet that answers a read from address 0: the error byte
// at position 8, data from position 9.
namespace readanswer {
// The little-endian item of `byteCount` bytes at `address`; bytes past the end of a short
// answer count as 0.
uint32_t valueAt(const QByteArray& response, int address, int byteCount);
// The answer's error byte (0 if none).
uint8_t errorByte(const QByteArray& response);
// The data bytes between the error byte and the two checksum bytes.
QByteArray table(const QByteArray& response);
} // namespace readanswer
