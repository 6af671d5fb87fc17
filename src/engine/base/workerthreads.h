#pragma once

#include <QThread>
#include <QtGlobal>

#include <algorithm>

// How many threads rewrite files at once. A small file's time goes mostly to waiting for
// the disk to take its write, so more workers than cores keep the cores busy and the
// shared syncs full; a large file keeps its core busy by itself, and more of them at once
// only compete for it and for memory.
inline int workerThreadsFor(qint64 largestFile)
{
    constexpr qint64 SmallFile = 4 << 20;
    const int cores = std::max(1, QThread::idealThreadCount());
    return largestFile <= SmallFile ? 8 * cores : cores;
}
