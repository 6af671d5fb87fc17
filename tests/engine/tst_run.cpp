#include "engine/filechoice.h"
#include "engine/run.h"
#include "files/dirscan.h"
#include "files/filenames.h"
#include "safewritetestutil.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

Job jobOf(const QStringList &paths, const ReplacePairs &pairs)
{
    Job job;
    for (const QString &path : paths)
        job.files.append({path, pairs});
    return job;
}

// Runs to the end, or for at most ten seconds.
bool runToEnd(ReplaceRun &run)
{
    QSignalSpy finished(&run, &ReplaceRun::finished);
    run.start();
    return run.isFinished() || finished.wait(10000);
}

} // namespace

Q_DECLARE_METATYPE(Reason)

class TestRun : public QObject
{
    Q_OBJECT

private slots:
    void outcomesCarryTheirReasons();
    void lostFilesAreReportedInsideStart();
    void progressIsToldAndFinishedOnce();
    void dryRunCountsWhatARunDoesAndWritesNothing_data();
    void dryRunCountsWhatARunDoesAndWritesNothing();
    void encodingTravelsWithTheRun();
    void multiByteFilesOnTheirBytes_data();
    void multiByteFilesOnTheirBytes();
    void ansiIsTheLocalesCharacterMap();
    void undecodableNamesFailWithoutTouchingLookalikes();
    void oneFileUnderManyNamesIsReplacedOnce();
    void aChangeUncheckedUnderAnyNameOfAFileStays();
    void modeTwoAppliesEachNamesPairsInTurn_data();
    void modeTwoAppliesEachNamesPairsInTurn();
    void eachFileKeepsItsOwnCounts_data();
    void eachFileKeepsItsOwnCounts();
    void cancelSkipsWhatIsNotYetWritten();
    void cancelAbandonsARunawayExpression();
    void workersGiveWayWhenAsked();

private:
    QTemporaryDir dir;
};

void TestRun::outcomesCarryTheirReasons()
{
    const QString good = dir.filePath(QStringLiteral("good.txt"));
    const QString binary = dir.filePath(QStringLiteral("binary.txt"));
    const QString readOnly = dir.filePath(QStringLiteral("readonly.txt"));
    const QString invalid = dir.filePath(QStringLiteral("gbk.txt"));
    writeBytes(good, "cat cat\n");
    writeBytes(binary, QByteArray("cat\0", 4));
    writeBytes(readOnly, "cat");
    QVERIFY(QFile::setPermissions(readOnly, QFile::ReadOwner));
    writeBytes(invalid, QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("中文")));

    ReplaceRun run(jobOf({good, binary, readOnly, invalid}, {{"cat", "dog"}}), RunOptions());
    QVERIFY(runToEnd(run));
    QCOMPARE(run.outcome(0).state, SUCCESS);
    QCOMPARE(run.outcome(0).counts, QVector<int> {2});
    QCOMPARE(run.outcome(1).reason, Reason::Binary);
    QCOMPARE(run.outcome(2).reason, Reason::ReadOnly);
    QCOMPARE(run.outcome(3).reason, Reason::InvalidEncoding);
    QCOMPARE(run.tally().success, 1);
    QCOMPARE(run.tally().fail, 3);
    QCOMPARE(run.tally().done, 4);
    QCOMPARE(readBytes(good), QByteArray("dog dog\r\n"));
    QCOMPARE(readBytes(readOnly), QByteArray("cat"));
}

void TestRun::lostFilesAreReportedInsideStart()
{
    const QString folder = dir.filePath(QStringLiteral("a folder"));
    QVERIFY(QDir().mkpath(folder));
    ReplaceRun run(
        jobOf({dir.filePath(QStringLiteral("missing.txt")), folder}, {{"a", "b"}}), RunOptions());
    QSignalSpy done(&run, &ReplaceRun::fileDone);
    QSignalSpy finished(&run, &ReplaceRun::finished);
    run.start();
    QCOMPARE(done.count(), 2);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(run.outcome(0).state, LOST);
    QCOMPARE(run.outcome(0).reason, Reason::NotFound);
    QCOMPARE(run.outcome(1).reason, Reason::NotRegular);
    QCOMPARE(run.tally().lost, 2);
}

