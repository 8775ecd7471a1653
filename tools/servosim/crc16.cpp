#include "crc16.h"

namespace servosim {

// Bit by bit on purpose: the bus library uses a lookup table, so the simulator checks it independently.
quint16 crc16(const QByteArray& data)
{
    quint16 crc = 0;
    for (const char c : data) {
        crc ^= static_cast<quint16>(static_cast<quint8>(c) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<quint16>((crc << 1) ^ 0x8005) : static_cast<quint16>(crc << 1);
    }
    return crc;
}

} // namespace servosim
