#include "engine/textfile.h"

#include "engine/largepages.h"
#include "engine/utf8encoder.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringView>
#include <QTextCodec>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Files go through memory in blocks this size, which the allocator recycles: on a
// large file, fresh memory costs more than the decoding itself.
constexpr int ReadBlock = 32 * 1024;
constexpr int EncodeBlock = 16 * 1024; // characters

constexpr qint64 MaxChars = (std::numeric_limits<int>::max() - 64) / 2;

struct ByteOrderMark
{
    const char *bytes;
    int size;
    const char *codec;
    bool wide;
};

// UTF-32LE first: its mark starts with the UTF-16LE one.
constexpr ByteOrderMark Marks[] = {
    {"\xEF\xBB\xBF", 3, "UTF-8", false},
    {"\xFF\xFE\x00\x00", 4, "UTF-32LE", true},
    {"\x00\x00\xFE\xFF", 4, "UTF-32BE", true},
    {"\xFF\xFE", 2, "UTF-16LE", true},
    {"\xFE\xFF", 2, "UTF-16BE", true},
};

const ByteOrderMark *markOf(const char *data, qint64 size)
{
    for (const ByteOrderMark &mark : Marks) {
        if (size >= mark.size && std::memcmp(data, mark.bytes, size_t(mark.size)) == 0)
            return &mark;
    }
    return nullptr;
}

// Qt's own Unicode codecs report every bad or unfinished sequence in their state.
bool isUnicodeCodec(const QTextCodec *codec)
{
    switch (codec->mibEnum()) {
    case 106: // UTF-8
    case 1013: // UTF-16BE
    case 1014: // UTF-16LE
    case 1015: // UTF-16
    case 1017: // UTF-32
    case 1018: // UTF-32BE
    case 1019: // UTF-32LE
        return true;
    default:
        return false;
    }
}