void TestRun::progressIsToldAndFinishedOnce()
{
    QStringList paths;
    for (int i = 0; i < 200; ++i) {
        paths.append(dir.filePath(QStringLiteral("p%1.txt").arg(i)));
        writeBytes(paths.last(), "x\n");
    }
    ReplaceRun run(jobOf(paths, {{"x", "y"}}), RunOptions());
    QSignalSpy progressed(&run, &ReplaceRun::progressed);
    QSignalSpy finished(&run, &ReplaceRun::finished);
    QVector<int> reported(paths.size(), 0);
    connect(&run, &ReplaceRun::fileDone, this, [&](int index, STATE) { ++reported[index]; });
    QVERIFY(runToEnd(run));
    QCoreApplication::processEvents();
    QCOMPARE(reported, QVector<int>(paths.size(), 1));
    QCOMPARE(finished.count(), 1);
    // Coalesced, yet the last report is the final tally.
    QVERIFY(progressed.count() >= 1);
    QVERIFY(progressed.count() < paths.size());
    QCOMPARE(run.tally().success, paths.size());
}

void TestRun::dryRunCountsWhatARunDoesAndWritesNothing_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<bool>("keepText");
    QTest::newRow("a line, with the text it would write") << 1 << true;
    QTest::newRow("a file read a piece at a time") << 300000 << false;
}

void TestRun::dryRunCountsWhatARunDoesAndWritesNothing()
{
    QFETCH(int, lines);
    QFETCH(bool, keepText);
    const QString path = dir.filePath(QStringLiteral("dry.txt"));
    const QByteArray before = QByteArray("北京 北京市 上海\n").repeated(lines);
    writeBytes(path, before);
    const QDateTime modified = QFileInfo(path).lastModified();
    const ReplacePairs pairs {{"北京", "北京市"}, {"市市", "市"}, {"广州", "深圳"}};

    RunOptions dry;
    dry.settings.dryRun = true;
    dry.settings.keepText = keepText;
    ReplaceRun preview(jobOf({path}, pairs), dry);
    QVERIFY(runToEnd(preview));
    QCOMPARE(preview.outcome(0).state, SUCCESS);
    QCOMPARE(preview.outcome(0).counts, (QVector<int> {2 * lines, lines, 0}));
    QCOMPARE(readBytes(path), before);
    QCOMPARE(QFileInfo(path).lastModified(), modified);

    ReplaceRun real(jobOf({path}, pairs), RunOptions());
    QVERIFY(runToEnd(real));
    QCOMPARE(real.outcome(0).counts, preview.outcome(0).counts);
    if (keepText)
        QCOMPARE(QString::fromUtf8(readBytes(path)),
            QString(preview.outcome(0).text).replace(QLatin1Char('\n'), QLatin1String("\r\n")));
}

// A codec other than the system's must not reach file names: the run carries it.
void TestRun::encodingTravelsWithTheRun()
{
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    QTextCodec *locale = QTextCodec::codecForLocale();
    const QString path = dir.filePath(QStringLiteral("中文名.txt"));
    writeBytes(path, gbk->fromUnicode(QStringLiteral("批量替换")));
    RunOptions options;
    options.settings.encoding = *TextEncoding::fromName(QStringLiteral("GBK"));
    ReplaceRun run(jobOf({path}, {{"替换", "查找"}}), options);
    QVERIFY(runToEnd(run));
    QCOMPARE(run.outcome(0).state, SUCCESS);
    QCOMPARE(readBytes(path), gbk->fromUnicode(QStringLiteral("批量查找")));
    QCOMPARE(QTextCodec::codecForLocale(), locale);
}

