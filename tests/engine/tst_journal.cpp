#include "engine/durable/journal.h"

#include "engine/durable/safefile.h"
#include "engine/durable/undo.h"
#include "files/tempnames.h"
#include "safewritetestutil.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <condition_variable>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testutil;

namespace {

Reason rewrite(const QString &path, const QByteArray &append, Journal *journal)
{
    SafeFile file;
    QByteArray bytes;
    Reason reason = file.open(path);
    if (reason == Reason::None)
        reason = file.readAll(&bytes);
    bytes += append;
    if (reason == Reason::None)
        reason = file.write(bytes.constData(), bytes.size());
    if (reason == Reason::None)
        reason = file.stage(journal);
    if (reason == Reason::None)
        reason = file.commit();
    return reason;
}

// One run over paths with its own journal, finished.
bool runOver(const QStringList &paths, const QByteArray &append, qint64 cap = -1,
    int *notKept = nullptr, int runsKept = Journal::DefaultRunsKept)
{
    Journal journal(cap);
    journal.setRunsKept(runsKept);
    if (!journal.start())
        return false;
    for (const QString &path : paths) {
        if (rewrite(path, append, &journal) != Reason::None)
            return false;
    }
    if (notKept)
        *notKept = journal.notKept();
    return journal.finish();
}

// What undo must give back of a file.
struct Snapshot
{
    QByteArray bytes;
    struct stat st;
    QByteArray acl;
    QByteArray attributes;

    static Snapshot of(const QString &path)
    {
        return {readBytes(path), statOf(path), aclListing(path), attributeListing(path)};
    }
};

// The bytes the journal's originals take on disk, manifests left out.
qint64 originalsOnDisk()
{
    qint64 total = 0;
    for (QDirIterator it(
             Journal::location(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();) {
        it.next();
        if (it.fileName() != QLatin1String("manifest") && it.fileName() != QLatin1String("summary"))
            total += it.fileInfo().size();
    }
    return total;
}

JournalRecord::Kept keptKind(const QString &name)
{
    if (name == QLatin1String("copy"))
        return JournalRecord::Kept::Copy;
    if (name == QLatin1String("in place"))
        return JournalRecord::Kept::InPlace;
    return JournalRecord::Kept::Link;
}

} // namespace

Q_DECLARE_METATYPE(Reason)

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void undoRestores_data();
    void undoRestores();
    void undoLeavesChangedAndMissingFilesAlone();
    void secondUndoDoesNothing();
    void nothingToUndo_data();
    void nothingToUndo();
    void aNewRunDeletesTheLastJournal();
    void aJournalLetGoDoesNotWaitForTheSweep();
    void killedRunIsUndoneByteForByte();
    void killedInPlaceWriteIsRestored();
    void estimate_data();
    void estimate();
    void filesPastTheCapAreReplacedWithoutUndo();
    void fullJournalDisk_data();
    void fullJournalDisk();
    void poolThreadsShareOneJournal();
    void pathsAreKeptAsRawBytes();
    void runsAreOrderedByTheirManifestNotTheirNames();
    void aRunThatEndedWhileAnotherWasStartingKeepsItsJournal();
    void undoLeavesAFileWhoseFolderWasReplaced();
    void undoOnAFullDiskKeepsTheFileAndItsJournal();
    void aFirstVersionJournalStaysUndoable();
    void historyKeepsTheNewestRuns_data();
    void historyKeepsTheNewestRuns();
    void undoingAnOlderRun_data();
    void undoingAnOlderRun();
    void aRepairedFileEditedSinceIsLeftAlone();
    void runsAreOrderedByTheirStartTime();
    void runsAreListedFromTheirSummary_data();
    void runsAreListedFromTheirSummary();

private:
    QString freshFolder();
    QTemporaryDir m_dir;
    int m_folders = 0;
    std::unique_ptr<SmallDisk> m_otherDisk;
};

void TestJournal::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QCoreApplication::setApplicationName(QStringLiteral("yihuan"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("data"))));
    m_otherDisk = std::make_unique<SmallDisk>(m_dir.filePath(QStringLiteral("other")), "8m");
    if (!m_otherDisk->isMounted())
        m_otherDisk.reset();
}

void TestJournal::init()
{
    // Each test starts with no journal at all.
    QDir(Journal::location()).removeRecursively();
}

QString TestJournal::freshFolder()
{
    const QString folder = m_dir.filePath(QStringLiteral("f%1").arg(++m_folders));
    QDir().mkpath(folder);
    return folder;
}

void TestJournal::undoRestores_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("kept");
    QTest::addColumn<bool>("metadata");
    QTest::addColumn<bool>("hardLinked");

    QTest::newRow("a file on the journal's file system comes back as its own inode")
        << "same"
        << "link" << false << false;
    QTest::newRow("mode, owner, ACL and attributes come back with the linked inode")
        << "same"
        << "link" << true << false;
    QTest::newRow("a file on another file system comes back from a copy")
        << "other"
        << "copy" << false << false;
    QTest::newRow("mode, owner, ACL and attributes come back from a copy")
        << "other"
        << "copy" << true << false;
    QTest::newRow("a file with a second hard link is copied, and the link is left alone")
        << "same"
        << "copy" << false << true;
    QTest::newRow("a file in a folder that takes no new file comes back in place")
        << "locked"
        << "in place" << true << false;
}

