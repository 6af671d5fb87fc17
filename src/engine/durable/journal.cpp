#include "engine/durable/journal.h"

#include "engine/durable/filemetadata.h"
#include "engine/durable/nativefile.h"
#include "engine/durable/pausepoint.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QLatin1String RunPrefix("run-");
const QLatin1String TrashPrefix("deleted-");
// A run's folder while it is being made, before the run's lock makes it safe to see.
const QLatin1String NewPrefix(".new-run-");
const char ManifestName[] = "manifest";
const QByteArray FirstHeader = QByteArrayLiteral("yihuan-journal 1\n");
const QByteArray Header = QByteArrayLiteral("yihuan-journal 2\n");

// Records, one a line, after the header:
//   S started sequence u|n  when the run started (ms), its place among runs, with undo or not
//   P folder                a folder the run will write in (base64)
//   K entry kept device inode size mode uid gid before after folder-device folder-inode path
//                           (path in base64; the first version has no folder identity)
//   D entry      the in-place overwrite of entry finished
//   A entry      entry was left as it was
//   Q requested  when the user asked for the run (ms)
//   H held not-kept  what the originals hold (bytes) and how many files went without one
//   E finished   the run finished (ms; none in the first version)
//   U            an undo began
//   R entry      undo is overwriting entry where it stands
//   F entry      entry is whole again where it stands (repaired, or restored in place)
//   X undone     an undo ended (ms): the originals are gone, the manifest stays
// A line cut short by a kill is ignored: its file was not yet replaced.
QByteArray keptRecord(qint64 entry, JournalRecord::Kept kept, const struct stat &st,
    const QByteArray &path, const Digest &before, const Digest &after, const struct stat &folder)
{
    const char kind = kept == JournalRecord::Kept::Link ? 'L'
        : kept == JournalRecord::Kept::Copy             ? 'C'
                                                        : 'I';
    QByteArray line = "K " + QByteArray::number(entry) + ' ' + kind;
    for (const quint64 value : {quint64(st.st_dev), quint64(st.st_ino), quint64(st.st_size)})
        line += ' ' + QByteArray::number(value);
    line += ' ' + QByteArray::number(uint(st.st_mode & 07777), 8);
    line += ' ' + QByteArray::number(uint(st.st_uid)) + ' ' + QByteArray::number(uint(st.st_gid));
    line += ' ' + before.toHex() + ' ' + after.toHex();
    line += ' ' + QByteArray::number(quint64(folder.st_dev)) + ' '
        + QByteArray::number(quint64(folder.st_ino));
    line += ' ' + path.toBase64() + '\n';
    return line;
}

bool parseKept(const QList<QByteArray> &fields, int version, JournalRecord *record)
{
    const int expected = version == 1 ? 12 : 14;
    if (fields.size() != expected || fields.at(2).size() != 1)
        return false;
    bool ok[10] = {true, true, true, true, true, true, true, true, true, true};
    record->entry = fields.at(1).toLongLong(&ok[0]);
    switch (fields.at(2).at(0)) {
    case 'L':
        record->kept = JournalRecord::Kept::Link;
        break;
    case 'C':
        record->kept = JournalRecord::Kept::Copy;
        break;
    case 'I':
        record->kept = JournalRecord::Kept::InPlace;
        break;
    default:
        return false;
    }
    record->device = fields.at(3).toULongLong(&ok[1]);
    record->inode = fields.at(4).toULongLong(&ok[2]);
    record->size = fields.at(5).toLongLong(&ok[3]);
    record->mode = fields.at(6).toUInt(&ok[4], 8);
    record->uid = fields.at(7).toUInt(&ok[5]);
    record->gid = fields.at(8).toUInt(&ok[6]);
    const auto before = Digest::fromHex(fields.at(9));
    const auto after = Digest::fromHex(fields.at(10));
    if (version >= 2) {
        record->hasFolder = true;
        record->folderDevice = fields.at(11).toULongLong(&ok[8]);
        record->folderInode = fields.at(12).toULongLong(&ok[9]);
    }
    const auto decoded
        = QByteArray::fromBase64Encoding(fields.last(), QByteArray::AbortOnBase64DecodingErrors);
    ok[7] = before && after && decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok
        && !decoded.decoded.isEmpty() && record->entry >= 0 && record->size >= 0;
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }))
        return false;
    record->before = *before;
    record->after = *after;
    record->path = decoded.decoded;
    return true;
}

// Originals are spread over a few folders: pool threads linking into one folder would
// queue on its lock.
constexpr int Shards = 16;

int shardOf(qint64 entry)
{
    return int(entry % Shards);
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(::strerror(error));
}

// Opens name in folder without following a link, and only when it belongs to this user
// and nobody else may write it: anything else in a journal may have been planted.
int openTrusted(int folder, const char *name, int flags, QString *why)
{
    int fd;
    do {
        fd = ::openat(folder, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int saved = errno;
        *why = saved == ELOOP || saved == ENOTDIR ? QStringLiteral("符号链接 (a symbolic link)")
                                                  : errorText(saved);
        errno = saved;
        return -1;
    }
    struct stat st;
    const bool folderWanted = flags & O_DIRECTORY;
    if (::fstat(fd, &st) != 0 || (folderWanted ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)))
        *why = QStringLiteral("类型不对 (not what a journal holds)");
    else if (st.st_uid != ::geteuid())
        *why = QStringLiteral("属于用户 %1，不属于当前用户 (owned by user %1, not by this user)")
                   .arg(st.st_uid);
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        *why = QStringLiteral("其他用户可以写入 (writable by others)");
    else
        return fd;
    ::close(fd);
    errno = EPERM;
    return -1;
}

// The journal folder, checked; made first when create says so. -1 with an empty error
// when there is none yet.
int openBase(bool create, QString *error)
{
    const QString base = Journal::location();
    const QString parent = QFileInfo(base).path();
    if (create && !QDir().mkpath(parent)) {
        const int saved = errno;
        *error = base + QLatin1String(": ") + errorText(saved ? saved : EACCES);
        return -1;
    }
    const UniqueFd parentFd(openFolder(QFile::encodeName(parent)));
    if (!parentFd.isValid()) {
        const int saved = errno;
        if (!create && saved == ENOENT)
            return -1;
        *error = base + QLatin1String(": ") + errorText(saved);
        return -1;
    }
    if (create && ::mkdirat(parentFd.get(), "journal", 0700) != 0 && errno != EEXIST) {
        *error = base + QLatin1String(": ") + errorText(errno);
        return -1;
    }
    QString why;
    const int fd = openTrusted(parentFd.get(), "journal", O_RDONLY | O_DIRECTORY, &why);
    if (fd < 0 && !(!create && errno == ENOENT))
        *error = base + QLatin1String(": ") + why;
    return fd;
}

QStringList entriesOf(int folder, const QString &prefix)
{
    QStringList names;
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name.startsWith(prefix))
            names.append(name);
    }
    ::closedir(dir);
    names.sort();
    return names;
}

enum class Read { Ok, Busy, Refused };

