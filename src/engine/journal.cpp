#include "engine/journal.h"

#include "engine/filemetadata.h"
#include "engine/nativefile.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QLatin1String RunPrefix("run-");
const QLatin1String TrashPrefix("deleted-");
const char ManifestName[] = "manifest";
const QByteArray Header = QByteArrayLiteral("yihuan-journal 1\n");

// Records, one a line:
//   K entry kept device inode size mode uid gid before after path   (path in base64)
//   D entry      the in-place overwrite of entry finished
//   A entry      entry was left as it was
//   E            the run finished
// A line cut short by a kill is ignored: its file was not yet replaced.
QByteArray keptRecord(qint64 entry, JournalRecord::Kept kept, const struct stat &st,
    const QByteArray &path, const Digest &before, const Digest &after)
{
    const char kind = kept == JournalRecord::Kept::Link ? 'L'
        : kept == JournalRecord::Kept::Copy             ? 'C'
                                                        : 'I';
    QByteArray line = "K " + QByteArray::number(entry) + ' ' + kind;
    for (const quint64 value : {quint64(st.st_dev), quint64(st.st_ino), quint64(st.st_size)})
        line += ' ' + QByteArray::number(value);
    line += ' ' + QByteArray::number(uint(st.st_mode & 07777), 8);
    line += ' ' + QByteArray::number(uint(st.st_uid)) + ' ' + QByteArray::number(uint(st.st_gid));
    line += ' ' + before.toHex() + ' ' + after.toHex() + ' ' + path.toBase64() + '\n';
    return line;
}