// Files in a chosen double-byte code page are replaced on their bytes; what lands on disk
// is what the decoding route gives, failures included.
void TestRun::multiByteFilesOnTheirBytes_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<ReplacePairs>("pairs");
    QTest::addColumn<Reason>("reason");
    QTest::addColumn<QByteArray>("after");

    QTextCodec *gb18030 = QTextCodec::codecForName("GB18030");
    // "©" is 81 30 84 38: a digit second and last.
    QTest::newRow("digits inside a four-byte GB18030 character are not a match")
        << "GB18030" << gb18030->fromUnicode(QStringLiteral("©023\n"))
        << ReplacePairs {{"0", "X"}, {"8023", "年"}} << Reason::None
        << gb18030->fromUnicode(QStringLiteral("©X23\r\n"));
    QTest::newRow("invalid GBK fails before anything streams out")
        << "GBK" << QByteArray("\xD6\xD0 a\n\x81") << ReplacePairs {{"a", "b"}}
        << Reason::InvalidEncoding << QByteArray("\xD6\xD0 a\n\x81");
    QTest::newRow("a replacement Big5 cannot hold fails the file it would be written to")
        << "Big5" << QByteArray("\xA4\xA4\xA4\xE5") << ReplacePairs {{"中文", "替换"}}
        << Reason::Unencodable << QByteArray("\xA4\xA4\xA4\xE5");
    QTest::newRow("a byte-order mark still says UTF-8")
        << "GBK" << QByteArray("\xEF\xBB\xBF\xE4\xB8\xAD a") << ReplacePairs {{"a", "b"}}
        << Reason::None << QByteArray("\xD6\xD0 b");
}

void TestRun::multiByteFilesOnTheirBytes()
{
    QFETCH(QString, encoding);
    QFETCH(QByteArray, bytes);
    QFETCH(ReplacePairs, pairs);
    QFETCH(Reason, reason);
    QFETCH(QByteArray, after);

    const QString path = dir.filePath(QStringLiteral("multibyte.txt"));
    writeBytes(path, bytes);
    RunOptions options;
    options.settings.encoding = *TextEncoding::fromName(encoding);
    ReplaceRun run(jobOf({path}, pairs), options);
    QVERIFY(runToEnd(run));
    QCOMPARE(run.outcome(0).reason, reason);
    QCOMPARE(run.outcome(0).encoding.name(), options.settings.encoding.name());
    QCOMPARE(readBytes(path), after);
}

// Qt 5 says UTF-8 for a zh_CN.GBK locale; "ANSI" must still mean GBK there, while file
// names keep the encoding Qt gives them.
void TestRun::ansiIsTheLocalesCharacterMap()
{
    QTemporaryDir locales;
    const QString compiled = locales.filePath(QStringLiteral("zh_CN.GBK"));
    QProcess::execute(QStringLiteral("localedef"),
        {QStringLiteral("-i"), QStringLiteral("zh_CN"), QStringLiteral("-f"), QStringLiteral("GBK"),
            compiled});
    if (!QFileInfo(compiled).isDir())
        QSKIP("Cannot build a zh_CN.GBK locale here (needs localedef and Debian's locales)");
    const QByteArray oldPath = qgetenv("LOCPATH");
    const QByteArray oldAll = qgetenv("LC_ALL");
    qputenv("LOCPATH", locales.path().toLocal8Bit());
    qputenv("LC_ALL", "zh_CN.GBK");
    const TextEncoding ansi = TextEncoding::systemCodePage();
    qputenv("LOCPATH", oldPath);
    qputenv("LC_ALL", oldAll);
    QCOMPARE(ansi.name(), QStringLiteral("GBK"));

    const QString path = dir.filePath(QStringLiteral("系统编码.txt"));
    writeBytes(path, ansi.codec()->fromUnicode(QStringLiteral("旧文本")));
    RunOptions options;
    options.settings.encoding = ansi;
    ReplaceRun run(jobOf({path}, {{"旧", "新"}}), options);
    QVERIFY(runToEnd(run));
    QCOMPARE(run.outcome(0).state, SUCCESS);
    QCOMPARE(readBytes(path), ansi.codec()->fromUnicode(QStringLiteral("新文本")));
}