void TestJournal::undoRestores()
{
    QFETCH(QString, where);
    QFETCH(QString, kept);
    QFETCH(bool, metadata);
    QFETCH(bool, hardLinked);

    QString folder = freshFolder();
    if (where == QLatin1String("other")) {
        if (!m_otherDisk)
            QSKIP("Cannot mount a tmpfs here (needs root)");
        folder = m_otherDisk->path() + QStringLiteral("/f%1").arg(m_folders);
        QVERIFY(QDir().mkpath(folder));
    }
    const QString path = folder + QStringLiteral("/表格 导出.csv");
    const QByteArray native = QFile::encodeName(path);
    QVERIFY(writeBytes(path, "名称,数量\n苹果,3\n"));
    if (hardLinked)
        QVERIFY(::link(native.constData(),
                    QFile::encodeName(folder + QStringLiteral("/second")).constData())
            == 0);
    if (metadata) {
        QVERIFY(::chown(native.constData(), Nobody, NoGroup) == 0);
        QVERIFY(::chmod(native.constData(), 0640) == 0);
        if (run(QStringLiteral("setfacl"),
                {QStringLiteral("-m"), QStringLiteral("u:daemon:rw"), path})
                != 0
            || run(QStringLiteral("setfattr"),
                   {QStringLiteral("-n"), QStringLiteral("user.来源"), QStringLiteral("-v"),
                       QStringLiteral("导出"), path})
                != 0)
            QSKIP("This file system takes no ACL or user attributes");
    }
    const Snapshot before = Snapshot::of(path);
    std::unique_ptr<ImmutableFolder> lock;
    if (where == QLatin1String("locked")) {
        lock = std::make_unique<ImmutableFolder>(folder);
        if (!lock->isSet())
            QSKIP("chattr +i is not supported here");
    }

    QVERIFY(runOver({path}, "香蕉,5\n"));
    QCOMPARE(readBytes(path), before.bytes + "香蕉,5\n");
    JournalRun last;
    QVERIFY(Journal::lastRun(&last) && Journal::reread(&last));
    QVERIFY(last.finished);
    QCOMPARE(last.records.size(), 1);
    QCOMPARE(int(last.records.first().kept), int(keptKind(kept)));
    QCOMPARE(last.records.first().path, native);

    const UndoResult result = undoLastRun();
    QVERIFY(!result.nothingToUndo);
    QVERIFY(!result.runWasInterrupted);
    QCOMPARE(result.restored, 1);
    QCOMPARE(result.files.size(), 1);
    QCOMPARE(result.files.first().path, path);
    QCOMPARE(result.files.first().outcome, UndoResult::Outcome::Restored);

    const Snapshot after = Snapshot::of(path);
    QCOMPARE(after.bytes, before.bytes);
    QCOMPARE(after.st.st_mode, before.st.st_mode);
    QCOMPARE(after.st.st_uid, before.st.st_uid);
    QCOMPARE(after.st.st_gid, before.st.st_gid);
    QCOMPARE(after.acl, before.acl);
    QCOMPARE(after.attributes, before.attributes);
    if (kept != QLatin1String("copy"))
        QCOMPARE(after.st.st_ino, before.st.st_ino);
    if (hardLinked)
        QCOMPARE(readBytes(folder + QStringLiteral("/second")), before.bytes);
    QCOMPARE(hiddenEntries(folder), QStringList());
}

void TestJournal::undoLeavesChangedAndMissingFilesAlone()
{
    const QString folder = freshFolder();
    const QStringList paths {folder + QStringLiteral("/a"), folder + QStringLiteral("/b"),
        folder + QStringLiteral("/c")};
    for (const QString &path : paths)
        QVERIFY(writeBytes(path, "old\n"));
    QVERIFY(runOver(paths, "run\n"));
    QVERIFY(writeBytes(paths.at(1), "edited after the run\n"));
    QVERIFY(QFile::remove(paths.at(2)));

    const UndoResult result = undoLastRun();
    QCOMPARE(result.restored, 1);
    QCOMPARE(result.changedSince, 1);
    QCOMPARE(result.missing, 1);
    QCOMPARE(result.failed, 0);
    QCOMPARE(readBytes(paths.at(0)), QByteArray("old\n"));
    QCOMPARE(readBytes(paths.at(1)), QByteArray("edited after the run\n"));
    QVERIFY(!QFileInfo::exists(paths.at(2)));
    QCOMPARE(result.files.at(1).outcome, UndoResult::Outcome::ChangedSince);
    QCOMPARE(result.files.at(2).outcome, UndoResult::Outcome::Missing);
}

void TestJournal::secondUndoDoesNothing()
{
    const QString path = freshFolder() + QStringLiteral("/once.txt");
    QVERIFY(writeBytes(path, "v1"));
    QVERIFY(runOver({path}, "+v2"));
    QCOMPARE(undoLastRun().restored, 1);
    QVERIFY(writeBytes(path, "v1+v2"));

    const UndoResult second = undoLastRun();
    QVERIFY(second.nothingToUndo);
    QCOMPARE(second.files.size(), 0);
    QCOMPARE(readBytes(path), QByteArray("v1+v2"));
}