// How much of a manifest to read.
enum class Depth {
    Header, // the run's start and sequence
    Scan, // its state and what befell each file, for the records to be handed out after
    Records, // everything
};

// What befell a file, by its entry, as the records after its own tell it.
enum EntryFlag : quint8 {
    Known = 1,
    KeptInPlace = 2,
    WrittenInPlace = 4,
    Abandoned = 8,
    Restoring = 16,
    Whole = 32,
    HandedOut = 64, // the second pass gave it out: a record repeated is damage
};

// A run numbers its entries from 0; far past what any run could write is damage.
constexpr qint64 MaxEntry = qint64(1) << 28;

// The first pass over a manifest: every file's fate, one byte each, so that the records
// themselves can be read again one at a time instead of held.
struct ManifestScan
{
    std::vector<quint8> entries;
    qint64 body = 0; // where the records after the header begin
    int bodyLine = 0;
    qint64 end = 0; // just past the last whole line
    qint64 largest = 0;
    int files = 0; // records not abandoned
    int mayBeTorn = 0;
};

void applyFlags(quint8 flags, JournalRecord *record)
{
    record->writtenInPlace = flags & WrittenInPlace;
    record->abandoned = flags & Abandoned;
    record->restoring = flags & Restoring;
    record->whole = flags & Whole;
}

// The next record of the second pass, or false at the scan's end.
bool nextRecord(QFile &manifest, ManifestScan *scan, int version, JournalRecord *record)
{
    while (manifest.pos() < scan->end) {
        const QByteArray text = manifest.readLine();
        if (!text.startsWith("K "))
            continue;
        if (!parseKept(text.trimmed().split(' '), version, record)
            || record->entry >= qint64(scan->entries.size()))
            continue;
        quint8 &flags = scan->entries[size_t(record->entry)];
        if (flags & HandedOut)
            continue;
        flags |= HandedOut;
        applyFlags(flags, record);
        return true;
    }
    return false;
}

bool rewindRecords(QFile &manifest, ManifestScan *scan)
{
    for (quint8 &flags : scan->entries)
        flags &= quint8(~HandedOut);
    return manifest.seek(scan->body);
}

// Reads a run's manifest; Busy while the run (or an undo of it) holds its lock.
// ignoreLock: reads a run in progress all the same, as it stands.
// Depth::Scan leaves the manifest open in kept, positioned for nextRecord().
Read readRun(int base, const QString &name, JournalRun *run, QString *why,
    Depth depth = Depth::Records, bool ignoreLock = false, ManifestScan *scan = nullptr,
    UniqueFd *kept = nullptr)
{
    const UniqueFd folder(
        openTrusted(base, QFile::encodeName(name).constData(), O_RDONLY | O_DIRECTORY, why));
    if (!folder.isValid())
        return errno == ENOENT ? Read::Busy : Read::Refused;
    UniqueFd manifestFd(openTrusted(folder.get(), ManifestName, O_RDONLY, why));
    if (!manifestFd.isValid())
        return errno == ENOENT ? Read::Busy : Read::Refused;
    if (!ignoreLock && ::flock(manifestFd.get(), LOCK_SH | LOCK_NB) != 0)
        return Read::Busy;
    QFile manifest;
    if (!manifest.open(manifestFd.get(), QIODevice::ReadOnly)) {
        *why = manifest.errorString();
        return Read::Refused;
    }
    run->folder = Journal::location() + QLatin1Char('/') + name;
    const QString manifestPath = run->folder + QLatin1Char('/') + QLatin1String(ManifestName);
    const QByteArray header = manifest.readLine();
    int line = 1;
    run->version = header == Header ? 2 : header == FirstHeader ? 1 : 0;
    if (run->version == 2) {
        const QList<QByteArray> fields = manifest.readLine().trimmed().split(' ');
        ++line;
        bool ok[2] = {};
        if (fields.size() == 4 && fields.at(0) == "S") {
            run->started = fields.at(1).toLongLong(&ok[0]);
            run->sequence = fields.at(2).toULongLong(&ok[1]);
            run->keepsUndo = fields.at(3) != "n";
        }
        if (!ok[0] || !ok[1])
            run->version = 0;
    } else if (run->version == 1) {
        struct stat st;
        if (::fstat(manifestFd.get(), &st) == 0)
            run->started = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    }
    if (run->version == 0) {
        run->damaged.append(manifestPath + QStringLiteral(":%1").arg(line));
        return Read::Ok;
    }
    if (depth == Depth::Header)
        return Read::Ok;
    run->partial = depth == Depth::Scan;
    ManifestScan local;
    ManifestScan &files = scan ? *scan : local;
    files = ManifestScan();
    files.body = manifest.pos();
    files.bodyLine = line;
    files.end = files.body;
    const auto entryFlags = [&](const QList<QByteArray> &fields) -> quint8 * {
        bool ok = false;
        const qint64 entry = fields.size() == 2 ? fields.at(1).toLongLong(&ok) : -1;
        if (!ok || entry < 0 || entry >= qint64(files.entries.size())
            || !(files.entries[size_t(entry)] & Known))
            return nullptr;
        return &files.entries[size_t(entry)];
    };
    while (!manifest.atEnd()) {
        const QByteArray text = manifest.readLine();
        ++line;
        if (!text.endsWith('\n'))
            break;
        files.end = manifest.pos();
        const QList<QByteArray> fields = text.trimmed().split(' ');
        const QByteArray kind = fields.at(0);
        bool ok = false;
        if (kind == "Q" || kind == "X") {
            const qint64 ms = fields.size() == 2 ? fields.at(1).toLongLong(&ok) : 0;
            if (ok && kind == "Q")
                run->requested = ms;
            else if (ok)
                run->undone = true;
        } else if (kind == "H") {
            bool ok2 = false;
            const qint64 held = fields.size() == 3 ? fields.at(1).toLongLong(&ok) : -1;
            const int notKept = fields.size() == 3 ? fields.at(2).toInt(&ok2) : 0;
            ok = ok && ok2 && held >= 0 && notKept >= 0;
            if (ok) {
                run->held = held;
                run->notKept = notKept;
            }
        } else if (kind == "E") {
            ok = fields.size() == 1
                || (fields.size() == 2 && (run->finishedAt = fields.at(1).toLongLong(&ok), ok));
            run->finished = ok;
        } else if (kind == "U") {
            ok = fields.size() == 1;
            run->undoBegun = ok;
        } else if (kind == "P") {
            const auto decoded = QByteArray::fromBase64Encoding(
                fields.value(1), QByteArray::AbortOnBase64DecodingErrors);
            ok = fields.size() == 2
                && decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok
                && !decoded.decoded.isEmpty();
            if (ok)
                run->folders.append(decoded.decoded);
        } else if (kind == "K") {
            JournalRecord record;
            ok = parseKept(fields, run->version, &record) && record.entry < MaxEntry
                && (record.entry >= qint64(files.entries.size())
                    || !(files.entries[size_t(record.entry)] & Known));
            if (ok) {
                if (record.entry >= qint64(files.entries.size()))
                    files.entries.resize(size_t(record.entry) + 1);
                files.entries[size_t(record.entry)]
                    = Known | (record.kept == JournalRecord::Kept::InPlace ? KeptInPlace : 0);
                files.largest = std::max(files.largest, record.size);
            }
        } else {
            quint8 *flags = entryFlags(fields);
            ok = flags != nullptr;
            if (ok && kind == "D")
                *flags |= WrittenInPlace;
            else if (ok && kind == "A")
                *flags |= Abandoned;
            else if (ok && kind == "R")
                *flags |= Restoring, run->undoBegun = true;
            else if (ok && kind == "F")
                *flags |= Whole;
            else
                ok = false;
        }
        if (!ok)
            run->damaged.append(manifestPath + QStringLiteral(":%1").arg(line));
    }
    if (run->requested <= 0)
        run->requested = run->started;
    for (const quint8 flags : files.entries) {
        if (!(flags & Known) || (flags & Abandoned))
            continue;
        ++files.files;
        JournalRecord record;
        record.kept
            = flags & KeptInPlace ? JournalRecord::Kept::InPlace : JournalRecord::Kept::Link;
        applyFlags(flags, &record);
        files.mayBeTorn += record.mayBeTorn() ? 1 : 0;
    }
    run->files = files.files;
    if (depth == Depth::Records) {
        if (!rewindRecords(manifest, &files))
            return Read::Refused;
        JournalRecord record;
        while (nextRecord(manifest, &files, run->version, &record))
            run->records.append(record);
    } else if (depth == Depth::Scan && kept) {
        *kept = std::move(manifestFd);
    }
    return Read::Ok;
}