// A name the system encoding cannot hold reaches the run escaped; encoded, it would name
// the file spelled with U+FFFD, which must be left alone.
void TestRun::undecodableNamesFailWithoutTouchingLookalikes()
{
    const QByteArray raw = QFile::encodeName(dir.path()) + "/bad\xff.txt";
    const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "cat", 3), ssize_t(3));
    ::close(fd);
    const QString lookalike = dir.filePath(QStringLiteral("bad") + QChar(0xFFFD) + ".txt");
    writeBytes(lookalike, "cat");

    PathList scanned;
    scanTextFiles(dir.path(), scanned, true);
    QString escaped;
    for (const QString &path : scanned.paths()) {
        if (!isEncodableFileName(path))
            escaped = path;
    }
    QVERIFY(!escaped.isEmpty());
    ReplaceRun run(jobOf({escaped}, {{"cat", "dog"}}), RunOptions());
    QVERIFY(runToEnd(run));
    QCOMPARE(run.outcome(0).state, FAIL);
    QCOMPARE(run.outcome(0).reason, Reason::NameNotEncodable);
    QCOMPARE(readBytes(lookalike), QByteArray("cat"));
    ::unlink(raw.constData());
}

// A folder holding a file and links to it lists them all; mode one must not apply its
// pairs once per name (北京 → 北京市 twice gives 北京市市).
void TestRun::oneFileUnderManyNamesIsReplacedOnce()
{
    const QString path = dir.filePath(QStringLiteral("city.txt"));
    writeBytes(path, "北京");
    QStringList names {path};
    for (int i = 0; i < 6; ++i) {
        names.append(dir.filePath(QStringLiteral("link%1.txt").arg(i)));
        QFile::remove(names.last());
        QVERIFY(QFile::link(path, names.last()));
    }
    names.append(dir.filePath(QStringLiteral("hard.txt")));
    QFile::remove(names.last());
    QCOMPARE(
        ::link(QFile::encodeName(path).constData(), QFile::encodeName(names.last()).constData()),
        0);

    ReplaceRun run(jobOf(names, {{"北京", "北京市"}}), RunOptions());
    QVERIFY(runToEnd(run));
    QCOMPARE(readBytes(path), QByteArray("北京市"));
    QCOMPARE(run.tally().success, names.size());
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(run.outcome(i).counts, QVector<int> {1});
}

// The preview lists each name of one file with the same changes; mode one writes the
// file once, under its first name.
void TestRun::aChangeUncheckedUnderAnyNameOfAFileStays()
{
    const QString path = dir.filePath(QStringLiteral("named.txt"));
    writeBytes(path, "北京 北京");
    const QStringList names {path, dir.filePath(QStringLiteral("named-link.txt"))};
    QFile::remove(names.last());
    QVERIFY(QFile::link(path, names.last()));
    Job job = jobOf(names, {{"北京", "上海"}});
    RunOptions preview;
    preview.settings.dryRun = true;
    ReplaceRun dryRun(job, preview);
    QVERIFY(runToEnd(dryRun));
    for (int i = 0; i < names.size(); ++i) {
        auto choice = std::make_shared<FileChoice>();
        choice->read = dryRun.outcome(i).read;
        if (i == 1)
            choice->leftOut.push_back({3, 2, 3, 2});
        job.files[i].choice = choice;
    }
    ReplaceRun run(job, RunOptions());
    QVERIFY(runToEnd(run));
    QCOMPARE(readBytes(path), QByteArray("上海 北京"));
    QCOMPARE(run.tally().success, 2);
}

