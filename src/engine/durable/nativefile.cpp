#include "engine/durable/nativefile.h"

#include "files/tempnames.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int NameMax = 255;
constexpr size_t CopyBlock = 256 * 1024;

QString uniquePart()
{
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString unique(6, QLatin1Char('0'));
    for (QChar &c : unique)
        c = QLatin1Char(Letters[QRandomGenerator::global()->bounded(int(sizeof Letters) - 1)]);
    return unique;
}

bool copyByReading(int from, int to, qint64 offset, qint64 size)
{
    std::vector<char> block(CopyBlock);
    while (offset < size) {
        const ssize_t got
            = ::pread(from, block.data(), size_t(qMin<qint64>(CopyBlock, size - offset)), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO;
            return false;
        }
        if (!pwriteFully(to, block.data(), got, offset))
            return false;
        offset += got;
    }
    return true;
}

// Writes all of data through write(done-so-far), retrying after a signal; a write that
// takes nothing means the disk is full.
template<typename Write>
bool writeAll(const char *data, qint64 size, Write write)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = write(data + done, size_t(size - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += n;
    }
    return true;
}

} // namespace

NativePath splitNativePath(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return {QByteArrayLiteral("."), path};
    return {slash == 0 ? QByteArrayLiteral("/") : path.left(slash), path.mid(slash + 1)};
}

int openFolder(const QByteArray &folder)
{
    int fd;
    do {
        fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int reopenForWriting(int fd)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    int written;
    do {
        written = ::open(self.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    } while (written < 0 && errno == EINTR);
    return written;
}

bool writeFully(int fd, const char *data, qint64 size)
{
    return writeAll(
        data, size, [fd](const char *from, size_t n, qint64) { return ::write(fd, from, n); });
}

bool pwriteFully(int fd, const char *data, qint64 size, qint64 offset)
{
    return writeAll(data, size, [fd, offset](const char *from, size_t n, qint64 done) {
        return ::pwrite(fd, from, n, offset + done);
    });
}

bool copyContent(int from, int to, qint64 size)
{
    return copyContentRange(from, to, 0, size);
}

bool copyContentRange(int from, int to, qint64 offset, qint64 size)
{
    loff_t in = offset;
    loff_t out = offset;
    while (in < size) {
        const ssize_t done = ::copy_file_range(from, &in, to, &out, size_t(size - in), 0);
        if (done > 0)
            continue;
        if (done < 0 && errno == EINTR)
            continue;
        if (done == 0) {
            errno = EIO; // the file is shorter than it was
            return false;
        }
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
            return copyByReading(from, to, in, size);
        return false;
    }
    return true;
}

bool sameVersion(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
        && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec
        && S_ISREG(a.st_mode) == S_ISREG(b.st_mode);
}

QByteArray nativeTempName(const QByteArray &name, int attempt)
{
    // Shorter and shorter originals when the full name would be too long.
    const int room = NameMax - int(tempFileName(QString(), QString(6, QLatin1Char('x'))).size());
    QByteArray original = name;
    if (original.size() > room - attempt) {
        original.truncate(qMax(0, room - attempt));
        // Cut at a character boundary so the name still decodes.
        while (!original.isEmpty() && (uchar(original.at(original.size() - 1)) & 0xC0) == 0x80)
            original.chop(1);
        if (!original.isEmpty() && uchar(original.at(original.size() - 1)) >= 0xC0)
            original.chop(1);
    }
    return QFile::encodeName(tempFileName(QFile::decodeName(original), uniquePart()));
}

int createTempFile(int folder, const QByteArray &name, mode_t mode, QByteArray *tempName)
{
    // A name taken by another run (or too long for the folder) tries the next.
    constexpr int Attempts = 16;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        *tempName = nativeTempName(name, attempt);
        const int fd = ::openat(
            folder, tempName->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST && errno != ENAMETOOLONG && errno != EINTR)
            break;
    }
    const int saved = errno;
    tempName->clear();
    errno = saved;
    return -1;
}