// A finished run's summary, kept beside its manifest so that listing runs reads a few lines
// per run instead of every file's record: the run's state, and the sorted fingerprints of
// the paths it wrote, with which the history counts what later runs rewrote. Made on first
// need, and trusted only while the manifest is still the one it was made from.
const char SummaryName[] = "summary";
const QByteArray SummaryHeader = QByteArrayLiteral("yihuan-summary 1\n");

quint64 pathPrint(const QByteArray &path)
{
    return Digest::of(path.constData(), path.size()).high;
}

QByteArray manifestKey(const struct stat &st)
{
    QByteArray key = "M";
    for (const qint64 value : {qint64(st.st_ino), qint64(st.st_size), qint64(st.st_ctim.tv_sec),
             qint64(st.st_ctim.tv_nsec)})
        key += ' ' + QByteArray::number(value);
    return key + '\n';
}

QByteArray runLine(const JournalRun &run, int files, qint64 prints)
{
    QByteArray line = "R";
    for (const qint64 value :
        {qint64(run.version), run.started, qint64(run.sequence), qint64(run.keepsUndo),
            run.requested, run.held, qint64(run.notKept), qint64(run.finished), run.finishedAt,
            qint64(run.undoBegun), qint64(run.undone), qint64(files), prints})
        line += ' ' + QByteArray::number(value);
    return line + '\n';
}

// The summary, when it was made from the manifest as it is now (key).
bool readSummary(int folder, const QByteArray &key, JournalRun *run, std::vector<quint64> *paths)
{
    QString why;
    const UniqueFd fd(openTrusted(folder, SummaryName, O_RDONLY, &why));
    QFile file;
    if (!fd.isValid() || !file.open(fd.get(), QIODevice::ReadOnly)
        || file.readLine() != SummaryHeader || file.readLine() != key)
        return false;
    const QList<QByteArray> fields = file.readLine().trimmed().split(' ');
    if (fields.size() != 14 || fields.at(0) != "R")
        return false;
    qint64 values[13];
    for (int i = 0; i < 13; ++i) {
        bool ok = false;
        values[i] = fields.at(i + 1).toLongLong(&ok);
        if (!ok)
            return false;
    }
    const qint64 prints = values[12];
    if (prints < 0 || file.size() - file.pos() != prints * qint64(sizeof(quint64)))
        return false;
    run->version = int(values[0]);
    run->started = values[1];
    run->sequence = quint64(values[2]);
    run->keepsUndo = values[3] != 0;
    run->requested = values[4];
    run->held = values[5];
    run->notKept = int(values[6]);
    run->finished = values[7] != 0;
    run->finishedAt = values[8];
    run->undoBegun = values[9] != 0;
    run->undone = values[10] != 0;
    run->files = int(values[11]);
    run->partial = true;
    if (paths) {
        paths->resize(size_t(prints));
        const qint64 bytes = prints * qint64(sizeof(quint64));
        if (file.read(reinterpret_cast<char *>(paths->data()), bytes) != bytes)
            return false;
    }
    return true;
}

// Not synced: a summary lost or cut short is made again from the manifest.
void writeSummary(int folder, const QByteArray &key, const JournalRun &run, int files,
    const std::vector<quint64> &paths)
{
    const QByteArray temp = QByteArray(SummaryName) + ".new-" + QByteArray::number(::getpid()) + '-'
        + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    const UniqueFd fd(::openat(
        folder, temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.isValid())
        return;
    QByteArray bytes = SummaryHeader + key + runLine(run, files, qint64(paths.size()));
    bytes.append(reinterpret_cast<const char *>(paths.data()), int(paths.size() * sizeof(quint64)));
    const bool written = writeFully(fd.get(), bytes.constData(), bytes.size());
    pausePoint("summary-written");
    if (!written || ::renameat(folder, temp.constData(), folder, SummaryName) != 0)
        ::unlinkat(folder, temp.constData(), 0);
}

// A run as a summary (JournalRun::partial), from its summary or else from its manifest,
// leaving a summary for the next time; a run the summary cannot stand for (interrupted, or
// a manifest that does not tell what its originals hold) is read whole. paths: the
// fingerprints of the paths a partial run wrote, sorted; none for a run undone.
Read readRunSummary(
    int base, const QString &name, JournalRun *run, QString *why, std::vector<quint64> *paths)
{
    const UniqueFd folder(
        openTrusted(base, QFile::encodeName(name).constData(), O_RDONLY | O_DIRECTORY, why));
    if (!folder.isValid())
        return errno == ENOENT ? Read::Busy : Read::Refused;
    const UniqueFd manifest(openTrusted(folder.get(), ManifestName, O_RDONLY, why));
    if (!manifest.isValid())
        return errno == ENOENT ? Read::Busy : Read::Refused;
    struct stat st;
    if (::flock(manifest.get(), LOCK_SH | LOCK_NB) != 0)
        return Read::Busy;
    if (::fstat(manifest.get(), &st) != 0) {
        *why = errorText(errno);
        return Read::Refused;
    }
    const QByteArray key = manifestKey(st);
    if (readSummary(folder.get(), key, run, paths)) {
        run->folder = Journal::location() + QLatin1Char('/') + name;
        return Read::Ok;
    }
    // The lock this holds keeps the manifest as it is until the summary is made.
    ManifestScan scan;
    UniqueFd kept;
    const Read read = readRun(base, name, run, why, Depth::Scan, true, &scan, &kept);
    if (read != Read::Ok)
        return read;
    if (run->interrupted() || (run->held < 0 && !run->undone) || !kept.isValid()) {
        *run = JournalRun();
        return readRun(base, name, run, why, Depth::Records, true);
    }
    std::vector<quint64> prints;
    if (!run->undone) {
        QFile file;
        if (!file.open(kept.get(), QIODevice::ReadOnly) || !rewindRecords(file, &scan)) {
            *why = file.errorString();
            return Read::Refused;
        }
        prints.reserve(size_t(scan.files));
        JournalRecord record;
        while (nextRecord(file, &scan, run->version, &record)) {
            if (!record.abandoned)
                prints.push_back(pathPrint(record.path));
        }
        std::sort(prints.begin(), prints.end());
    }
    run->files = scan.files;
    run->damaged.clear();
    run->partial = true;
    writeSummary(folder.get(), key, *run, scan.files, prints);
    if (paths)
        *paths = std::move(prints);
    return Read::Ok;
}

bool runsInOrder(const JournalRun &a, const JournalRun &b)
{
    if (a.started != b.started)
        return a.started < b.started;
    if (a.sequence != b.sequence)
        return a.sequence < b.sequence;
    return a.folder < b.folder;
}

// Every run that can be read, oldest first; the journal folder's own fd is base.
// summary: the records only of runs that need them to be weighed: interrupted ones, and
// those whose manifest does not tell what they hold. paths: as for readRunSummary(), by
// the run's folder.
QVector<JournalRun> readRuns(int base, QStringList *refused, bool summary = false,
    QHash<QString, std::vector<quint64>> *paths = nullptr)
{
    QVector<JournalRun> found;
    for (const QString &name : entriesOf(base, RunPrefix)) {
        JournalRun run;
        QString why;
        std::vector<quint64> prints;
        const Read read = summary ? readRunSummary(base, name, &run, &why, &prints)
                                  : readRun(base, name, &run, &why, Depth::Records);
        if (read == Read::Ok) {
            found.append(run);
            if (paths && run.partial)
                paths->insert(run.folder, std::move(prints));
        } else if (read == Read::Refused && refused) {
            refused->append(
                Journal::location() + QLatin1Char('/') + name + QLatin1String(": ") + why);
        }
    }
    std::sort(found.begin(), found.end(), runsInOrder);
    return found;
}

bool syncFolder(const QString &path)
{
    const UniqueFd folder(openFolder(QFile::encodeName(path)));
    return folder.isValid() && ::fsync(folder.get()) == 0;
}

} // namespace