bool clean(const QTextCodec::ConverterState &state)
{
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// Qt's UTF-16 decoder passes an unpaired surrogate through as it is.
bool pairsSurrogates(const QString &text)
{
    const QChar *p = text.constData();
    const QChar *const end = p + text.size();
    for (; p < end; ++p) {
        if (!p->isSurrogate())
            continue;
        if (!p->isHighSurrogate() || p + 1 == end || !p[1].isLowSurrogate())
            return false;
        ++p;
    }
    return true;
}

// Copies n characters leaving out every '\r'; to may equal from. Returns the end.
QChar *copyWithoutCarriageReturns(QChar *to, const QChar *from, qsizetype n)
{
    const QChar *const end = from + n;
    while (from < end) {
        const qsizetype cr = QStringView(from, end).indexOf(QLatin1Char('\r'));
        const QChar *const stop = cr < 0 ? end : from + cr;
        std::memmove(to, from, size_t(stop - from) * sizeof(QChar));
        to += stop - from;
        from = cr < 0 ? end : stop + 1;
    }
    return to;
}

void dropCarriageReturns(QString *text)
{
    QChar *begin = text->data();
    text->resize(int(copyWithoutCarriageReturns(begin, begin, text->size()) - begin));
}

void appendWithoutCarriageReturns(QString *text, const QString &part)
{
    const int size = text->size();
    text->resize(size + part.size());
    QChar *begin = text->data();
    text->resize(
        int(copyWithoutCarriageReturns(begin + size, part.constData(), part.size()) - begin));
}

// Hands the text, each '\n' as "\r\n", to sink in encoded pieces. False as soon as
// the sink refuses a piece or a character cannot be encoded.
template<typename Sink>
bool encodeInPieces(const QString &text, QTextCodec *codec, Sink sink)
{
    if (codec->mibEnum() == 106)
        return encodeUtf8(text, LineBreaks::CrLf, sink);
    const int n = text.size();
    // Some codecs keep a final high surrogate to themselves, waiting for its pair.
    if (n > 0 && text.at(n - 1).isHighSurrogate())
        return false;
    std::vector<QChar> buffer(2 * EncodeBlock);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QChar *p = text.constData();
    const QChar *const end = p + n;
    while (p < end) {
        const QChar *stop = p + std::min<qsizetype>(EncodeBlock, end - p);
        if (stop < end && stop[-1].isHighSurrogate())
            --stop;
        QChar *to = buffer.data();
        while (p < stop) {
            const qsizetype line = QStringView(p, stop).indexOf(QLatin1Char('\n'));
            const QChar *next = line < 0 ? stop : p + line;
            to = std::copy(p, next, to);
            p = next;
            if (p < stop) {
                *to++ = QLatin1Char('\r');
                *to++ = QLatin1Char('\n');
                ++p;
            }
        }
        const QByteArray part = codec->fromUnicode(buffer.data(), int(to - buffer.data()), &state);
        if (state.invalidChars != 0 || !sink(part.constData(), qint64(part.size())))
            return false;
    }
    return clean(state);
}

qint64 readBlock(QFile &file, char *block)
{
    qint64 total = 0;
    while (total < ReadBlock) {
        const qint64 got = file.read(block + total, ReadBlock - total);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

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

Reason decodeText(const QByteArray &bytes, QTextCodec *fallback, QString *text)
{
    const ByteOrderMark *mark = markOf(bytes.constData(), bytes.size());
    QTextCodec *codec = mark ? QTextCodec::codecForName(mark->codec) : fallback;
    if (!codec)
        return Reason::InvalidEncoding;
    if ((!mark || !mark->wide) && bytes.contains('\0'))
        return Reason::Binary;
    const int skip = mark ? mark->size : 0;

    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    *text = codec->toUnicode(bytes.constData() + skip, bytes.size() - skip, &state);
    if (!clean(state) || (mark && mark->wide && !pairsSurrogates(*text)))
        return Reason::InvalidEncoding;
    // Other codecs may map bad bytes silently or keep an unfinished sequence to
    // themselves; only an exact round trip shows nothing was lost.
    if (!isUnicodeCodec(codec)) {
        QTextCodec::ConverterState back(QTextCodec::IgnoreHeader);
        if (codec->fromUnicode(text->constData(), text->size(), &back) != bytes
            || back.invalidChars != 0)
            return Reason::InvalidEncoding;
    }
    dropCarriageReturns(text);
    return Reason::None;
}

Reason encodeText(const QString &text, QTextCodec *codec, QByteArray *bytes)
{
    QByteArray out;
    out.reserve(text.size() + text.size() / 8);
    const bool ok = encodeInPieces(text, codec, [&out](const char *data, qint64 size) {
        if (out.size() + size > std::numeric_limits<int>::max() - 64)
            throw std::bad_alloc();
        out.append(data, int(size));
        return true;
    });
    if (!ok)
        return Reason::Unencodable;
    *bytes = std::move(out);
    return Reason::None;
}

Reason readTextFile(const QString &path, QTextCodec *fallback, QString *text)
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

    std::vector<char> block(ReadBlock);
    qint64 got = readBlock(file, block.data());
    if (got < 0)
        return Reason::Unreadable;
    const ByteOrderMark *mark = markOf(block.data(), got);
    QTextCodec *codec = mark ? QTextCodec::codecForName(mark->codec) : fallback;
    if (!codec)
        return Reason::InvalidEncoding;
    if (!isUnicodeCodec(codec)) {
        QByteArray bytes(block.data(), int(got));
        bytes += file.readAll();
        if (file.error() != QFileDevice::NoError)
            return Reason::Unreadable;
        return decodeText(bytes, codec, text);
    }

    // Block by block, so the only large allocation is the text itself.
    const bool wide = mark && mark->wide;
    text->clear();
    text->reserve(int(std::min<qint64>(MaxChars, wide ? file.size() / 2 + 1 : file.size())));
    adviseLargePages(text->data(), size_t(text->capacity()) * sizeof(QChar));
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    int skip = mark ? mark->size : 0;
    while (got > 0) {
        if (!wide && std::memchr(block.data(), 0, size_t(got)))
            return Reason::Binary;
        if (qint64(text->size()) + got > MaxChars)
            throw std::bad_alloc();
        appendWithoutCarriageReturns(
            text, codec->toUnicode(block.data() + skip, int(got - skip), &state));
        if (state.invalidChars != 0)
            return Reason::InvalidEncoding;
        skip = 0;
        got = readBlock(file, block.data());
    }
    if (got < 0)
        return Reason::Unreadable;
    return clean(state) && (!wide || pairsSurrogates(*text)) ? Reason::None
                                                             : Reason::InvalidEncoding;
}

Reason writeTextFile(const QString &path, const QString &text, QTextCodec *codec)
{
    if (folderWritable(path)) {
        bool sinkRefused = false;
        bool unencodable = false;
        const bool saved = saveFile(path, [&](const auto &write) {
            const bool encoded = encodeInPieces(text, codec, [&](const char *data, qint64 size) {
                sinkRefused = !write(data, size);
                return !sinkRefused;
            });
            unencodable = !encoded && !sinkRefused;
            return encoded;
        });
        if (saved)
            return Reason::None;
        return unencodable ? Reason::Unencodable : Reason::WriteFailed;
    }
    // In place there is no old copy to fall back on: encode it all before writing.
    QByteArray bytes;
    const Reason reason = encodeText(text, codec, &bytes);
    if (reason != Reason::None)
        return reason;
    return overwriteFile(path, bytes) ? Reason::None : Reason::WriteFailed;
}
