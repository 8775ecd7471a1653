// The status packet framer fed arbitrary bytes in arbitrary chunks, in either protocol, for arbitrary expected ids and
// answer sizes. Whatever comes in, every packet it hands out must be one the request layer may take
// as the transaction's answer.

#include "core/protocol/statuspacketframer.h"

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

void checkPacket1(const QByteArray& packet, uint8_t expectedId, int expectedSize)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(packet.constData());
    const int size = packet.size();
    constexpr int errorStatusSize = 6;
    require(size >= errorStatusSize, "shorter than a status packet", packet);
    require(bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] != 0xFF, "header", packet);
    require(expectedId == StatusPacketFramer::anyId || bytes[2] == expectedId, "id", packet);
    require(4 + bytes[3] == size, "length field", packet);
    require(StatusPacketFramer::checksum1(bytes + 2, size - 3) == bytes[size - 1], "checksum", packet);
    const bool errorStatus = size == errorStatusSize && (bytes[4] & 0x58) != 0;
    require(size == expectedSize || errorStatus, "size", packet);
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
    bool protocol1 = false;
    while (input.remaining_bytes() > 0) {
        // Now and then a new transaction, as the request layer starts one, in either protocol
        // (a Protocol 1 one with the request the adapter may echo).
        if (!started || input.ConsumeIntegralInRange<int>(0, 15) == 0) {
            protocol1 = input.ConsumeBool();
            framer.setProtocol(protocol1 ? BusProtocol::One : BusProtocol::Two);
            expectedId = input.ConsumeIntegral<uint8_t>();
            expectedSize = (protocol1 ? 6 : StatusPacketFramer::errorStatusSize) + input.ConsumeIntegral<uint8_t>();
            const std::string echo =
                protocol1 ? input.ConsumeBytesAsString(input.ConsumeIntegralInRange<size_t>(0, 12)) : std::string();
            framer.reset(expectedId, expectedSize, QByteArray(echo.data(), static_cast<int>(echo.size())));
            started = true;
        }
        const std::string chunk = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<size_t>(0, 300));
        auto state = framer.feed(QByteArray(chunk.data(), static_cast<int>(chunk.size())));
        // Bytes left behind a packet may hold the next one.
        while (state == StatusPacketFramer::State::Complete) {
            if (protocol1)
                checkPacket1(framer.packet(), expectedId, expectedSize);
            else
                checkPacket(framer.packet(), expectedId, expectedSize);
            state = framer.feed({});
        }
        (void)framer.failureKind();
    }
    return 0;
}
