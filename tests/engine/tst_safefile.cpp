#include "engine/durable/safefile.h"

#include "engine/durable/journal.h"
#include "files/tempnames.h"
#include "safewritetestutil.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testutil;

namespace {

// The first step that refused, or Reason::None once the new bytes are in place.
Reason rewrite(const QString &path, const QByteArray &bytes, Journal *journal = nullptr)
{
    SafeFile file;
    QByteArray old;
    Reason reason = file.open(path);
    if (reason == Reason::None)
        reason = file.readAll(&old);
    if (reason == Reason::None)
        reason = file.write(bytes.constData(), bytes.size());
    if (reason == Reason::None)
        reason = file.stage(journal);
    if (reason == Reason::None)
        reason = file.commit();
    return reason;
}

enum class Intrusion {
    Appended,
    RewrittenSameSize,
    RewrittenWithItsTimePutBack,
    ModeChanged,
    ReplacedByRename,
    SwappedForLink,
    SwappedForFifo,
    Deleted
};

struct HelperResult
{
    int exitCode = -1;
    Reason reason = Reason::None;
};

} // namespace

Q_DECLARE_METATYPE(Intrusion)
Q_DECLARE_METATYPE(Reason)

class TestSafeFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keepsMetadata_data();
    void keepsMetadata();
    void refuses_data();
    void refuses();
    void leavesAFileChangedBeforeCommit_data();
    void leavesAFileChangedBeforeCommit();
    void writesInPlaceWhereTheFolderTakesNoNewFile_data();
    void writesInPlaceWhereTheFolderTakesNoNewFile();
    void fullDiskLeavesTheFileUntouched();
    void anotherUser_data();
    void anotherUser();
    void batchSyncCommitsEveryFile();
    void abandonedRewriteLeavesNothingBehind();
    void longNamesStillGetATempFile_data();
    void longNamesStillGetATempFile();
    void followsAListedLinkOnce();
    void everyLinkOfAChainMustBeTrusted_data();
    void everyLinkOfAChainMustBeTrusted();

private:
    QString freshFolder();
    HelperResult runHelperAsNobody(const QStringList &arguments);

    QTemporaryDir m_dir;
    int m_folders = 0;
};

void TestSafeFile::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
    QCoreApplication::setApplicationName(QStringLiteral("yihuan"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("data"))));
}

QString TestSafeFile::freshFolder()
{
    const QString folder = m_dir.filePath(QStringLiteral("f%1").arg(++m_folders));
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    return folder;
}

HelperResult TestSafeFile::runHelperAsNobody(const QStringList &arguments)
{
    const QString data = m_dir.filePath(QStringLiteral("nobody-data"));
    QDir().mkpath(data);
    ::chown(QFile::encodeName(data).constData(), Nobody, NoGroup);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), data);
    process.setProcessEnvironment(environment);
    process.start(
        QStringLiteral("setpriv"), asNobody(QStringLiteral(YIHUAN_SAFEWRITE_HELPER), arguments));
    HelperResult result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    const QByteArray output = process.readAllStandardOutput();
    result.reason = Reason(output.left(output.indexOf(' ')).toInt());
    return result;
}

void TestSafeFile::keepsMetadata_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<uint>("owner");
    QTest::addColumn<QStringList>("acl");
    QTest::addColumn<QStringList>("attributes");
    QTest::addColumn<bool>("folderDefaultAcl");

    QTest::newRow("a plain 0644 file keeps its mode")
        << 0644 << 0u << QStringList() << QStringList() << false;
    QTest::newRow("a 0600 file stays private")
        << 0600 << 0u << QStringList() << QStringList() << false;
    QTest::newRow("a setuid 04755 file keeps its special bits")
        << 04755 << 0u << QStringList() << QStringList() << false;
    QTest::newRow("nobody's file rewritten by root stays nobody's")
        << 0640 << uint(Nobody) << QStringList() << QStringList() << false;
    QTest::newRow("a named ACL entry survives and the group gains no write")
        << 0640 << 0u << QStringList {QStringLiteral("u:nobody:rw")} << QStringList() << false;
    QTest::newRow("an ACL on nobody's file survives with the owner")
        << 0600 << uint(Nobody) << QStringList {QStringLiteral("g:nogroup:r")} << QStringList()
        << false;
    QTest::newRow("user attributes survive, empty ones too")
        << 0644 << 0u << QStringList()
        << QStringList {QStringLiteral("user.origin"), QStringLiteral("下载"),
               QStringLiteral("user.empty"), QString()}
        << false;
    QTest::newRow("a folder's default ACL does not creep into a file without one")
        << 0644 << 0u << QStringList() << QStringList() << true;
}

