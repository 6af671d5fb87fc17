#pragma once

#include <QThread>
#include <QtGlobal>

#include <algorithm>
#include <limits>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>
#endif

// How many threads rewrite files at once. A small file's time goes mostly to waiting for
// the disk to take its write, so more workers than cores keep the cores busy and the
// shared syncs full; a large file keeps its core busy by itself, and more of them at once
// only compete for it and for memory.
constexpr qint64 TinyFile = 16 << 10;
constexpr qint64 SmallFile = 4 << 20;

inline int workerThreadsFor(qint64 largestFile)
{
    const int cores = std::max(1, QThread::idealThreadCount());
    return largestFile <= SmallFile ? 8 * cores : cores;
}

// For a run of tiny files, whose whole time is the wait for a shared sync: the more of
// them wait together, the fewer syncs, and each sync writes the file system's bookkeeping
// out again (128 workers on two cores against 16 took a third off a first run over 50,000
// one-line files), while what each holds in memory stays small. The count is the batch's,
// not the cores'. Files of 48 KB, whose own data is most of what a sync writes, already
// spent more on switching between threads than they saved; and so many workers, busy
// failing read-only files, kept a window's thread waiting 0.1-0.2 s even ten steps below it.
inline int tinyFileWorkers()
{
    return std::max(128, workerThreadsFor(0));
}

// A thread's priority left as it is.
constexpr int KeepPriority = std::numeric_limits<int>::min();

// The priority for workers that must leave the calling thread room to answer: a window
// whose thread competed on equal terms with sixteen busy workers on two cores got a
// sixth of a core and stopped answering for a third of a second at a time. KeepPriority
// where threads have no priority of their own.
inline int givingWayNiceness()
{
#ifdef Q_OS_LINUX
    constexpr int Below = 10;
    errno = 0;
    const int caller = getpriority(PRIO_PROCESS, 0); // on Linux, the calling thread's
    return errno == 0 ? std::min(19, caller + Below) : KeepPriority;
#else
    return KeepPriority;
#endif
}

// Moves the calling thread down to niceness; a thread only ever moves down, as one
// without privileges cannot move back up.
inline void giveWay(int niceness)
{
#ifdef Q_OS_LINUX
    if (niceness == KeepPriority)
        return;
    const auto thread = id_t(gettid());
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, thread);
    if (errno == 0 && now < niceness)
        setpriority(PRIO_PROCESS, thread, niceness);
#else
    Q_UNUSED(niceness)
#endif
}
