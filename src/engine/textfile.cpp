#include "engine/textfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <limits>
#include <new>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Where the device reports late write errors, they show up here.
bool syncToDevice(int fd)
{
#if defined(Q_OS_LINUX)
    return ::fdatasync(fd) == 0 || errno == EINVAL;
#elif defined(Q_OS_UNIX)
    return ::fsync(fd) == 0 || errno == EINVAL;
#else
    Q_UNUSED(fd)
    return true;
#endif
}

// Writes through QSaveFile, checking what it does not: on a full disk a write can
// come up short, fail only at flush or sync, or leave a shorter file, while
// commit() would still succeed. The file keeps its mode bits and, where allowed
// (as root), its owner and group.
template<typename Producer>
bool saveFile(const QString &path, Producer produce)
{
#ifdef Q_OS_UNIX
    struct stat original;
    const bool known = ::stat(QFile::encodeName(path).constData(), &original) == 0;
#endif
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    qint64 written = 0;
    const auto write = [&file, &written](const char *data, qint64 size) {
        if (file.write(data, size) != size)
            return false;
        written += size;
        return true;
    };
    bool ok
        = produce(write) && file.flush() && syncToDevice(file.handle()) && file.size() == written;
#ifdef Q_OS_UNIX
    struct stat now;
    if (ok && known && ::fstat(file.handle(), &now) == 0) {
        // Root may give the file back to its owner; anyone else keeps it as theirs.
        if (now.st_uid != original.st_uid || now.st_gid != original.st_gid)
            (void)::fchown(file.handle(), original.st_uid, original.st_gid);
        if ((now.st_mode & 07777) != (original.st_mode & 07777))
            (void)::fchmod(file.handle(), original.st_mode & 07777);
    }
#endif
    if (!ok) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

// For a folder that takes no new files. QSaveFile's own fallback for this covers only
// a permission error (EACCES), not an immutable folder (EPERM). The file is
// overwritten before it is cut to length, so a shorter text never needs new space.
bool overwriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.write(bytes) == bytes.size()
        && file.resize(bytes.size()) && file.flush() && syncToDevice(file.handle())
        && file.size() == bytes.size();
}

// QSaveFile puts its temporary file next to the link's target.
bool folderWritable(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QString folder = QFileInfo(target.isEmpty() ? path : target).absolutePath();
#ifdef Q_OS_UNIX
    return ::access(QFile::encodeName(folder).constData(), W_OK) == 0;
#else
    return QFileInfo(folder).isWritable();
#endif
}

} // namespace

Reason readFileBytes(const QString &path, QByteArray *bytes)
{
    qint64 size = 0;
    return readFileBytes(
        path,
        [bytes](qint64 n) {
            bytes->resize(int(n));
            return bytes->data();
        },
        &size);
}

Reason readFileBytes(
    const QString &path, const std::function<char *(qint64 size)> &buffer, qint64 *size)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Reason::NotFound;
    if (!info.isFile())
        return Reason::NotRegular;
    // Root may write anything; only the permission bits tell a read-only file.
    if (!(info.permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther)))
        return Reason::ReadOnly;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return Reason::Unreadable;
    const qint64 expected = file.size();
    if (expected > std::numeric_limits<int>::max() - 64)
        throw std::bad_alloc();
    char *data = buffer(expected);
    qint64 got = 0;
    while (got < expected) {
        const qint64 n = file.read(data + got, expected - got);
        if (n <= 0)
            break;
        got += n;
    }
    // A file that grew or shrank while it was read is not the file that was asked for.
    char probe;
    if (got != expected || file.read(&probe, 1) != 0)
        return Reason::ChangedDuringRun;
    *size = got;
    return Reason::None;
}

Reason writeFileBytes(const QString &path, const std::function<Reason(const ByteSink &)> &produce)
{
    Reason produced = Reason::None;
    if (folderWritable(path)) {
        const bool saved = saveFile(path, [&](const auto &write) {
            produced = produce(write);
            return produced == Reason::None;
        });
        if (saved)
            return Reason::None;
        return produced == Reason::None ? Reason::WriteFailed : produced;
    }
    // In place there is no old copy to fall back on: have it all before writing.
    QByteArray bytes;
    produced = produce([&bytes](const char *data, qint64 size) {
        if (bytes.size() + size > std::numeric_limits<int>::max() - 64)
            throw std::bad_alloc();
        bytes.append(data, int(size));
        return true;
    });
    if (produced != Reason::None)
        return produced;
    return overwriteFile(path, bytes) ? Reason::None : Reason::WriteFailed;
}