void TestSafeFile::keepsMetadata()
{
    QFETCH(int, mode);
    QFETCH(uint, owner);
    QFETCH(QStringList, acl);
    QFETCH(QStringList, attributes);
    QFETCH(bool, folderDefaultAcl);

    const QString folder = freshFolder();
    const QString path = folder + QStringLiteral("/配置.ini");
    QVERIFY(writeBytes(path, "key=旧值\n"));
    const QByteArray native = QFile::encodeName(path);
    QVERIFY(::chown(native.constData(), owner, owner) == 0);
    QVERIFY(::chmod(native.constData(), mode_t(mode)) == 0);
    for (const QString &entry : acl) {
        if (run(QStringLiteral("setfacl"), {QStringLiteral("-m"), entry, path}) != 0)
            QSKIP("This file system takes no POSIX ACL");
    }
    for (int i = 0; i + 1 < attributes.size(); i += 2) {
        if (run(QStringLiteral("setfattr"),
                {QStringLiteral("-n"), attributes.at(i), QStringLiteral("-v"), attributes.at(i + 1),
                    path})
            != 0)
            QSKIP("This file system takes no user attributes");
    }
    if (folderDefaultAcl
        && run(QStringLiteral("setfacl"),
               {QStringLiteral("-d"), QStringLiteral("-m"), QStringLiteral("u:nobody:rwx"), folder})
            != 0)
        QSKIP("This file system takes no default ACL");
    const struct stat before = statOf(path);
    const QByteArray aclBefore = aclListing(path);
    const QByteArray attributesBefore = attributeListing(path);

    QCOMPARE(rewrite(path, "key=新值\n"), Reason::None);

    const struct stat after = statOf(path);
    QCOMPARE(readBytes(path), QByteArray("key=新值\n"));
    QVERIFY2(after.st_ino != before.st_ino, "replaced by a new file, not overwritten");
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
    QCOMPARE(aclListing(path), aclBefore);
    QCOMPARE(attributeListing(path), attributesBefore);
    QCOMPARE(hiddenEntries(folder), QStringList());
}

void TestSafeFile::refuses_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<Reason>("expected");

    QTest::newRow("a missing file is not found") << "missing" << Reason::NotFound;
    QTest::newRow("a file in a missing folder is not found")
        << "missing folder" << Reason::NotFound;
    QTest::newRow("a FIFO is refused at once, not waited on") << "fifo" << Reason::NotRegular;
    QTest::newRow("a folder is not a regular file") << "folder" << Reason::NotRegular;
    QTest::newRow("a link to a device is not a regular file")
        << "device link" << Reason::NotRegular;
    QTest::newRow("a dangling link is not found") << "dangling" << Reason::NotFound;
    QTest::newRow("a 0444 file is read-only even for root") << "0444" << Reason::ReadOnly;
    QTest::newRow("a file with only execute bits is read-only") << "0555" << Reason::ReadOnly;
}

