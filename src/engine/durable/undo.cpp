#include "engine/durable/undo.h"

#include "engine/base/workerthreads.h"
#include "engine/durable/contenthash.h"
#include "engine/durable/filemetadata.h"
#include "engine/durable/journal.h"
#include "engine/durable/nativefile.h"
#include "engine/durable/pausepoint.h"
#include "engine/durable/safefile.h"
#include "engine/durable/uniquefd.h"
#include "files/tempnames.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QWaitCondition>

#include <cerrno>
#include <map>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using Outcome = UndoResult::Outcome;

// A run's journal, locked against its run, other undos and recoveries.
struct OpenRun
{
    UniqueFd folder;
    UniqueFd manifest; // for appending, and holding the lock

    // wait: for another undo of the same run to end, rather than give up at once.
    bool open(const JournalRun &run, bool wait = false)
    {
        folder.reset(::open(QFile::encodeName(run.folder).constData(),
            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.isValid())
            return false;
        manifest.reset(
            ::openat(folder.get(), "manifest", O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        // Gone under the lock: an undo that has just ended deleted it.
        int locked;
        do {
            locked = manifest.isValid()
                ? ::flock(manifest.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB)
                : -1;
        } while (locked != 0 && errno == EINTR && manifest.isValid());
        return locked == 0 && ::fstat(manifest.get(), &st) == 0 && st.st_nlink > 0;
    }

    bool append(const QByteArray &record, bool sync) const
    {
        return writeFully(manifest.get(), record.constData(), record.size())
            && (!sync || ::fdatasync(manifest.get()) == 0);
    }
};

// The file as it stands now, checked again just before it is replaced.
struct Current
{
    UniqueFd folder;
    QByteArray name;
    UniqueFd file;
    struct stat stat = {};

    bool unchanged() const
    {
        pausePoint("undo-replace");
        struct stat now;
        return ::fstatat(folder.get(), name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
            && sameVersion(now, stat);
    }
};

// Opens the file a record names, in the folder it was in then. Outcome::Restored means
// that it is open.
Outcome openCurrent(const JournalRecord &record, Current *current)
{
    const NativePath path = splitNativePath(record.path);
    current->name = path.name;
    current->folder.reset(openFolder(path.folder));
    if (!current->folder.isValid())
        return errno == ENOENT || errno == ENOTDIR ? Outcome::Missing : Outcome::Failed;
    struct stat folder;
    if (::fstat(current->folder.get(), &folder) != 0)
        return Outcome::Failed;
    // Another folder under the same name: nothing of the run's is there to put back.
    if (record.hasFolder
        && (quint64(folder.st_dev) != record.folderDevice
            || quint64(folder.st_ino) != record.folderInode))
        return Outcome::ChangedSince;
    current->file.reset(::openat(current->folder.get(), path.name.constData(),
        O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!current->file.isValid()) {
        if (errno == ENOENT)
            return Outcome::Missing;
        return errno == ELOOP || errno == ENXIO ? Outcome::ChangedSince : Outcome::Failed;
    }
    if (::fstat(current->file.get(), &current->stat) != 0)
        return Outcome::Failed;
    if (!S_ISREG(current->stat.st_mode))
        return Outcome::ChangedSince;
    return Outcome::Restored;
}

int openOriginal(const OpenRun &journal, const JournalRecord &record)
{
    return ::openat(journal.folder.get(), Journal::keptName(record.entry).constData(),
        O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

// Puts the original back through the same steps as any rewrite: beside the file and
// renamed over it, or where it stands (as the run wrote it, or where the folder takes no
// new file), after recording durably that it is being restored: should this be cut short,
// the next undo or start finishes it.
// renamed: as for undoFile().
Outcome restore(Current *current, int original, const JournalRecord &record, const OpenRun &journal,
    bool inPlace, bool *renamed)
{
    SafeFile file;
    const SafeFile::Original from {
        original, record.size, record.mode, record.uid, record.gid, inPlace};
    const Reason reason = file.restore(std::move(current->folder), current->name,
        std::move(current->file), current->stat, from,
        [&] { return journal.append("R " + QByteArray::number(record.entry) + '\n', true); });
    if (reason != Reason::None)
        return Outcome::Failed;
    *renamed = !file.writesInPlace();
    // Once put back whole where it stands, a file counts as whole: whatever it holds later
    // is someone's change, not a tear.
    journal.append("F " + QByteArray::number(record.entry) + '\n', false);
    return Outcome::Restored;
}

// rewrittenLater: a later run replaced the file, so that what it holds is no tear of this
// run's. renamed: set when the original took the file's place by a rename, which reaches
// the disk with a sync of its folder.
Outcome undoFile(
    const JournalRecord &record, const OpenRun &journal, bool rewrittenLater, bool *renamed)
{
    Current current;
    const Outcome opened = openCurrent(record, &current);
    if (opened != Outcome::Restored)
        return opened;
    const auto now = digestOfFile(current.file.get());
    if (!now)
        return Outcome::Failed;
    if (*now == record.before)
        return Outcome::AlreadyOriginal;
    // A killed overwrite leaves content that matches neither digest.
    const bool mayBeTorn = record.mayBeTorn() && !rewrittenLater;
    if (*now != record.after && !mayBeTorn)
        return Outcome::ChangedSince;

    const UniqueFd original(openOriginal(journal, record));
    if (!original.isValid() || digestOfFile(original.get()) != record.before)
        return Outcome::Failed;
    const bool inPlace = record.kept == JournalRecord::Kept::InPlace || record.restoring;
    if (record.kept == JournalRecord::Kept::Link && !inPlace) {
        if (!current.unchanged())
            return Outcome::Failed;
        const QByteArray keptName = Journal::keptName(record.entry);
        if (::renameat(journal.folder.get(), keptName.constData(), current.folder.get(),
                current.name.constData())
            == 0) {
            *renamed = true;
            return Outcome::Restored;
        }
        if (errno != EXDEV && errno != EACCES && errno != EPERM)
            return Outcome::Failed;
    }
    return restore(&current, original.get(), record, journal, inPlace, renamed);
}

// The paths among wanted that a run after the one at index, not undone, replaced.
QSet<QByteArray> rewrittenAfter(
    const QVector<JournalRun> &runs, int index, const QSet<QByteArray> &wanted)
{
    QSet<QByteArray> found;
    if (wanted.isEmpty())
        return found;
    for (int later = index + 1; later < runs.size(); ++later) {
        if (runs.at(later).undone)
            continue;
        for (const JournalRecord &record : runs.at(later).records) {
            if (!record.abandoned && wanted.contains(record.path))
                found.insert(record.path);
        }
    }
    return found;
}

// The paths of a run's files that may be torn, and that a later run replaced since.
QSet<QByteArray> tornRewrittenLater(const JournalRun &run)
{
    QSet<QByteArray> torn;
    for (const JournalRecord &record : run.records) {
        if (!record.abandoned && record.mayBeTorn())
            torn.insert(record.path);
    }
    if (torn.isEmpty())
        return torn;
    // Later runs read as summaries lack the records this needs.
    const QVector<JournalRun> whole = Journal::runs();
    int index = -1;
    for (int i = 0; i < whole.size() && index < 0; ++i)
        index = whole.at(i).folder == run.folder ? i : -1;
    return index < 0 ? QSet<QByteArray>() : rewrittenAfter(whole, index, torn);
}

enum class Repair { NotTorn, Repaired, Failed };

// A torn file of an interrupted run: the same file still (an overwrite in place keeps
// the inode), holding neither its old content nor its new.
Repair repairFile(const JournalRecord &record, const OpenRun &journal)
{
    Current current;
    if (openCurrent(record, &current) != Outcome::Restored)
        return Repair::NotTorn;
    if (quint64(current.stat.st_dev) != record.device
        || quint64(current.stat.st_ino) != record.inode)
        return Repair::NotTorn;
    const auto now = digestOfFile(current.file.get());
    if (!now)
        return Repair::Failed;
    if (*now == record.before || *now == record.after)
        return Repair::NotTorn;
    const UniqueFd original(openOriginal(journal, record));
    if (!original.isValid() || digestOfFile(original.get()) != record.before)
        return Repair::Failed;
    bool renamed = false;
    return restore(&current, original.get(), record, journal, true, &renamed) == Outcome::Restored
        ? Repair::Repaired
        : Repair::Failed;
}

// The file a temp name stands beside: ".NAME.yihuan-XXXXXX.tmp".
QByteArray shadowedName(const QByteArray &tempName)
{
    constexpr int Tail = 8 + 6 + 4;
    return tempName.mid(1, tempName.size() - 1 - Tail);
}

// Temp files a killed run or undo left, in the folders it wrote in, but not in folders a
// run now in progress writes in. Only this program's: by the name, and by the owner, which
// is this user, or for root the owner of the file it was to replace.
// folders: those its records name; its own folders come from run.
int removeLeftTempFiles(const JournalRun &run, QSet<QByteArray> folders)
{
    for (const QByteArray &folder : run.folders)
        folders.insert(folder);
    for (const JournalRecord &record : run.records)
        folders.insert(splitNativePath(record.path).folder);
    folders.subtract(Journal::foldersInUse(run.folder));
    const uid_t user = ::geteuid();
    int removed = 0;
    for (const QByteArray &folder : qAsConst(folders)) {
        const int fd = openFolder(folder);
        DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!dir) {
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            struct stat st;
            if (!name.startsWith('.') || !isTempFileName(QFile::decodeName(name))
                || ::fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0
                || !S_ISREG(st.st_mode))
                continue;
            struct stat shadowed;
            const bool ours = st.st_uid == user
                || (user == 0
                    && ::fstatat(fd, shadowedName(name).constData(), &shadowed, AT_SYMLINK_NOFOLLOW)
                        == 0
                    && shadowed.st_uid == st.st_uid);
            if (ours && ::unlinkat(fd, name.constData(), 0) == 0)
                ++removed;
        }
        ::closedir(dir);
    }
    return removed;
}

// Every interrupted run but the one in except, which an undo is about to take whole.
Recovery recover(const QString &except)
{
    Recovery recovery;
    const QVector<JournalRun> runs = Journal::summaries(&recovery.refused);
    for (const JournalRun &run : runs) {
        if (!run.interrupted() || run.folder == except)
            continue;
        OpenRun journal;
        // Being undone or put right by another process this moment.
        if (!journal.open(run)) {
            recovery.interruptedRuns += run.keepsUndo ? 1 : 0;
            continue;
        }
        bool failed = false;
        const QSet<QByteArray> rewritten = tornRewrittenLater(run);
        for (const JournalRecord &record : run.records) {
            if (record.abandoned || !record.mayBeTorn() || rewritten.contains(record.path))
                continue;
            const QString path = QFile::decodeName(record.path);
            switch (repairFile(record, journal)) {
            case Repair::Repaired:
                recovery.repaired.append(path);
                break;
            case Repair::Failed:
                recovery.notRepaired.append(path);
                failed = true;
                break;
            case Repair::NotTorn:
                break;
            }
        }
        recovery.tempFilesRemoved += removeLeftTempFiles(run, {});
        const bool recordedNothing = run.records.isEmpty() && run.damaged.isEmpty();
        if (!failed && (recordedNothing || !run.keepsUndo))
            Journal::remove(run);
        else if (run.keepsUndo)
            ++recovery.interruptedRuns;
    }
    return recovery;
}

} // namespace

Recovery recoverInterruptedRuns()
{
    return recover(QString());
}

UndoResult undoLastRun()
{
    const std::atomic_bool never {false};
    return undoLastRunUntil(never);
}

namespace {

// The paths of a run's files that may be torn, and that a later run replaced since.
QSet<QByteArray> tornRewrittenLater(JournalReader &reader)
{
    JournalRun torn = reader.run();
    if (reader.mayBeTorn() == 0)
        return {};
    JournalRecord record;
    while (reader.next(&record)) {
        if (!record.abandoned && record.mayBeTorn())
            torn.records.append(record);
    }
    reader.rewind();
    return tornRewrittenLater(torn);
}

// Undo's workers take the run's records in their order and hand back each file's outcome;
// outcomes are reported in the same order, however the workers finish. A worker stays at
// most Window records ahead of the report, so that what waits is bounded, not the run.
class UndoWork
{
public:
    UndoWork(JournalReader *reader, const OpenRun &journal, const QSet<QByteArray> &rewritten,
        const std::atomic_bool &stop, const UndoProgress &progress, UndoResult *result)
        : m_reader(reader)
        , m_journal(journal)
        , m_rewritten(rewritten)
        , m_stop(stop)
        , m_progress(progress)
        , m_result(result)
    {
    }

    void run(int threads)
    {
        std::vector<std::thread> workers;
        for (int i = 1; i < threads; ++i)
            workers.emplace_back([this] { work(); });
        work();
        for (std::thread &worker : workers)
            worker.join();
        syncFolders();
    }

    // The folders the run's files are in.
    QSet<QByteArray> folders() const { return m_folders; }

private:
    static constexpr qint64 Window = 4096;

    void work()
    {
        JournalRecord record;
        qint64 index;
        while (take(&record, &index)) {
            bool renamed = false;
            const Outcome outcome
                = undoFile(record, m_journal, m_rewritten.contains(record.path), &renamed);
            finish(index, {QFile::decodeName(record.path), record.path, outcome}, renamed);
        }
    }

    bool take(JournalRecord *record, qint64 *index)
    {
        QMutexLocker locker(&m_mutex);
        while (!m_ended && m_taken - m_reported >= Window)
            m_room.wait(&m_mutex);
        while (!m_ended) {
            if (!m_reader->next(record)) {
                m_ended = true;
            } else if (!record->abandoned) {
                pausePoint("undo-take");
                // The files in hand are finished first; the rest stay for the next undo.
                m_ended = m_result->stopped = m_stop.load();
                if (m_ended)
                    break;
                *index = m_taken++;
                return true;
            }
        }
        m_room.wakeAll();
        return false;
    }

    void finish(qint64 index, UndoResult::File file, bool renamed)
    {
        QMutexLocker locker(&m_mutex);
        const QByteArray folder = splitNativePath(file.nativePath).folder;
        m_folders.insert(folder);
        if (renamed)
            m_renamedIn.insert(folder);
        if (index != m_reported) {
            m_waiting.emplace(index, std::move(file));
            return;
        }
        report(file);
        for (auto next = m_waiting.begin(); next != m_waiting.end() && next->first == m_reported;
             next = m_waiting.erase(next))
            report(next->second);
        m_room.wakeAll();
    }

    void report(const UndoResult::File &file)
    {
        ++m_reported;
        switch (file.outcome) {
        case Outcome::Restored:
            ++m_result->restored;
            break;
        case Outcome::AlreadyOriginal:
            ++m_result->alreadyOriginal;
            break;
        case Outcome::ChangedSince:
            ++m_result->changedSince;
            break;
        case Outcome::Missing:
            ++m_result->missing;
            break;
        case Outcome::Failed:
            ++m_result->failed;
            break;
        }
        if (m_progress.file)
            m_progress.file(file);
        else
            m_result->files.append(file);
    }

    // Originals put back by a rename reach the disk with one sync of each folder, before
    // the journal goes: a sync per file kept undo waiting on the disk once per file. Until
    // then the journal still holds what a second undo needs.
    void syncFolders()
    {
        for (const QByteArray &folder : qAsConst(m_renamedIn)) {
            const UniqueFd fd(openFolder(folder));
            if (fd.isValid())
                ::fsync(fd.get());
        }
    }

    JournalReader *const m_reader;
    const OpenRun &m_journal;
    const QSet<QByteArray> &m_rewritten;
    const std::atomic_bool &m_stop;
    const UndoProgress &m_progress;
    UndoResult *const m_result;

    QMutex m_mutex;
    QWaitCondition m_room;
    bool m_ended = false;
    qint64 m_taken = 0;
    qint64 m_reported = 0;
    std::map<qint64, UndoResult::File> m_waiting;
    QSet<QByteArray> m_folders;
    QSet<QByteArray> m_renamedIn;
};

// Undoes run (found again under its lock); plain: the run is what plain undo takes, and
// is looked for again when another undo ends it first.
UndoResult undoOne(
    JournalRun run, bool plain, const std::atomic_bool &stop, const UndoProgress &progress)
{
    UndoResult result;
    result.recovery = recover(run.folder);
    // Another undo of the same run may be under way: once it is over, the run it left (if
    // any) is read again.
    OpenRun journal;
    while (!journal.open(run, true)) {
        if (!journal.manifest.isValid() || !plain || !Journal::lastRun(&run))
            return result;
    }
    JournalReader reader;
    if (!reader.open(run.folder) || reader.run().undone)
        return result;
    // From here on the run counts as interrupted until this undo ends: no later run
    // sweeps a journal that still has files to give back.
    journal.append("U\n", false);
    result.runWasInterrupted = !reader.run().finished;
    result.damaged = reader.run().damaged;
    if (progress.begun)
        progress.begun(result);
    const QSet<QByteArray> rewritten = tornRewrittenLater(reader);
    UndoWork work(&reader, journal, rewritten, stop, progress, &result);
    work.run(std::min(workerThreadsFor(reader.largestFile()), std::max(1, reader.files())));
    const int reported = result.restored + result.alreadyOriginal + result.changedSince
        + result.missing + result.failed;
    result.tempFilesRemoved = removeLeftTempFiles(reader.run(), work.folders());
    result.nothingToUndo = reported == 0 && result.damaged.isEmpty() && !result.stopped;
    // The history keeps it, undone; a run that recorded nothing has no place there.
    if (result.complete()
        && (result.nothingToUndo || !Journal::markUndone(reader.run(), journal.manifest.get())))
        Journal::remove(reader.run());
    return result;
}

} // namespace

UndoResult undoLastRunUntil(const std::atomic_bool &stop, const UndoProgress &progress)
{
    JournalRun run;
    if (!Journal::lastRun(&run)) {
        UndoResult result;
        result.recovery = recover(QString());
        return result;
    }
    return undoOne(run, true, stop, progress);
}

UndoResult undoRunUntil(int number, const std::atomic_bool &stop, const UndoProgress &progress)
{
    const QVector<HistoryEntry> history = Journal::history();
    if (number < 1 || number > history.size()) {
        UndoResult result;
        result.noSuchRun = true;
        result.recovery = recover(QString());
        return result;
    }
    return undoOne(history.at(number - 1).run, false, stop, progress);
}
