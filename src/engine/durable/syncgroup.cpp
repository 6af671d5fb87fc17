#include "engine/durable/syncgroup.h"

#include "engine/durable/safefile.h"

SyncGroup::SyncGroup(Journal *journal)
    : m_journal(journal)
{
}

bool SyncGroup::sync(SafeFile *file)
{
    Waiter self;
    self.file = file;
    QMutexLocker locker(&m_mutex);
    const quint64 batch = m_nextBatch;
    const int slot = int(batch % 2);
    m_gathering.append(&self);
    while (m_doneBatches <= batch) {
        if (m_syncing) {
            m_batchDone[slot].wait(&m_mutex);
            continue;
        }
        // Nobody is syncing: this worker syncs its batch, everyone in it included.
        m_syncing = true;
        ++m_nextBatch;
        QVector<Waiter *> waiters;
        waiters.swap(m_gathering);
        locker.unlock();
        QVector<SafeFile *> files;
        files.reserve(waiters.size());
        for (const Waiter *waiter : qAsConst(waiters))
            files.append(waiter->file);
        const bool synced = SafeFile::syncStaged(files, m_journal) == Reason::None;
        locker.relock();
        // Each waiter is still asleep, or waiting for the lock: its record is there.
        for (Waiter *waiter : qAsConst(waiters))
            waiter->synced = synced;
        m_doneBatches = batch + 1;
        m_syncing = false;
        m_batchDone[slot].wakeAll();
        if (!m_gathering.isEmpty())
            m_batchDone[1 - slot].wakeOne();
    }
    return self.synced;
}