void TestSafeFile::refuses()
{
    QFETCH(QString, kind);
    QFETCH(Reason, expected);

    const QString folder = freshFolder();
    QString path = folder + QStringLiteral("/x.txt");
    const QByteArray native = QFile::encodeName(path);
    const QByteArray content("不动\n");
    if (kind == QLatin1String("missing folder"))
        path = folder + QStringLiteral("/no/x.txt");
    else if (kind == QLatin1String("fifo"))
        QVERIFY(::mkfifo(native.constData(), 0666) == 0);
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(path));
    else if (kind == QLatin1String("device link"))
        QVERIFY(::symlink("/dev/null", native.constData()) == 0);
    else if (kind == QLatin1String("dangling"))
        QVERIFY(::symlink("nowhere", native.constData()) == 0);
    else if (kind.startsWith(QLatin1Char('0'))) {
        QVERIFY(writeBytes(path, content));
        QVERIFY(::chmod(native.constData(), mode_t(kind.toUInt(nullptr, 8))) == 0);
    }
    const struct stat before = statOf(path);

    QCOMPARE(rewrite(path, "新\n"), expected);

    const struct stat after = statOf(path);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode, before.st_mode);
    if (S_ISREG(before.st_mode))
        QCOMPARE(readBytes(path), content);
    QCOMPARE(hiddenEntries(folder), QStringList());
}

void TestSafeFile::leavesAFileChangedBeforeCommit_data()
{
    QTest::addColumn<Intrusion>("intrusion");
    QTest::addColumn<bool>("inPlace");

    const struct
    {
        Intrusion intrusion;
        const char *what;
    } rows[] = {
        {Intrusion::Appended, "a file another program appended to"},
        {Intrusion::RewrittenSameSize, "a file rewritten to the same size"},
        {Intrusion::RewrittenWithItsTimePutBack,
            "a file rewritten to the same size with its modification time put back"},
        {Intrusion::ModeChanged, "a file made private with chmod 600"},
        {Intrusion::ReplacedByRename, "a file replaced by a rename"},
        {Intrusion::SwappedForLink, "a file swapped for a link to root's secret"},
        {Intrusion::SwappedForFifo, "a file swapped for a FIFO"},
        {Intrusion::Deleted, "a deleted file"},
    };
    for (const auto &row : rows) {
        QTest::newRow(qPrintable(QString::fromLatin1(row.what) + QLatin1String(" is left alone")))
            << row.intrusion << false;
        QTest::newRow(qPrintable(
            QString::fromLatin1(row.what) + QLatin1String(" is left alone when written in place")))
            << row.intrusion << true;
    }
}