QString Journal::location()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
        + QLatin1String("/journal");
}

Journal::Estimate::Estimate()
{
    QString existing = location();
    struct stat journal;
    while (::stat(QFile::encodeName(existing).constData(), &journal) != 0) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing) {
            journal.st_dev = 0;
            break;
        }
        existing = parent;
    }
    m_journalDevice = quint64(journal.st_dev);
}

void Journal::Estimate::add(const QByteArray &native, const struct stat &st)
{
    ++m_cost.files;
    const QByteArray folder = splitNativePath(native).folder;
    if (folder != m_lastFolder) {
        m_lastFolder = folder;
        m_lastFolderWritable = ::access(folder.constData(), W_OK) == 0;
    }
    const bool linkable
        = quint64(st.st_dev) == m_journalDevice && st.st_nlink == 1 && m_lastFolderWritable;
    if (!linkable) {
        ++m_cost.copies;
        m_cost.copiedBytes += st.st_size;
    }
}

Journal::Cost Journal::estimate(const QStringList &paths)
{
    Estimate estimate;
    for (const QString &path : paths) {
        const QByteArray native = QFile::encodeName(path);
        struct stat st;
        if (::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode))
            estimate.add(native, st);
    }
    return estimate.cost();
}

int JournalRun::written() const
{
    return notKept + files;
}

namespace {

QVector<JournalRun> readJournalRuns(QStringList *refused, bool summariesOnly)
{
    QString error;
    const UniqueFd base(openBase(false, &error));
    if (!base.isValid()) {
        if (refused && !error.isEmpty())
            refused->append(error);
        return {};
    }
    return readRuns(base.get(), refused, summariesOnly);
}

} // namespace

QVector<JournalRun> Journal::runs(QStringList *refused)
{
    return readJournalRuns(refused, false);
}

QVector<JournalRun> Journal::summaries(QStringList *refused)
{
    return readJournalRuns(refused, true);
}

QVector<HistoryEntry> Journal::history(QStringList *refused)
{
    QVector<HistoryEntry> entries;
    QString error;
    const UniqueFd base(openBase(false, &error));
    if (!base.isValid()) {
        if (refused && !error.isEmpty())
            refused->append(error);
        return entries;
    }
    QHash<QString, std::vector<quint64>> prints;
    const QVector<JournalRun> all = readRuns(base.get(), refused, true, &prints);
    // Paths that a later run, not undone, has rewritten, by fingerprint, sorted: undo
    // leaves them alone.
    std::vector<quint64> rewrittenLater;
    const auto rewritten = [&](quint64 print) {
        return std::binary_search(rewrittenLater.cbegin(), rewrittenLater.cend(), print);
    };
    for (auto it = all.crbegin(); it != all.crend(); ++it) {
        if (!it->keepsUndo)
            continue;
        HistoryEntry entry;
        entry.run = *it;
        entry.written = it->written();
        std::vector<quint64> own = prints.take(it->folder);
        if (!it->partial) {
            own.clear();
            const UniqueFd folder(it->undoBegun ? openFolder(QFile::encodeName(it->folder)) : -1);
            for (const JournalRecord &record : it->records) {
                if (record.abandoned)
                    continue;
                own.push_back(pathPrint(record.path));
                struct stat st;
                // Part way through an undo, what it put back is no longer in the journal.
                if (it->undone || rewritten(own.back())
                    || (it->undoBegun
                        && ::fstatat(folder.get(), keptName(record.entry).constData(), &st,
                               AT_SYMLINK_NOFOLLOW)
                            != 0))
                    continue;
                ++entry.undoable;
            }
            std::sort(own.begin(), own.end());
        } else if (!it->undone) {
            entry.undoable = int(std::count_if(
                own.cbegin(), own.cend(), [&](quint64 print) { return !rewritten(print); }));
        }
        if (!it->undone) {
            const auto middle
                = rewrittenLater.insert(rewrittenLater.end(), own.cbegin(), own.cend());
            std::inplace_merge(rewrittenLater.begin(), middle, rewrittenLater.end());
        }
        entries.append(entry);
    }
    return entries;
}

bool Journal::reread(JournalRun *run)
{
    QString error;
    const UniqueFd base(openBase(false, &error));
    if (!base.isValid())
        return false;
    JournalRun fresh;
    QString why;
    const QString name = QFileInfo(run->folder).fileName();
    if (readRun(base.get(), name, &fresh, &why, Depth::Records, true) != Read::Ok)
        return false;
    *run = fresh;
    return true;
}

