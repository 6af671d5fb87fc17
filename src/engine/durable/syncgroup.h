#pragma once

#include <QMutex>
#include <QVector>
#include <QWaitCondition>

class Journal;
class SafeFile;

// Makes the new content of files reach the disk in shared syncs: a worker that arrives
// while a sync is under way waits for the next one, which takes everyone who arrived
// meanwhile. One sync of the file system for a batch costs far less than one per file,
// and no rename waits for another file's data.
class SyncGroup
{
public:
    explicit SyncGroup(Journal *journal);

    // True once file's staged content, and the journal's record of it, are on disk;
    // false when the shared sync failed, and the file must be synced on its own.
    bool sync(SafeFile *file);

private:
    struct Waiter
    {
        SafeFile *file;
        bool done = false;
        bool synced = false;
    };

    Journal *const m_journal;
    QMutex m_mutex;
    QWaitCondition m_finished;
    QVector<Waiter *> m_waiting;
    bool m_syncing = false;
};
