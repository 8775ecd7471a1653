#include "core/model/hardwarestatus.h"

#include "core/model/fieldcatalogue.h"

#include <QCoreApplication>

#include <utility>

namespace {
constexpr int overloadBit = 0x20;
}

QStringList hardwareErrorsOf(const FieldCatalogue& catalogue, const QByteArray& table, int* bits, int alarms)
{
    QStringList set;
    *bits = 0;
    int address = -1;
    for (const FieldRecord& field : catalogue.fields()) {
        if (field.role != QLatin1String("hardwareError"))
            continue;
        address = field.address;
        if (field.rawIn(table) != 0)
            set.append(field.caption);
    }
    if (address < 0 && alarms >= 0) {
        *bits = alarms;
        const std::pair<int, const char*> named[] = {
            {0x01, QT_TRANSLATE_NOOP("HardwareStatus", "Input voltage")},
            {0x04, QT_TRANSLATE_NOOP("HardwareStatus", "Overheating")},
            {0x10, QT_TRANSLATE_NOOP("HardwareStatus", "Angle limit")},
            {overloadBit, QT_TRANSLATE_NOOP("HardwareStatus", "Overload")},
        };
        for (const auto& [bit, caption] : named) {
            if (alarms & bit)
                set.append(QCoreApplication::translate("HardwareStatus", caption));
        }
        return set;
    }
    if (address < 0 || address >= table.size())
        return set;
    *bits = uint8_t(table.at(address));
    return set;
}
