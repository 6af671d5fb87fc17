#include "engine/durable/undo.h"

#include "engine/durable/contenthash.h"
#include "engine/durable/filemetadata.h"
#include "engine/durable/journal.h"
#include "engine/durable/nativefile.h"
#include "engine/durable/pausepoint.h"
#include "engine/durable/uniquefd.h"
#include "files/tempnames.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
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

bool copyRange(int from, int to, qint64 offset, qint64 end)
{
    std::vector<char> block(256 * 1024);
    while (offset < end) {
        const ssize_t got = ::pread(
            from, block.data(), size_t(qMin<qint64>(qint64(block.size()), end - offset)), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || !pwriteFully(to, block.data(), got, offset))
            return false;
        offset += got;
    }
    return true;
}

// Overwrites the file where it stands, after recording durably that it is being
// restored: should this be cut short, the next undo or start finishes it.
Outcome restoreInPlace(
    const Current &current, int original, const JournalRecord &record, const OpenRun &journal)
{
    const UniqueFd writable(reopenForWriting(current.file.get()));
    if (!writable.isValid() || !current.unchanged())
        return Outcome::Failed;
    if (record.size > current.stat.st_size
        && ::fallocate(writable.get(), FALLOC_FL_KEEP_SIZE, 0, record.size) != 0
        && errno != EOPNOTSUPP)
        return Outcome::Failed;
    if (!journal.append("R " + QByteArray::number(record.entry) + '\n', true))
        return Outcome::Failed;
    const qint64 half = record.size / 2;
    const bool ok = copyRange(original, writable.get(), 0, half)
        && (pausePoint("undo-in-place"), true)
        && copyRange(original, writable.get(), half, record.size)
        && ::ftruncate(writable.get(), record.size) == 0 && ::fdatasync(writable.get()) == 0;
    return ok ? Outcome::Restored : Outcome::Failed;
}

// A new file beside the current one, renamed over it.
Outcome restoreByCopy(
    const Current &current, int original, const JournalRecord &record, const OpenRun &journal)
{
    QByteArray tempName;
    const UniqueFd temp(createTempFile(current.folder.get(), current.name, 0600, &tempName));
    if (!temp.isValid()) {
        if (errno == EACCES || errno == EPERM)
            return restoreInPlace(current, original, record, journal);
        return Outcome::Failed;
    }
    const bool owned = (record.uid == ::geteuid() && record.gid == ::getegid())
        || ::fchown(temp.get(), record.uid, record.gid) == 0;
    if (!owned) {
        ::unlinkat(current.folder.get(), tempName.constData(), 0);
        return restoreInPlace(current, original, record, journal);
    }
    const bool ok = copyContent(original, temp.get(), record.size)
        && copyAccessAndAttributes(original, temp.get(), record.mode, true)
        && ::fdatasync(temp.get()) == 0 && current.unchanged()
        && ::renameat(current.folder.get(), tempName.constData(), current.folder.get(),
               current.name.constData())
            == 0;
    if (!ok) {
        ::unlinkat(current.folder.get(), tempName.constData(), 0);
        return Outcome::Failed;
    }
    ::fsync(current.folder.get());
    return Outcome::Restored;
}