qint64 Journal::heldBytes(const JournalRun &run)
{
    if (run.undone)
        return 0;
    if (run.held >= 0 && !run.undoBegun && run.finished)
        return run.held;
    const UniqueFd folder(openFolder(QFile::encodeName(run.folder)));
    if (!folder.isValid())
        return 0;
    qint64 held = 0;
    for (const JournalRecord &record : run.records) {
        struct stat st;
        if (!record.abandoned
            && ::fstatat(folder.get(), keptName(record.entry).constData(), &st, AT_SYMLINK_NOFOLLOW)
                == 0
            && S_ISREG(st.st_mode) && st.st_nlink == 1)
            held += st.st_size;
    }
    return held;
}

bool Journal::markUndone(const JournalRun &run, int manifest)
{
    const QByteArray record = "X " + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + '\n';
    if (!writeFully(manifest, record.constData(), record.size()) || ::fdatasync(manifest) != 0)
        return false;
    // The first version's start is its manifest's time, which this record just moved.
    struct stat st;
    const UniqueFd runFolder(openFolder(QFile::encodeName(run.folder)));
    if (run.version >= 2 && runFolder.isValid() && ::fstat(manifest, &st) == 0) {
        JournalRun undone = run;
        undone.undoBegun = true;
        undone.undone = true;
        writeSummary(runFolder.get(), manifestKey(st), undone, run.files, {});
    }
    // Deleting 300,000 links one by one took longer than the undo: its folders go aside
    // with a rename each, to be deleted by two threads while the undo is reported.
    const QByteArray trash = QFile::encodeName(
        location() + QLatin1Char('/') + TrashPrefix + QFileInfo(run.folder).fileName());
    const bool aside = ::mkdir(trash.constData(), 0700) == 0;
    for (int shard = 0; shard < Shards; ++shard) {
        const QString folder = run.folder + QLatin1Char('/') + QString::number(shard);
        const QByteArray target = trash + '/' + QByteArray::number(shard);
        if (!aside || ::rename(QFile::encodeName(folder).constData(), target.constData()) != 0)
            QDir(folder).removeRecursively();
    }
    sweepLater();
    return true;
}

namespace {

// One thread deletes what runs set aside, for every journal of the process: asked again
// while at work, it goes round once more, as the folders it listed may not hold the newest.
// Nobody waits for it but the process, at exit, once the report is out: a window that
// joined it when it let a finished run go froze for as long as the deletion took.
struct LaterSweep
{
    std::mutex mutex;
    std::condition_variable idle;
    std::thread thread;
    QByteArray location;
    bool again = false;
    bool running = false;

    void ask(const QByteArray &where, void (*sweep)(const QByteArray &))
    {
        const std::lock_guard<std::mutex> lock(mutex);
        location = where;
        again = true;
        if (running)
            return;
        // Ended, or never started: the join does not wait.
        if (thread.joinable())
            thread.join();
        running = true;
        thread = std::thread([this, sweep] {
            std::unique_lock<std::mutex> lock(mutex);
            while (again) {
                again = false;
                const QByteArray where = location;
                lock.unlock();
                sweep(where);
                lock.lock();
            }
            running = false;
            idle.notify_all();
        });
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        idle.wait(lock, [this] { return !running; });
    }
    ~LaterSweep()
    {
        if (thread.joinable())
            thread.join();
    }
};

LaterSweep &laterSweep()
{
    static LaterSweep sweep;
    return sweep;
}

} // namespace

void Journal::sweepLater()
{
    laterSweep().ask(QFile::encodeName(location()), &Journal::sweep);
}

void Journal::waitForSweep()
{
    laterSweep().wait();
}

QSet<QByteArray> Journal::foldersInUse(const QString &except)
{
    QSet<QByteArray> folders;
    QString error;
    const UniqueFd base(openBase(false, &error));
    if (!base.isValid())
        return folders;
    for (const QString &name : entriesOf(base.get(), RunPrefix)) {
        JournalRun run;
        QString why;
        if (location() + QLatin1Char('/') + name == except
            || readRun(base.get(), name, &run, &why, Depth::Header) != Read::Busy
            || readRun(base.get(), name, &run, &why, Depth::Records, true) != Read::Ok)
            continue;
        for (const QByteArray &folder : qAsConst(run.folders))
            folders.insert(folder);
        for (const JournalRecord &record : qAsConst(run.records))
            folders.insert(splitNativePath(record.path).folder);
    }
    return folders;
}

bool Journal::lastRun(JournalRun *run, QStringList *refused)
{
    const QVector<JournalRun> all = summaries(refused);
    qint64 newerAskedFor = std::numeric_limits<qint64>::min();
    for (auto it = all.crbegin(); it != all.crend(); ++it) {
        if (!it->keepsUndo)
            continue;
        const bool stillDue = it->interrupted() || it->finishedAt > newerAskedFor;
        if (!it->undone && stillDue) {
            *run = *it;
            return true;
        }
        newerAskedFor = std::max(newerAskedFor, it->requested);
    }
    return false;
}

bool Journal::lastRunInterrupted()
{
    JournalRun run;
    return lastRun(&run) && run.interrupted();
}

QVector<JournalRun> Journal::interruptedRuns()
{
    QVector<JournalRun> interrupted;
    for (const JournalRun &run : summaries()) {
        if (run.keepsUndo && run.interrupted())
            interrupted.append(run);
    }
    return interrupted;
}

int Journal::discardInterruptedRuns()
{
    int discarded = 0;
    for (const JournalRun &run : interruptedRuns())
        discarded += remove(run) ? 1 : 0;
    return discarded;
}

bool Journal::remove(const JournalRun &run)
{
    const QString name = QFileInfo(run.folder).fileName();
    QDir base(location());
    const QString trash = TrashPrefix + name;
    if (!base.rename(name, trash))
        return QDir(run.folder).removeRecursively();
    return QDir(base.filePath(trash)).removeRecursively();
}

// The originals of runs set aside, gone for undo but not yet from the disk. Deleted one
// for each file the run keeps, the inode each frees is taken at once by the next file the
// run makes: freed by the sweep after the run, they were left alone by ext4 without a
// journal for the next half minute, and every file the next run made in their block group
// read the inode table of each of them to learn that.
struct Journal::SetAside
{
    QMutex mutex;
    UniqueFd base;
    // Shard folders not yet read, relative to base: opened one at a time, as a history
    // dropped at once can leave thousands.
    std::vector<QByteArray> folders;
    // The folder being read; a thread deleting a name read from it holds it open.
    std::shared_ptr<DIR> reading;
};

Journal::Journal(qint64 copyCap, Mode mode)
    : m_copyCap(copyCap)
    , m_mode(mode)
{
}

Journal::~Journal()
{
    if (m_manifest.isValid())
        writeRecords();
    if (m_folder.isValid() && !m_sweepAsked)
        sweepLater();
}

void Journal::gatherSetAside(int base)
{
    auto aside = std::make_unique<SetAside>();
    for (const QString &name : entriesOf(base, TrashPrefix)) {
        for (int shard = 0; shard < Shards; ++shard)
            aside->folders.push_back(QFile::encodeName(name) + '/' + QByteArray::number(shard));
    }
    aside->base = UniqueFd(::fcntl(base, F_DUPFD_CLOEXEC, 0));
    if (!aside->folders.empty() && aside->base.isValid())
        m_setAside = std::move(aside);
}

