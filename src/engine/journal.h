#pragma once

#include "engine/contenthash.h"
#include "engine/uniquefd.h"

#include <QAtomicInteger>
#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVector>

#include <vector>

#include <sys/stat.h>

// One file as a run's journal recorded it, just before the run replaced it.
struct JournalRecord
{
    // How the original was kept: the old inode itself (Link), a copy of it (Copy), or a
    // copy made before the file was overwritten where it stands (InPlace).
    enum class Kept { Link, Copy, InPlace };

    qint64 entry = -1;
    Kept kept = Kept::Link;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    quint32 mode = 0;
    quint32 uid = 0;
    quint32 gid = 0;
    Digest before;
    Digest after;
    QByteArray path; // native bytes, which need not be valid in any encoding
    bool writtenInPlace = false; // an InPlace entry whose overwrite was finished and synced
    bool abandoned = false; // the run left the file as it was after all
};

// The last run as its journal tells it.
struct JournalRun
{
    QString folder;
    bool finished = false;
    QVector<JournalRecord> records;
};

// A run's undo journal: the original of every file the run replaces, kept before the
// replacement, and a manifest of them. The last run's journal stays until the next run
// starts. Thread-safe: pool threads record their files through one Journal.
//
// Originals on the journal's own file system are kept by hard-linking the old inode
// before the new file is renamed over it, which costs no copying and keeps its owner,
// mode, ACL and attributes; elsewhere they are copied, up to a cap.
class Journal
{
public:
    // What a run's journal would cost, told to the user before the run.
    struct Cost
    {
        int files = 0;
        int copies = 0; // files that cannot be kept by a link
        qint64 copiedBytes = 0;
    };

    // Where journals live: "journal" under the application's local data location.
    static QString location();
    static Cost estimate(const QStringList &paths);

    // The last run not still in progress; false when there is none.
    static bool lastRun(JournalRun *run);
    // The last run's journal was left unfinished: the run was killed or crashed.
    static bool lastRunInterrupted();

    // copyCap: the bytes of copies the journal may hold; negative for no limit. A file
    // past the cap is still replaced safely, but cannot be undone.
    explicit Journal(qint64 copyCap = -1);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Deletes the last run's journal (at once for undo; its files on disk one with each
    // file this run replaces, see sweepOne()) and creates this run's. A run that cannot have one
    // may still go on without undo, after discardLastRun().
    bool start(QString *error = nullptr);
    // What a run without a journal calls first, so that undo does not go back past it.
    static void discardLastRun();
    // Marks the run as finished, so that it no longer counts as interrupted, and ends
    // the journal: what is recorded after this is not kept. False when the manifest
    // could not be written.
    bool finish();

    QString folder() const { return m_folderPath; }
    qint64 copiedBytes() const { return m_copied.loadRelaxed(); }
    // Files replaced without their original kept (the cap, or the journal's own disk).
    int notKept() const { return m_notKept.loadRelaxed(); }

    // The rest serves SafeFile.

    struct Kept
    {
        qint64 entry = -1; // -1: not kept
        quint64 sequence = 0; // what makeDurable() waits for
    };
    // Keeps the original open as fd and records it. inPlace: the file is about to be
    // overwritten where it stands, so the copy is needed whatever the cap.
    Kept keep(int fd, const struct stat &original, const QByteArray &path, const Digest &before,
        const Digest &after, bool inPlace);
    // The file was left as it was: its record no longer counts.
    void abandon(qint64 entry);
    void markWrittenInPlace(qint64 entry);
    // Where an entry's original is kept, relative to the run's folder.
    static QByteArray keptName(qint64 entry);
    // Opens a kept original for reading.
    int openOriginal(qint64 entry) const;

    // Every record up to sequence, and the originals they name, are on disk once this
    // returns true. Threads that wait together share one sync.
    bool makeDurable(quint64 sequence);

    // Deletes one original of the last run. Called once a file of this run has been
    // replaced, it frees the old run's space where a run without a journal frees the
    // replaced file's; finish() deletes what is left.
    void sweepOne();

    // A batch sync: beginSync() writes the records out, the caller syncs the journal's
    // file system (syncFd()) together with its own, then endSync() marks them durable
    // if that sync succeeded.
    quint64 beginSync();
    bool endSync(quint64 sequence, bool synced);
    int syncFd() const { return m_manifest.get(); }
    quint64 device() const { return m_device; }

private:
    // Renames the last run's journal out of the way: from then on it is gone for undo.
    static void setAsideLastRun();
    static QVector<QByteArray> trashFiles();
    void sweepRest();
    void append(const QByteArray &record, quint64 *sequence = nullptr, int changedShard = -1);
    bool writeRecords();
    bool copyOriginal(int fd, const struct stat &original, const QByteArray &name, bool inPlace);

    const qint64 m_copyCap;
    QString m_folderPath;
    UniqueFd m_folder;
    UniqueFd m_manifest;
    std::vector<UniqueFd> m_shards;
    quint64 m_device = 0;
    QAtomicInteger<qint64> m_nextEntry = 0;
    QAtomicInteger<qint64> m_copied = 0;
    QAtomicInt m_notKept = 0;

    QMutex m_mutex; // guards the fields up to m_syncMutex
    QByteArray m_records;
    QVector<QByteArray> m_trash; // the last run's originals, still to delete
    quint64 m_appended = 0;
    std::vector<UniqueFd> m_unsyncedCopies;
    quint32 m_changedShards = 0; // folders of originals made or removed since the last sync

    QMutex m_syncMutex; // held while syncing; guards m_durable
    quint64 m_durable = 0;
    bool m_structureDurable = false; // the run's folders and manifest are on disk
    bool m_failed = false;
};