int openOriginal(const OpenRun &journal, const JournalRecord &record)
{
    const UniqueFd shard(
        ::openat(journal.folder.get(), QByteArray::number(record.entry % 16).constData(),
            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!shard.isValid())
        return -1;
    return ::openat(shard.get(), QByteArray::number(record.entry).constData(),
        O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

// Once put back whole where it stands, a file counts as whole: whatever it holds later
// is someone's change, not a tear.
Outcome markWhole(Outcome outcome, const JournalRecord &record, const OpenRun &journal)
{
    if (outcome == Outcome::Restored)
        journal.append("F " + QByteArray::number(record.entry) + '\n', false);
    return outcome;
}

// Originals put back by a rename reach the disk with one sync of their folder, taken when
// undo moves on to another folder and before the journal goes: a sync per file kept undo
// waiting on the disk once per file. Until then the journal still holds what a second
// undo needs.
class FolderSyncs
{
public:
    ~FolderSyncs() { flush(); }

    void renamedIn(const QByteArray &path, Current *current)
    {
        const QByteArray folder = splitNativePath(path).folder;
        if (m_folder.isValid() && folder == m_path)
            return;
        flush();
        m_folder = std::move(current->folder);
        m_path = folder;
    }
    void flush()
    {
        if (m_folder.isValid())
            ::fsync(m_folder.get());
        m_folder.reset();
    }

private:
    UniqueFd m_folder;
    QByteArray m_path;
};

// rewrittenLater: a later run replaced the file, so that what it holds is no tear of this
// run's.
Outcome undoFile(
    const JournalRecord &record, const OpenRun &journal, bool rewrittenLater, FolderSyncs *syncs)
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
    if (record.kept == JournalRecord::Kept::InPlace || record.restoring)
        return markWhole(restoreInPlace(current, original.get(), record, journal), record, journal);
    if (record.kept == JournalRecord::Kept::Link) {
        if (!current.unchanged())
            return Outcome::Failed;
        const QByteArray keptName = Journal::keptName(record.entry);
        if (::renameat(journal.folder.get(), keptName.constData(), current.folder.get(),
                current.name.constData())
            == 0) {
            // On disk before the journal that could redo it is deleted.
            syncs->renamedIn(record.path, &current);
            return Outcome::Restored;
        }
        if (errno != EXDEV && errno != EACCES && errno != EPERM)
            return Outcome::Failed;
    }
    return markWhole(restoreByCopy(current, original.get(), record, journal), record, journal);
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
    return markWhole(restoreInPlace(current, original.get(), record, journal), record, journal)
            == Outcome::Restored
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
int removeLeftTempFiles(const JournalRun &run)
{
    QSet<QByteArray> folders;
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
        recovery.tempFilesRemoved += removeLeftTempFiles(run);
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

// Undoes run (found again under its lock); plain: the run is what plain undo takes, and
// is looked for again when another undo ends it first.
UndoResult undoOne(JournalRun run, bool plain, const std::atomic_bool &stop)
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
    if (!Journal::reread(&run) || run.undone)
        return result;
    // From here on the run counts as interrupted until this undo ends: no later run
    // sweeps a journal that still has files to give back.
    journal.append("U\n", false);
    result.runWasInterrupted = !run.finished;
    result.damaged = run.damaged;
    const QSet<QByteArray> rewritten = tornRewrittenLater(run);
    FolderSyncs syncs;
    for (const JournalRecord &record : qAsConst(run.records)) {
        if (record.abandoned)
            continue;
        if (stop.load()) {
            result.stopped = true;
            break;
        }
        const Outcome outcome = undoFile(record, journal, rewritten.contains(record.path), &syncs);
        result.files.append({QFile::decodeName(record.path), record.path, outcome});
        switch (outcome) {
        case Outcome::Restored:
            ++result.restored;
            break;
        case Outcome::AlreadyOriginal:
            ++result.alreadyOriginal;
            break;
        case Outcome::ChangedSince:
            ++result.changedSince;
            break;
        case Outcome::Missing:
            ++result.missing;
            break;
        case Outcome::Failed:
            ++result.failed;
            break;
        }
    }
    syncs.flush();
    result.tempFilesRemoved = removeLeftTempFiles(run);
    result.nothingToUndo = result.files.isEmpty() && result.damaged.isEmpty() && !result.stopped;
    // The history keeps it, undone; a run that recorded nothing has no place there.
    if (result.complete()
        && (result.nothingToUndo || !Journal::markUndone(run, journal.manifest.get())))
        Journal::remove(run);
    return result;
}

} // namespace

UndoResult undoLastRunUntil(const std::atomic_bool &stop)
{
    JournalRun run;
    if (!Journal::lastRun(&run)) {
        UndoResult result;
        result.recovery = recover(QString());
        return result;
    }
    return undoOne(run, true, stop);
}

UndoResult undoRunUntil(int number, const std::atomic_bool &stop)
{
    const QVector<HistoryEntry> history = Journal::history();
    if (number < 1 || number > history.size()) {
        UndoResult result;
        result.noSuchRun = true;
        result.recovery = recover(QString());
        return result;
    }
    return undoOne(history.at(number - 1).run, false, stop);
}
