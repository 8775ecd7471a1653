#pragma once

#include "core/model/groupwrite.h"

#include <QCoreApplication>
#include <QList>
#include <QString>

class FieldCatalogue;

// One write of the sequence that carries settings onto a servo, and where it goes.
struct LockStep
{
    enum class Role
    {
        Settings, // the write asked for
        Open,     // the lock opened before the settings
        Close     // and closed after them, even when they failed
    };
    Role role = Role::Settings;
    GroupWrite write;
    // Where the step goes: -1 and 0 stand for the id and rate the servo had when the sequence
    // began. Only a close follows the servo to the id and rate the settings gave it.
    int id = -1;
    int baudRate = 0;

    bool isLockStep() const { return role != Role::Settings; }
};

// The writes that carry `writes` onto a servo of the catalogue's model. A model that keeps
// non-volatile settings only when written between opening and closing its lock gets them
// wrapped: open, the writes, close (at the address they give the servo). Writes of nothing
// non-volatile, and models without a lock, go as they are.
QList<LockStep> lockSequence(const FieldCatalogue& catalogue, const QList<GroupWrite>& writes);

// Texts about a lock that did not end closed.
struct LockTexts
{
    Q_DECLARE_TR_FUNCTIONS(LockTexts)

public:
    static QString leftOpen() { return tr("the settings lock was left open"); }
    static QString mayBeOpen() { return tr("the settings lock may have been left open"); }
    static QString didNotOpen()
    {
        return tr("the settings lock did not open: the servo keeps them only until it is powered off");
    }
};