void Journal::deleteOneSetAside()
{
    if (!m_setAside)
        return;
    SetAside &aside = *m_setAside;
    QByteArray name;
    std::shared_ptr<DIR> folder;
    {
        QMutexLocker locker(&aside.mutex);
        while (!folder) {
            if (!aside.reading) {
                if (aside.folders.empty())
                    return;
                const int fd = ::openat(aside.base.get(), aside.folders.back().constData(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                aside.folders.pop_back();
                DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
                if (dir)
                    aside.reading.reset(dir, ::closedir);
                else if (fd >= 0)
                    ::close(fd);
                continue;
            }
            const dirent *entry = ::readdir(aside.reading.get());
            if (!entry) {
                aside.reading.reset();
            } else if (entry->d_type != DT_DIR) {
                name = entry->d_name;
                folder = aside.reading;
            }
        }
    }
    ::unlinkat(::dirfd(folder.get()), name.constData(), 0);
}

void Journal::discardLastRun()
{
    QString error;
    const UniqueFd base(openBase(false, &error));
    if (!base.isValid())
        return;
    setAsideRuns(base.get(), QDateTime::currentMSecsSinceEpoch(), -1, -1, QString());
    sweep(QFile::encodeName(location()));
}

void Journal::setAsideRuns(int base, qint64 requestedAt, int keep, qint64 cap, const QString &self)
{
    const QVector<JournalRun> all = readRuns(base, nullptr, true);
    int kept = 0;
    qint64 held = 0;
    bool over = false;
    for (auto run = all.crbegin(); run != all.crend(); ++run) {
        const bool isSelf = run->folder == self;
        // Still going on when this run was asked for: it ran alongside, and stays.
        if (!isSelf && !run->interrupted() && run->finishedAt > requestedAt)
            continue;
        bool drop = false;
        if (keep < 0 || !run->keepsUndo) {
            drop = !isSelf && !run->interrupted();
        } else {
            // Its original may be the only whole copy of a file it tore.
            const bool mayHoldTorn = run->interrupted()
                && std::any_of(
                    run->records.cbegin(), run->records.cend(), [](const JournalRecord &record) {
                        return !record.abandoned && record.mayBeTorn();
                    });
            const qint64 runHeld = heldBytes(*run);
            over = over || kept >= keep || (kept > 0 && cap >= 0 && held + runHeld > cap);
            drop = over && !mayHoldTorn && !isSelf;
            if (!drop) {
                ++kept;
                held += runHeld;
            }
        }
        if (!drop)
            continue;
        const QString name = QFileInfo(run->folder).fileName();
        const QByteArray native = QFile::encodeName(name);
        const QByteArray trash = QFile::encodeName(TrashPrefix + name);
        if (::renameat(base, native.constData(), base, trash.constData()) != 0)
            QDir(run->folder).removeRecursively();
    }
    // Folders of runs killed before they were made whole: their process is gone.
    for (const QString &name : entriesOf(base, NewPrefix)) {
        const pid_t pid = pid_t(name.mid(NewPrefix.size()).section(QLatin1Char('-'), 0, 0).toInt());
        if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
            QDir(location() + QLatin1Char('/') + name).removeRecursively();
    }
}

namespace {

// Deletes what folder holds, and then folder itself, without following links.
void removeTree(int parent, const char *name)
{
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        ::unlinkat(parent, name, 0);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
            if (::unlinkat(fd, entry->d_name, 0) != 0 && (errno == EISDIR || errno == EPERM))
                removeTree(fd, entry->d_name);
        } else {
            ::unlinkat(fd, entry->d_name, 0);
        }
    }
    ::closedir(dir);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

} // namespace

// Only system calls on bytes: the thread may still be at work while the process exits and
// Qt's globals go.
void Journal::sweep(const QByteArray &location)
{
    pausePoint("sweep");
    const UniqueFd base(
        ::open(location.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!base.isValid() || ::fstat(base.get(), &st) != 0 || st.st_uid != ::geteuid()
        || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return;
    const QByteArray prefix = TrashPrefix.latin1();
    const auto trashNames = [&] {
        std::vector<QByteArray> names;
        const int fd = ::openat(base.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!dir) {
            if (fd >= 0)
                ::close(fd);
            return names;
        }
        while (const dirent *entry = ::readdir(dir)) {
            if (std::strncmp(entry->d_name, prefix.constData(), size_t(prefix.size())) == 0)
                names.emplace_back(entry->d_name);
        }
        ::closedir(dir);
        return names;
    };
    struct Folder
    {
        int parent;
        QByteArray name;
    };
    std::vector<UniqueFd> trashFolders;
    std::vector<Folder> folders;
    for (const QByteArray &name : trashNames()) {
        trashFolders.emplace_back(::openat(
            base.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!trashFolders.back().isValid())
            continue;
        for (int shard = 0; shard < Shards; ++shard)
            folders.push_back({trashFolders.back().get(), QByteArray::number(shard)});
    }
    std::atomic<size_t> next {0};
    const auto work = [&] {
        for (size_t at; (at = next.fetch_add(1)) < folders.size();)
            removeTree(folders[at].parent, folders[at].name.constData());
    };
    std::thread helper(work);
    work();
    helper.join();
    trashFolders.clear();
    for (const QByteArray &name : trashNames())
        removeTree(base.get(), name.constData());
}

bool Journal::start(QString *error)
{
    QString why;
    const UniqueFd base(openBase(true, &why));
    if (!base.isValid()) {
        if (error)
            *error = why;
        return false;
    }
    if (m_requestedAt <= 0)
        m_requestedAt = QDateTime::currentMSecsSinceEpoch();
    // A run without undo ends the history: undo never reaches past it.
    if (m_mode == Mode::Undo)
        setAsideRuns(base.get(), m_requestedAt, m_runsKept - 1, m_copyCap, QString());
    else
        setAsideRuns(base.get(), m_requestedAt, -1, -1, QString());
    if (!publish(base.get(), &why)) {
        if (error)
            *error = why;
        return false;
    }
    gatherSetAside(base.get());
    return true;
}

// The run's folder is made under a name no other run looks at, and takes its place among
// the runs only once its manifest is locked: a run starting at the same moment can never
// take it for a finished one.
bool Journal::publish(int base, QString *error)
{
    const QByteArray newName = QFile::encodeName(NewPrefix) + QByteArray::number(::getpid()) + '-'
        + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    const auto failed = [&](const QString &what) {
        const int saved = errno;
        if (error)
            *error = what + QLatin1String(": ") + errorText(saved);
        m_manifest.reset();
        m_shards.clear();
        m_folder.reset();
        QDir(location() + QLatin1Char('/') + QFile::decodeName(newName)).removeRecursively();
        return false;
    };
    if (::mkdirat(base, newName.constData(), 0700) != 0)
        return failed(location());
    pausePoint("journal-folder-made");
    m_folder.reset(
        ::openat(base, newName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!m_folder.isValid() || ::fstat(m_folder.get(), &st) != 0)
        return failed(location());
    m_device = st.st_dev;
    for (int shard = 0; shard < Shards; ++shard) {
        const QByteArray name = QByteArray::number(shard);
        if (::mkdirat(m_folder.get(), name.constData(), 0700) != 0)
            return failed(location());
        m_shards.emplace_back(
            ::openat(m_folder.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_shards.back().isValid())
            return failed(location());
    }
    m_manifest.reset(::openat(
        m_folder.get(), ManifestName, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600));
    if (!m_manifest.isValid() || ::flock(m_manifest.get(), LOCK_EX) != 0)
        return failed(location());

    // Runs are ordered by sequence; the journal folder's lock keeps two from sharing one.
    if (::flock(base, LOCK_EX) != 0)
        return failed(location());
    quint64 sequence = 0;
    for (const QString &name : entriesOf(base, RunPrefix)) {
        JournalRun run;
        QString why;
        readRun(base, name, &run, &why, Depth::Header, true);
        sequence = std::max(sequence, run.sequence);
    }
    ++sequence;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QByteArray header = Header + "S " + QByteArray::number(now.toMSecsSinceEpoch()) + ' '
        + QByteArray::number(sequence) + (m_mode == Mode::Undo ? " u\n" : " n\n");
    header += "Q " + QByteArray::number(m_requestedAt) + '\n';
    m_started = now.toMSecsSinceEpoch();
    m_sequence = sequence;
    const QString name = RunPrefix + now.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"))
        + QStringLiteral("-%1-%2").arg(::getpid()).arg(sequence);
    const bool published = writeFully(m_manifest.get(), header.constData(), header.size())
        && ::renameat(base, newName.constData(), base, QFile::encodeName(name).constData()) == 0;
    ::flock(base, LOCK_UN);
    if (!published)
        return failed(location());
    m_folderPath = location() + QLatin1Char('/') + name;
    return true;
}

void Journal::recordFolders(const QVector<QByteArray> &folders)
{
    if (!m_manifest.isValid() || folders.isEmpty())
        return;
    QByteArray records;
    for (const QByteArray &folder : folders)
        records += "P " + folder.toBase64() + '\n';
    append(records);
    writeRecords();
}

bool Journal::finish()
{
    if (!m_manifest.isValid())
        return false;
    bool unresolved;
    {
        QMutexLocker locker(&m_mutex);
        unresolved = !m_inPlaceOpen.isEmpty();
    }
    // A file whose in-place overwrite could not be put right leaves the run unfinished,
    // so that the next start repairs it and no later run sweeps its original.
    // Not synced: every record a file's safety depends on already is, and should this
    // one be lost, the run only looks interrupted, which undoes the same.
    const qint64 held = m_held.loadRelaxed();
    const int notKept = m_notKept.loadRelaxed();
    const qint64 finishedAt = QDateTime::currentMSecsSinceEpoch();
    if (m_mode == Mode::Undo)
        append("H " + QByteArray::number(held) + ' ' + QByteArray::number(notKept) + '\n');
    if (!unresolved)
        append("E " + QByteArray::number(finishedAt) + '\n');
    const bool written = writeRecords();
    // Made now, from memory: made later, it took a second reading of the whole manifest.
    if (written && !unresolved && m_mode == Mode::Undo)
        leaveSummary(held, notKept, finishedAt);
    // Closing releases the lock: the run is over and may be undone.
    m_manifest.reset();
    if (m_mode == Mode::Undo) {
        // What this run holds is known only now: older runs make room for it.
        QString error;
        const UniqueFd base(openBase(false, &error));
        if (base.isValid())
            setAsideRuns(base.get(), m_requestedAt, m_runsKept, m_copyCap, m_folderPath);
    }
    if (m_mode == Mode::InPlaceOnly && !unresolved)
        QDir(m_folderPath).removeRecursively();
    sweepLater();
    m_sweepAsked = true;
    return written;
}

void Journal::leaveSummary(qint64 held, int notKept, qint64 finishedAt)
{
    {
        QMutexLocker syncLocker(&m_syncMutex);
        if (m_failed || m_recordsLost)
            return;
    }
    struct stat st;
    if (::fstat(m_manifest.get(), &st) != 0)
        return;
    std::vector<quint64> prints;
    {
        QMutexLocker locker(&m_mutex);
        prints.reserve(m_prints.size());
        for (size_t entry = 0; entry < m_prints.size(); ++entry) {
            if (m_entries[entry] == Entry::Kept)
                prints.push_back(m_prints[entry]);
        }
        std::vector<quint64>().swap(m_prints);
        std::vector<Entry>().swap(m_entries);
    }
    std::sort(prints.begin(), prints.end());
    JournalRun run;
    run.version = 2;
    run.started = m_started;
    run.sequence = m_sequence;
    run.keepsUndo = true;
    run.requested = m_requestedAt;
    run.held = held;
    run.notKept = notKept;
    run.finished = true;
    run.finishedAt = finishedAt;
    writeSummary(m_folder.get(), manifestKey(st), run, int(prints.size()), prints);
}

Journal::Kept Journal::keep(int fd, const struct stat &original, const QByteArray &path,
    const Digest &before, const Digest &after, bool inPlace, int folder)
{
    deleteOneSetAside();
    Kept kept;
    if (!m_manifest.isValid() || (m_mode == Mode::InPlaceOnly && !inPlace))
        return kept;
    struct stat folderStat = {};
    if (folder >= 0 ? ::fstat(folder, &folderStat) != 0
                    : ::stat(splitNativePath(path).folder.constData(), &folderStat) != 0) {
        if (!inPlace)
            m_notKept.fetchAndAddRelaxed(1);
        return kept;
    }
    const qint64 entry = m_nextEntry.fetchAndAddRelaxed(1);
    const QByteArray name = keptName(entry);
    JournalRecord::Kept how = JournalRecord::Kept::Copy;
    if (inPlace) {
        how = JournalRecord::Kept::InPlace;
    } else if (original.st_dev == m_device && original.st_nlink == 1) {
        // By the descriptor, not the name: the name may already point elsewhere.
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
        if (::linkat(
                AT_FDCWD, self.constData(), m_folder.get(), name.constData(), AT_SYMLINK_FOLLOW)
            == 0)
            how = JournalRecord::Kept::Link;
    }
    if (how != JournalRecord::Kept::Link && !copyOriginal(fd, original, name, inPlace)) {
        if (!inPlace)
            m_notKept.fetchAndAddRelaxed(1);
        return kept;
    }
    kept.entry = entry;
    m_held.fetchAndAddRelaxed(original.st_size);
    if (inPlace) {
        QMutexLocker locker(&m_mutex);
        m_inPlaceOpen.insert(entry);
    }
    append(keptRecord(entry, how, original, path, before, after, folderStat), &kept.sequence,
        shardOf(entry), entry, m_mode == Mode::Undo ? pathPrint(path) : 0);
    return kept;
}

bool Journal::copies(const struct stat &original) const
{
    return m_manifest.isValid() && m_mode == Mode::Undo
        && !(quint64(original.st_dev) == m_device && original.st_nlink == 1);
}

bool Journal::copyOriginal(
    int fd, const struct stat &original, const QByteArray &name, bool inPlace)
{
    const qint64 total = m_copied.fetchAndAddRelaxed(original.st_size) + original.st_size;
    if (!inPlace && m_copyCap >= 0 && total > m_copyCap) {
        m_copied.fetchAndAddRelaxed(-original.st_size);
        return false;
    }
    UniqueFd copy(
        ::openat(m_folder.get(), name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!copy.isValid() || !copyContent(fd, copy.get(), original.st_size)) {
        if (copy.isValid())
            ::unlinkat(m_folder.get(), name.constData(), 0);
        m_copied.fetchAndAddRelaxed(-original.st_size);
        return false;
    }
    // Undo gives these back along with the content; the journal may not hold them all.
    (void)copyAccessAndAttributes(fd, copy.get(), 0600, false);
    QMutexLocker locker(&m_mutex);
    m_unsyncedCopies.push_back(std::move(copy));
    return true;
}

void Journal::abandon(qint64 entry)
{
    if (entry < 0 || !m_manifest.isValid())
        return;
    {
        QMutexLocker locker(&m_mutex);
        m_inPlaceOpen.remove(entry);
        if (size_t(entry) < m_entries.size())
            m_entries[size_t(entry)] = Entry::Abandoned;
    }
    struct stat st;
    if (::fstatat(m_folder.get(), keptName(entry).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        m_held.fetchAndAddRelaxed(-qint64(st.st_size));
    ::unlinkat(m_folder.get(), keptName(entry).constData(), 0);
    append("A " + QByteArray::number(entry) + '\n', nullptr, shardOf(entry));
}

void Journal::markWrittenInPlace(qint64 entry)
{
    if (entry < 0 || !m_manifest.isValid())
        return;
    {
        QMutexLocker locker(&m_mutex);
        m_inPlaceOpen.remove(entry);
    }
    // The new content is on disk, so the copy is of no more use to a run without undo.
    if (m_mode == Mode::InPlaceOnly)
        ::unlinkat(m_folder.get(), keptName(entry).constData(), 0);
    append("D " + QByteArray::number(entry) + '\n');
}

QByteArray Journal::keptName(qint64 entry)
{
    return QByteArray::number(shardOf(entry)) + '/' + QByteArray::number(entry);
}

int Journal::openOriginal(qint64 entry) const
{
    return ::openat(m_folder.get(), keptName(entry).constData(), O_RDONLY | O_CLOEXEC);
}

void Journal::append(
    const QByteArray &record, quint64 *sequence, int changedShard, qint64 kept, quint64 print)
{
    QMutexLocker locker(&m_mutex);
    m_records += record;
    if (kept >= 0 && m_mode == Mode::Undo) {
        if (m_prints.size() <= size_t(kept)) {
            m_prints.resize(size_t(kept) + 1);
            m_entries.resize(size_t(kept) + 1, Entry::None);
        }
        m_prints[size_t(kept)] = print;
        m_entries[size_t(kept)] = Entry::Kept;
    }
    if (changedShard >= 0)
        m_changedShards |= 1u << changedShard;
    ++m_appended;
    if (sequence)
        *sequence = m_appended;
}

bool Journal::writeRecords()
{
    // Under the sync's lock: records written past a sync that swapped out later ones
    // would land after them, and that sync would count them durable.
    QMutexLocker syncLocker(&m_syncMutex);
    QByteArray records;
    {
        QMutexLocker locker(&m_mutex);
        records.swap(m_records);
    }
    const bool written = writeFully(m_manifest.get(), records.constData(), records.size());
    m_recordsLost = m_recordsLost || !written;
    return written;
}

bool Journal::makeDurable(quint64 sequence)
{
    QMutexLocker syncLocker(&m_syncMutex);
    if (m_failed)
        return false;
    if (m_durable >= sequence)
        return true;
    QByteArray records;
    std::vector<UniqueFd> copies;
    quint64 upTo;
    quint32 changedShards;
    {
        QMutexLocker locker(&m_mutex);
        records.swap(m_records);
        copies.swap(m_unsyncedCopies);
        upTo = m_appended;
        changedShards = m_changedShards;
        m_changedShards = 0;
    }
    bool ok = writeFully(m_manifest.get(), records.constData(), records.size());
    for (const UniqueFd &copy : copies)
        ok = ok && ::fdatasync(copy.get()) == 0;
    for (int shard = 0; shard < Shards; ++shard) {
        if (changedShards & (1u << shard))
            ok = ok && ::fsync(m_shards.at(size_t(shard)).get()) == 0;
    }
    // The run's folders themselves, made without a sync at the start.
    if (ok && !m_structureDurable) {
        ok = ::fsync(m_folder.get()) == 0 && syncFolder(location());
        m_structureDurable = ok;
    }
    ok = ok && ::fdatasync(m_manifest.get()) == 0;
    // After a failed sync the kernel may have dropped the pages: nothing is durable.
    if (!ok)
        m_failed = true;
    else
        m_durable = upTo;
    return ok;
}

quint64 Journal::beginSync()
{
    QMutexLocker syncLocker(&m_syncMutex);
    QByteArray records;
    quint64 upTo;
    {
        QMutexLocker locker(&m_mutex);
        records.swap(m_records);
        m_unsyncedCopies.clear();
        upTo = m_appended;
        m_changedShards = 0;
    }
    if (!writeFully(m_manifest.get(), records.constData(), records.size()))
        m_failed = true;
    return upTo;
}

bool Journal::endSync(quint64 sequence, bool synced)
{
    QMutexLocker syncLocker(&m_syncMutex);
    if (!synced)
        m_failed = true;
    if (m_failed)
        return false;
    m_structureDurable = true;
    m_durable = std::max(m_durable, sequence);
    return true;
}

struct JournalReader::Data
{
    JournalRun run;
    UniqueFd fd;
    QFile file;
    ManifestScan scan;
};

JournalReader::JournalReader() = default;
JournalReader::~JournalReader() = default;

bool JournalReader::open(const QString &folder)
{
    d = std::make_unique<Data>();
    QString error;
    const UniqueFd base(openBase(false, &error));
    QString why;
    return base.isValid()
        && readRun(base.get(), QFileInfo(folder).fileName(), &d->run, &why, Depth::Scan, true,
               &d->scan, &d->fd)
        == Read::Ok
        && d->fd.isValid() && d->file.open(d->fd.get(), QIODevice::ReadOnly) && rewind();
}

const JournalRun &JournalReader::run() const
{
    return d->run;
}

int JournalReader::files() const
{
    return d->scan.files;
}

qint64 JournalReader::largestFile() const
{
    return d->scan.largest;
}

int JournalReader::mayBeTorn() const
{
    return d->scan.mayBeTorn;
}

bool JournalReader::next(JournalRecord *record)
{
    return d->fd.isValid() && nextRecord(d->file, &d->scan, d->run.version, record);
}

bool JournalReader::rewind()
{
    return d->fd.isValid() && rewindRecords(d->file, &d->scan);
}
