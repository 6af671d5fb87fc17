#pragma once

#include "engine/durable/contenthash.h"
#include "engine/durable/uniquefd.h"

#include <QAtomicInteger>
#include <QByteArray>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <memory>
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
    // The folder the file was in, by identity: undo writes only into that same folder.
    // Unknown (false) in a journal of the first version.
    bool hasFolder = false;
    quint64 folderDevice = 0;
    quint64 folderInode = 0;
    QByteArray path; // native bytes, which need not be valid in any encoding
    bool writtenInPlace = false; // an InPlace entry whose overwrite was finished and synced
    bool abandoned = false; // the run left the file as it was after all
    bool restoring = false; // undo was putting it back where it stands
    // Put back whole where it stands (by a repair or an undo): no longer torn, so any
    // content other than the run's own is someone else's since.
    bool whole = false;

    // A write where the file stands, by the run or by an undo, may have been cut short.
    bool mayBeTorn() const
    {
        return !whole && ((kept == Kept::InPlace && !writtenInPlace) || restoring);
    }
};

// One run as its journal tells it.
struct JournalRun
{
    QString folder;
    int version = 0;
    qint64 started = 0; // ms since the epoch; 0 when the journal does not say
    quint64 sequence = 0; // runs are ordered by it; 0 for a journal of the first version
    // False for a run without undo: its journal only keeps what it overwrites in place,
    // until it is written, and goes with the run.
    bool keepsUndo = true;
    bool finished = false;
    qint64 finishedAt = 0; // ms since the epoch; 0 when the journal does not say
    bool undoBegun = false; // an undo of it started and did not end
    bool undone = false; // an undo of it ended: only its manifest is left, for the history
    // When the user asked for it (ms since the epoch); the start when the journal does not say.
    qint64 requested = 0;
    // What its originals hold on disk, as told when it finished; -1 when not told.
    qint64 held = -1;
    int notKept = 0; // files it replaced without keeping their original
    int files = 0; // its records not abandoned
    // Read as a summary: records, damaged and folders are left out.
    bool partial = false;
    QVector<JournalRecord> records;
    // The folders it was to write in, temp files included.
    QVector<QByteArray> folders;
    // Records that could not be read, each as "manifest:line".
    QStringList damaged;

    // Killed or crashed, in the run or in its undo: kept until it is undone or discarded,
    // or the history drops it.
    bool interrupted() const { return (!finished || undoBegun) && !undone; }
    // Files it replaced, kept or not.
    int written() const;
};

// A run's records one at a time, in the order the run made them, for runs too large to
// hold at once: a first pass over the manifest learns what befell each file (a byte each),
// and next() reads the records again as they are wanted. Reads the manifest as it stood
// when opened, whoever holds its lock.
class JournalReader
{
public:
    JournalReader();
    ~JournalReader();
    JournalReader(const JournalReader &) = delete;
    JournalReader &operator=(const JournalReader &) = delete;

    // False when the run's journal is gone, not trusted or unreadable.
    bool open(const QString &runFolder);
    // Without records (partial), but with its damaged records and folders.
    const JournalRun &run() const;
    // Records not abandoned, the largest file's size among them all, and those that may
    // be torn.
    int files() const;
    qint64 largestFile() const;
    int mayBeTorn() const;
    // The next record, abandoned ones too, with what befell it; false past the last.
    bool next(JournalRecord *record);
    // Back to the first record.
    bool rewind();

private:
    struct Data;
    std::unique_ptr<Data> d;
};

// One run of the history, newest first.
struct HistoryEntry
{
    JournalRun run;
    int written = 0;
    // Files whose original is still kept and that no later run still holding its own
    // change has rewritten since.
    int undoable = 0;
};