void TestSafeFile::leavesAFileChangedBeforeCommit()
{
    QFETCH(Intrusion, intrusion);
    QFETCH(bool, inPlace);

    const QString folder = freshFolder();
    const QString path = folder + QStringLiteral("/data.csv");
    const QByteArray native = QFile::encodeName(path);
    const QString secret = m_dir.filePath(QStringLiteral("secret-%1").arg(m_folders));
    QVERIFY(writeBytes(path, "a,b\n1,2\n"));
    QVERIFY(writeBytes(secret, "root only\n"));
    QVERIFY(::chmod(QFile::encodeName(secret).constData(), 0600) == 0);

    Journal journal;
    QVERIFY(journal.start());
    auto lock = std::make_unique<ImmutableFolder>(folder);
    if (inPlace && !lock->isSet())
        QSKIP("chattr +i is not supported here");
    if (!inPlace)
        lock.reset();

    SafeFile file;
    QByteArray old;
    QCOMPARE(file.open(path), Reason::None);
    QCOMPARE(file.readAll(&old), Reason::None);
    const QByteArray replacement("a,b\n9,9\n");
    QCOMPARE(file.write(replacement.constData(), replacement.size()), Reason::None);
    QCOMPARE(file.writesInPlace(), inPlace);
    QCOMPARE(file.stage(&journal), Reason::None);

    if (lock)
        lock->release();
    QByteArray expected;
    switch (intrusion) {
    case Intrusion::Appended:
        expected = "a,b\n1,2\n3,4\n";
        QVERIFY(writeBytes(path, expected));
        break;
    case Intrusion::RewrittenSameSize: {
        expected = "a,b\n5,6\n";
        struct timespec later[2] = {{0, UTIME_OMIT}, {0, 0}};
        QVERIFY(::clock_gettime(CLOCK_REALTIME, &later[1]) == 0);
        later[1].tv_sec += 5;
        QVERIFY(writeBytes(path, expected));
        QVERIFY(::utimensat(AT_FDCWD, native.constData(), later, 0) == 0);
        break;
    }
    case Intrusion::RewrittenWithItsTimePutBack: {
        expected = "a,b\n5,6\n";
        const struct stat before = statOf(path);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        QVERIFY(writeBytes(path, expected));
        QVERIFY(::utimensat(AT_FDCWD, native.constData(), times, 0) == 0);
        QCOMPARE(statOf(path).st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        QCOMPARE(statOf(path).st_size, before.st_size);
        break;
    }
    case Intrusion::ModeChanged:
        expected = old;
        QVERIFY(::chmod(native.constData(), 0600) == 0);
        break;
    case Intrusion::ReplacedByRename:
        expected = "someone else's\n";
        QVERIFY(writeBytes(path + QStringLiteral(".new"), expected));
        QVERIFY(::rename(QFile::encodeName(path + QStringLiteral(".new")).constData(),
                    native.constData())
            == 0);
        break;
    case Intrusion::SwappedForLink:
        expected = "root only\n";
        QVERIFY(::unlink(native.constData()) == 0);
        QVERIFY(::symlink(QFile::encodeName(secret).constData(), native.constData()) == 0);
        break;
    case Intrusion::SwappedForFifo:
        QVERIFY(::unlink(native.constData()) == 0);
        QVERIFY(::mkfifo(native.constData(), 0666) == 0);
        break;
    case Intrusion::Deleted:
        QVERIFY(::unlink(native.constData()) == 0);
        break;
    }
    if (inPlace)
        lock = std::make_unique<ImmutableFolder>(folder);

    QCOMPARE(file.commit(), Reason::ChangedDuringRun);
    lock.reset();

    const struct stat now = statOf(path);
    switch (intrusion) {
    case Intrusion::SwappedForLink:
        QVERIFY(S_ISLNK(now.st_mode));
        QCOMPARE(readBytes(secret), expected);
        QCOMPARE(statOf(secret).st_mode & 07777, mode_t(0600));
        break;
    case Intrusion::SwappedForFifo:
        QVERIFY(S_ISFIFO(now.st_mode));
        break;
    case Intrusion::Deleted:
        QVERIFY(!QFileInfo::exists(path));
        break;
    case Intrusion::ModeChanged:
        QCOMPARE(now.st_mode & 07777, mode_t(0600));
        QCOMPARE(readBytes(path), expected);
        break;
    default:
        QCOMPARE(readBytes(path), expected);
    }
    QCOMPARE(hiddenEntries(folder), QStringList());
    QVERIFY(journal.finish());
    JournalRun last;
    QVERIFY(Journal::lastRun(&last) && Journal::reread(&last));
    QCOMPARE(last.records.size(), 1);
    QVERIFY2(last.records.first().abandoned, "the journal no longer counts the file");
}

void TestSafeFile::writesInPlaceWhereTheFolderTakesNoNewFile_data()
{
    QTest::addColumn<QByteArray>("replacement");

    QTest::newRow("a longer text grows the file") << QByteArray("第一行\n第二行，更长的一行\n");
    QTest::newRow("a shorter text is cut to length") << QByteArray("短\n");
    QTest::newRow("an empty text empties the file") << QByteArray();
}

void TestSafeFile::writesInPlaceWhereTheFolderTakesNoNewFile()
{
    QFETCH(QByteArray, replacement);

    const QString folder = freshFolder();
    const QString path = folder + QStringLiteral("/字幕.srt");
    QVERIFY(writeBytes(path, "第一行\n第二行\n"));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);
    const struct stat before = statOf(path);
    ImmutableFolder lock(folder);
    if (!lock.isSet())
        QSKIP("chattr +i is not supported here");

    for (Journal *journal : {static_cast<Journal *>(nullptr), new Journal}) {
        std::unique_ptr<Journal> owner(journal);
        if (journal)
            QVERIFY(journal->start());
        lock.release();
        QVERIFY(writeBytes(path, "第一行\n第二行\n"));
        ImmutableFolder relock(folder);
        QVERIFY(relock.isSet());
        QCOMPARE(rewrite(path, replacement, journal), Reason::None);
        QCOMPARE(readBytes(path), replacement);
        const struct stat after = statOf(path);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(hiddenEntries(folder), QStringList());
    }
}