void TestJournal::nothingToUndo_data()
{
    QTest::addColumn<QString>("before");

    QTest::newRow("there was never a run") << "none";
    QTest::newRow("the last run replaced no file") << "refused";
    QTest::newRow("the last run is still going on") << "running";
    QTest::newRow("the last run went without a journal") << "without";
}

void TestJournal::nothingToUndo()
{
    QFETCH(QString, before);

    const QString path = freshFolder() + QStringLiteral("/ro.txt");
    QVERIFY(writeBytes(path, "read-only"));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0444) == 0);
    std::unique_ptr<Journal> running;
    if (before == QLatin1String("refused")) {
        Journal journal;
        QVERIFY(journal.start());
        QCOMPARE(rewrite(path, "x", &journal), Reason::ReadOnly);
        QVERIFY(journal.finish());
    } else if (before == QLatin1String("running")) {
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
        running = std::make_unique<Journal>();
        QVERIFY(running->start());
        QCOMPARE(rewrite(path, "x", running.get()), Reason::None);
    } else if (before == QLatin1String("without")) {
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
        QVERIFY(runOver({path}, "journaled"));
        Journal::discardLastRun();
        QCOMPARE(rewrite(path, "+unjournaled", nullptr), Reason::None);
    }
    const QByteArray content = readBytes(path);

    QVERIFY(undoLastRun().nothingToUndo);
    QVERIFY(!Journal::lastRunInterrupted());
    QCOMPARE(readBytes(path), content);
}

