// The status packet framer fed arbitrary bytes in arbitrary chunks, for arbitrary expected ids and
// answer sizes. Whatever comes in, every packet it hands out must be one the request layer may take
// as the transaction's answer.

#include "bus/statuspacketframer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char* what, const QByteArray& packet)
{
    if (condition)
        return;
    std::fprintf(stderr, "framer returned a bad packet (%s): %s\n", what, packet.toHex(' ').constData());
    std::abort();
}

void checkPacket(const QByteArray& packet, uint8_t expectedId, int expectedSize)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(packet.constData());
    const int size = packet.size();
    require(size >= StatusPacketFramer::errorStatusSize, "shorter than a status packet", packet);
    require(packet.startsWith(QByteArray("\xFF\xFF\xFD\x00", 4)), "header", packet);
    require(expectedId == StatusPacketFramer::anyId || bytes[4] == expectedId, "id", packet);
    require(StatusPacketFramer::headerSize + (bytes[5] | (bytes[6] << 8)) == size, "length field", packet);
    require(bytes[7] == 0x55, "instruction", packet);
    const uint16_t crc = static_cast<uint16_t>(bytes[size - 2] | (bytes[size - 1] << 8));
    require(StatusPacketFramer::crc16(bytes, size - 2) == crc, "crc", packet);
    const bool errorStatus = size == StatusPacketFramer::errorStatusSize && (bytes[8] & 0x7F) != 0;
    require(size == expectedSize || errorStatus, "size", packet);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    StatusPacketFramer framer;
    uint8_t expectedId = 0;
    int expectedSize = 0;
    bool started = false;
    while (input.remaining_bytes() > 0) {
        // Now and then a new transaction, as the request layer starts one.
        if (!started || input.ConsumeIntegralInRange<int>(0, 15) == 0) {
            expectedId = input.ConsumeIntegral<uint8_t>();
            expectedSize = StatusPacketFramer::errorStatusSize + input.ConsumeIntegral<uint8_t>();
            framer.reset(expectedId, expectedSize);
            started = true;
        }
        const std::string chunk = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<size_t>(0, 300));
        auto state = framer.feed(QByteArray(chunk.data(), static_cast<int>(chunk.size())));
        // Bytes left behind a packet may hold the next one.
        while (state == StatusPacketFramer::State::Complete) {
            checkPacket(framer.packet(), expectedId, expectedSize);
            state = framer.feed({});
        }
        (void)framer.failureKind();
    }
    return 0;
}
