#include "processresources.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>

#include <unordered_set>

// Qt's hooks for debugging tools: an array whose entries 3 and 4 are called with every QObject
// created and destroyed. Exported by QtCore, declared only in a private header.
extern quintptr Q_CORE_EXPORT qtHookData[];

namespace {

constexpr int addObjectHook = 3;
constexpr int removeObjectHook = 4;

using ObjectCallback = void (*)(QObject*);

// Never destroyed: Qt destroys some objects after the statics of this file are gone.
struct TrackedObjects
{
    QMutex mutex;
    std::unordered_set<QObject*> objects;
};
TrackedObjects& tracked()
{
    static auto* instance = new TrackedObjects;
    return *instance;
}
ObjectCallback previousAdd = nullptr;
ObjectCallback previousRemove = nullptr;

void objectAdded(QObject* object)
{
    {
        QMutexLocker lock(&tracked().mutex);
        tracked().objects.insert(object);
    }
    if (previousAdd)
        previousAdd(object);
}

void objectRemoved(QObject* object)
{
    {
        QMutexLocker lock(&tracked().mutex);
        tracked().objects.erase(object);
    }
    if (previousRemove)
        previousRemove(object);
}

} // namespace

int openFileDescriptorCount()
{
    return int(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

void trackObjects()
{
    if (qtHookData[addObjectHook] == reinterpret_cast<quintptr>(&objectAdded))
        return;
    tracked();
    previousAdd = reinterpret_cast<ObjectCallback>(qtHookData[addObjectHook]);
    previousRemove = reinterpret_cast<ObjectCallback>(qtHookData[removeObjectHook]);
    qtHookData[addObjectHook] = reinterpret_cast<quintptr>(&objectAdded);
    qtHookData[removeObjectHook] = reinterpret_cast<quintptr>(&objectRemoved);
}

int runningTimerCount()
{
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return 0;
    QMutexLocker lock(&tracked().mutex);
    int count = 0;
    // The dispatcher only compares the pointers; objects of other threads have none of its timers.
    for (QObject* object : tracked().objects) {
        for (const auto& timer : dispatcher->registeredTimers(object))
            count += timer.interval > 0;
    }
    return count;
}

QStringList runningTimerOwners()
{
    QStringList owners;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return owners;
    QMutexLocker lock(&tracked().mutex);
    for (QObject* object : tracked().objects) {
        for (const auto& timer : dispatcher->registeredTimers(object))
            if (timer.interval > 0)
                owners.append(
                    QStringLiteral("%1 \"%2\" (%3 ms)")
                        .arg(QString::fromLatin1(object->metaObject()->className()), object->objectName())
                        .arg(timer.interval));
    }
    return owners;
}