void TestSafeFile::fullDiskLeavesTheFileUntouched()
{
    SmallDisk disk(m_dir.filePath(QStringLiteral("tiny")), "64k");
    if (!disk.isMounted())
        QSKIP("Cannot mount a small tmpfs here (needs root)");
    const QString path = disk.path() + QStringLiteral("/big.txt");
    const QByteArray original(20 * 1024, 'o');
    QVERIFY(writeBytes(path, original));
    QFile filler(disk.path() + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    filler.write(QByteArray(30 * 1024, 'f'));
    filler.close();

    Journal journal;
    QVERIFY(journal.start());
    QCOMPARE(rewrite(path, QByteArray(40 * 1024, 'n'), &journal), Reason::WriteFailed);
    QCOMPARE(readBytes(path), original);
    QCOMPARE(hiddenEntries(disk.path()), QStringList());
    QVERIFY(journal.finish());
    JournalRun last;
    QVERIFY(Journal::lastRun(&last) && Journal::reread(&last));
    QVERIFY(last.finished);
    QVERIFY(std::all_of(last.records.cbegin(), last.records.cend(),
        [](const JournalRecord &record) { return record.abandoned; }));
}

void TestSafeFile::anotherUser_data()
{
    QTest::addColumn<bool>("folderIsNobodys");
    QTest::addColumn<uint>("fileOwner");
    QTest::addColumn<int>("fileMode");
    QTest::addColumn<bool>("smallDisk");
    QTest::addColumn<Reason>("expected");
    QTest::addColumn<bool>("inPlace");

    QTest::newRow("nobody's own file in root's folder is written in place and stays nobody's")
        << false << uint(Nobody) << 0644 << false << Reason::None << true;
    QTest::newRow("nobody's file in nobody's folder is replaced and stays nobody's")
        << true << uint(Nobody) << 0640 << false << Reason::None << false;
    QTest::newRow(
        "root's group-writable file in nobody's folder is written in place and stays root's")
        << true << 0u << 0664 << false << Reason::None << true;
    QTest::newRow("root's 0644 file in nobody's folder is refused as read-only, not taken over")
        << true << 0u << 0644 << false << Reason::ReadOnly << true;
    QTest::newRow("root's file that nobody may not write is refused")
        << false << 0u << 0644 << false << Reason::FolderNotWritable << true;
    QTest::newRow("a full disk leaves nobody's file in root's folder untouched")
        << false << uint(Nobody) << 0644 << true << Reason::WriteFailed << true;
}

void TestSafeFile::anotherUser()
{
    QFETCH(bool, folderIsNobodys);
    QFETCH(uint, fileOwner);
    QFETCH(int, fileMode);
    QFETCH(bool, smallDisk);
    QFETCH(Reason, expected);
    QFETCH(bool, inPlace);

    QString why;
    if (!canRunAsNobody(&why))
        QSKIP(qPrintable(why));
    std::unique_ptr<SmallDisk> disk;
    QString folder = freshFolder();
    if (smallDisk) {
        disk = std::make_unique<SmallDisk>(folder + QStringLiteral("/tiny"), "64k");
        if (!disk->isMounted())
            QSKIP("Cannot mount a small tmpfs here (needs root)");
        folder = disk->path();
        ::chmod(QFile::encodeName(folder).constData(), 0755);
    }
    if (folderIsNobodys)
        QVERIFY(::chown(QFile::encodeName(folder).constData(), Nobody, NoGroup) == 0);
    const QString path = folder + QStringLiteral("/notes.txt");
    const QByteArray original = smallDisk ? QByteArray(20 * 1024, 'o') : QByteArray("原文\n");
    QVERIFY(writeBytes(path, original));
    QVERIFY(::chown(QFile::encodeName(path).constData(), fileOwner, NoGroup) == 0);
    QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(fileMode)) == 0);
    if (smallDisk)
        QVERIFY(writeBytes(folder + QStringLiteral("/filler"), QByteArray(30 * 1024, 'f')));
    const struct stat before = statOf(path);
    const QByteArray appended = smallDisk ? QByteArray(20 * 1024, 'n') : QByteArray("追加\n");

    const HelperResult result
        = runHelperAsNobody({QStringLiteral("rewrite"), QString::fromUtf8(appended), path});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.reason, expected);

    const struct stat after = statOf(path);
    QCOMPARE(readBytes(path), expected == Reason::None ? original + appended : original);
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
    QCOMPARE(after.st_mode, before.st_mode);
    if (expected == Reason::None) {
        QCOMPARE(after.st_ino == before.st_ino, inPlace);
    } else {
        QVERIFY2(after.st_mtim.tv_sec == before.st_mtim.tv_sec
                && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec,
            "a refused file is not even written to and put back");
    }
    QCOMPARE(hiddenEntries(folder), QStringList());
}