// A window lets its finished run go as the next one begins: its thread must not wait
// there while the originals set aside are deleted.
void TestJournal::aJournalLetGoDoesNotWaitForTheSweep()
{
    const QString folder = freshFolder();
    QVERIFY(writeBytes(folder + QStringLiteral("/first"), "1"));
    QVERIFY(writeBytes(folder + QStringLiteral("/second"), "2"));
    QVERIFY(runOver({folder + QStringLiteral("/first")}, "a", -1, nullptr, 1));
    Journal::waitForSweep();
    testutil::PausePoint pause("sweep");
    QVERIFY(pause.isValid());
    pause.setInThisProcess(true);
    std::mutex mutex;
    std::condition_variable letGo;
    bool returned = false;
    bool reached = false;
    bool returnedWhileSwept = false;
    // Lets the sweep go on after a while should the run's end wait for it after all.
    std::thread sweepKeeper([&] {
        reached = pause.reached();
        std::unique_lock<std::mutex> lock(mutex);
        returnedWhileSwept
            = letGo.wait_for(lock, std::chrono::seconds(10), [&] { return returned; });
        pause.release();
    });
    const bool ran = runOver({folder + QStringLiteral("/second")}, "b", -1, nullptr, 1);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        returned = true;
    }
    letGo.notify_all();
    sweepKeeper.join();
    pause.setInThisProcess(false);
    QVERIFY(ran);
    QVERIFY(reached);
    QVERIFY(returnedWhileSwept);
    Journal::waitForSweep();
    QCOMPARE(QDir(Journal::location()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
}

void TestJournal::aNewRunDeletesTheLastJournal()
{
    const QString folder = freshFolder();
    const QString first = folder + QStringLiteral("/first");
    const QString second = folder + QStringLiteral("/second");
    QVERIFY(writeBytes(first, "1"));
    QVERIFY(writeBytes(second, "2"));
    QVERIFY(runOver({first}, "a", -1, nullptr, 1));
    QVERIFY(runOver({second}, "b", -1, nullptr, 1));
    Journal::waitForSweep();
    QCOMPARE(QDir(Journal::location()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);

    const UndoResult result = undoLastRun();
    QCOMPARE(result.restored, 1);
    QCOMPARE(readBytes(first), QByteArray("1a"));
    QCOMPARE(readBytes(second), QByteArray("2"));
}

void TestJournal::killedRunIsUndoneByteForByte()
{
    const QString folder = freshFolder();
    QStringList paths;
    QVector<QByteArray> originals;
    for (int i = 0; i < 400; ++i) {
        paths.append(folder + QStringLiteral("/%1.txt").arg(i, 3, 10, QLatin1Char('0')));
        originals.append(QByteArray(4096 + i * 37, char('a' + i % 26)));
        QVERIFY(writeBytes(paths.last(), originals.last()));
    }
    const QByteArray appended(3000, '+');
    QProcess helper;
    helper.start(QStringLiteral(YIHUAN_SAFEWRITE_HELPER),
        QStringList {QStringLiteral("rewrite"), QStringLiteral("--batch"), QStringLiteral("16"),
            QString::fromLatin1(appended)}
            + paths);
    QVERIFY(helper.waitForStarted());
    int reported = 0;
    while (reported < 100) {
        QVERIFY2(helper.waitForReadyRead(60000), "the helper reports its files");
        reported += helper.readAll().count('\n');
    }
    ::kill(pid_t(helper.processId()), SIGKILL);
    QVERIFY(helper.waitForFinished());
    QCOMPARE(helper.exitStatus(), QProcess::CrashExit);

    int replaced = 0;
    for (int i = 0; i < paths.size(); ++i) {
        const QByteArray now = readBytes(paths.at(i));
        QVERIFY2(now == originals.at(i) || now == originals.at(i) + appended,
            qPrintable(paths.at(i) + QStringLiteral(" is torn")));
        replaced += now != originals.at(i);
    }
    QVERIFY(replaced >= 100);
    for (const QString &left : hiddenEntries(folder))
        QVERIFY2(isTempFileName(left), qPrintable(left));
    QVERIFY(Journal::lastRunInterrupted());

    const UndoResult result = undoLastRun();
    QVERIFY(result.runWasInterrupted);
    QCOMPARE(result.failed, 0);
    QCOMPARE(result.restored, replaced);
    for (int i = 0; i < paths.size(); ++i)
        QVERIFY2(readBytes(paths.at(i)) == originals.at(i), qPrintable(paths.at(i)));
    QCOMPARE(hiddenEntries(folder), QStringList());
    QVERIFY(undoLastRun().nothingToUndo);
}

void TestJournal::killedInPlaceWriteIsRestored()
{
    const QString folder = freshFolder();
    const QString path = folder + QStringLiteral("/网页.html");
    const QByteArray original = QByteArray("<p>旧内容</p>\n").repeated(500);
    QVERIFY(writeBytes(path, original));
    const ino_t inode = statOf(path).st_ino;
    ImmutableFolder lock(folder);
    if (!lock.isSet())
        QSKIP("chattr +i is not supported here");

    QProcess helper;
    helper.start(QStringLiteral(YIHUAN_SAFEWRITE_HELPER),
        {QStringLiteral("tear"), QStringLiteral("<p>新</p>"), path});
    QVERIFY(helper.waitForFinished());
    QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
    QVERIFY2(readBytes(path) != original, "the helper tore the file before it died");
    QVERIFY(Journal::lastRunInterrupted());

    const UndoResult result = undoLastRun();
    QCOMPARE(result.restored, 1);
    QCOMPARE(readBytes(path), original);
    QCOMPARE(statOf(path).st_ino, inode);
}

void TestJournal::estimate_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<bool>("hardLinked");
    QTest::addColumn<int>("copies");

    QTest::newRow("a file on the journal's file system costs no copy") << "same" << false << 0;
    QTest::newRow("a file with a second hard link is copied") << "same" << true << 1;
    QTest::newRow("a file on another file system is copied") << "other" << false << 1;
}

void TestJournal::estimate()
{
    QFETCH(QString, where);
    QFETCH(bool, hardLinked);
    QFETCH(int, copies);

    QString folder = freshFolder();
    if (where == QLatin1String("other")) {
        if (!m_otherDisk)
            QSKIP("Cannot mount a tmpfs here (needs root)");
        folder = m_otherDisk->path() + QStringLiteral("/e%1").arg(m_folders);
        QVERIFY(QDir().mkpath(folder));
    }
    const QString path = folder + QStringLiteral("/f.txt");
    QVERIFY(writeBytes(path, QByteArray(1000, 'x')));
    if (hardLinked)
        QVERIFY(::link(QFile::encodeName(path).constData(),
                    QFile::encodeName(folder + QStringLiteral("/g.txt")).constData())
            == 0);
    const Journal::Cost cost = Journal::estimate({path, folder + QStringLiteral("/missing.txt")});
    QCOMPARE(cost.files, 1);
    QCOMPARE(cost.copies, copies);
    QCOMPARE(cost.copiedBytes, qint64(copies * 1000));
}

void TestJournal::filesPastTheCapAreReplacedWithoutUndo()
{
    if (!m_otherDisk)
        QSKIP("Cannot mount a tmpfs here (needs root)");
    const QString folder = m_otherDisk->path() + QStringLiteral("/cap");
    QVERIFY(QDir().mkpath(folder));
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        paths.append(folder + QStringLiteral("/%1").arg(i));
        QVERIFY(writeBytes(paths.last(), QByteArray(10000, char('0' + i))));
    }
    int notKept = 0;
    QVERIFY(runOver(paths, "!", 15000, &notKept));
    QCOMPARE(notKept, 2);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(readBytes(paths.at(i)), QByteArray(10000, char('0' + i)) + "!");

    const UndoResult result = undoLastRun();
    QCOMPARE(result.restored, 1);
    QCOMPARE(readBytes(paths.at(0)), QByteArray(10000, '0'));
}

void TestJournal::fullJournalDisk_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<Reason>("expected");

    QTest::newRow("a file that can be replaced is replaced, without undo") << false << Reason::None;
    QTest::newRow("a file that must be overwritten in place is left untouched")
        << true << Reason::WriteFailed;
}