// A run's undo journal: the original of every file the run replaces, kept before the
// replacement, and a manifest of them. Thread-safe: pool threads record their files
// through one Journal.
//
// The journal keeps a history of the last runs (setRunsKept()), interrupted ones among
// them, within the space cap: past either, the oldest go first, at a run's start and again
// at its end. An undone run keeps its manifest, to stay in the history. Runs starting
// together each keep their own. Runs are ordered by their start as the manifest tells it.
//
// Originals on the journal's own file system are kept by hard-linking the old inode
// before the new file is renamed over it, which costs no copying and keeps its owner,
// mode, ACL and attributes; elsewhere they are copied, up to a cap.
//
// Journals are trusted only when the journal folder, the run's folder and its manifest
// belong to the effective user, are writable by no one else, and are no symbolic links.
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

    enum class Mode {
        Undo, // keeps every file's original for undo
        // A run without undo: keeps only what is overwritten in place, until it is written,
        // so that a kill in the middle can still be repaired.
        InPlaceOnly,
    };

    // The cost counted one file at a time, for lists too long to hold.
    class Estimate
    {
    public:
        Estimate();
        // A regular file as stat() saw it; native: its path's bytes.
        void add(const QByteArray &native, const struct stat &st);
        const Cost &cost() const { return m_cost; }

    private:
        Cost m_cost;
        quint64 m_journalDevice = 0;
        // Most files share their folder with the files before them.
        QByteArray m_lastFolder;
        bool m_lastFolderWritable = false;
    };

    // Where journals live: "journal" under the application's local data location.
    static QString location();
    static Cost estimate(const QStringList &paths);

    // Every run not still in progress (nor being undone), oldest first. A run folder or
    // manifest that cannot be trusted is left out and named in refused, with the reason;
    // so is the journal folder itself.
    static QVector<JournalRun> runs(QStringList *refused = nullptr);
    // The same, quicker: records only for the runs interrupted, or whose manifest does not
    // tell what they hold (JournalRun::partial for the rest). A finished run is read from a
    // summary made the first time it is asked for, not from its manifest.
    static QVector<JournalRun> summaries(QStringList *refused = nullptr);
    // What plain undo takes: the newest run with undo, not still in progress, unless it is
    // undone already. A run before it still counts when it was interrupted, or still going
    // on when the newer runs were asked for (it ran alongside them), as before there was a
    // history. False when there is none. Read as a summary: reread() gives its records.
    static bool lastRun(JournalRun *run, QStringList *refused = nullptr);
    // The runs with undo, newest first, as the history lists them.
    static QVector<HistoryEntry> history(QStringList *refused = nullptr);
    // Reads one run again, as it is now, under a lock its caller holds; false when it is
    // gone or cannot be read.
    static bool reread(JournalRun *run);
    // What a run's originals hold on disk: a kept link to an inode that no live file uses
    // costs the inode's size.
    static qint64 heldBytes(const JournalRun &run);
    // Marks a run undone and frees its originals; only its manifest stays, for the history.
    // manifest: the run's manifest, open for appending and locked.
    static bool markUndone(const JournalRun &run, int manifest);
    // The last run's journal was left unfinished: the run was killed or crashed.
    static bool lastRunInterrupted();
    // Runs killed or crashed (or whose undo was), kept for undo; oldest first.
    static QVector<JournalRun> interruptedRuns();
    // Deletes the journals of interrupted runs; how many there were. Repair their torn
    // files first (recoverInterruptedRuns() in undo.h): this throws their originals away.
    static int discardInterruptedRuns();
    // The folders that runs now in progress (or being undone), other than the one in
    // except, write in: their temp files are not leftovers.
    static QSet<QByteArray> foldersInUse(const QString &except);
    // Deletes one run's journal.
    static bool remove(const JournalRun &run);
    // Deletes the originals set aside (by undo, or runs dropped from the history) in the
    // background; the process waits for that as it exits.
    static void sweepLater();

    static constexpr int DefaultRunsKept = 10;

    // copyCap: the bytes of copies the journal may hold; negative for no limit. A file
    // past the cap is still replaced safely, but cannot be undone. The same cap bounds what
    // the history's originals hold together.
    explicit Journal(qint64 copyCap = -1, Mode mode = Mode::Undo);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // The moment the user asked for this run (ms since the epoch), when that was before
    // start(): a run that finished after it ran alongside this one, and keeps its journal.
    void setRequestedAt(qint64 ms) { m_requestedAt = ms; }
    // How many runs the history keeps, this one included; at least one.
    void setRunsKept(int runs) { m_runsKept = std::max(1, runs); }
    // Drops the runs past the history's length or its cap (for undo at once; their files on
    // disk once this run has finished, see finish()) and creates this run's,
    // locked, before any other run can see it. Runs that finished after this one was asked
    // for stay. False, with the journal
    // folder and the system's reason in error, when it cannot be made: a run may still go
    // on without undo, after discardLastRun().
    bool start(QString *error = nullptr);
    // What a run without a journal calls first, so that undo does not go back past it to
    // a finished run. Interrupted runs stay.
    static void discardLastRun();
    // The folders the run will write in, recorded before its first file is written, so
    // that temp files a kill leaves there can be found.
    void recordFolders(const QVector<QByteArray> &folders);
    // Marks the run as finished, so that it no longer counts as interrupted, and ends
    // the journal: what is recorded after this is not kept. False when the manifest
    // could not be written. A journal of Mode::InPlaceOnly is deleted. The originals of
    // the runs start() set aside are then deleted in the background, which only the
    // process's exit waits for.
    bool finish();
    // Waits until the originals set aside so far are deleted.
    static void waitForSweep();

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
    // folder: the folder it is in, whose identity undo checks.
    Kept keep(int fd, const struct stat &original, const QByteArray &path, const Digest &before,
        const Digest &after, bool inPlace, int folder = -1);
    // Whether keep() would copy the original of this file, rather than link it or keep
    // nothing, when it is replaced by a rename.
    bool copies(const struct stat &original) const;
    // The file was left as it was: its record no longer counts.
    void abandon(qint64 entry);
    // The in-place overwrite of entry reached the disk; without undo, its copy goes.
    void markWrittenInPlace(qint64 entry);
    // Where an entry's original is kept, relative to the run's folder.
    static QByteArray keptName(qint64 entry);
    // Opens a kept original for reading.
    int openOriginal(qint64 entry) const;

    // Every record up to sequence, and the originals they name, are on disk once this
    // returns true. Threads that wait together share one sync.
    bool makeDurable(quint64 sequence);

    // A batch sync: beginSync() writes the records out, the caller syncs the journal's
    // file system (syncFd()) together with its own, then endSync() marks them durable
    // if that sync succeeded.
    quint64 beginSync();
    bool endSync(quint64 sequence, bool synced);
    int syncFd() const { return m_manifest.get(); }
    quint64 device() const { return m_device; }