void TestRun::modeTwoAppliesEachNamesPairsInTurn_data()
{
    QTest::addColumn<bool>("fromPreview");
    QTest::newRow("a run as it is") << false;
    QTest::newRow("a run from the preview, which read the file before any name wrote it") << true;
}

// Mode two gives each name its own pairs on purpose: they apply one after another, in
// the order of the columns.
void TestRun::modeTwoAppliesEachNamesPairsInTurn()
{
    QFETCH(bool, fromPreview);
    const QString path = dir.filePath(QStringLiteral("shared.txt"));
    writeBytes(path, "x");
    Job job = buildModeTwoJob({{path, path + QStringLiteral(".a"), path + QStringLiteral(".b")},
                                  {{"x", "x1", "x2", "x3"}}},
        QStringLiteral("|"), false);
    for (const QString &suffix : {QStringLiteral(".a"), QStringLiteral(".b")}) {
        QFile::remove(path + suffix);
        QVERIFY(QFile::link(path, path + suffix));
    }
    // The later columns rewrite what the earlier ones wrote.
    job.files[1].pairs = {{"x1", "y"}};
    job.files[2].pairs = {{"y", "z"}};
    if (fromPreview) {
        RunOptions preview;
        preview.settings.dryRun = true;
        ReplaceRun dryRun(job, preview);
        QVERIFY(runToEnd(dryRun));
        for (int i = 0; i < job.files.size(); ++i) {
            auto choice = std::make_shared<FileChoice>();
            choice->read = dryRun.outcome(i).read;
            job.files[i].choice = choice;
        }
    }
    ReplaceRun run(job, RunOptions());
    QVERIFY(runToEnd(run));
    QCOMPARE(readBytes(path), QByteArray("z"));
    QCOMPARE(run.tally().success, 3);
}

using PairLists = QVector<ReplacePairs>;
using CountLists = QVector<QVector<int>>;

// The run keeps every file's counts in one block, each file's place sized by its own
// pair list; an empty list stands for a file that is not there.
void TestRun::eachFileKeepsItsOwnCounts_data()
{
    QTest::addColumn<PairLists>("pairs");
    QTest::addColumn<CountLists>("counts");
    const ReplacePair a {"a", "b"};
    const ReplacePair c {"c", "d"};
    const ReplacePair e {"e", "f"};
    QTest::newRow("every file with the same pairs")
        << PairLists {{a, c}, {a, c}, {a, c}} << CountLists {{2, 1}, {2, 1}, {2, 1}};
    QTest::newRow("lists of different lengths")
        << PairLists {{a}, {a, c, e}, {c, a}} << CountLists {{2}, {2, 1, 1}, {1, 2}};
    QTest::newRow("a longer list first, then a shorter")
        << PairLists {{e, c, a}, {e}} << CountLists {{1, 1, 2}, {1}};
    QTest::newRow("a missing file among them")
        << PairLists {{a, c}, {}, {e}} << CountLists {{2, 1}, {}, {1}};
}

void TestRun::eachFileKeepsItsOwnCounts()
{
    QFETCH(PairLists, pairs);
    QFETCH(CountLists, counts);
    Job job;
    for (int i = 0; i < pairs.size(); ++i) {
        const QString path = dir.filePath(QStringLiteral("counted%1.txt").arg(i));
        QFile::remove(path);
        if (pairs.at(i).isEmpty())
            job.files.append({path, {{"a", "b"}, {"c", "d"}}});
        else {
            writeBytes(path, "a c e a\n");
            job.files.append({path, pairs.at(i)});
        }
    }
    ReplaceRun run(job, RunOptions());
    QVERIFY(runToEnd(run));
    for (int i = 0; i < pairs.size(); ++i) {
        QCOMPARE(run.outcome(i).state, pairs.at(i).isEmpty() ? LOST : SUCCESS);
        QCOMPARE(run.outcome(i).counts, counts.at(i));
    }
}

