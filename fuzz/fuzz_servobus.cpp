// The simulator's instruction parser and servos fed arbitrary bytes: raw noise, and instruction
// packets of either protocol with valid checksums built from the input, in arbitrary chunks at
// arbitrary times, on a bus that may carry a Protocol 1 servo beside the others. Every answer the
// servos send unfaulted must be a well-formed status packet of the servo that answers, in its
// protocol.

#include "crc16.h"
#include "protocol.h"
#include "servobus.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdio>
#include <cstdlib>

using namespace servosim;

namespace {

constexpr std::array<int, 11> baudRates = {2000000, 1000000, 500000, 400000, 250000, 200000,
                                           115200,  57600,   38400,  19200,  9600};

void require(bool condition, const char* what, const QByteArray& bytes)
{
    if (condition)
        return;
    std::fprintf(stderr, "simulator sent a bad answer (%s): %s\n", what, bytes.toHex(' ').constData());
    std::abort();
}

void checkAnswer(const Transmission& transmission)
{
    // Servos sharing an id answer at once on purpose: their mixture is damaged by design.
    if (transmission.fault != Fault::None || transmission.collided)
        return;
    require(transmission.chunks.size() == 1, "one chunk", {});
    const QByteArray& packet = transmission.chunks.first();
    if (transmission.request.protocol == 1) {
        require(packet.size() >= StatusOverheadP1, "size", packet);
        require(packet.startsWith(packetHeaderP1()), "header", packet);
        require(quint8(packet.at(2)) == transmission.servoId, "id", packet);
        require(HeaderSizeP1 + quint8(packet.at(3)) == packet.size(), "length field", packet);
        require(checksumP1(packet.mid(2, packet.size() - 3)) == quint8(packet.at(packet.size() - 1)), "checksum",
                packet);
        return;
    }
    require(packet.size() >= StatusOverhead, "size", packet);
    require(packet.startsWith(packetHeader()), "header", packet);
    require(quint8(packet.at(4)) == transmission.servoId, "id", packet);
    require(HeaderSize + tableU16(packet, 5) == packet.size(), "length field", packet);
    require(quint8(packet.at(7)) == instruction::Status, "instruction", packet);
    require(crc16(packet.left(packet.size() - 2)) == tableU16(packet, packet.size() - 2), "crc", packet);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    qint64 now = 0;
    const Model model = input.ConsumeBool() ? Model::V1 : Model::Ax12;
    const QList<int> ids = {1, input.ConsumeIntegralInRange<int>(0, 252)};
    ServoBus bus(ids, model, 1000000, [&now] { return now; });
    const bool mixed = input.ConsumeBool() && bus.plugServo(input.ConsumeIntegralInRange<int>(0, 252), 0, Model::Ax12, 1);
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0)
        bus.setFaultRate(0.5, {});

    while (input.remaining_bytes() > 0) {
        QByteArray bytes;
        if (input.ConsumeBool()) {
            const std::string raw = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<size_t>(0, 64));
            bytes = QByteArray(raw.data(), int(raw.size()));
        } else {
            const quint8 id = input.ConsumeIntegral<quint8>();
            const quint8 code = input.ConsumeIntegralInRange<quint8>(0, 9);
            const std::string params =
                input.ConsumeBytesAsString(input.ConsumeIntegralInRange<size_t>(0, 16));
            const QByteArray parameters(params.data(), int(params.size()));
            bytes = input.ConsumeBool() ? instructionPacketP1(id, code, parameters)
                                        : instructionPacket(id, code, parameters);
        }
        const int lineBaudRate =
            input.ConsumeIntegralInRange<int>(0, 7) == 0
                ? baudRates[input.ConsumeIntegralInRange<size_t>(0, baudRates.size() - 1)]
                : 1000000;
        now += input.ConsumeIntegralInRange<qint64>(0, 1000000);
        for (const Transmission& transmission : bus.receive(bytes, lineBaudRate)) {
            checkAnswer(transmission);
            bus.transmissionDone(transmission);
        }
    }
    // A servo whose id was written is found under its new id only.
    for (int id : ids) {
        const QByteArray table = bus.registers(id);
        // On a mixed bus the Protocol 1 AX-12 may have taken one of these ids.
        require(table.isEmpty() || table.size() == (model == Model::V1 ? 118 : 50) || (mixed && table.size() == 50),
                "table size", {});
    }
    return 0;
}
