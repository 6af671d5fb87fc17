#include "engine/durable/syncgroup.h"

#include "engine/durable/safefile.h"

SyncGroup::SyncGroup(Journal *journal)
    : m_journal(journal)
{
}

bool SyncGroup::sync(SafeFile *file)
{
    Waiter self {file};
    QMutexLocker locker(&m_mutex);
    m_waiting.append(&self);
    while (!self.done) {
        if (m_syncing) {
            m_finished.wait(&m_mutex);
            continue;
        }
        // Nobody is syncing: this worker syncs for everyone waiting, itself included.
        m_syncing = true;
        QVector<Waiter *> batch;
        batch.swap(m_waiting);
        locker.unlock();
        QVector<SafeFile *> files;
        files.reserve(batch.size());
        for (const Waiter *waiter : qAsConst(batch))
            files.append(waiter->file);
        const bool synced = SafeFile::syncStaged(files, m_journal) == Reason::None;
        locker.relock();
        for (Waiter *waiter : qAsConst(batch)) {
            waiter->done = true;
            waiter->synced = synced;
        }
        m_syncing = false;
        m_finished.wakeAll();
    }
    return self.synced;
}
