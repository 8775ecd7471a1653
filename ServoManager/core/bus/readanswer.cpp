#include "bus/readanswer.h"

#include <algorithm>

namespace {
constexpr int errorBytePosition = 8;
constexpr int firstDataPosition = 9;
constexpr int crcBytes = 2;
} // namespace

namespace readanswer {
uint32_t valueAt(const QByteArray& response, int address, int byteCount)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(response.constData());
    const int start = firstDataPosition + address;
    uint32_t value = 0;
    for (int i = 0; i < byteCount && start + i < response.size(); ++i)
        value |= uint32_t(bytes[start + i]) << (8 * i);
    return value;
}

uint8_t errorByte(const QByteArray& response)
{
    return response.size() > errorBytePosition ? static_cast<uint8_t>(response.at(errorBytePosition)) : 0;
}

QByteArray table(const QByteArray& response)
{
    return response.mid(firstDataPosition, std::max(0, int(response.size()) - firstDataPosition - crcBytes));
}
} // namespace readanswer
