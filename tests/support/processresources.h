#pragma once

#include <QStringList>

// What a process holds that a leak would grow: open file descriptors and running Qt timers.

// Entries of /proc/self/fd.
int openFileDescriptorCount();

// Starts keeping track of every QObject created from now on; call it before the objects to watch
// exist (objects made earlier are not seen).
void trackObjects();
// Timers running on this thread's event dispatcher for the objects tracked and still alive. Timers
// of 0 ms are left out: they are Qt's "on the next pass" (item views' layouts, say), come and go
// with every event, and one that never stopped would show as a busy loop anyway.
int runningTimerCount();
// The class and object names of the objects those timers run for, one entry per timer.
QStringList runningTimerOwners();