void TestJournal::fullJournalDisk()
{
    QFETCH(bool, inPlace);
    QFETCH(Reason, expected);

    SmallDisk journalDisk(
        m_dir.filePath(QStringLiteral("journal-disk-%1").arg(++m_folders)), "64k");
    if (!journalDisk.isMounted())
        QSKIP("Cannot mount a small tmpfs here (needs root)");
    const QByteArray home = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(journalDisk.path()));
    struct Restore
    {
        QByteArray home;
        ~Restore() { qputenv("XDG_DATA_HOME", home); }
    } restore {home};

    const QString folder = freshFolder();
    const QString path = folder + QStringLiteral("/large.log");
    const QByteArray original(200 * 1024, 'L');
    QVERIFY(writeBytes(path, original));
    std::unique_ptr<ImmutableFolder> lock;
    if (inPlace) {
        lock = std::make_unique<ImmutableFolder>(folder);
        if (!lock->isSet())
            QSKIP("chattr +i is not supported here");
    }
    Journal journal;
    QVERIFY(journal.start());
    QCOMPARE(rewrite(path, "+", &journal), expected);
    QCOMPARE(journal.notKept(), inPlace ? 0 : 1);
    QVERIFY(journal.finish());
    lock.reset();

    QCOMPARE(readBytes(path), expected == Reason::None ? original + "+" : original);
    QCOMPARE(hiddenEntries(folder), QStringList());
    QVERIFY(undoLastRun().nothingToUndo);
}

void TestJournal::poolThreadsShareOneJournal()
{
    const QString folder = freshFolder();
    QStringList paths;
    for (int i = 0; i < 300; ++i) {
        const QString base = (m_otherDisk && i % 3 == 0) ? m_otherDisk->path() : folder;
        paths.append(base + QStringLiteral("/pool-%1").arg(i));
        QVERIFY(writeBytes(paths.last(), QByteArray::number(i)));
    }
    Journal journal;
    QVERIFY(journal.start());
    const std::function<Reason(const QString &)> rewriteOne = [&journal](const QString &path) {
        return rewrite(path, "-x", &journal);
    };
    const QList<Reason> reasons = QtConcurrent::blockingMapped<QList<Reason>>(paths, rewriteOne);
    QVERIFY(journal.finish());
    QVERIFY(
        std::all_of(reasons.cbegin(), reasons.cend(), [](Reason r) { return r == Reason::None; }));

    const UndoResult result = undoLastRun();
    QCOMPARE(result.restored, paths.size());
    for (int i = 0; i < paths.size(); ++i)
        QCOMPARE(readBytes(paths.at(i)), QByteArray::number(i));
}

void TestJournal::pathsAreKeptAsRawBytes()
{
    const QString folder = freshFolder();
    const QString path = folder + QStringLiteral("/a b\n换行.txt");
    QVERIFY(writeBytes(path, "x"));
    const QByteArray raw = QFile::encodeName(folder) + "/\xff\xfe not UTF-8";
    Journal journal;
    QVERIFY(journal.start());
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    QVERIFY(fd >= 0);
    struct stat st;
    QVERIFY(::fstat(fd, &st) == 0);
    const Journal::Kept kept
        = journal.keep(fd, st, raw, Digest::of("x", 1), Digest::of("y", 1), false);
    ::close(fd);
    QVERIFY(kept.entry >= 0);
    QCOMPARE(rewrite(path, "y", &journal), Reason::None);
    QVERIFY(journal.finish());

    JournalRun last;
    QVERIFY(Journal::lastRun(&last) && Journal::reread(&last));
    QCOMPARE(last.records.size(), 2);
    QCOMPARE(last.records.at(0).path, raw);
    QCOMPARE(last.records.at(1).path, QFile::encodeName(path));
    QCOMPARE(undoLastRun().restored, 1);
    QCOMPARE(readBytes(path), QByteArray("x"));
}

// Two runs at once keep two journals; their folders' names then say the opposite of
// their order.
void TestJournal::runsAreOrderedByTheirManifestNotTheirNames()
{
    const QString folder = freshFolder();
    const QString older = folder + QStringLiteral("/older");
    const QString newer = folder + QStringLiteral("/newer");
    QVERIFY(writeBytes(older, "1"));
    QVERIFY(writeBytes(newer, "2"));
    Journal first;
    QVERIFY(first.start());
    QCOMPARE(rewrite(older, "a", &first), Reason::None);
    Journal second;
    QVERIFY(second.start());
    QCOMPARE(rewrite(newer, "b", &second), Reason::None);
    QVERIFY(first.finish());
    QVERIFY(second.finish());
    QDir base(Journal::location());
    const QStringList names = base.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    QCOMPARE(names.size(), 2);
    QVERIFY(base.rename(names.at(0), QStringLiteral("swap")));
    QVERIFY(base.rename(names.at(1), names.at(0)));
    QVERIFY(base.rename(QStringLiteral("swap"), names.at(1)));

    QCOMPARE(undoLastRun().restored, 1);
    QCOMPARE(readBytes(newer), QByteArray("2"));
    QCOMPARE(readBytes(older), QByteArray("1a"));
    QCOMPARE(undoLastRun().restored, 1);
    QCOMPARE(readBytes(older), QByteArray("1"));
}

