#include "engine/durable/safefile.h"

#include "engine/durable/filemetadata.h"
#include "engine/durable/journal.h"
#include "engine/durable/nativefile.h"
#include "engine/durable/pausepoint.h"

#include <QDir>
#include <QFile>
#include <QVector>

#include <algorithm>
#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

namespace {

// What a QByteArray holds at most.
constexpr qint64 MaxBytes = std::numeric_limits<int>::max() - 64;

// Files from this size on give their cached pages back as soon as they are rewritten.
constexpr qint64 ReleaseCacheFrom = 1 << 20;

// New content is handed to the disk in runs of this size as it is written.
constexpr qint64 WriteOutFrom = 1 << 20;

Reason openFailure(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return Reason::NotFound;
    case ENXIO:
    case ENODEV:
    case ELOOP:
        return Reason::NotRegular;
    default:
        return Reason::Unreadable;
    }
}

bool hasWriteBit(mode_t mode)
{
    return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

// The process's effective user and group; asked once, as every file would ask again.
uid_t effectiveUser()
{
    static const uid_t user = ::geteuid();
    return user;
}

gid_t effectiveGroup()
{
    static const gid_t group = ::getegid();
    return group;
}

// The kernel's own limit on links met in one lookup.
constexpr int MaxLinks = 40;

// Opens, with flags, what the link name in folder leads to, link by link. Each link is
// read through a descriptor of the link itself, so that the link checked is the link
// followed. A link is followed only when it belongs to this user, to root, or to the
// owner of the file it leads to: anyone else's link could turn a run, above all root's,
// onto a file that its owner never listed. The file is only ever opened for reading here.
Reason openThroughLinks(int folder, const QByteArray &name, int flags, UniqueFd *target)
{
    UniqueFd at(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!at.isValid())
        return Reason::Unreadable;
    QByteArray current = name;
    QVector<uid_t> owners;
    for (int hop = 0; hop < MaxLinks; ++hop) {
        const UniqueFd link(
            ::openat(at.get(), current.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!link.isValid())
            return openFailure(errno);
        struct stat info;
        if (::fstat(link.get(), &info) != 0)
            return Reason::Unreadable;
        if (!S_ISLNK(info.st_mode))
            return Reason::ChangedDuringRun;
        owners.append(info.st_uid);
        char text[PATH_MAX];
        const ssize_t length = ::readlinkat(link.get(), "", text, sizeof text);
        if (length <= 0 || length >= ssize_t(sizeof text))
            return Reason::Unreadable;
        const NativePath parts = splitNativePath(QByteArray(text, int(length)));
        UniqueFd next(
            ::openat(at.get(), parts.folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!next.isValid())
            return openFailure(errno);
        int fd;
        do {
            fd = ::openat(next.get(), parts.name.constData(), flags);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            target->reset(fd);
            if (::fstat(fd, &info) != 0)
                return Reason::Unreadable;
            for (const uid_t owner : qAsConst(owners)) {
                if (owner != effectiveUser() && owner != 0 && owner != info.st_uid)
                    return Reason::UntrustedLink;
            }
            return Reason::None;
        }
        if (errno != ELOOP)
            return openFailure(errno);
        at = std::move(next);
        current = parts.name;
    }
    return Reason::NotRegular;
}

bool readFully(int fd, char *data, qint64 size, qint64 *got)
{
    *got = 0;
    while (*got < size) {
        const ssize_t n = ::read(fd, data + *got, size_t(size - *got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        *got += n;
    }
    return true;
}

} // namespace

SafeFile::SafeFile() = default;

SafeFile::~SafeFile()
{
    discard();
}

Reason SafeFile::open(const QString &path)
{
    discard();
    m_step = Step::Closed;
    m_inPlace = false;
    m_restoring = false;
    m_releaseCache = false;
    m_read = false;
    m_reading.reset();
    m_readSoFar = 0;
    m_readFailed = false;
    m_beforeInPlace = nullptr;
    m_file.reset();
    m_temp.reset();
    // The journal needs a path that means the same file from anywhere.
    const QByteArray native = QFile::encodeName(
        path.startsWith(QLatin1Char('/')) ? path : QDir::current().absoluteFilePath(path));
    const NativePath parts = splitNativePath(native);
    if (parts.name.isEmpty() || parts.name == "." || parts.name == "..")
        return Reason::NotRegular;
    const Reason reason = openAt(parts.folder, parts.name, false);
    if (reason != Reason::None)
        return reason;
    if (!S_ISREG(m_original.st_mode))
        return Reason::NotRegular;
    // Root may write anything; only the permission bits tell a read-only file.
    if (!hasWriteBit(m_original.st_mode))
        return Reason::ReadOnly;
    m_step = Step::Opened;
    return Reason::None;
}

Reason SafeFile::restore(UniqueFd folder, const QByteArray &name, UniqueFd file,
    const struct stat &now, const Original &original, const std::function<bool()> &beforeInPlace)
{
    discard();
    m_inPlace = false;
    m_temp.reset();
    m_folder = std::move(folder);
    m_file = std::move(file);
    m_original = now;
    m_folderPath.clear();
    m_name = name;
    m_restoring = true;
    m_restore = original;
    m_beforeInPlace = beforeInPlace;
    m_step = Step::Opened;
    const Reason begun = beginWrite();
    if (begun != Reason::None)
        return fail(begun);
    if (!m_inPlace && !copyContent(original.fd, m_temp.get(), original.size))
        return fail(Reason::WriteFailed);
    const Reason staged = stage(nullptr);
    return staged != Reason::None ? staged : commit(Sync::Here);
}

Reason SafeFile::openAt(const QByteArray &folder, const QByteArray &name, bool followed)
{
    m_folder.reset(openFolder(folder));
    if (!m_folder.isValid())
        return openFailure(errno);
    constexpr int Flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
    int fd;
    do {
        fd = ::openat(m_folder.get(), name.constData(), Flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ELOOP && !followed) {
        // A link: open what it points to, then work in the folder of that file.
        UniqueFd target;
        const Reason through = openThroughLinks(m_folder.get(), name, Flags, &target);
        if (through != Reason::None)
            return through;
        char resolved[PATH_MAX];
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(target.get());
        const ssize_t length = ::readlink(self.constData(), resolved, sizeof resolved);
        struct stat opened;
        if (length <= 0 || length >= ssize_t(sizeof resolved) || resolved[0] != '/'
            || ::fstat(target.get(), &opened) != 0)
            return Reason::Unreadable;
        if (!S_ISREG(opened.st_mode))
            return Reason::NotRegular;
        const NativePath parts = splitNativePath(QByteArray(resolved, int(length)));
        const Reason reason = openAt(parts.folder, parts.name, true);
        if (reason == Reason::None
            && (opened.st_dev != m_original.st_dev || opened.st_ino != m_original.st_ino))
            return Reason::ChangedDuringRun;
        return reason;
    }
    if (fd < 0)
        return openFailure(errno);
    m_file.reset(fd);
    if (::fstat(fd, &m_original) != 0)
        return Reason::Unreadable;
    m_folderPath = folder;
    m_name = name;
    return Reason::None;
}

Reason SafeFile::readAll(QByteArray *bytes)
{
    return readAll([bytes](qint64 size) {
        bytes->resize(int(size));
        return bytes->data();
    });
}

Reason SafeFile::readAll(const std::function<char *(qint64 size)> &buffer)
{
    if (m_step != Step::Opened)
        return Reason::Unreadable;
    const qint64 size = m_original.st_size;
    if (size > MaxBytes)
        return Reason::TooLarge;
    char *data = buffer(size);
    qint64 got = 0;
    if (!readFully(m_file.get(), data, size, &got))
        return Reason::Unreadable;
    if (got != size)
        return Reason::ChangedDuringRun;
    m_before = Digest::of(data, size);
    m_read = true;
    return Reason::None;
}

qint64 SafeFile::readPiece(char *into, qint64 most)
{
    if ((m_step != Step::Opened && m_step != Step::Writing) || m_read || m_readFailed)
        return -1;
    if (!m_reading) {
        if (m_original.st_size > MaxBytes) {
            m_readFailed = true;
            return -1;
        }
        m_reading = std::make_unique<ContentHash>();
        m_readSoFar = 0;
    }
    // No further than the size the file had when opened, as readAll().
    const qint64 want = std::min(most, qint64(m_original.st_size) - m_readSoFar);
    qint64 got = 0;
    if (want > 0 && !readFully(m_file.get(), into, want, &got)) {
        m_readFailed = true;
        return -1;
    }
    m_reading->add(into, got);
    m_readSoFar += got;
    pausePoint("read-piece");
    return got;
}

Reason SafeFile::finishRead()
{
    if (m_original.st_size > MaxBytes)
        return Reason::TooLarge;
    if (m_readFailed || !m_reading)
        return Reason::Unreadable;
    if (m_readSoFar != m_original.st_size)
        return Reason::ChangedDuringRun;
    m_before = m_reading->digest();
    m_reading.reset();
    m_read = true;
    // The old content was still being read when the new one started.
    if (m_step == Step::Writing && !m_inPlace)
        releaseOldCache();
    return Reason::None;
}

qint64 SafeFile::peek(char *into, qint64 most) const
{
    for (;;) {
        const ssize_t n = ::pread(m_file.get(), into, size_t(most), 0);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

void SafeFile::removeTemp()
{
    if (m_temp.isValid() || !m_tempName.isEmpty()) {
        ::unlinkat(m_folder.get(), m_tempName.constData(), 0);
        m_temp.reset();
        m_tempName.clear();
    }
}

bool SafeFile::startOver()
{
    if (m_step != Step::Opened && m_step != Step::Writing)
        return false;
    removeTemp();
    m_writable.reset();
    m_inPlace = false;
    m_pending.clear();
    m_after.reset();
    m_written = 0;
    m_startedOut = 0;
    m_reading.reset();
    m_readSoFar = 0;
    m_readFailed = false;
    m_read = false;
    m_step = Step::Opened;
    return ::lseek(m_file.get(), 0, SEEK_SET) == 0;
}

Reason SafeFile::write(const char *data, qint64 size)
{
    if (m_step == Step::Opened) {
        const Reason reason = beginWrite();
        if (reason != Reason::None)
            return fail(reason);
    }
    if (m_step != Step::Writing)
        return Reason::WriteFailed;
    m_after->add(data, size);
    if (m_inPlace) {
        if (qint64(m_pending.size()) + size > MaxBytes)
            return fail(Reason::TooLarge);
        m_pending.append(data, int(size));
        return Reason::None;
    }
    if (!writeFully(m_temp.get(), data, size))
        return fail(Reason::WriteFailed);
    // A large file's data starts for the disk as it is written, while the rest is still
    // being made: the sync before its rename then waits for little more than the last of it.
    m_written += size;
    if (m_written - m_startedOut >= WriteOutFrom) {
        (void)::sync_file_range(
            m_temp.get(), m_startedOut, m_written - m_startedOut, SYNC_FILE_RANGE_WRITE);
        m_startedOut = m_written;
    }
    return Reason::None;
}

Reason SafeFile::beginWrite()
{
    m_after = std::make_unique<ContentHash>();
    m_written = 0;
    m_startedOut = 0;
    m_step = Step::Writing;
    if (m_restoring && m_restore.inPlace)
        return beginInPlace(Reason::WriteFailed);
    const mode_t mode = m_restoring ? mode_t(m_restore.mode) : m_original.st_mode;
    const uid_t owner = m_restoring ? uid_t(m_restore.uid) : m_original.st_uid;
    const gid_t group = m_restoring ? gid_t(m_restore.gid) : m_original.st_gid;
    m_temp.reset(createTempFile(m_folder.get(), m_name, mode & 0777, &m_tempName));
    if (!m_temp.isValid()) {
        if (errno == EACCES || errno == EPERM)
            return beginInPlace(Reason::FolderNotWritable);
        return Reason::WriteFailed;
    }
    // Only root may give a file away; anyone else keeps a file that is not theirs
    // (or not their group's) by writing it in place.
    if (owner != effectiveUser() || group != effectiveGroup()) {
        if (::fchown(m_temp.get(), owner, group) != 0) {
            removeTemp();
            return beginInPlace(Reason::ReadOnly);
        }
    }
    if (m_read)
        releaseOldCache();
    return Reason::None;
}

// The old content is all in memory, and its file is about to lose its name: its cached
// pages serve no one, and memory given back here is what the new content's pages are
// made of. Fresh memory costs more than copying into it. A file with other names is
// still read under them. For a small file the call costs more than it gives back.
void SafeFile::releaseOldCache()
{
    if (m_releaseCache && !m_restoring && m_original.st_nlink == 1
        && m_original.st_size >= ReleaseCacheFrom)
        (void)::posix_fadvise(m_file.get(), 0, 0, POSIX_FADV_DONTNEED);
}

void SafeFile::releaseCacheOnWrite(const Journal *journal)
{
    m_releaseCache = !journal || !journal->copies(m_original);
}

Reason SafeFile::beginInPlace(Reason refused)
{
    m_writable.reset(reopenForWriting(m_file.get()));
    if (!m_writable.isValid())
        return errno == EACCES || errno == EPERM ? refused : Reason::WriteFailed;
    m_inPlace = true;
    return Reason::None;
}

Reason SafeFile::stage(Journal *journal)
{
    if (m_step == Step::Opened) {
        const Reason reason = beginWrite();
        if (reason != Reason::None)
            return fail(reason);
    }
    if (m_step != Step::Writing)
        return Reason::WriteFailed;
    pausePoint("staging");
    m_afterDigest = m_after->digest();
    if (!m_inPlace) {
        const mode_t mode = (m_restoring ? mode_t(m_restore.mode) : m_original.st_mode) & 07777;
        const bool setMode = mode != ((mode & 0777) & ~processUmask());
        const int from = m_restoring ? m_restore.fd : m_file.get();
        if (!copyAccessAndAttributes(from, m_temp.get(), mode, setMode))
            return fail(Reason::WriteFailed);
    }
    m_journal = journal;
    if (journal) {
        // The journal may keep the original by a link of its own, which moves the file's
        // change time: whatever changed before that has to be seen now.
        struct stat now;
        if (::fstat(m_file.get(), &now) != 0 || !sameVersion(now, m_original))
            return fail(Reason::ChangedDuringRun);
        const Journal::Kept kept = journal->keep(m_file.get(), m_original, nativePath(), m_before,
            m_afterDigest, m_inPlace, m_folder.get());
        m_entry = kept.entry;
        m_recordSequence = kept.sequence;
        if (::fstat(m_file.get(), &now) != 0)
            return fail(Reason::WriteFailed);
        // The link's own change of time is taken; a change of mode or owner is not.
        m_original.st_ctim = now.st_ctim;
        if (!sameVersion(now, m_original) || now.st_mode != m_original.st_mode
            || now.st_uid != m_original.st_uid || now.st_gid != m_original.st_gid)
            return fail(Reason::ChangedDuringRun);
        // Overwriting where the file stands needs its old content safe on disk first.
        if (m_inPlace && (m_entry < 0 || !journal->makeDurable(m_recordSequence)))
            return fail(Reason::WriteFailed);
    } else if (m_inPlace && !m_restoring) {
        qint64 got = 0;
        m_backup.resize(int(m_original.st_size));
        if (::lseek(m_file.get(), 0, SEEK_SET) != 0
            || !readFully(m_file.get(), m_backup.data(), m_original.st_size, &got)
            || got != m_original.st_size)
            return fail(Reason::ChangedDuringRun);
    }
    m_step = Step::Staged;
    return Reason::None;
}

Reason SafeFile::commit(Sync sync)
{
    if (m_step != Step::Staged)
        return m_step == Step::Done ? Reason::None : Reason::WriteFailed;
    if (m_inPlace)
        return commitInPlace();
    if (sync == Sync::Here) {
        // The file's own data, then the journal's record of it: threads that wait for the
        // journal together share its sync. A syncfs here would flush every other file
        // being written too, stalling their writes behind it.
        const bool synced = ::fdatasync(m_temp.get()) == 0
            && (!m_journal || m_entry < 0 || m_journal->makeDurable(m_recordSequence));
        if (!synced)
            return fail(Reason::WriteFailed);
    }
    pausePoint(m_restoring ? "undo-replace" : "replace");
    struct stat now;
    if (::fstatat(m_folder.get(), m_name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0
        || !sameVersion(now, m_original))
        return fail(Reason::ChangedDuringRun);
    if (::renameat(m_folder.get(), m_tempName.constData(), m_folder.get(), m_name.constData()) != 0)
        return fail(Reason::WriteFailed);
    m_tempName.clear();
    m_temp.reset();
    m_step = Step::Done;
    return Reason::None;
}

bool SafeFile::writeInPlace(qint64 offset, qint64 end)
{
    if (m_restoring)
        return copyContentRange(m_restore.fd, m_writable.get(), offset, end);
    return pwriteFully(m_writable.get(), m_pending.constData() + offset, end - offset, offset);
}

Reason SafeFile::commitInPlace()
{
    pausePoint(m_restoring ? "undo-replace" : "replace");
    struct stat now;
    if (::fstatat(m_folder.get(), m_name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0
        || !sameVersion(now, m_original))
        return fail(Reason::ChangedDuringRun);
    const qint64 size = m_restoring ? m_restore.size : qint64(m_pending.size());
    // Space reserved up front turns a full disk into a failure before the first byte.
    if (size > m_original.st_size
        && ::fallocate(m_writable.get(), FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP)
        return fail(Reason::WriteFailed);
    if (m_restoring && !m_beforeInPlace())
        return fail(Reason::WriteFailed);
    // In two parts, so that a test can stop the write half done.
    const qint64 half = size / 2;
    const bool written = writeInPlace(0, half)
        && (pausePoint(m_restoring ? "undo-in-place" : "in-place-write"), true)
        && writeInPlace(half, size) && ::ftruncate(m_writable.get(), size) == 0
        && ::fdatasync(m_writable.get()) == 0;
    if (!written) {
        // Undo's own record finishes it next time, from the original it is putting back.
        if (m_restoring)
            return fail(Reason::WriteFailed);
        // Still marked as being written, the journal restores it on undo if this cannot.
        if (restoreInPlace() || !m_journal)
            return fail(Reason::WriteFailed);
        m_entry = -1;
        return fail(Reason::WriteFailed);
    }
    if (m_journal)
        m_journal->markWrittenInPlace(m_entry);
    m_pending.clear();
    m_step = Step::Done;
    return Reason::None;
}

bool SafeFile::restoreInPlace()
{
    const int fd = m_writable.get();
    bool ok;
    if (m_journal) {
        const UniqueFd original(m_journal->openOriginal(m_entry));
        ok = original.isValid() && copyContent(original.get(), fd, m_original.st_size);
    } else {
        ok = pwriteFully(fd, m_backup.constData(), m_backup.size(), 0);
    }
    return ok && ::ftruncate(fd, m_original.st_size) == 0 && ::fdatasync(fd) == 0;
}

Reason SafeFile::fail(Reason reason)
{
    discard();
    return reason;
}

void SafeFile::discard()
{
    if (m_step == Step::Done)
        return;
    removeTemp();
    if (m_journal && m_entry >= 0)
        m_journal->abandon(m_entry);
    m_journal = nullptr;
    m_entry = -1;
    m_writable.reset();
    m_pending.clear();
    m_backup.clear();
    if (m_step == Step::Opened || m_step == Step::Writing || m_step == Step::Staged)
        m_step = Step::Failed;
}

Reason SafeFile::syncStaged(const QVector<SafeFile *> &files, Journal *journal)
{
    const quint64 sequence = journal ? journal->beginSync() : 0;
    QVector<dev_t> synced;
    bool ok = true;
    for (const SafeFile *file : files) {
        if (file->m_step != Step::Staged || file->m_inPlace
            || synced.contains(file->m_original.st_dev))
            continue;
        synced.append(file->m_original.st_dev);
        ok = ::syncfs(file->m_temp.get()) == 0 && ok;
    }
    if (journal) {
        const bool journalSynced
            = synced.contains(dev_t(journal->device())) || ::syncfs(journal->syncFd()) == 0;
        ok = journal->endSync(sequence, journalSynced) && ok;
    }
    return ok ? Reason::None : Reason::WriteFailed;
}

FileIdentity SafeFile::identity() const
{
    return {quint64(m_original.st_dev), quint64(m_original.st_ino)};
}

QByteArray SafeFile::nativePath() const
{
    if (m_folderPath == ".")
        return m_name;
    return m_folderPath.endsWith('/') ? m_folderPath + m_name : m_folderPath + '/' + m_name;
}
