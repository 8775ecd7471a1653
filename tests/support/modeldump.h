#pragma once

#include "core/model/fieldcatalogue.h"
#include "core/model/idevice.h"

#include <QString>
#include <QStringList>

// A model as the program uses it, one line per fact, to compare models built different ways.
inline QStringList dumpModel(const IDevice& device)
{
    QStringList lines;
    lines << QStringLiteral("tableLength %1").arg(device.getMemoryUpperLimit());
    const FieldCatalogue catalogue(device);
    for (const FieldRecord& f : catalogue.fields()) {
        lines << QStringLiteral("field %1 %2 \"%3\" group=%4 at=%5 size=%6 mask=%7 signBit=%8 signed=%9")
                     .arg(f.key, f.objectName, f.caption)
                     .arg(int(f.group))
                     .arg(f.address)
                     .arg(f.size)
                     .arg(f.mask, 0, 16)
                     .arg(f.signBit, 0, 16)
                     .arg(f.isSigned)
                 + QStringLiteral(" quantity=%1 range=%2 %3..%4 -> %5..%6 writable=%7")
                       .arg(int(f.quantity))
                       .arg(f.hasRange)
                       .arg(f.rawMin)
                       .arg(f.rawMax)
                       .arg(f.min, 0, 'g', 15)
                       .arg(f.max, 0, 'g', 15)
                       .arg(f.writable);
    }
    for (int address = 0; address < 256; ++address) {
        const auto row = device.getRegisterDeviceMetadata(static_cast<unsigned short>(address));
        if (row)
            lines << QStringLiteral("row %1 bank=%2 row=%3 writable=%4 \"%5\"")
                         .arg(address)
                         .arg(int(row->bank))
                         .arg(row->row)
                         .arg(row->writable)
                         .arg(row->description);
    }
    return lines;
}