// Asked for together, the second run only gets to its journal once the first has ended.
void TestJournal::aRunThatEndedWhileAnotherWasStartingKeepsItsJournal()
{
    const QString folder = freshFolder();
    const QString first = folder + QStringLiteral("/first");
    const QString second = folder + QStringLiteral("/second");
    QVERIFY(writeBytes(first, "1"));
    QVERIFY(writeBytes(second, "2"));
    Journal late;
    late.setRequestedAt(QDateTime::currentMSecsSinceEpoch() - 1);
    QVERIFY(runOver({first}, "a"));
    QVERIFY(late.start());
    QCOMPARE(rewrite(second, "b", &late), Reason::None);
    QVERIFY(late.finish());

    QCOMPARE(undoLastRun().restored, 1);
    QCOMPARE(undoLastRun().restored, 1);
    QCOMPARE(readBytes(first), QByteArray("1"));
    QCOMPARE(readBytes(second), QByteArray("2"));
}

// The original is kept as a copy on the journal's disk; putting it back needs room beside
// the file, which a full disk does not have.
void TestJournal::undoOnAFullDiskKeepsTheFileAndItsJournal()
{
    SmallDisk disk(m_dir.filePath(QStringLiteral("full-disk-%1").arg(++m_folders)), "512k");
    if (!disk.isMounted())
        QSKIP("Cannot mount a small tmpfs here (needs root)");
    const QString path = disk.path() + QStringLiteral("/large.log");
    const QByteArray original(200 * 1024, 'L');
    QVERIFY(writeBytes(path, original));
    QVERIFY(runOver({path}, "+"));
    QFile filler(disk.path() + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    while (filler.write(QByteArray(4096, 'f')) == 4096 && filler.flush()) { }
    filler.close();

    const UndoResult full = undoLastRun();
    QCOMPARE(full.failed, 1);
    QCOMPARE(readBytes(path), original + "+");
    QCOMPARE(hiddenEntries(disk.path()), QStringList());

    QVERIFY(filler.remove());
    const UndoResult room = undoLastRun();
    QCOMPARE(room.restored, 1);
    QVERIFY(room.complete());
    QCOMPARE(readBytes(path), original);
}

void TestJournal::undoLeavesAFileWhoseFolderWasReplaced()
{
    const QString folder = freshFolder();
    const QString path = folder + QStringLiteral("/a.txt");
    QVERIFY(writeBytes(path, "old"));
    QVERIFY(runOver({path}, "+new"));
    QVERIFY(QDir().rename(folder, folder + QStringLiteral("-moved")));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeBytes(path, "old+new"));

    const UndoResult result = undoLastRun();
    QCOMPARE(result.restored, 0);
    QCOMPARE(result.changedSince, 1);
    QCOMPARE(readBytes(path), QByteArray("old+new"));
    QCOMPARE(readBytes(folder + QStringLiteral("-moved/a.txt")), QByteArray("old+new"));
}