void TestRun::cancelSkipsWhatIsNotYetWritten()
{
    QStringList paths;
    const QByteArray before = QByteArray("cat ").repeated(20000);
    for (int i = 0; i < 300; ++i) {
        paths.append(dir.filePath(QStringLiteral("c%1.txt").arg(i)));
        writeBytes(paths.last(), before);
    }
    ReplaceRun run(jobOf(paths, {{"cat", "dog"}}), RunOptions());
    QSignalSpy finished(&run, &ReplaceRun::finished);
    QSignalSpy done(&run, &ReplaceRun::fileDone);
    run.start();
    QVERIFY(done.wait(10000) || run.isFinished());
    run.cancel();
    QVERIFY(run.isFinished() || finished.wait(10000));
    QCOMPARE(finished.count(), 1);
    QVERIFY(run.wasCancelled());

    const QByteArray after = QByteArray("dog ").repeated(20000);
    int skipped = 0;
    for (int i = 0; i < paths.size(); ++i) {
        const FileOutcome &outcome = run.outcome(i);
        if (outcome.state == SKIPPED) {
            ++skipped;
            QCOMPARE(outcome.reason, Reason::Stopped);
            QCOMPARE(readBytes(paths.at(i)), before);
        } else {
            QCOMPARE(outcome.state, SUCCESS);
            QCOMPARE(readBytes(paths.at(i)), after);
        }
    }
    QVERIFY(skipped > 0);
    QCOMPARE(run.tally().skipped, skipped);
    QCOMPARE(run.tally().done, paths.size());
}

void TestRun::cancelAbandonsARunawayExpression()
{
    const QString path = dir.filePath(QStringLiteral("runaway.txt"));
    const QByteArray before = QByteArray(100000, 'a');
    writeBytes(path, before);
    RunOptions options;
    options.settings.match = MatchMode::RegularExpression;
    ReplaceRun run(jobOf({path}, {{"(?:a|aa)*\\d", "x"}}), options);
    QSignalSpy finished(&run, &ReplaceRun::finished);
    run.start();
    // The pattern needs the best part of a second to give up on its own; by then the
    // worker is deep in it, and the stop has to leave it there.
    QVERIFY(!finished.wait(50));
    run.cancel();
    QVERIFY(run.isFinished() || finished.wait(5000));
    QCOMPARE(run.outcome(0).state, SKIPPED);
    QCOMPARE(readBytes(path), before);
}

QTEST_GUILESS_MAIN(TestRun)

// The highest niceness among this process's threads: the lowest priority any of them has.
static int lowestPriorityOfThreads()
{
    int lowest = -20;
    const QDir threads(QStringLiteral("/proc/self/task"));
    for (const QString &thread : threads.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        lowest = std::max(lowest, getpriority(PRIO_PROCESS, id_t(thread.toInt())));
    return lowest;
}

// A window's run keeps its workers below the window's own thread, which then goes on
// answering while they keep every core busy.
void TestRun::workersGiveWayWhenAsked()
{
    const QString path = dir.filePath(QStringLiteral("giveway.txt"));
    writeBytes(path, "cat\n");
    testutil::PausePoint pause("staging");
    QVERIFY(pause.isValid());
    const auto released = qScopeGuard([&pause] { pause.release(); });
    pause.setInThisProcess(true);
    RunOptions options;
    options.workersGiveWay = true;
    ReplaceRun run(jobOf({path}, {{"cat", "dog"}}), options);
    QSignalSpy finished(&run, &ReplaceRun::finished);
    run.start();
    const bool reached = pause.reached();
    pause.setInThisProcess(false);
    QVERIFY(reached);
    const int mine = getpriority(PRIO_PROCESS, 0);
    QCOMPARE(lowestPriorityOfThreads(), std::min(19, mine + 10));
    QCOMPARE(getpriority(PRIO_PROCESS, 0), mine);
    pause.release();
    QVERIFY(run.isFinished() || finished.wait(10000));
    QCOMPARE(readBytes(path), QByteArray("dog\r\n"));
}

#include "tst_run.moc"
