#include "core/protocol/readanswer.h"

#include <algorithm>

namespace {
struct Layout
{
    int errorPosition;
    int firstData;
    int checksumBytes;
};

Layout layoutOf(const QByteArray& response)
{
    if (readanswer::isProtocol1(response))
        return {4, 5, 1};
    return {8, 9, 2};
}

// The protocol whose error bits the packet carries: its form tells Protocol 2 from the rest.
BusProtocol bitsOf(const QByteArray& response, BusProtocol port)
{
    if (!readanswer::isProtocol1(response))
        return BusProtocol::Two;
    return hasProtocol1Form(port) ? port : BusProtocol::One;
}
} // namespace

namespace readanswer {
bool isProtocol1(const QByteArray& response)
{
    return response.size() >= 4 && !(uint8_t(response.at(2)) == 0xFD && response.at(3) == 0);
}

uint8_t servoId(const QByteArray& response)
{
    const int position = isProtocol1(response) ? 2 : 4;
    return response.size() > position ? static_cast<uint8_t>(response.at(position)) : 0;
}

uint32_t valueAt(const QByteArray& response, int address, int byteCount)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(response.constData());
    const int start = layoutOf(response).firstData + address;
    uint32_t value = 0;
    for (int i = 0; i < byteCount && start + i < response.size(); ++i)
        value |= uint32_t(bytes[start + i]) << (8 * i);
    return value;
}

uint8_t errorByte(const QByteArray& response, BusProtocol protocol)
{
    const int position = layoutOf(response).errorPosition;
    if (response.size() <= position)
        return 0;
    const auto raw = static_cast<uint8_t>(response.at(position));
    return errorAsProtocol2(raw, bitsOf(response, protocol));
}

uint8_t alarmsOf(const QByteArray& response, BusProtocol protocol)
{
    const int position = layoutOf(response).errorPosition;
    if (response.size() <= position)
        return 0;
    const auto raw = static_cast<uint8_t>(response.at(position));
    return alarmsAsStatusBits(raw, bitsOf(response, protocol));
}

QByteArray table(const QByteArray& response)
{
    const Layout layout = layoutOf(response);
    return response.mid(layout.firstData,
                        std::max(0, int(response.size()) - layout.firstData - layout.checksumBytes));
}

QByteArray dataOnward(const QByteArray& response)
{
    return response.mid(layoutOf(response).firstData);
}
} // namespace readanswer
