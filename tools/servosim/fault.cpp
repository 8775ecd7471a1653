#include "fault.h"

#include <array>
#include <utility>

namespace servosim {

namespace {

const std::array<std::pair<Fault, const char*>, 9> Names{{{Fault::None, "none"},
                                                          {Fault::NoAnswer, "no-answer"},
                                                          {Fault::BadCrc, "bad-crc"},
                                                          {Fault::Truncated, "truncated"},
                                                          {Fault::GarbageBefore, "garbage-before"},
                                                          {Fault::Split, "split"},
                                                          {Fault::Delayed, "delayed"},
                                                          {Fault::WrongId, "wrong-id"},
                                                          {Fault::ErrorByte, "error-byte"}}};

} // namespace

QList<Fault> allFaults()
{
    QList<Fault> faults;
    for (const auto& entry : Names)
        if (entry.first != Fault::None)
            faults.append(entry.first);
    return faults;
}

QString faultName(Fault fault)
{
    for (const auto& entry : Names)
        if (entry.first == fault)
            return QString::fromLatin1(entry.second);
    return {};
}

bool faultFromName(const QString& name, Fault* fault)
{
    for (const auto& entry : Names) {
        if (name.trimmed().compare(QLatin1String(entry.second), Qt::CaseInsensitive) == 0) {
            *fault = entry.first;
            return true;
        }
    }
    return false;
}

} // namespace servosim