void TestSafeFile::batchSyncCommitsEveryFile()
{
    SmallDisk disk(m_dir.filePath(QStringLiteral("batch-disk")), "1m");
    if (!disk.isMounted())
        QSKIP("Cannot mount a small tmpfs here (needs root)");
    const QString folder = freshFolder();
    QStringList paths;
    for (int i = 0; i < 12; ++i) {
        paths.append((i % 4 == 0 ? disk.path() : folder) + QStringLiteral("/%1.txt").arg(i));
        QVERIFY(writeBytes(paths.last(), QByteArray::number(i)));
    }
    Journal journal;
    QVERIFY(journal.start());
    std::vector<std::unique_ptr<SafeFile>> files;
    QVector<SafeFile *> staged;
    for (const QString &path : qAsConst(paths)) {
        files.push_back(std::make_unique<SafeFile>());
        QByteArray bytes;
        QCOMPARE(files.back()->open(path), Reason::None);
        QCOMPARE(files.back()->readAll(&bytes), Reason::None);
        bytes += "-new";
        QCOMPARE(files.back()->write(bytes.constData(), bytes.size()), Reason::None);
        QCOMPARE(files.back()->stage(&journal), Reason::None);
        staged.append(files.back().get());
    }
    QCOMPARE(SafeFile::syncStaged(staged, &journal), Reason::None);
    for (SafeFile *file : qAsConst(staged))
        QCOMPARE(file->commit(SafeFile::Sync::AlreadyDone), Reason::None);
    QVERIFY(journal.finish());
    for (int i = 0; i < paths.size(); ++i)
        QCOMPARE(readBytes(paths.at(i)), QByteArray::number(i) + "-new");
    JournalRun last;
    QVERIFY(Journal::lastRun(&last) && Journal::reread(&last));
    QCOMPARE(last.records.size(), paths.size());
}

void TestSafeFile::abandonedRewriteLeavesNothingBehind()
{
    const QString folder = freshFolder();
    const QString path = folder + QStringLiteral("/keep.txt");
    QVERIFY(writeBytes(path, "old\n"));
    Journal journal;
    QVERIFY(journal.start());
    {
        SafeFile file;
        QByteArray bytes;
        QCOMPARE(file.open(path), Reason::None);
        QCOMPARE(file.readAll(&bytes), Reason::None);
        QCOMPARE(file.write("new\n", 4), Reason::None);
        QCOMPARE(file.stage(&journal), Reason::None);
    }
    QCOMPARE(readBytes(path), QByteArray("old\n"));
    QCOMPARE(statOf(path).st_nlink, nlink_t(1));
    QCOMPARE(hiddenEntries(folder), QStringList());
    QStringList kept;
    for (QDirIterator it(journal.folder(), QDir::Files, QDirIterator::Subdirectories);
         it.hasNext();)
        kept.append(QFileInfo(it.next()).fileName());
    QCOMPARE(kept, QStringList {QStringLiteral("manifest")});
}

void TestSafeFile::longNamesStillGetATempFile_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("a name of 255 bytes") << QString(255, QLatin1Char('n'));
    QTest::newRow("a name of 84 Chinese characters, 252 bytes") << QString(84, QChar(0x6587));
    QTest::newRow("a short name that ends in a Chinese character") << QStringLiteral("说明");
}

