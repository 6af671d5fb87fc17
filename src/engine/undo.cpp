#include "engine/undo.h"

#include "engine/contenthash.h"
#include "engine/filemetadata.h"
#include "engine/journal.h"
#include "engine/nativefile.h"
#include "engine/pausepoint.h"
#include "engine/tempnames.h"
#include "engine/uniquefd.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using Outcome = UndoResult::Outcome;

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

Outcome restoreInPlace(const Current &current, int original, const JournalRecord &record)
{
    const UniqueFd writable(reopenForWriting(current.file.get()));
    if (!writable.isValid() || !current.unchanged())
        return Outcome::Failed;
    if (record.size > current.stat.st_size
        && ::fallocate(writable.get(), FALLOC_FL_KEEP_SIZE, 0, record.size) != 0
        && errno != EOPNOTSUPP)
        return Outcome::Failed;
    const bool ok = copyContent(original, writable.get(), record.size)
        && ::ftruncate(writable.get(), record.size) == 0 && ::fdatasync(writable.get()) == 0;
    return ok ? Outcome::Restored : Outcome::Failed;
}

// A new file beside the current one, renamed over it.
Outcome restoreByCopy(const Current &current, int original, const JournalRecord &record)
{
    QByteArray tempName;
    UniqueFd temp;
    for (int attempt = 0; attempt < 16 && !temp.isValid(); ++attempt) {
        tempName = nativeTempName(current.name, attempt);
        temp.reset(::openat(current.folder.get(), tempName.constData(),
            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!temp.isValid() && errno != EEXIST && errno != ENAMETOOLONG)
            break;
    }
    if (!temp.isValid()) {
        if (errno == EACCES || errno == EPERM)
            return restoreInPlace(current, original, record);
        return Outcome::Failed;
    }
    const bool owned = (record.uid == ::geteuid() && record.gid == ::getegid())
        || ::fchown(temp.get(), record.uid, record.gid) == 0;
    if (!owned) {
        ::unlinkat(current.folder.get(), tempName.constData(), 0);
        return restoreInPlace(current, original, record);
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

Outcome undoFile(const JournalRecord &record, int journal)
{
    const NativePath path = splitNativePath(record.path);
    Current current;
    current.name = path.name;
    current.folder.reset(openFolder(path.folder));
    if (!current.folder.isValid())
        return errno == ENOENT || errno == ENOTDIR ? Outcome::Missing : Outcome::Failed;
    current.file.reset(::openat(current.folder.get(), path.name.constData(),
        O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!current.file.isValid()) {
        if (errno == ENOENT)
            return Outcome::Missing;
        return errno == ELOOP || errno == ENXIO ? Outcome::ChangedSince : Outcome::Failed;
    }
    if (::fstat(current.file.get(), &current.stat) != 0)
        return Outcome::Failed;
    if (!S_ISREG(current.stat.st_mode))
        return Outcome::ChangedSince;
    const auto now = digestOfFile(current.file.get());
    if (!now)
        return Outcome::Failed;
    if (*now == record.before)
        return Outcome::AlreadyOriginal;
    // A killed overwrite leaves content that matches neither digest.
    const bool halfWritten = record.kept == JournalRecord::Kept::InPlace && !record.writtenInPlace;
    if (*now != record.after && !halfWritten)
        return Outcome::ChangedSince;

    const QByteArray keptName = Journal::keptName(record.entry);
    const UniqueFd original(::openat(journal, keptName.constData(), O_RDONLY | O_CLOEXEC));
    if (!original.isValid() || digestOfFile(original.get()) != record.before)
        return Outcome::Failed;
    if (record.kept == JournalRecord::Kept::InPlace)
        return restoreInPlace(current, original.get(), record);
    if (record.kept == JournalRecord::Kept::Link) {
        if (!current.unchanged())
            return Outcome::Failed;
        if (::renameat(journal, keptName.constData(), current.folder.get(), path.name.constData())
            == 0) {
            // On disk before the journal that could redo it is deleted.
            ::fsync(current.folder.get());
            return Outcome::Restored;
        }
        if (errno != EXDEV && errno != EACCES && errno != EPERM)
            return Outcome::Failed;
    }
    return restoreByCopy(current, original.get(), record);
}

// A killed run leaves the temp files it had not yet renamed; they are of no use to
// anyone once its journal is gone.
int removeLeftTempFiles(const QVector<JournalRecord> &records)
{
    QSet<QByteArray> folders;
    for (const JournalRecord &record : records)
        folders.insert(splitNativePath(record.path).folder);
    int removed = 0;
    for (const QByteArray &folder : qAsConst(folders)) {
        QDir dir(QFile::decodeName(folder));
        for (const QString &name :
            dir.entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden)) {
            if (isTempFileName(name) && dir.remove(name))
                ++removed;
        }
    }
    return removed;
}

} // namespace

UndoResult undoLastRun()
{
    UndoResult result;
    JournalRun run;
    if (!Journal::lastRun(&run))
        return result;
    const UniqueFd journal(openFolder(QFile::encodeName(run.folder)));
    const UniqueFd lock(::openat(journal.get(), "manifest", O_RDONLY | O_CLOEXEC));
    // Another undo of the same run is under way.
    if (!journal.isValid() || !lock.isValid() || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0)
        return result;
    result.runWasInterrupted = !run.finished;
    for (const JournalRecord &record : qAsConst(run.records)) {
        if (record.abandoned)
            continue;
        const Outcome outcome = undoFile(record, journal.get());
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
    if (result.runWasInterrupted)
        result.tempFilesRemoved = removeLeftTempFiles(run.records);
    result.nothingToUndo = result.files.isEmpty();
    if (result.failed == 0)
        QDir(run.folder).removeRecursively();
    return result;
}
