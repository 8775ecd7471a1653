#pragma once

#include <QByteArray>

namespace servosim {

// CRC-16 of the servo bus (polynomial 0x8005, initial 0, no reflection, no final XOR).
quint16 crc16(const QByteArray& data);

} // namespace servosim