bool parseKept(const QList<QByteArray> &fields, JournalRecord *record)
{
    if (fields.size() != 12 || fields.at(2).size() != 1)
        return false;
    bool ok[8] = {};
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
    const auto decoded = QByteArray::fromBase64Encoding(fields.at(11));
    ok[7] = before && after && decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok
        && !decoded.decoded.isEmpty();
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

// A run's manifest is locked for as long as the run (or an undo of it) goes on.
bool inProgress(const QString &runFolder)
{
    const UniqueFd manifest(
        ::open(QFile::encodeName(runFolder + QLatin1Char('/') + QLatin1String(ManifestName)),
            O_RDONLY | O_CLOEXEC));
    if (!manifest.isValid())
        return false;
    return ::flock(manifest.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

QStringList runFolders()
{
    QDir base(Journal::location());
    const QStringList names
        = base.entryList({RunPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden, QDir::Name);
    QStringList folders;
    for (const QString &name : names)
        folders.append(base.filePath(name));
    return folders;
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

Journal::Cost Journal::estimate(const QStringList &paths)
{
    Cost cost;
    QString existing = location();
    struct stat journal;
    while (::stat(QFile::encodeName(existing).constData(), &journal) != 0) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            break;
        existing = parent;
    }
    // Most files share their folder with the files before them.
    QByteArray lastFolder;
    bool lastFolderWritable = false;
    for (const QString &path : paths) {
        const QByteArray native = QFile::encodeName(path);
        struct stat st;
        if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        ++cost.files;
        const QByteArray folder = splitNativePath(native).folder;
        if (folder != lastFolder) {
            lastFolder = folder;
            lastFolderWritable = ::access(folder.constData(), W_OK) == 0;
        }
        const bool linkable = st.st_dev == journal.st_dev && st.st_nlink == 1 && lastFolderWritable;
        if (!linkable) {
            ++cost.copies;
            cost.copiedBytes += st.st_size;
        }
    }
    return cost;
}

bool Journal::lastRun(JournalRun *run)
{
    QStringList folders = runFolders();
    while (!folders.isEmpty() && inProgress(folders.last()))
        folders.removeLast();
    if (folders.isEmpty())
        return false;
    QFile manifest(folders.last() + QLatin1Char('/') + QLatin1String(ManifestName));
    if (!manifest.open(QIODevice::ReadOnly) || manifest.readLine() != Header)
        return false;
    run->folder = folders.last();
    run->finished = false;
    run->records.clear();
    QHash<qint64, int> byEntry;
    while (!manifest.atEnd()) {
        const QByteArray line = manifest.readLine();
        if (!line.endsWith('\n'))
            break;
        const QList<QByteArray> fields = line.trimmed().split(' ');
        const QByteArray kind = fields.at(0);
        if (kind == "E" && fields.size() == 1) {
            run->finished = true;
            continue;
        }
        if (kind == "K") {
            JournalRecord record;
            if (parseKept(fields, &record)) {
                byEntry.insert(record.entry, run->records.size());
                run->records.append(record);
            }
            continue;
        }
        bool ok = false;
        const qint64 entry = fields.size() == 2 ? fields.at(1).toLongLong(&ok) : -1;
        const int at = byEntry.value(entry, -1);
        if (!ok || at < 0)
            continue;
        if (kind == "D")
            run->records[at].writtenInPlace = true;
        else if (kind == "A")
            run->records[at].abandoned = true;
    }
    return true;
}

bool Journal::lastRunInterrupted()
{
    JournalRun run;
    return lastRun(&run) && !run.finished;
}

Journal::Journal(qint64 copyCap)
    : m_copyCap(copyCap)
{
}

Journal::~Journal()
{
    if (m_manifest.isValid())
        writeRecords();
    sweepRest();
}

void Journal::discardLastRun()
{
    setAsideLastRun();
    QDir base(location());
    for (const QString &name :
        base.entryList({TrashPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden))
        QDir(base.filePath(name)).removeRecursively();
}

void Journal::setAsideLastRun()
{
    QDir base(location());
    for (const QString &folder : runFolders()) {
        if (inProgress(folder))
            continue;
        const QString name = QFileInfo(folder).fileName();
        if (!base.rename(name, TrashPrefix + name))
            QDir(folder).removeRecursively();
    }
}

QVector<QByteArray> Journal::trashFiles()
{
    QVector<QByteArray> files;
    QDir base(location());
    for (const QString &name :
        base.entryList({TrashPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden)) {
        for (QDirIterator it(
                 base.filePath(name), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
             it.hasNext();)
            files.append(QFile::encodeName(it.next()));
    }
    return files;
}

void Journal::sweepOne()
{
    QByteArray victim;
    {
        QMutexLocker locker(&m_mutex);
        if (m_trash.isEmpty())
            return;
        victim = m_trash.takeLast();
    }
    ::unlink(victim.constData());
}

void Journal::sweepRest()
{
    if (!m_folder.isValid())
        return;
    QVector<QByteArray> rest;
    {
        QMutexLocker locker(&m_mutex);
        rest.swap(m_trash);
    }
    for (const QByteArray &file : qAsConst(rest))
        ::unlink(file.constData());
    QDir base(location());
    for (const QString &name :
        base.entryList({TrashPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden))
        QDir(base.filePath(name)).removeRecursively();
}

bool Journal::start(QString *error)
{
    const auto failed = [error](const QString &what) {
        if (error)
            *error = what + QLatin1String(": ") + QString::fromLocal8Bit(::strerror(errno));
        return false;
    };
    const QString base = location();
    if (!QDir().mkpath(base))
        return failed(base);
    ::chmod(QFile::encodeName(base).constData(), 0700);
    setAsideLastRun();
    m_trash = trashFiles();

    const QString name = RunPrefix
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"))
        + QLatin1Char('-') + QString::number(::getpid());
    m_folderPath = base + QLatin1Char('/') + name;
    if (::mkdir(QFile::encodeName(m_folderPath).constData(), 0700) != 0)
        return failed(m_folderPath);
    m_folder.reset(openFolder(QFile::encodeName(m_folderPath)));
    struct stat st;
    if (!m_folder.isValid() || ::fstat(m_folder.get(), &st) != 0)
        return failed(m_folderPath);
    m_device = st.st_dev;
    for (int shard = 0; shard < Shards; ++shard) {
        const QByteArray name = QByteArray::number(shard);
        if (::mkdirat(m_folder.get(), name.constData(), 0700) != 0)
            return failed(m_folderPath);
        m_shards.emplace_back(
            ::openat(m_folder.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_shards.back().isValid())
            return failed(m_folderPath);
    }
    m_manifest.reset(::openat(
        m_folder.get(), ManifestName, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600));
    if (!m_manifest.isValid() || ::flock(m_manifest.get(), LOCK_EX) != 0
        || !writeFully(m_manifest.get(), Header.constData(), Header.size())) {
        const int saved = errno;
        m_manifest.reset();
        QDir(m_folderPath).removeRecursively();
        errno = saved;
        return failed(m_folderPath);
    }
    return true;
}

bool Journal::finish()
{
    if (!m_manifest.isValid())
        return false;
    // Not synced: every record a file's safety depends on already is, and should this
    // one be lost, the run only looks interrupted, which undoes the same.
    append("E\n");
    const bool written = writeRecords();
    // Closing releases the lock: the run is over and may be undone.
    m_manifest.reset();
    sweepRest();
    return written;
}

Journal::Kept Journal::keep(int fd, const struct stat &original, const QByteArray &path,
    const Digest &before, const Digest &after, bool inPlace)
{
    Kept kept;
    if (!m_manifest.isValid())
        return kept;
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
    append(keptRecord(entry, how, original, path, before, after), &kept.sequence, shardOf(entry));
    return kept;
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
    ::unlinkat(m_folder.get(), keptName(entry).constData(), 0);
    append("A " + QByteArray::number(entry) + '\n', nullptr, shardOf(entry));
}

void Journal::markWrittenInPlace(qint64 entry)
{
    if (entry >= 0 && m_manifest.isValid())
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

void Journal::append(const QByteArray &record, quint64 *sequence, int changedShard)
{
    QMutexLocker locker(&m_mutex);
    m_records += record;
    if (changedShard >= 0)
        m_changedShards |= 1u << changedShard;
    ++m_appended;
    if (sequence)
        *sequence = m_appended;
}

bool Journal::writeRecords()
{
    QByteArray records;
    {
        QMutexLocker locker(&m_mutex);
        records.swap(m_records);
    }
    return writeFully(m_manifest.get(), records.constData(), records.size());
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