void TestJournal::aFirstVersionJournalStaysUndoable()
{
    const QString path = freshFolder() + QStringLiteral("/v1.txt");
    QVERIFY(writeBytes(path, "before+after"));
    const struct stat st = statOf(path);
    const QString run = Journal::location() + QStringLiteral("/run-20240101-000000-000-1");
    QVERIFY(QDir().mkpath(run + QStringLiteral("/0")));
    QVERIFY(QFile::setPermissions(
        Journal::location(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QFile::setPermissions(run, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(writeBytes(run + QStringLiteral("/0/0"), "before"));
    const QByteArray record = "K 0 C " + QByteArray::number(quint64(st.st_dev)) + ' '
        + QByteArray::number(quint64(st.st_ino)) + " 6 644 " + QByteArray::number(st.st_uid) + ' '
        + QByteArray::number(st.st_gid) + ' ' + Digest::of("before", 6).toHex() + ' '
        + Digest::of("before+after", 12).toHex() + ' ' + QFile::encodeName(path).toBase64() + '\n';
    QVERIFY(writeBytes(run + QStringLiteral("/manifest"), "yihuan-journal 1\n" + record + "E\n"));

    const UndoResult result = undoLastRun();
    QCOMPARE(result.restored, 1);
    QCOMPARE(readBytes(path), QByteArray("before"));
}

void TestJournal::historyKeepsTheNewestRuns_data()
{
    QTest::addColumn<int>("runsKept");
    QTest::addColumn<qint64>("cap");
    QTest::addColumn<int>("runs");
    QTest::addColumn<int>("interrupted"); // the run killed before its end; -1 for none
    QTest::addColumn<int>("kept");

    QTest::newRow("ten runs by default: the eleventh drops the first")
        << Journal::DefaultRunsKept << qint64(-1) << 11 << -1 << 10;
    QTest::newRow("a history of three keeps the newest three of five")
        << 3 << qint64(-1) << 5 << -1 << 3;
    QTest::newRow("a history of one keeps only the last run") << 1 << qint64(-1) << 3 << -1 << 1;
    QTest::newRow("originals no live file uses count against the cap, the oldest go first")
        << 10 << qint64(25000) << 4 << -1 << 2;
    QTest::newRow("a run larger than the cap is still kept, alone")
        << 10 << qint64(5000) << 3 << -1 << 1;
    QTest::newRow("an interrupted run is one of the kept runs") << 3 << qint64(-1) << 4 << 2 << 3;
    QTest::newRow("an interrupted run goes like the others once it is old enough")
        << 2 << qint64(-1) << 4 << 0 << 2;
}

void TestJournal::historyKeepsTheNewestRuns()
{
    QFETCH(int, runsKept);
    QFETCH(qint64, cap);
    QFETCH(int, runs);
    QFETCH(int, interrupted);
    QFETCH(int, kept);

    const QString folder = freshFolder();
    QStringList paths;
    for (int i = 0; i < runs; ++i) {
        paths.append(folder + QStringLiteral("/%1.txt").arg(i));
        QVERIFY(writeBytes(paths.last(), QByteArray(10000, char('a' + i))));
        if (i == interrupted) {
            Journal journal(cap);
            journal.setRunsKept(runsKept);
            QVERIFY(journal.start());
            QCOMPARE(rewrite(paths.last(), "+", &journal), Reason::None);
            continue; // gone without finish(), as a killed run's
        }
        QVERIFY(runOver({paths.last()}, "+", cap, nullptr, runsKept));
    }

    const QVector<HistoryEntry> history = Journal::history();
    QCOMPARE(history.size(), kept);
    for (int k = 0; k < kept; ++k) {
        JournalRun run = history.at(k).run;
        QVERIFY(Journal::reread(&run));
        QCOMPARE(run.records.first().path, QFile::encodeName(paths.at(runs - 1 - k)));
        QCOMPARE(history.at(k).run.interrupted(), runs - 1 - k == interrupted);
        QCOMPARE(history.at(k).undoable, 1);
    }
    Journal::waitForSweep();
    QCOMPARE(originalsOnDisk(), qint64(kept) * 10000);
    if (cap >= 0 && kept > 1)
        QVERIFY(originalsOnDisk() <= cap);

    const std::atomic_bool never {false};
    QVERIFY(undoRunUntil(kept + 1, never).noSuchRun);
    const UndoResult oldest = undoRunUntil(kept, never);
    QCOMPARE(oldest.restored, 1);
    for (int i = 0; i < runs; ++i) {
        const bool restored = i == runs - kept;
        QCOMPARE(readBytes(paths.at(i)), QByteArray(10000, char('a' + i)) + (restored ? "" : "+"));
    }
}

void TestJournal::undoingAnOlderRun_data()
{
    QTest::addColumn<bool>("undoLaterFirst");

    QTest::newRow("a file the later run rewrote is left alone, and named") << false;
    QTest::newRow("once the later run is undone, its file comes back too") << true;
}

void TestJournal::undoingAnOlderRun()
{
    QFETCH(bool, undoLaterFirst);

    const QString folder = freshFolder();
    const QString a = folder + QStringLiteral("/a.txt");
    const QString b = folder + QStringLiteral("/b.txt");
    QVERIFY(writeBytes(a, "a"));
    QVERIFY(writeBytes(b, "b"));
    QVERIFY(runOver({a, b}, "1"));
    QVERIFY(runOver({b}, "2"));
    QCOMPARE(Journal::history().at(1).undoable, 1);

    const std::atomic_bool never {false};
    if (undoLaterFirst) {
        QCOMPARE(undoRunUntil(1, never).restored, 1);
        QCOMPARE(readBytes(b), QByteArray("b1"));
        QCOMPARE(Journal::history().at(1).undoable, 2);
    }
    const UndoResult older = undoRunUntil(2, never);
    QCOMPARE(readBytes(a), QByteArray("a"));
    QCOMPARE(older.restored, undoLaterFirst ? 2 : 1);
    QCOMPARE(older.changedSince, undoLaterFirst ? 0 : 1);
    QCOMPARE(readBytes(b), undoLaterFirst ? QByteArray("b") : QByteArray("b12"));
    if (!undoLaterFirst) {
        QCOMPARE(older.files.at(1).path, b);
        QCOMPARE(older.files.at(1).outcome, UndoResult::Outcome::ChangedSince);
    }
    // Both runs stay listed; plain undo still means the newest run only.
    const QVector<HistoryEntry> history = Journal::history();
    QCOMPARE(history.size(), 2);
    QVERIFY(history.at(1).run.undone);
    QCOMPARE(history.at(1).undoable, 0);
    QCOMPARE(undoLastRun().nothingToUndo, undoLaterFirst);
}

// Put back by recovery, the file is whole: an edit made after that is the user's, and
// neither the next recovery nor an undo may take it for a tear.
void TestJournal::aRepairedFileEditedSinceIsLeftAlone()
{
    const QString folder = freshFolder();
    const QString path = folder + QStringLiteral("/字幕.srt");
    const QByteArray original = QByteArray("1\n00:00:01,000 --> 00:00:02,000\n旧\n").repeated(300);
    QVERIFY(writeBytes(path, original));
    {
        ImmutableFolder lock(folder);
        if (!lock.isSet())
            QSKIP("chattr +i is not supported here");
        QProcess helper;
        helper.start(QStringLiteral(YIHUAN_SAFEWRITE_HELPER),
            {QStringLiteral("tear"), QStringLiteral("新"), path});
        QVERIFY(helper.waitForFinished());
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
    }
    QCOMPARE(recoverInterruptedRuns().repaired, QStringList {path});
    QCOMPARE(readBytes(path), original);

    QVERIFY(writeBytes(path, "edited by hand"));
    QCOMPARE(recoverInterruptedRuns().repaired, QStringList());
    QCOMPARE(readBytes(path), QByteArray("edited by hand"));
    const UndoResult result = undoLastRun();
    QCOMPARE(result.changedSince, 1);
    QCOMPARE(readBytes(path), QByteArray("edited by hand"));
}

void TestJournal::runsAreOrderedByTheirStartTime()
{
    const QString folder = freshFolder();
    const QString first = folder + QStringLiteral("/first");
    const QString second = folder + QStringLiteral("/second");
    QVERIFY(writeBytes(first, "1"));
    QVERIFY(writeBytes(second, "2"));
    QVERIFY(runOver({first}, "a"));
    QVERIFY(runOver({second}, "b"));
    // The first run's clock said later: its manifest's start wins over its sequence.
    const JournalRun older = Journal::history().at(1).run;
    const QString manifest = older.folder + QStringLiteral("/manifest");
    QByteArray text = readBytes(manifest);
    const int line = text.indexOf("\nS ") + 1;
    const QList<QByteArray> fields = text.mid(line, text.indexOf('\n', line) - line).split(' ');
    const QByteArray later = "S " + QByteArray::number(older.started + 60000) + ' ' + fields.at(2)
        + ' ' + fields.at(3);
    text.replace(line, text.indexOf('\n', line) - line, later);
    QVERIFY(writeBytes(manifest, text));

    QCOMPARE(Journal::history().first().run.folder, older.folder);
    QCOMPARE(undoLastRun().restored, 1);
    QCOMPARE(readBytes(first), QByteArray("1"));
    QCOMPARE(readBytes(second), QByteArray("2b"));
}

void TestJournal::runsAreListedFromTheirSummary_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("a finished run leaves the summary its manifest makes") << "finished";
    QTest::newRow("so does an undone run") << "undone";
    QTest::newRow("a full disk takes none") << "full";
    QTest::newRow("a disk made read-only takes none") << "read-only";
    QTest::newRow("a kill before it takes its name leaves none") << "killed";
}

// Listing runs reads the summary a run or its undo leaves, the one its manifest makes;
// without it, the manifest serves.
void TestJournal::runsAreListedFromTheirSummary()
{
    QFETCH(QString, how);
    const bool full = how == QLatin1String("full");
    const bool readOnly = how == QLatin1String("read-only");
    std::unique_ptr<SmallDisk> disk;
    if (full || readOnly) {
        disk = std::make_unique<SmallDisk>(Journal::location(), "64k,mode=0700");
        if (!disk->isMounted())
            QSKIP("Cannot mount a small tmpfs here (needs root)");
    }
    const QString path = freshFolder() + QStringLiteral("/a.txt");
    QVERIFY(writeBytes(path, "a"));
    if (how == QLatin1String("killed")) {
        PausePoint pause("summary-written");
        QVERIFY(pause.isValid());
        QProcess helper;
        helper.setProcessEnvironment(pause.environment(QProcessEnvironment::systemEnvironment()));
        helper.start(QStringLiteral(YIHUAN_SAFEWRITE_HELPER), {"rewrite", "+", path});
        QVERIFY(pause.reached());
        ::kill(pid_t(helper.processId()), SIGKILL);
        QVERIFY(helper.waitForFinished());
    } else {
        Journal journal;
        QVERIFY(journal.start());
        QCOMPARE(rewrite(path, "+", &journal), Reason::None);
        // The manifest's last page has room for its last lines; a new file has none.
        QFile filler(Journal::location() + QStringLiteral("/filler"));
        QVERIFY(!full || filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (full && filler.write(QByteArray(4096, 'f')) == 4096) { }
        QVERIFY(journal.finish());
    }
    if (how == QLatin1String("undone"))
        QCOMPARE(undoLastRun().restored, 1);
    const QStringList runs = QDir(Journal::location()).entryList({"run-*"}, QDir::Dirs);
    QCOMPARE(runs.size(), 1);
    const QString summary
        = Journal::location() + QLatin1Char('/') + runs.first() + QStringLiteral("/summary");
    const QByteArray left = readBytes(summary);
    QCOMPARE(QFile::remove(summary), !full && how != QLatin1String("killed"));
    if (readOnly)
        QCOMPARE(testutil::run("mount", {"-o", "remount,ro", disk->path()}), 0);
    const QVector<HistoryEntry> history = Journal::history();
    QCOMPARE(history.size(), 1);
    QVERIFY(!history.first().run.interrupted());
    QCOMPARE(history.first().written, 1);
    QCOMPARE(history.first().undoable, how == QLatin1String("undone") ? 0 : 1);
    if (!disk && how != QLatin1String("killed"))
        QCOMPARE(readBytes(summary), left);
}

QTEST_GUILESS_MAIN(TestJournal)

#include "tst_journal.moc"