private:
    // Renames runs' journals out of the way: from then on they are gone for undo. Runs
    // beyond the newest keep, or past the cap, go, the oldest first; with keep negative,
    // every finished run. Runs that finished after requestedAt ran alongside and stay; so
    // does self, the run now ending, and an interrupted run that may hold a torn file's
    // only whole copy.
    static void setAsideRuns(
        int base, qint64 requestedAt, int keep, qint64 cap, const QString &self);
    bool publish(int base, QString *error);
    // Deleting a file costs about as much as writing it: done while this run writes, it
    // slowed every write; done after, it takes two threads, one folder each at a time.
    static void sweep(const QByteArray &location);
    // Notes the originals of the runs set aside, for keep() to delete one at a time.
    void gatherSetAside(int base);
    // Deletes one original of a run set aside, if any is left.
    void deleteOneSetAside();
    // kept: the entry a record of a kept original is for, with its path's fingerprint.
    void append(const QByteArray &record, quint64 *sequence = nullptr, int changedShard = -1,
        qint64 kept = -1, quint64 print = 0);
    bool writeRecords();
    bool copyOriginal(int fd, const struct stat &original, const QByteArray &name, bool inPlace);
    // What listing runs reads instead of the manifest, made from what this run recorded.
    void leaveSummary(qint64 held, int notKept, qint64 finishedAt);

    const qint64 m_copyCap;
    const Mode m_mode;
    qint64 m_requestedAt = 0;
    int m_runsKept = DefaultRunsKept;
    qint64 m_started = 0; // as the manifest's header says
    quint64 m_sequence = 0;
    QString m_folderPath;
    UniqueFd m_folder;
    UniqueFd m_manifest;
    std::vector<UniqueFd> m_shards;
    quint64 m_device = 0;
    QAtomicInteger<qint64> m_nextEntry = 0;
    QAtomicInteger<qint64> m_copied = 0;
    QAtomicInteger<qint64> m_held = 0; // what the originals kept hold on disk
    QAtomicInt m_notKept = 0;

    QMutex m_mutex; // guards the fields up to m_syncMutex
    QByteArray m_records;
    QSet<qint64> m_inPlaceOpen; // in-place overwrites neither written nor abandoned yet
    quint64 m_appended = 0;
    std::vector<UniqueFd> m_unsyncedCopies;
    quint32 m_changedShards = 0; // folders of originals made or removed since the last sync
    // Each entry's path, by its fingerprint, and whether it counts: a run with undo leaves
    // them in its summary.
    enum class Entry : quint8 { None, Kept, Abandoned };
    std::vector<quint64> m_prints;
    std::vector<Entry> m_entries;

    bool m_sweepAsked = false;
    struct SetAside;
    std::unique_ptr<SetAside> m_setAside;

    QMutex m_syncMutex; // held while syncing; guards m_durable
    quint64 m_durable = 0;
    bool m_structureDurable = false; // the run's folders and manifest are on disk
    bool m_failed = false;
    bool m_recordsLost = false; // a write of the manifest failed
};
