#include "core/model/locksequence.h"

#include "core/model/fieldcatalogue.h"

#include <algorithm>

QList<LockStep> lockSequence(const FieldCatalogue& catalogue, const QList<GroupWrite>& writes)
{
    QList<LockStep> steps;
    for (const GroupWrite& write : writes)
        steps.append({LockStep::Role::Settings, write, -1, 0});
    const FieldRecord* lock = catalogue.lockField();
    const bool locked = std::any_of(writes.begin(), writes.end(), [&catalogue](const GroupWrite& write) {
        return catalogue.needsUnlocking(write);
    });
    if (!lock || !locked)
        return steps;
    LockStep close{LockStep::Role::Close, GroupWrite({lock->writeOf(catalogue.lockClose())}), -1, 0};
    // The servo answers at its new address once the settings are written: the close goes there.
    for (const GroupWrite& write : writes) {
        if (write.newId >= 0)
            close.id = write.newId;
        if (write.newBaudCode >= 0 && write.newBaudRate > 0)
            close.baudRate = write.newBaudRate;
    }
    steps.prepend({LockStep::Role::Open, GroupWrite({lock->writeOf(catalogue.lockOpen())}), -1, 0});
    steps.append(close);
    return steps;
}
