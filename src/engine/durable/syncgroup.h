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
        SafeFile *file = nullptr;
        bool synced = false;
    };

    Journal *const m_journal;
    QMutex m_mutex;
    // At most two batches exist at a time, the one being synced and the one gathering
    // behind it, and each waits on a condition of its own: a sync's end wakes only the
    // workers whose files it took, and one worker of the next batch to sync that. One
    // condition for all woke every worker each time, most only to contend for the lock
    // and sleep again.
    QWaitCondition m_batchDone[2];
    QVector<Waiter *> m_gathering;
    quint64 m_nextBatch = 0; // the number of the batch now gathering
    quint64 m_doneBatches = 0; // batches before this number are synced
    bool m_syncing = false;
};