void TestSafeFile::longNamesStillGetATempFile()
{
    QFETCH(QString, name);

    const QString folder = freshFolder();
    const QString path = folder + QLatin1Char('/') + name;
    QVERIFY(writeBytes(path, "old"));
    QCOMPARE(rewrite(path, "new"), Reason::None);
    QCOMPARE(readBytes(path), QByteArray("new"));
    QCOMPARE(hiddenEntries(folder), QStringList());
}

void TestSafeFile::followsAListedLinkOnce()
{
    const QString folder = freshFolder();
    const QString target = folder + QStringLiteral("/real/target.txt");
    const QString link = folder + QStringLiteral("/link.txt");
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/real")));
    QVERIFY(writeBytes(target, "old"));
    QVERIFY(::symlink("real/target.txt", QFile::encodeName(link).constData()) == 0);

    SafeFile file;
    QCOMPARE(file.open(link), Reason::None);
    QCOMPARE(file.nativePath(), QFile::encodeName(QFileInfo(target).canonicalFilePath()));
    QCOMPARE(file.identity().inode, quint64(statOf(target).st_ino));
    QByteArray bytes;
    QCOMPARE(file.readAll(&bytes), Reason::None);
    QCOMPARE(file.write("new", 3), Reason::None);
    QCOMPARE(file.stage(nullptr), Reason::None);
    QCOMPARE(file.commit(), Reason::None);
    QVERIFY(S_ISLNK(statOf(link).st_mode));
    QCOMPARE(readBytes(target), QByteArray("new"));
    QCOMPARE(hiddenEntries(folder + QStringLiteral("/real")), QStringList());
}

void TestSafeFile::everyLinkOfAChainMustBeTrusted_data()
{
    QTest::addColumn<uint>("firstOwner");
    QTest::addColumn<uint>("secondOwner");
    QTest::addColumn<uint>("fileOwner");
    QTest::addColumn<Reason>("expected");

    QTest::newRow("root's link to nobody's link to root's file is refused")
        << 0u << uint(Nobody) << 0u << Reason::UntrustedLink;
    QTest::newRow("nobody's link to root's link to root's file is refused")
        << uint(Nobody) << 0u << 0u << Reason::UntrustedLink;
    QTest::newRow("nobody's links to nobody's file are followed")
        << uint(Nobody) << uint(Nobody) << uint(Nobody) << Reason::None;
}

// Run by root: a link that is not root's is trusted only where it leads to its owner's file.
void TestSafeFile::everyLinkOfAChainMustBeTrusted()
{
    QFETCH(uint, firstOwner);
    QFETCH(uint, secondOwner);
    QFETCH(uint, fileOwner);
    QFETCH(Reason, expected);
    if (::geteuid() != 0)
        QSKIP("Only root can give links away");

    const QString folder = freshFolder();
    const QByteArray file = QFile::encodeName(folder + QStringLiteral("/file.txt"));
    const QByteArray second = QFile::encodeName(folder + QStringLiteral("/second"));
    const QByteArray first = QFile::encodeName(folder + QStringLiteral("/first.txt"));
    QVERIFY(writeBytes(QFile::decodeName(file), "old"));
    QVERIFY(::chown(file.constData(), fileOwner, NoGroup) == 0);
    QVERIFY(::symlink("file.txt", second.constData()) == 0);
    QVERIFY(::lchown(second.constData(), secondOwner, NoGroup) == 0);
    QVERIFY(::symlink(second.constData(), first.constData()) == 0);
    QVERIFY(::lchown(first.constData(), firstOwner, NoGroup) == 0);

    SafeFile safe;
    QCOMPARE(safe.open(QFile::decodeName(first)), expected);
    if (expected == Reason::None)
        QCOMPARE(safe.identity().inode, quint64(statOf(QFile::decodeName(file)).st_ino));
}

QTEST_GUILESS_MAIN(TestSafeFile)

#include "tst_safefile.moc"
