#include "../engine/safewritetestutil.h"
#include "files/tempnames.h"
#include "workbook/listworkbook.h"
#include "workbook/workbook.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <csignal>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct CliResult
{
    int exitCode = -1;
    QString out;
    QString err;
    QByteArray rawOut; // as written, for output in the files' own encodings
};

// Without a display and without a platform plugin setting: the program must not need one.
// dataHome: a journal (and home) of the test's own.
QProcessEnvironment cliEnvironment(const QString &dataHome = QString())
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    if (!dataHome.isEmpty()) {
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
        env.insert(QStringLiteral("HOME"), dataHome);
    }
    return env;
}

// asNobody: through setpriv, as uid and gid 65534.
void startCli(QProcess &process, const QStringList &arguments, const QString &workDir,
    const QProcessEnvironment &env, bool asNobody = false)
{
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workDir);
    if (!asNobody)
        process.start(QStringLiteral(YIHUAN_CLI_PATH), arguments);
    else
        process.start(QStringLiteral("setpriv"),
            QStringList {
                "--reuid=65534", "--regid=65534", "--clear-groups", QStringLiteral(YIHUAN_CLI_PATH)}
                + arguments);
}

CliResult runCli(const QStringList &arguments, const QString &workDir,
    const QProcessEnvironment &env = cliEnvironment(), bool asNobody = false)
{
    QProcess process;
    startCli(process, arguments, workDir, env, asNobody);
    CliResult result;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.rawOut = process.readAllStandardOutput();
    result.out = QString::fromUtf8(result.rawOut);
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// "{dir}" in an argument stands for the temporary folder.
QStringList expanded(const QStringList &arguments, const QString &dir)
{
    QStringList out;
    for (const QString &argument : arguments)
        out.append(QString(argument).replace(QLatin1String("{dir}"), dir));
    return out;
}

using Files = QMap<QString, QByteArray>;

const QByteArray pngBytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0", 29);

} // namespace

Q_DECLARE_METATYPE(Files)

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void keywordFiles_data();
    void keywordFiles();
    void pathSelection_data();
    void diffAppliesAsTheRunWrites_data();
    void diffAppliesAsTheRunWrites();
    void pathSelection();
    void exitStatus_data();
    void exitStatus();
    void workbookJobs_data();
    void workbookJobs();
    void unusableWorkbook_data();
    void unusableWorkbook();
    void dryRunCounts_data();
    void dryRunCounts();
    void dryRunWritesNothing();
    void dryRunOfKeywordFilesReportsAsAListDoes_data();
    void dryRunOfKeywordFilesReportsAsAListDoes();
    void automaticDetectionWritesOnlyOfferedEncodings_data();
    void automaticDetectionWritesOnlyOfferedEncodings();
    void helpAndVersion();
    void needsNeitherWidgetsNorGui();
    void undoRestoresWhatTheRunChanged();
    void undoLeavesAFileRewrittenWithItsTimePutBack_data();
    void undoLeavesAFileRewrittenWithItsTimePutBack();
    void interruptStopsCleanly_data();
    void interruptStopsCleanly();
    void killedRunIsUndoneByteForByte();
    void reportQuotesOnlyPathsThatBreakLines_data();
    void reportQuotesOnlyPathsThatBreakLines();
    void journalOverTheCapIsRefused();
    void fullDiskLeavesTheFileAsItWas();
    void runawayPatternPartWayLeavesTheFileAsItWas();
    void anotherUserInAFolderOfRoots();
    void linksAreFollowedOnlyWhereTheirOwnerIsTrusted_data();
    void linksAreFollowedOnlyWhereTheirOwnerIsTrusted();
    void namedTempFilesAreSkipped();
    void undecodableNamedFileLeavesItsLookalikeAlone();
    void killedInPlaceRunIsRepairedBeforeTheNextRun_data();
    void killedInPlaceRunIsRepairedBeforeTheNextRun();
    void stoppedUndoIsFinishedByTheNext_data();
    void stoppedUndoIsFinishedByTheNext();
    void untrustedJournalIsRefused_data();
    void untrustedJournalIsRefused();
    void runsStartingTogetherEachKeepTheirJournal();
    void noJournalNoRun_data();
    void noJournalNoRun();
    void damagedJournalRecordIsAFailure();
    void killedRunsTempFilesAreRemoved_data();
    void killedRunsTempFilesAreRemoved();
    void historyListsAndUndoesRunsByNumber();
};

void TestCli::keywordFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("keywords");
    QTest::addColumn<QByteArray>("replacements");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("keywords split at the separator share their line's replacement")
        << QByteArray("foo bar baz\n") << QByteArray("foo|bar\n") << QByteArray("X\n")
        << QStringList() << QByteArray("X X baz\r\n");
    QTest::newRow("a keyword line without a replacement line deletes its keywords")
        << QByteArray("a1 b2\nc3") << QByteArray("a\nb\nc\n") << QByteArray("A\n") << QStringList()
        << QByteArray("A1 2\r\n3");
    QTest::newRow("a chosen separator replaces the bar, which becomes ordinary text")
        << QByteArray("x|y x y") << QByteArray("x|y,y\n") << QByteArray("Z\n")
        << QStringList {"--separator", ","} << QByteArray("Z x Z");
    QTest::newRow("an empty separator makes every character a keyword")
        << QByteArray("abcabc") << QByteArray("ac\n") << QByteArray("-\n")
        << QStringList {"--separator", ""} << QByteArray("-b--b-");
    QTest::newRow("whole words leave longer words alone")
        << QByteArray("cat concat cat.") << QByteArray("cat\n") << QByteArray("dog\n")
        << QStringList {"--whole-word"} << QByteArray("dog concat dog.");
    QTest::newRow("regular expressions take back references")
        << QByteArray("10-20 x-y") << QByteArray("(\\d+)-(\\d+)\n") << QByteArray("\\2-\\1\n")
        << QStringList {"--regex"} << QByteArray("20-10 x-y");
    QTest::newRow("-i matches keywords in any case, whole words too")
        << QByteArray("Cat CAT concat ÉTÉ") << QByteArray("cat|été\n") << QByteArray("dog\n")
        << QStringList {"-i", "--whole-word"} << QByteArray("dog dog concat dog");
    QTest::newRow("--extended-replacement changes case and takes \\\\ for one backslash")
        << QByteArray("lee wang") << QByteArray("(\\w+) (\\w+)\n")
        << QByteArray("\\U\\2\\E\\\\\\1\n") << QStringList {"--regex", "--extended-replacement"}
        << QByteArray("WANG\\lee");
    QTest::newRow("keyword files with a byte-order mark and CRLF read like plain ones")
        << QByteArray("one two\n") << QByteArray("\xEF\xBB\xBFone\r\ntwo\r\n")
        << QByteArray("\xEF\xBB\xBF"
                      "1\r\n2\r\n")
        << QStringList() << QByteArray("1 2\r\n");
}

void TestCli::keywordFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, keywords);
    QFETCH(QByteArray, replacements);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, expected);

    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("target.txt"));
    QVERIFY(writeFile(target, content));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), keywords));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), replacements));

    const CliResult result = runCli(QStringList {"--keywords", "k.txt", "--replacements", "r.txt"}
            + options + QStringList {"target.txt"},
        dir.path());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(readFile(target), expected);
    QCOMPARE(result.out.trimmed(), QStringLiteral("成功(1) 失败(0) 丢失(0)"));
    QCOMPARE(result.err, QString()); // no progress bar when stderr is not a terminal
}

void TestCli::pathSelection_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("replaced");
    QTest::addColumn<QString>("summary");

    const Files tree {{"top/a.txt", "a"}, {"top/sub/b.txt", "a"}, {"top/c.png", pngBytes},
        {"top/.hidden.txt", "a"}, {"other.txt", "a"}};
    QTest::newRow("a folder gives its own text files only, without --recursive")
        << tree << QStringList {"top"} << QStringList {"top/a.txt"}
        << QStringLiteral("成功(1) 失败(0) 丢失(0)");
    QTest::newRow("--recursive descends into subfolders")
        << tree << QStringList {"--recursive", "top"} << QStringList {"top/a.txt", "top/sub/b.txt"}
        << QStringLiteral("成功(2) 失败(0) 丢失(0)");
    QTest::newRow("a file named twice and again through its folder is replaced once")
        << tree << QStringList {"top/a.txt", "./top/a.txt", "{dir}/top/a.txt", "top"}
        << QStringList {"top/a.txt"} << QStringLiteral("成功(1) 失败(0) 丢失(0)");
    QTest::newRow("a named binary file is taken as given and fails")
        << tree << QStringList {"top/c.png", "other.txt"} << QStringList {"other.txt"}
        << QStringLiteral("成功(1) 失败(1) 丢失(0)");
    QTest::newRow("masks, repeated and split at ';', choose in folders; named files are taken")
        << tree
        << QStringList {"--recursive", "--include", "*.srt;*.txt", "--exclude", "sub", "--include",
               "*.md", "top", "other.txt"}
        << QStringList {"top/a.txt", "other.txt"} << QStringLiteral("成功(2) 失败(0) 丢失(0)");
    QTest::newRow("the job's own keyword files in a scanned folder are left alone")
        << tree << QStringList {"."} << QStringList {"other.txt"}
        << QStringLiteral("成功(1) 失败(0) 丢失(0)");
}

// Replacing "a" by "aa" shows how many times a file went through a worker.
void TestCli::pathSelection()
{
    QFETCH(Files, files);
    QFETCH(QStringList, paths);
    QFETCH(QStringList, replaced);
    QFETCH(QString, summary);

    QTemporaryDir dir;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(writeFile(dir.filePath(it.key()), it.value()));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "a\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "aa\n"));

    const CliResult result = runCli(QStringList {"--keywords", "k.txt", "--replacements", "r.txt"}
            + expanded(paths, dir.path()),
        dir.path());
    QVERIFY2(result.out.endsWith(summary + QLatin1Char('\n')), qPrintable(result.out));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QByteArray expected = replaced.contains(it.key()) ? QByteArray("aa") : it.value();
        QCOMPARE(readFile(dir.filePath(it.key())), expected);
    }
    QCOMPARE(readFile(dir.filePath(QStringLiteral("k.txt"))), QByteArray("a\n"));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("r.txt"))), QByteArray("aa\n"));
}

void TestCli::diffAppliesAsTheRunWrites_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("options");

    QByteArray lines;
    for (int i = 1; i <= 10; ++i)
        lines += "line " + QByteArray::number(i) + (i == 1 || i == 9 ? " cat" : "") + '\n';
    QTest::newRow("kept format: two hunks, no break at the end")
        << lines.chopped(1) << QStringList {"--keep-format"};
    QTest::newRow("default rewrite: every break becomes CR LF") << lines << QStringList {};
    QTest::newRow("GBK in its own bytes")
        << QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("猫 cat\n二\n三\n"))
        << QStringList {"--keep-format", "--encoding", "GB18030"};
    QTest::newRow("a long file rewritten whole")
        << QByteArray("cat and more\n").repeated(50000) << QStringList {};
}

// The diff of a dry run, applied with patch, gives the bytes the real run writes.
void TestCli::diffAppliesAsTheRunWrites()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, options);
    if (QStandardPaths::findExecutable(QStringLiteral("patch")).isEmpty())
        QSKIP("patch is not installed");

    QTemporaryDir patched;
    QTemporaryDir ran;
    for (const QTemporaryDir *dir : {&patched, &ran}) {
        QVERIFY(writeFile(dir->filePath(QStringLiteral("docs/a.txt")), content));
        QVERIFY(writeFile(dir->filePath(QStringLiteral("k.txt")), "cat\n"));
        QVERIFY(writeFile(dir->filePath(QStringLiteral("r.txt")), "猫狗\n"));
    }
    const QStringList job
        = QStringList {"--keywords", "k.txt", "--replacements", "r.txt", "docs"} + options;
    const CliResult dry = runCli(job + QStringList {"--dry-run", "--diff"}, patched.path());
    QCOMPARE(dry.exitCode, 0);
    QVERIFY2(dry.rawOut.startsWith("--- docs/a.txt\n+++ docs/a.txt\n"), dry.rawOut.left(200));
    QVERIFY(dry.err.contains(QStringLiteral("成功(1)")));
    QCOMPARE(readFile(patched.filePath(QStringLiteral("docs/a.txt"))), content);

    QProcess patch;
    patch.setWorkingDirectory(patched.path());
    patch.start(QStringLiteral("patch"), {"-p0", "--binary", "--quiet"});
    patch.write(dry.rawOut);
    patch.closeWriteChannel();
    QVERIFY(patch.waitForFinished());
    QCOMPARE(patch.exitCode(), 0);
    QCOMPARE(runCli(job, ran.path()).exitCode, 0);
    QCOMPARE(readFile(patched.filePath(QStringLiteral("docs/a.txt"))),
        readFile(ran.filePath(QStringLiteral("docs/a.txt"))));
}

void TestCli::exitStatus_data()
{
    QTest::addColumn<QByteArray>("keywords");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QStringList job {"--keywords", "k.txt", "--replacements", "r.txt"};
    QTest::newRow("a run where every file succeeds exits 0")
        << QByteArray("foo\n") << job + QStringList {"t.txt"} << 0 << QString();
    QTest::newRow("a missing file is lost and reported with its path")
        << QByteArray("foo\n") << job + QStringList {"t.txt", "gone.txt"} << 1
        << QStringLiteral("丢失\t{dir}/gone.txt\t");
    QTest::newRow("a read-only file fails with its reason")
        << QByteArray("foo\n") << job + QStringList {"t.txt", "ro.txt"} << 1
        << QStringLiteral("失败\t{dir}/ro.txt\t文件只读");
    QTest::newRow("a file that is not valid UTF-8 fails with its reason")
        << QByteArray("foo\n") << job + QStringList {"t.txt", "latin1.txt"} << 1
        << QStringLiteral("失败\t{dir}/latin1.txt\t不是有效的 UTF-8");
    QTest::newRow("an unknown option is bad usage")
        << QByteArray("foo\n") << job + QStringList {"--frobnicate", "t.txt"} << 2
        << QStringLiteral("frobnicate");
    QTest::newRow("--regex and --whole-word together are bad usage")
        << QByteArray("foo\n") << job + QStringList {"--regex", "--whole-word", "t.txt"} << 2
        << QStringLiteral("--whole-word");
    QTest::newRow("--extended-replacement without regular expressions is bad usage")
        << QByteArray("foo\n") << job + QStringList {"--extended-replacement", "t.txt"} << 2
        << QStringLiteral("--extended-replacement");
    QTest::newRow("a missing keywords file is bad usage")
        << QByteArray("foo\n") << QStringList {"--keywords", "nope.txt", "t.txt"} << 2
        << QStringLiteral("nope.txt");
    QTest::newRow("no paths is bad usage") << QByteArray("foo\n") << job << 2 << QString();
    QTest::newRow("--list with --keywords is bad usage")
        << QByteArray("foo\n") << job + QStringList {"--list", "x.xlsx", "t.txt"} << 2
        << QStringLiteral("--list");
    QTest::newRow("an empty keywords file is refused")
        << QByteArray() << job + QStringList {"t.txt"} << 2
        << QStringLiteral("无【被替换关键字】内容，请填写!");
    QTest::newRow("a lone line break is no keyword either")
        << QByteArray("\n") << job + QStringList {"t.txt"} << 2
        << QStringLiteral("无【被替换关键字】内容，请填写!");
    QTest::newRow("an empty line among the keywords is refused")
        << QByteArray("foo\n\nbar\n") << job + QStringList {"t.txt"} << 2
        << QStringLiteral("发现被替换关键字有[空]行,请检查!");
    QTest::newRow("a second line break at the end makes an empty last keyword line")
        << QByteArray("foo\n\n") << QStringList {"--keywords", "k.txt", "t.txt"} << 2
        << QStringLiteral("发现被替换关键字有[空]行,请检查!");
    QTest::newRow("more replacement lines than keyword lines are refused")
        << QByteArray("foo")
        << QStringList {"--keywords", "k.txt", "--replacements", "r2.txt", "t.txt"} << 2
        << QStringLiteral("【被替换关键字】与【欲替换为】内容条目数量不一致，请检查!");
    QTest::newRow("a keywords file that is not UTF-8 is refused")
        << QByteArray("f\xF6o\n") << job + QStringList {"t.txt"} << 2 << QStringLiteral("UTF-8");
    QTest::newRow("a mask with an unclosed bracket is refused before the scan")
        << QByteArray("foo\n") << job + QStringList {"--exclude", "*.txt;[ab", "emptydir"} << 2
        << QStringLiteral("[ab");
    QTest::newRow("an undo cap of 2^43 MB, beyond a byte count, is refused")
        << QByteArray("foo\n") << job + QStringList {"--undo-cap", "8796093022208", "t.txt"} << 2
        << QStringLiteral("--undo-cap 最大为 8796093022207");
    QTest::newRow("an undo cap of 2^44 MB, which would wrap to 0, is refused")
        << QByteArray("foo\n") << job + QStringList {"--undo-cap", "17592186044416", "t.txt"} << 2
        << QStringLiteral("--undo-cap 最大为 8796093022207");
    QTest::newRow("the largest undo cap that fits is taken")
        << QByteArray("foo\n") << job + QStringList {"--undo-cap", "8796093022207", "t.txt"} << 0
        << QString();
    QTest::newRow("a history of no runs is bad usage")
        << QByteArray("foo\n") << job + QStringList {"--keep-runs", "0", "t.txt"} << 2
        << QStringLiteral("--keep-runs");
    QTest::newRow("run 0 is no run's number")
        << QByteArray("foo\n") << QStringList {"--undo-run", "0"} << 2
        << QStringLiteral("--undo-run");
    QTest::newRow("folders without text files leave nothing to do") << QByteArray(
        "foo\n") << job + QStringList {"emptydir"} << 2 << QStringLiteral("纯文本文件列表为空");
}

void TestCli::exitStatus()
{
    QFETCH(QByteArray, keywords);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const Files files {{"t.txt", "foo\n"}, {"ro.txt", "foo\n"}, {"latin1.txt", "f\xF6o\n"},
        {"k.txt", keywords}, {"r.txt", "x\n"}, {"r2.txt", "x\ny\n"}};
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(writeFile(dir.filePath(it.key()), it.value()));
    QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("ro.txt")),
        QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("emptydir")));

    const CliResult result = runCli(arguments, dir.path());
    QCOMPARE(result.exitCode, exitCode);
    QString expectedMessage = message;
    expectedMessage.replace(QLatin1String("{dir}"), dir.path());
    QVERIFY2(
        (result.out + result.err).contains(expectedMessage), qPrintable(result.out + result.err));
    if (exitCode == 2) {
        QVERIFY2(!result.err.isEmpty(), "bad usage must say what is wrong");
        QCOMPARE(readFile(dir.filePath(QStringLiteral("t.txt"))), QByteArray("foo\n"));
    } else {
        QCOMPARE(readFile(dir.filePath(QStringLiteral("t.txt"))), QByteArray("x\r\n"));
    }
    QCOMPARE(readFile(dir.filePath(QStringLiteral("ro.txt"))), QByteArray("foo\n"));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("latin1.txt"))), QByteArray("f\xF6o\n"));
}

void TestCli::workbookJobs_data()
{
    QTest::addColumn<bool>("modeTwo");
    QTest::addColumn<QVector<QStringList>>("table");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::addColumn<QStringList>("stored"); // the workbook's own options, as name=value

    // Mode one: the first row names the files, then keyword and replacement per row.
    // Mode two: rows of keyword followed by one replacement per file.
    QTest::newRow("a mode-one workbook gives every file the same pairs")
        << false << QVector<QStringList> {{"a.txt", "b.txt"}, {"red|green", "colour"}, {"one", "1"}}
        << QStringList() << QByteArrayList {"colour 1\r\n", "colour colour\r\n"} << QStringList();
    QTest::newRow("options apply to a workbook job")
        << false << QVector<QStringList> {{"a.txt", "b.txt"}, {"red,one", "X"}}
        << QStringList {"--separator", ","} << QByteArrayList {"X X\r\n", "X green\r\n"}
        << QStringList();
    QTest::newRow("a mode-two workbook gives each file its own column")
        << true << QVector<QStringList> {{"a.txt", "b.txt"}, {"red", "R", "r"}, {"one", "1", "I"}}
        << QStringList() << QByteArrayList {"R 1\r\n", "r green\r\n"} << QStringList();
    QTest::newRow("a short mode-two row deletes in the files it does not reach")
        << true << QVector<QStringList> {{"a.txt", "b.txt"}, {"red|green", "C"}} << QStringList()
        << QByteArrayList {"C one\r\n", " \r\n"} << QStringList();
    QTest::newRow("the workbook's own options apply")
        << false << QVector<QStringList> {{"a.txt", "b.txt"}, {"red,one", "X"}} << QStringList()
        << QByteArrayList {"X X\n", "X green\n"} << QStringList {"separator=,", "keep-format=1"};
    QTest::newRow("the command line's options win, and --no-... switches one off")
        << false << QVector<QStringList> {{"a.txt", "b.txt"}, {"red,one", "X"}}
        << QStringList {"--separator", "|", "--no-keep-format"}
        << QByteArrayList {"red one\r\n", "red green\r\n"}
        << QStringList {"separator=,", "keep-format=1"};
    QTest::newRow("a stored regular expression")
        << true << QVector<QStringList> {{"a.txt", "b.txt"}, {"r.d", "X", "Y"}} << QStringList()
        << QByteArrayList {"X one\r\n", "Y green\r\n"} << QStringList {"regex=1"};
}

void TestCli::workbookJobs()
{
    QFETCH(bool, modeTwo);
    QFETCH(QVector<QStringList>, table);
    QFETCH(QStringList, options);
    QFETCH(QByteArrayList, expected);
    QFETCH(QStringList, stored);

    ListOptions listOptions;
    for (const QString &entry : stored) {
        const QString name = entry.section(QLatin1Char('='), 0, 0);
        const QString value = entry.section(QLatin1Char('='), 1);
        if (name == QLatin1String("separator"))
            listOptions.separator = value;
        else if (name == QLatin1String("keep-format"))
            listOptions.keepFormat = value == QLatin1String("1");
        else if (name == QLatin1String("regex"))
            listOptions.regex = value == QLatin1String("1");
    }
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a.txt"));
    const QString b = dir.filePath(QStringLiteral("b.txt"));
    QVERIFY(writeFile(a, "red one\n"));
    QVERIFY(writeFile(b, "red green\n"));
    QStringList paths;
    for (const QString &name : table.constFirst())
        paths.append(dir.filePath(name));

    const QString workbook = dir.filePath(QStringLiteral("job.xlsx"));
    if (modeTwo) {
        ModeTwoList list;
        list.paths = paths;
        list.rows = table.mid(1);
        list.options = listOptions;
        QVERIFY(writeModeTwoWorkbook(workbook, list));
    } else {
        ModeOneList list;
        list.paths = paths;
        for (const QStringList &row : table.mid(1)) {
            list.keywordLines.append(row.at(0));
            list.replacementLines.append(row.at(1));
        }
        list.options = listOptions;
        QVERIFY(writeModeOneWorkbook(workbook, list));
    }

    const CliResult result = runCli(QStringList {"--list", workbook} + options, dir.path());
    QVERIFY2(result.exitCode == 0, qPrintable(result.out + result.err));
    QCOMPARE(readFile(a), expected.at(0));
    QCOMPARE(readFile(b), expected.at(1));
}

void TestCli::unusableWorkbook_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");

    QTest::newRow("a file that is not a zip")
        << "text" << QStringLiteral("不是可以读取的 .xlsx 工作簿");
    QTest::newRow("a workbook without the list sheets")
        << "foreign" << QStringLiteral("不是易换列表工作簿");
    QTest::newRow("a workbook that does not exist")
        << "missing" << QStringLiteral("无法读取列表工作簿");
    QTest::newRow("a mode-one workbook without keywords")
        << "nokeywords" << QStringLiteral("无【被替换关键字】内容");
    QTest::newRow("a mode-one workbook without files")
        << "nofiles" << QStringLiteral("纯文本文件列表为空");
    QTest::newRow("a mode-one workbook whose only replacement holds a line break")
        << "splitcell" << QStringLiteral("无【被替换关键字】内容");
    QTest::newRow("a mode-two grid larger than a list may be")
        << "widegrid" << QStringLiteral("列表太大");
}

void TestCli::unusableWorkbook()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("t.txt"));
    QVERIFY(writeFile(target, "foo\n"));
    const QString workbook = dir.filePath(QStringLiteral("job.xlsx"));
    ModeOneList list;
    list.paths = QStringList {target};
    list.keywordLines = QStringList {"foo"};
    list.replacementLines = QStringList {"bar"};
    if (kind == QLatin1String("text")) {
        QVERIFY(writeFile(workbook, "PK but not really a zip\n"));
    } else if (kind == QLatin1String("foreign")) {
        Workbook book;
        QVERIFY(book.addSheet(QStringLiteral("Sheet1")));
        QVERIFY(book.setCell(1, 1, target));
        QVERIFY(book.save(workbook));
    } else if (kind == QLatin1String("nokeywords")) {
        list.keywordLines.clear();
        list.replacementLines.clear();
        QVERIFY(writeModeOneWorkbook(workbook, list));
    } else if (kind == QLatin1String("nofiles")) {
        list.paths.clear();
        QVERIFY(writeModeOneWorkbook(workbook, list));
    } else if (kind == QLatin1String("widegrid")) {
        // 1,000 columns by 501 rows, though only the headers are stored.
        Workbook book;
        QVERIFY(book.addSheet(modeTwoSheet));
        QVERIFY(book.setCell(1, 1, modeTwoCornerHeader));
        for (int column = 2; column <= 1000; ++column)
            QVERIFY(book.setCell(1, column, target));
        for (int row = 2; row <= 501; ++row)
            QVERIFY(book.setCell(row, 1, QStringLiteral("foo")));
        QVERIFY(book.save(workbook));
    } else if (kind == QLatin1String("splitcell")) {
        list.replacementLines = QStringList {"bar\nbaz"};
        QVERIFY(writeModeOneWorkbook(workbook, list));
    }
    const QByteArray workbookBytes = readFile(workbook);

    const CliResult result = runCli(QStringList {"--list", workbook}, dir.path());
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(result.out, QString());
    QCOMPARE(readFile(target), QByteArray("foo\n"));
    QCOMPARE(readFile(workbook), workbookBytes);
}

void TestCli::dryRunCounts_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("keywords");
    QTest::addColumn<QByteArray>("replacements");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("pairLines");

    QTest::newRow("each pair counts what it replaces in the text the earlier pairs left")
        << QByteArray("ab ab b\nb") << QByteArray("a|b\nB\n") << QByteArray("B\n\n")
        << QStringList() << QStringList {"2\t\"a\" → \"B\"", "4\t\"b\" → \"B\"", "6\t\"B\" → \"\""};
    QTest::newRow("a pair that finds nothing is not listed")
        << QByteArray("abc") << QByteArray("x\nabc\n") << QByteArray("y\nz\n") << QStringList()
        << QStringList {"1\t\"abc\" → \"z\""};
    QTest::newRow("regular expressions count their matches")
        << QByteArray("a1 b22 c333") << QByteArray("\\d+\n") << QByteArray("#\n")
        << QStringList {"--regex"} << QStringList {"3\t\"\\\\d+\" → \"#\""};
    QTest::newRow("line breaks are read as the worker reads them")
        << QByteArray("x\r\nx\r\n") << QByteArray("x\n") << QByteArray("y\n") << QStringList()
        << QStringList {"2\t\"x\" → \"y\""};
}

void TestCli::dryRunCounts()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, keywords);
    QFETCH(QByteArray, replacements);
    QFETCH(QStringList, options);
    QFETCH(QStringList, pairLines);

    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("target.txt"));
    QVERIFY(writeFile(target, content));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), keywords));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), replacements));

    const CliResult result
        = runCli(QStringList {"--dry-run", "--keywords", "k.txt", "--replacements", "r.txt"}
                + options + QStringList {"target.txt"},
            dir.path());
    QCOMPARE(result.exitCode, 0);
    QStringList lines = result.out.split(QLatin1Char('\n'));
    int total = 0;
    for (const QString &line : pairLines)
        total += line.section(QLatin1Char('\t'), 0, 0).toInt();
    QCOMPARE(lines.value(0), QStringLiteral("成功\t%1\t%2").arg(target).arg(total));
    for (int i = 0; i < pairLines.size(); ++i)
        QCOMPARE(lines.value(i + 1), QLatin1Char('\t') + pairLines.at(i));
    QVERIFY(result.out.endsWith(QStringLiteral("成功(1) 失败(0) 丢失(0)\n")));
    QCOMPARE(readFile(target), content);
}

void TestCli::dryRunWritesNothing()
{
    QTemporaryDir dir;
    const Files files {{"a.txt", "foo bar\n"}, {"b.txt", "bar\n"}, {"bin.txt", pngBytes},
        {"ro.txt", "foo\n"}, {"latin1.txt", "f\xF6o\n"}};
    const QDateTime old = QDateTime::fromSecsSinceEpoch(1000000000);
    QStringList arguments {"--dry-run", "--keywords", "k.txt", "--replacements", "r.txt"};
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QFile file(dir.filePath(it.key()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(it.value()) == it.value().size() && file.flush());
        QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
        arguments.append(it.key());
    }
    QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("ro.txt")), QFile::ReadOwner));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "foo\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "baz\n"));
    arguments.append(QStringLiteral("gone.txt"));

    const CliResult result = runCli(arguments, dir.path());
    QCOMPARE(result.exitCode, 1);
    // Only the file that would change, and every failure.
    const QStringList expectedLines {
        QStringLiteral("成功\t%1/a.txt\t1").arg(dir.path()),
        QStringLiteral("\t1\t\"foo\" → \"baz\""),
        QStringLiteral("失败\t%1/bin.txt\t二进制文件 (binary file)").arg(dir.path()),
        QStringLiteral("失败\t%1/latin1.txt\t不是有效的 UTF-8 文本 (not valid UTF-8)")
            .arg(dir.path()),
        QStringLiteral("失败\t%1/ro.txt\t文件只读 (read-only)").arg(dir.path()),
        QStringLiteral("丢失\t%1/gone.txt\t文件不存在 (no such file)").arg(dir.path()),
    };
    const QStringList lines = result.out.split(QLatin1Char('\n'));
    QCOMPARE(lines.mid(0, expectedLines.size()), expectedLines);
    QVERIFY(result.out.endsWith(QStringLiteral("成功(2) 失败(3) 丢失(1)\n")));
    QVERIFY(result.out.contains(QStringLiteral("1 个文件将被改动")));

    // Verbose adds the changed lines, before and after.
    const CliResult verbose = runCli(QStringList {"-v"} + arguments, dir.path());
    QVERIFY(verbose.out.contains(QStringLiteral("\t-1: \"foo bar\"\n\t+1: \"baz bar\"\n")));

    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = dir.filePath(it.key());
        QCOMPARE(readFile(path), it.value());
        QCOMPARE(QFileInfo(path).lastModified(), old);
    }
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("gone.txt"))));
}

void TestCli::dryRunOfKeywordFilesReportsAsAListDoes_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("more"); // files beyond the few of every row

    QTest::newRow("the report") << QStringList() << 0;
    QTest::newRow("changed lines") << QStringList {"-v"} << 0;
    QTest::newRow("a diff, the report on standard error") << QStringList {"--diff", "-v"} << 0;
    QTest::newRow("detected encodings") << QStringList {"--encoding", "auto", "-v"} << 0;
    QTest::newRow("more files than wait to be told") << QStringList() << 5000;
}

// Keyword files stream their files, where a list workbook's run holds them all: for the
// same files in the same order, the report is the same to the byte.
void TestCli::dryRunOfKeywordFilesReportsAsAListDoes()
{
    QFETCH(QStringList, options);
    QFETCH(int, more);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "foo\nbar\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "baz\n\n"));
    const Files files {{"a.txt", "foo bar\r\nfoo\n"}, {"b.txt", "nothing\n"}, {"bin.txt", pngBytes},
        {"gbk.txt", "foo \xD6\xD0\xCE\xC4\n"}, {"ro.txt", "foo\n"}, {"sub/c.txt", "bar foo bar\n"}};
    ModeOneList list; // in the order a scan lists them
    list.paths.append(dir.filePath(QStringLiteral("gone.txt")));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        list.paths.append(dir.filePath(QStringLiteral("in/") + it.key()));
        QVERIFY(writeFile(list.paths.last(), it.value()));
    }
    QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("in/ro.txt")), QFile::ReadOwner));
    list.paths << dir.filePath(QStringLiteral("links/hard.txt"))
               << dir.filePath(QStringLiteral("links/soft.txt"));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("links"))
        && QDir(dir.path()).mkpath(QStringLiteral("more")));
    QCOMPARE(::link(QFile::encodeName(list.paths.at(1)).constData(),
                 QFile::encodeName(list.paths.at(7)).constData()),
        0);
    QVERIFY(QFile::link(list.paths.at(6), list.paths.at(8)));
    for (int i = 0; i < more; ++i) {
        list.paths.append(
            dir.filePath(QStringLiteral("more/%1.txt").arg(i, 5, 10, QLatin1Char('0'))));
        QVERIFY(writeFile(list.paths.last(), i % 3 ? "foo\n" : "no\n"));
    }
    list.keywordLines = QStringList {"foo", "bar"};
    list.replacementLines = QStringList {"baz", ""};
    const QString workbook = dir.filePath(QStringLiteral("job.xlsx"));
    QVERIFY(writeModeOneWorkbook(workbook, list));

    // Files given again, on their own or in their folder, are listed once.
    const CliResult streamed
        = runCli(QStringList {"--dry-run", "--recursive", "--keywords", "k.txt", "--replacements",
                     "r.txt", "gone.txt", "in", "in/a.txt", "links", "in", "more"}
                + options,
            dir.path());
    const CliResult held
        = runCli(QStringList {"--dry-run", "--list", workbook} + options, dir.path());
    QCOMPARE(held.exitCode, 1);
    QCOMPARE(streamed.exitCode, 1);
    QCOMPARE(streamed.rawOut, held.rawOut);
    QCOMPARE(streamed.err, held.err);
    const QString report = options.contains(QStringLiteral("--diff")) ? held.err : held.out;
    QVERIFY2(
        report.contains(QStringLiteral("成功\t%1\t3\n").arg(list.paths.at(7))), qPrintable(report));
}

void TestCli::automaticDetectionWritesOnlyOfferedEncodings_data()
{
    QTest::addColumn<QByteArray>("keyword");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("result");

    // uchardet takes this short Windows-1252 line for the Mac's Central European page.
    QTest::newRow("a replacement with an accent is refused: encoding uncertain") << QByteArray(
        "Jos\xC3\xA9") << QByteArray("Jos\xC3\xA9 M.") << QStringList() << QByteArray();
    QTest::newRow("plain ASCII keywords and replacements go on, every other byte kept")
        << QByteArray("KEY") << QByteArray("KEY2") << QStringList()
        << QByteArray("KEY2 name=Jos\xE9\r\n");
    QTest::newRow("an ASCII regular expression may still match what the guess misreads")
        << QByteArray("K.Y") << QByteArray("KEY2") << QStringList {"--regex"} << QByteArray();
}

void TestCli::automaticDetectionWritesOnlyOfferedEncodings()
{
    QFETCH(QByteArray, keyword);
    QFETCH(QByteArray, replacement);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, result);

    QTemporaryDir dir;
    const QByteArray original("KEY name=Jos\xE9\n");
    const QString path = dir.filePath(QStringLiteral("west.txt"));
    QVERIFY(writeFile(path, original));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), keyword + '\n'));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), replacement + '\n'));
    const QStringList job = QStringList {"--keywords", "k.txt", "--replacements", "r.txt",
                                "--encoding", "auto", "west.txt"}
        + options;

    const CliResult dry = runCli(job + QStringList {"--dry-run", "--verbose"}, dir.path());
    const CliResult run = runCli(job, dir.path());
    if (result.isEmpty()) {
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.startsWith(
                     QStringLiteral("失败\t%1\t编码无法确定 (encoding uncertain)\n").arg(path)),
            qPrintable(run.out));
        QCOMPARE(readFile(path), original);
        QCOMPARE(dry.exitCode, 1);
    } else {
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(path), result);
        QCOMPARE(dry.exitCode, 0);
        // The guess shows, so that a wrong one can be seen before anything is written.
        QVERIFY2(dry.out.contains(QStringLiteral("\t编码 (encoding): ")), qPrintable(dry.out));
        QVERIFY2(
            !dry.out.contains(QStringLiteral("\t编码 (encoding): UTF-8")), qPrintable(dry.out));
    }
}

void TestCli::helpAndVersion()
{
    const CliResult help = runCli({"--help"}, QDir::tempPath());
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.contains(QStringLiteral("用法")));
    QVERIFY(help.out.contains(QStringLiteral("Usage")));
    QVERIFY(help.out.contains(QStringLiteral("--dry-run")));

    const CliResult version = runCli({"--version"}, QDir::tempPath());
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QStringLiteral("yihuan-cli 5.0.0.2\n"));
}

// The command line runs on servers without a display: it must neither load Qt's Gui or
// Widgets modules nor carry the window's code.
void TestCli::needsNeitherWidgetsNorGui()
{
    const QString ldd = QStandardPaths::findExecutable(QStringLiteral("ldd"));
    const QString nm = QStandardPaths::findExecutable(QStringLiteral("nm"));
    if (ldd.isEmpty() || nm.isEmpty())
        QSKIP("Needs ldd and nm (binutils)");
    QProcess loads;
    loads.start(ldd, {QStringLiteral(YIHUAN_CLI_PATH)});
    QVERIFY(loads.waitForFinished());
    const QString libraries = QString::fromUtf8(loads.readAllStandardOutput());
    const QString qt = QStringLiteral("libQt%1").arg(QT_VERSION_MAJOR);
    QVERIFY2(libraries.contains(qt + QLatin1String("Core")), qPrintable(libraries));
    QVERIFY2(!libraries.contains(qt + QLatin1String("Widgets")), qPrintable(libraries));
    QVERIFY2(!libraries.contains(qt + QLatin1String("Gui")), qPrintable(libraries));

    QProcess symbols;
    symbols.start(nm, {QStringLiteral("-C"), QStringLiteral(YIHUAN_CLI_PATH)});
    QVERIFY(symbols.waitForFinished());
    const QString defined = QString::fromUtf8(symbols.readAllStandardOutput());
    QVERIFY(defined.contains(QLatin1String("ReplaceRun::start")));
    for (const char *name : {"MainWindow", "CodeEditor", "QTableWidgetEx", "Ui_MainWindow"})
        QVERIFY2(!defined.contains(QLatin1String(name)), name);
}

void TestCli::namedTempFilesAreSkipped()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("t.txt")), "foo\n"));
    // Left by a run killed between writing and renaming.
    const QString left = tempFileName(QStringLiteral("t.txt"), QStringLiteral("ab12CD"));
    QVERIFY(writeFile(dir.filePath(left), "foo\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "foo\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "bar\n"));

    const CliResult result
        = runCli({"--keywords", "k.txt", "--replacements", "r.txt", "t.txt", left}, dir.path());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out.trimmed(), QStringLiteral("成功(1) 失败(0) 丢失(0)"));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("t.txt"))), QByteArray("bar\r\n"));
    QCOMPARE(readFile(dir.filePath(left)), QByteArray("foo\n"));
}

void TestCli::undecodableNamedFileLeavesItsLookalikeAlone()
{
    if (QFile::encodeName(QStringLiteral("中")) != QByteArray("\xe4\xb8\xad"))
        QSKIP("Needs a UTF-8 locale");
    QTemporaryDir dir;
    const QByteArray folder = QFile::encodeName(dir.path()) + '/';
    // Decoded as Qt decodes arguments, the first name would be the second.
    for (const QByteArray &name : {QByteArray("bad\xff.txt"), QByteArray("bad\xef\xbf\xbd.txt")}) {
        const int fd = ::open((folder + name).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0 && ::write(fd, "foo\n", 4) == 4 && ::close(fd) == 0);
    }
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "foo\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "bar\n"));

    // QProcess would encode the argument itself; the shell passes the byte as it is.
    QProcess process;
    process.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("/bin/sh"),
        {"-c", "exec \"$0\" --keywords k.txt --replacements r.txt \"$(printf 'bad\\377.txt')\"",
            QStringLiteral(YIHUAN_CLI_PATH)});
    QVERIFY(process.waitForFinished(120000));
    QVERIFY(process.exitCode() != 0);
    QCOMPARE(readFile(dir.filePath(QString("bad") + QChar(0xfffd) + ".txt")), QByteArray("foo\n"));
    const int fd = ::open((folder + "bad\xff.txt").constData(), O_RDONLY | O_CLOEXEC);
    char content[8] = {};
    QCOMPARE(::read(fd, content, sizeof content), 4);
    ::close(fd);
    QCOMPARE(QByteArray(content), QByteArray("foo\n"));
}

void TestCli::undoRestoresWhatTheRunChanged()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    const QStringList names {"a.txt", "b.txt", "c.txt"};
    for (const QString &name : names)
        QVERIFY(writeFile(dir.filePath(name), "cat\n"));
    QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("c.txt")),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QStringList job {"--keywords", "k.txt", "--replacements", "r.txt"};
    QCOMPARE(runCli(job + names, dir.path()).exitCode, 0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("a.txt"))), QByteArray("dog\r\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("b.txt")), "mine now\n"));

    // A file changed since the run is left alone and named.
    const CliResult undone = runCli({"--undo"}, dir.path());
    QCOMPARE(undone.exitCode, 1);
    QVERIFY(undone.out.contains(dir.filePath(QStringLiteral("b.txt"))));
    QVERIFY(undone.out.endsWith(QStringLiteral("已恢复(2) 原样(0) 已改动(1) 丢失(0) 失败(0)\n")));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("a.txt"))), QByteArray("cat\n"));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("b.txt"))), QByteArray("mine now\n"));
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("c.txt"))).permissions() & 0x7000,
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // A second undo finds nothing; a clean one exits 0.
    QCOMPARE(runCli({"--undo"}, dir.path()).exitCode, 2);
    QCOMPARE(runCli(job + names, dir.path()).exitCode, 0);
    QCOMPARE(runCli({"--undo"}, dir.path()).exitCode, 0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("b.txt"))), QByteArray("mine now\n"));
    QCOMPARE(runCli({"--undo", "a.txt"}, dir.path()).exitCode, 2);
}

// Held just before it puts the original back, undo meets a same-size edit whose
// modification time was set back: only the change time tells, and the edit stays.
void TestCli::undoLeavesAFileRewrittenWithItsTimePutBack_data()
{
    QTest::addColumn<bool>("otherDisk");
    QTest::newRow("original kept by a link, renamed back") << false;
    // Beside the file and renamed over it, as any rewrite.
    QTest::newRow("original kept as a copy, written back") << true;
}

void TestCli::undoLeavesAFileRewrittenWithItsTimePutBack()
{
    QFETCH(bool, otherDisk);
    QTemporaryDir dir;
    std::unique_ptr<testutil::SmallDisk> disk;
    if (otherDisk) {
        disk = std::make_unique<testutil::SmallDisk>(dir.filePath(QStringLiteral("disk")), "1m");
        if (!disk->isMounted())
            QSKIP("Cannot mount a small tmpfs here (needs root)");
    }
    const QString path
        = dir.filePath(otherDisk ? QStringLiteral("disk/a.txt") : QStringLiteral("a.txt"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    QVERIFY(writeFile(path, "cat\n"));
    // A journal of its own: the run it keeps stays undoable after the test.
    QTemporaryDir data;
    QProcessEnvironment env = cliEnvironment(data.path());
    QCOMPARE(
        runCli({"--keywords", "k.txt", "--replacements", "r.txt", path}, dir.path(), env).exitCode,
        0);

    QProcess undo;
    env.insert(QStringLiteral("YIHUAN_PAUSE_AT"), QStringLiteral("undo-replace"));
    undo.setReadChannel(QProcess::StandardError);
    startCli(undo, {"--undo"}, dir.path(), env);
    QByteArray err;
    while (!err.contains("paused at undo-replace") && undo.waitForReadyRead(30000))
        err += undo.readAllStandardError();
    QVERIFY2(err.contains("paused at undo-replace"), err.constData());

    struct stat before;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &before), 0);
    QVERIFY(writeFile(path, "cow\r\n"));
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    undo.write("\n");
    undo.closeWriteChannel();
    QVERIFY(undo.waitForFinished(30000));
    QCOMPARE(undo.exitCode(), 1);
    QCOMPARE(readFile(path), QByteArray("cow\r\n"));
    QCOMPARE(testutil::hiddenEntries(QFileInfo(path).path()), QStringList());
}

void TestCli::interruptStopsCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP of a closed terminal") << int(SIGHUP);
}

// Stopped mid-run: it ends with its summary and 130, every file either whole-new or
// untouched, none cut off.
void TestCli::interruptStopsCleanly()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    const QByteArray before = QByteArray("cat ").repeated(16000);
    const QByteArray after = QByteArray("dog ").repeated(16000);
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("files")));
    for (int i = 0; i < 1500; ++i)
        QVERIFY(writeFile(dir.filePath(QStringLiteral("files/f%1.txt").arg(i)), before));

    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(YIHUAN_CLI_PATH),
        {"--keywords", "k.txt", "--replacements", "r.txt", "files"});
    QVERIFY(process.waitForStarted());
    // Once the first files are new, the run is well under way.
    QTRY_VERIFY_WITH_TIMEOUT(readFile(dir.filePath(QStringLiteral("files/f0.txt"))) == after
            || readFile(dir.filePath(QStringLiteral("files/f1.txt"))) == after,
        20000);
    ::kill(pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished(60000));
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    if (process.exitCode() == 0)
        QSKIP("The run finished before the signal came");
    QCOMPARE(process.exitCode(), 130);
    QVERIFY2(out.contains(QStringLiteral("替换已停止")), qPrintable(out));
    int replaced = 0;
    for (int i = 0; i < 1500; ++i) {
        const QByteArray now = readFile(dir.filePath(QStringLiteral("files/f%1.txt").arg(i)));
        QVERIFY(now == before || now == after);
        replaced += now == after;
    }
    QVERIFY(out.contains(QStringLiteral("成功(%1) ").arg(replaced)));
}

// SIGKILL leaves no chance to stop: the journal must hold enough to put every file back.
void TestCli::killedRunIsUndoneByteForByte()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("files")));
    QVector<QByteArray> originals;
    for (int i = 0; i < 1000; ++i) {
        originals.append(QByteArray("cat ").repeated(8000 + i));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("files/f%1.txt").arg(i)), originals.last()));
    }
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(YIHUAN_CLI_PATH),
        {"--keywords", "k.txt", "--replacements", "r.txt", "files"});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(
        readFile(dir.filePath(QStringLiteral("files/f0.txt"))) != originals.at(0), 20000);
    process.kill();
    QVERIFY(process.waitForFinished());

    const CliResult undone = runCli({"--undo"}, dir.path());
    QCOMPARE(undone.exitCode, 0);
    for (int i = 0; i < 1000; ++i)
        QCOMPARE(readFile(dir.filePath(QStringLiteral("files/f%1.txt").arg(i))), originals.at(i));
    QCOMPARE(
        QDir(dir.filePath(QStringLiteral("files"))).entryList(QDir::Files | QDir::Hidden).size(),
        1000);
}

void TestCli::reportQuotesOnlyPathsThatBreakLines_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reported");

    QTest::newRow("a tab is written as \\t, the path in quotes")
        << QStringLiteral("a\tb.txt") << QStringLiteral("\"{dir}/a\\tb.txt\"");
    QTest::newRow("a line feed is written as \\n")
        << QStringLiteral("a\nb.txt") << QStringLiteral("\"{dir}/a\\nb.txt\"");
    QTest::newRow("a carriage return is written as \\r, a backslash beside it doubled")
        << QStringLiteral("a\r\\b.txt") << QStringLiteral("\"{dir}/a\\r\\\\b.txt\"");
    QTest::newRow("quotes, backslashes and spaces alone leave the path as it was")
        << QStringLiteral("say \"hi\" \\ %2.txt") << QStringLiteral("{dir}/say \"hi\" \\ %2.txt");
}

// One line per file, whatever its name: both the failure lines and a dry run's.
void TestCli::reportQuotesOnlyPathsThatBreakLines()
{
    QFETCH(QString, name);
    QFETCH(QString, reported);

    QTemporaryDir dir;
    reported.replace(QLatin1String("{dir}"), dir.path());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(name), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("ro.txt")), "cat\n"));
    QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("ro.txt")), QFile::ReadOwner));
    const QStringList job {"--keywords", "k.txt", dir.filePath(name), "ro.txt"};

    const CliResult dry = runCli(job + QStringList {"--dry-run"}, dir.path());
    QCOMPARE(dry.exitCode, 1);
    const QStringList dryLines = dry.out.split(QLatin1Char('\n'));
    QVERIFY2(dryLines.contains(QStringLiteral("成功\t%1\t1").arg(reported)), qPrintable(dry.out));

    QVERIFY(QFile::setPermissions(dir.filePath(name), QFile::ReadOwner));
    const CliResult run = runCli(job, dir.path());
    QCOMPARE(run.exitCode, 1);
    const QStringList lines = run.out.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4); // two failures, the summary, and the empty rest
    QCOMPARE(lines.at(0), QStringLiteral("失败\t%1\t文件只读 (read-only)").arg(reported));
    QCOMPARE(lines.at(1),
        QStringLiteral("失败\t%1\t文件只读 (read-only)")
            .arg(dir.filePath(QStringLiteral("ro.txt"))));
}

// A file with a second hard link cannot be kept by a link of its own: the journal copies it.
void TestCli::journalOverTheCapIsRefused()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.txt")), QByteArray("cat ").repeated(300000)));
    QCOMPARE(::link(QFile::encodeName(dir.filePath(QStringLiteral("a.txt"))).constData(),
                 QFile::encodeName(dir.filePath(QStringLiteral("twin.txt"))).constData()),
        0);
    const QStringList job {"--keywords", "k.txt", "--undo-cap", "0", "a.txt"};
    const CliResult refused = runCli(job, dir.path());
    QCOMPARE(refused.exitCode, 2);
    QVERIFY(refused.err.contains(QStringLiteral("--no-undo")));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("a.txt"))), QByteArray("cat ").repeated(300000));
    QCOMPARE(runCli(job + QStringList {"--no-undo"}, dir.path()).exitCode, 0);
    QCOMPARE(runCli({"--undo"}, dir.path()).exitCode, 2);
}

void TestCli::fullDiskLeavesTheFileAsItWas()
{
    QTemporaryDir dir;
    const QString disk = dir.filePath(QStringLiteral("disk"));
    QVERIFY(QDir().mkpath(disk));
    if (QProcess::execute(
            QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=256k", "tmpfs", disk})
        != 0)
        QSKIP("Cannot mount a small tmpfs here (needs root)");
    struct Unmount
    {
        QString path;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {path}); }
    } unmount {disk};

    // The new text needs room beside the old.
    const QByteArray before = QByteArray("cat ").repeated(40000);
    QVERIFY(writeFile(disk + QStringLiteral("/big.txt"), before));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dogs\n"));
    const CliResult result = runCli(
        {"--keywords", "k.txt", "--replacements", "r.txt", disk + QStringLiteral("/big.txt")},
        dir.path());
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.out.contains(QStringLiteral("写入失败或磁盘已满")), qPrintable(result.out));
    QCOMPARE(readFile(disk + QStringLiteral("/big.txt")), before);
    QCOMPARE(QDir(disk).entryList(QDir::Files | QDir::Hidden), QStringList {"big.txt"});
}

// The new text goes to disk as it is made; a pattern that runs away megabytes into the
// file fails it all the same, with nothing written.
void TestCli::runawayPatternPartWayLeavesTheFileAsItWas()
{
    QTemporaryDir dir;
    const QByteArray before = QByteArray("b\n").repeated(1 << 20) + QByteArray(100000, 'a');
    QVERIFY(writeFile(dir.filePath(QStringLiteral("t.txt")), before));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "b|(?:a+)+?\\d\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "c\n"));
    const CliResult result = runCli(
        {"--regex", "--keywords", "k.txt", "--replacements", "r.txt", "t.txt"}, dir.path());
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.out.contains(QStringLiteral("正则表达式过于复杂")), qPrintable(result.out));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("t.txt"))), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
        QStringList({"k.txt", "r.txt", "t.txt"}));
}

// A user's own file in root's folder, which takes no new file from them, is rewritten in
// place and stays theirs; root's file beside it is not theirs to write.
void TestCli::anotherUserInAFolderOfRoots()
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("Needs root and setpriv to run as another user");
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755)));
    const QString mine = dir.filePath(QStringLiteral("mine.txt"));
    const QString roots = dir.filePath(QStringLiteral("roots.txt"));
    QVERIFY(writeFile(mine, "cat\n"));
    QVERIFY(writeFile(roots, "cat\n"));
    QCOMPARE(::chown(QFile::encodeName(mine).constData(), 65534, 65534), 0);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    QTemporaryDir data;
    QVERIFY(QFile::setPermissions(data.path(), QFileDevice::Permissions(0x7777)));

    const CliResult result = runCli({"--keywords", "k.txt", "--replacements", "r.txt", mine, roots},
        dir.path(), cliEnvironment(data.path()), true);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(readFile(mine), QByteArray("dog\r\n"));
    QCOMPARE(readFile(roots), QByteArray("cat\n"));
    QVERIFY2(result.out.contains(roots), qPrintable(result.out));
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(mine).constData(), &info), 0);
    QCOMPARE(info.st_uid, uid_t(65534));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

void TestCli::linksAreFollowedOnlyWhereTheirOwnerIsTrusted_data()
{
    QTest::addColumn<uint>("runAs");
    QTest::addColumn<uint>("linkOwner");
    QTest::addColumn<uint>("targetOwner");
    QTest::addColumn<bool>("followed");

    QTest::newRow("root follows its own link") << 0u << 0u << 0u << true;
    QTest::newRow("root leaves nobody's link to root's private file unopened for writing")
        << 0u << 65534u << 0u << false;
    QTest::newRow("root follows nobody's link to nobody's own file")
        << 0u << 65534u << 65534u << true;
    QTest::newRow("nobody follows root's link to nobody's file") << 65534u << 0u << 65534u << true;
    QTest::newRow("nobody leaves a third user's link to a file anyone may write")
        << 65534u << 4242u << 0u << false;
}

// The links lie in a folder of nobody's; the files they lead to lie in root's.
void TestCli::linksAreFollowedOnlyWhereTheirOwnerIsTrusted()
{
    QFETCH(uint, runAs);
    QFETCH(uint, linkOwner);
    QFETCH(uint, targetOwner);
    QFETCH(bool, followed);
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("Needs root and setpriv to run as another user");

    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755)));
    const QByteArray target = QFile::encodeName(dir.filePath(QStringLiteral("target.txt")));
    QVERIFY(writeFile(QFile::decodeName(target), "cat\n"));
    QCOMPARE(::chown(target.constData(), targetOwner, targetOwner), 0);
    QCOMPARE(::chmod(target.constData(), targetOwner == runAs ? 0600 : 0666), 0);
    const QString shared = dir.filePath(QStringLiteral("shared"));
    QVERIFY(QDir().mkpath(shared));
    QCOMPARE(::chown(QFile::encodeName(shared).constData(), 65534, 65534), 0);
    const QString link = shared + QStringLiteral("/victim.txt");
    QCOMPARE(::symlink(target.constData(), QFile::encodeName(link).constData()), 0);
    QCOMPARE(::lchown(QFile::encodeName(link).constData(), linkOwner, linkOwner), 0);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    QTemporaryDir data;
    QVERIFY(QFile::setPermissions(data.path(), QFileDevice::Permissions(0x7777)));
    struct stat before;
    QCOMPARE(::stat(target.constData(), &before), 0);

    const CliResult result = runCli({"--keywords", "k.txt", "--replacements", "r.txt", "shared"},
        dir.path(), runAs == 0 ? cliEnvironment() : cliEnvironment(data.path()), runAs != 0);

    struct stat after;
    QCOMPARE(::stat(target.constData(), &after), 0);
    QCOMPARE(after.st_uid, uid_t(targetOwner));
    QVERIFY(QFileInfo(link).isSymLink());
    if (followed) {
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(readFile(QFile::decodeName(target)), QByteArray("dog\r\n"));
    } else {
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.out.contains(QStringLiteral("失败\t%1\t符号链接属于其他用户").arg(link)),
            qPrintable(result.out));
        QCOMPARE(readFile(QFile::decodeName(target)), QByteArray("cat\n"));
        QVERIFY2(after.st_ctim.tv_sec == before.st_ctim.tv_sec
                && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec,
            "the file the link leads to is not touched at all");
    }
}

void TestCli::killedInPlaceRunIsRepairedBeforeTheNextRun_data()
{
    QTest::addColumn<bool>("undo");
    QTest::newRow("a run with undo stays undoable until discarded") << true;
    QTest::newRow("a run without undo keeps nothing once repaired") << false;
}

// A folder that takes no new file: the file is overwritten where it stands, and the kill
// comes half way through.
void TestCli::killedInPlaceRunIsRepairedBeforeTheNextRun()
{
    QFETCH(bool, undo);
    QTemporaryDir dir;
    const QProcessEnvironment env = cliEnvironment(dir.filePath(QStringLiteral("data")));
    const QString big = dir.filePath(QStringLiteral("locked/big.txt"));
    const QByteArray before = QByteArray("cat ").repeated(50000);
    QVERIFY(writeFile(big, before));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("other.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    testutil::ImmutableFolder lock(dir.filePath(QStringLiteral("locked")));
    if (!lock.isSet())
        QSKIP("chattr +i is not supported here");
    QStringList job {"--keywords", "k.txt", "--replacements", "r.txt"};
    if (!undo)
        job.append(QStringLiteral("--no-undo"));

    testutil::PausePoint pause("in-place-write");
    QVERIFY(pause.isValid());
    QProcess killed;
    startCli(killed, job + QStringList {big}, dir.path(), pause.environment(env));
    QVERIFY(pause.reached());
    ::kill(pid_t(killed.processId()), SIGKILL);
    QVERIFY(killed.waitForFinished());
    QVERIFY(readFile(big) != before);

    // The next run, over another file, puts it back first and says so.
    const CliResult next = runCli(job + QStringList {"other.txt"}, dir.path(), env);
    QCOMPARE(next.exitCode, 0);
    QCOMPARE(readFile(big), before);
    QVERIFY2(next.err.contains(QStringLiteral("已修复\t") + big), qPrintable(next.err));
    QCOMPARE(next.err.contains(QStringLiteral("--discard-interrupted")), undo);
    // Every run says so while the interrupted run is kept.
    const CliResult again = runCli(job + QStringList {"other.txt"}, dir.path(), env);
    QCOMPARE(again.err.contains(QStringLiteral("--discard-interrupted")), undo);
    QVERIFY(!again.err.contains(QStringLiteral("已修复")));

    QCOMPARE(runCli({"--discard-interrupted"}, dir.path(), env).exitCode, undo ? 0 : 2);
    QVERIFY(!runCli(job + QStringList {"other.txt"}, dir.path(), env)
                 .err.contains(QStringLiteral("--discard-interrupted")));
    QCOMPARE(readFile(big), before);
}

void TestCli::stoppedUndoIsFinishedByTheNext_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C finishes the file in hand") << int(SIGINT);
    QTest::newRow("SIGTERM finishes the file in hand") << int(SIGTERM);
    QTest::newRow("SIGHUP finishes the file in hand") << int(SIGHUP);
    QTest::newRow("SIGKILL half way through the file") << int(SIGKILL);
}

// Undo puts files in a folder that takes no new file back where they stand.
void TestCli::stoppedUndoIsFinishedByTheNext()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    const QProcessEnvironment env = cliEnvironment(dir.filePath(QStringLiteral("data")));
    const QByteArray before = QByteArray("cat ").repeated(50000);
    const QByteArray after = QByteArray("dog ").repeated(50000);
    const QStringList files {
        dir.filePath(QStringLiteral("locked/a.txt")), dir.filePath(QStringLiteral("locked/b.txt"))};
    for (const QString &file : files)
        QVERIFY(writeFile(file, before));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    testutil::ImmutableFolder lock(dir.filePath(QStringLiteral("locked")));
    if (!lock.isSet())
        QSKIP("chattr +i is not supported here");
    QCOMPARE(runCli(QStringList {"--keep-format", "--keywords", "k.txt", "--replacements", "r.txt"}
                     + files,
                 dir.path(), env)
                 .exitCode,
        0);

    // Killed half way through a file; stopped while the second file is being handed to a
    // worker, after the first was.
    testutil::PausePoint pause(signal == SIGKILL ? "undo-in-place" : "undo-take");
    QVERIFY(pause.isValid());
    QProcessEnvironment paused = pause.environment(env);
    paused.insert(QStringLiteral("YIHUAN_PAUSE_SKIP"), signal == SIGKILL ? "0" : "1");
    QProcess undo;
    startCli(undo, {"--undo"}, dir.path(), paused);
    QVERIFY(pause.reached());
    ::kill(pid_t(undo.processId()), signal);
    // Any of its threads may take the signal: only once one has is the stop seen.
    const auto pending = [&] {
        QFile status(QStringLiteral("/proc/%1/status").arg(undo.processId()));
        const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : "";
        const int at = text.indexOf("ShdPnd:");
        return at >= 0
            && text.mid(at + 7, text.indexOf('\n', at) - at - 7).trimmed().toULongLong(nullptr, 16)
            != 0;
    };
    if (signal != SIGKILL)
        QTRY_VERIFY_WITH_TIMEOUT(!pending(), 10000);
    pause.release();
    QVERIFY(undo.waitForFinished());
    const QByteArray first = readFile(files.at(0));
    const QByteArray second = readFile(files.at(1));
    if (signal == SIGKILL) {
        QCOMPARE(undo.exitStatus(), QProcess::CrashExit);
        const auto torn = [&](const QByteArray &bytes) {
            return bytes != before && bytes != after;
        };
        QVERIFY(torn(first) || torn(second));
    } else {
        QCOMPARE(undo.exitCode(), 130);
        QVERIFY2(
            QString::fromUtf8(undo.readAllStandardOutput()).contains(QStringLiteral("已恢复(1)")),
            "the file in hand is finished");
        QVERIFY((first == before && second == after) || (first == after && second == before));
    }

    const CliResult rest = runCli({"--undo"}, dir.path(), env);
    QCOMPARE(rest.exitCode, 0);
    QCOMPARE(readFile(files.at(0)), before);
    QCOMPARE(readFile(files.at(1)), before);
    QCOMPARE(runCli({"--undo"}, dir.path(), env).exitCode, 2);
}

void TestCli::untrustedJournalIsRefused_data()
{
    QTest::addColumn<QString>("journal");
    QTest::newRow("owned by another user") << "another's";
    QTest::newRow("writable by others") << "writable";
    QTest::newRow("a symbolic link") << "link";
}

void TestCli::untrustedJournalIsRefused()
{
    QFETCH(QString, journal);
    QString why;
    if (journal == QLatin1String("another's") && !testutil::canRunAsNobody(&why))
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)));
    const QString data = dir.filePath(QStringLiteral("data"));
    QVERIFY(QDir().mkpath(data));
    QVERIFY(QFile::setPermissions(data, QFileDevice::Permissions(0x7777)));
    const QString file = dir.filePath(QStringLiteral("f.txt"));
    QVERIFY(writeFile(file, "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    const QProcessEnvironment env = cliEnvironment(data);
    const QStringList job {"--keywords", "k.txt", "--replacements", "r.txt", "f.txt"};
    if (journal == QLatin1String("another's")) {
        QCOMPARE(::chown(QFile::encodeName(file).constData(), 65534, 65534), 0);
        QProcess nobody;
        nobody.setProcessEnvironment(env);
        nobody.setWorkingDirectory(dir.path());
        nobody.start(
            QStringLiteral("setpriv"), testutil::asNobody(QStringLiteral(YIHUAN_CLI_PATH), job));
        QVERIFY(nobody.waitForFinished(60000));
        QCOMPARE(nobody.exitCode(), 0);
    } else {
        QCOMPARE(runCli(job, dir.path(), env).exitCode, 0);
    }
    const QString folder = testutil::journalUnder(data);
    QVERIFY(!folder.isEmpty());
    if (journal == QLatin1String("writable")) {
        QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
    } else if (journal == QLatin1String("link")) {
        const QString moved = elsewhere.filePath(QStringLiteral("journal"));
        QVERIFY(QDir().rename(folder, moved));
        QVERIFY(QFile::link(moved, folder));
    }
    QCOMPARE(readFile(file), QByteArray("dog\r\n"));

    const CliResult undo = runCli({"--undo"}, dir.path(), env);
    QCOMPARE(undo.exitCode, 2);
    QVERIFY2(undo.err.contains(folder), qPrintable(undo.err));
    QCOMPARE(readFile(file), QByteArray("dog\r\n"));
    // Nor does a run use it.
    const CliResult run = runCli(job, dir.path(), env);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(folder), qPrintable(run.err));
}

// The second run starts while the first one's journal is being made.
void TestCli::runsStartingTogetherEachKeepTheirJournal()
{
    QTemporaryDir dir;
    const QProcessEnvironment env = cliEnvironment(dir.filePath(QStringLiteral("data")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.txt")), "cat a\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("b.txt")), "cat b\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    const QStringList job {"--keywords", "k.txt", "--replacements", "r.txt"};

    testutil::PausePoint pause("journal-folder-made");
    QVERIFY(pause.isValid());
    QProcess first;
    startCli(first, job + QStringList {"a.txt"}, dir.path(), pause.environment(env));
    QVERIFY(pause.reached());
    QCOMPARE(runCli(job + QStringList {"b.txt"}, dir.path(), env).exitCode, 0);
    pause.release();
    QVERIFY(first.waitForFinished());
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("a.txt"))), QByteArray("dog a\r\n"));

    QCOMPARE(runCli({"--undo"}, dir.path(), env).exitCode, 0);
    QCOMPARE(runCli({"--undo"}, dir.path(), env).exitCode, 0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("a.txt"))), QByteArray("cat a\n"));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("b.txt"))), QByteArray("cat b\n"));
}

void TestCli::noJournalNoRun_data()
{
    QTest::addColumn<QString>("data");
    QTest::newRow("the data folder is a file") << "file";
    QTest::newRow("the data folder takes no new folder") << "immutable";
    QTest::newRow("the journal's disk is full") << "full";
}

void TestCli::noJournalNoRun()
{
    QFETCH(QString, data);
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("data"));
    std::unique_ptr<testutil::SmallDisk> disk;
    std::unique_ptr<testutil::ImmutableFolder> lock;
    if (data == QLatin1String("file")) {
        QVERIFY(writeFile(home, "not a folder"));
    } else if (data == QLatin1String("immutable")) {
        QVERIFY(QDir().mkpath(home));
        lock = std::make_unique<testutil::ImmutableFolder>(home);
        if (!lock->isSet())
            QSKIP("chattr +i is not supported here");
    } else {
        disk = std::make_unique<testutil::SmallDisk>(home, "64k");
        if (!disk->isMounted())
            QSKIP("Cannot mount a small tmpfs here (needs root)");
        QFile filler(home + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(4096, 'x')) == 4096 && filler.flush()) { }
    }
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    const QProcessEnvironment env = cliEnvironment(home);
    const QStringList job {"--keywords", "k.txt", "--replacements", "r.txt", "a.txt"};

    const CliResult refused = runCli(job, dir.path(), env);
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.err.contains(home) && refused.err.contains(QStringLiteral("--no-undo")),
        qPrintable(refused.err));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("a.txt"))), QByteArray("cat\n"));
    QCOMPARE(runCli(job + QStringList {"--no-undo"}, dir.path(), env).exitCode, 0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("a.txt"))), QByteArray("dog\r\n"));
}

void TestCli::damagedJournalRecordIsAFailure()
{
    QTemporaryDir dir;
    const QString data = dir.filePath(QStringLiteral("data"));
    const QProcessEnvironment env = cliEnvironment(data);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("b.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    QCOMPARE(runCli({"--keywords", "k.txt", "--replacements", "r.txt", "a.txt", "b.txt"},
                 dir.path(), env)
                 .exitCode,
        0);
    QDirIterator manifests(testutil::journalUnder(data), {QStringLiteral("manifest")}, QDir::Files,
        QDirIterator::Subdirectories);
    QVERIFY(manifests.hasNext());
    const QString manifest = manifests.next();
    QList<QByteArray> lines = readFile(manifest).split('\n');
    int damaged = 0;
    while (damaged < lines.size() && !lines.at(damaged).startsWith("K "))
        ++damaged;
    QVERIFY(damaged < lines.size());
    QList<QByteArray> fields = lines.at(damaged).split(' ');
    QVERIFY(fields.size() > 9);
    fields[9] = "not-a-digest";
    lines[damaged] = fields.join(' ');
    QVERIFY(writeFile(manifest, lines.join('\n')));

    const CliResult undo = runCli({"--undo"}, dir.path(), env);
    QCOMPARE(undo.exitCode, 1);
    QVERIFY2(
        undo.out.contains(manifest + QStringLiteral(":%1").arg(damaged + 1)), qPrintable(undo.out));
    const QByteArray a = readFile(dir.filePath(QStringLiteral("a.txt")));
    const QByteArray b = readFile(dir.filePath(QStringLiteral("b.txt")));
    QVERIFY((a == "cat\n" && b == "dog\r\n") || (a == "dog\r\n" && b == "cat\n"));
    // The journal stays, with the kept original of the file it could not name.
    QCOMPARE(runCli({"--undo"}, dir.path(), env).exitCode, 1);
}

void TestCli::killedRunsTempFilesAreRemoved_data()
{
    QTest::addColumn<bool>("byUndo");
    QTest::newRow("by undo") << true;
    QTest::newRow("by the next run") << false;
}

// Killed after it made its temp file, before it recorded anything of the file.
void TestCli::killedRunsTempFilesAreRemoved()
{
    QFETCH(bool, byUndo);
    QTemporaryDir dir;
    const QProcessEnvironment env = cliEnvironment(dir.filePath(QStringLiteral("data")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("files/a.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("k.txt")), "cat\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("r.txt")), "dog\n"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("other.txt")), "cat\n"));
    // Named like ours, but another user's: not ours to remove.
    const QString planted = QStringLiteral(".b.txt.yihuan-abc123.tmp");
    QVERIFY(writeFile(dir.filePath(QStringLiteral("files/")) + planted, "theirs"));
    if (::geteuid() == 0)
        QCOMPARE(::chown(QFile::encodeName(dir.filePath(QStringLiteral("files/")) + planted), 65534,
                     65534),
            0);
    const QStringList job {"--keywords", "k.txt", "--replacements", "r.txt"};

    testutil::PausePoint pause("staging");
    QVERIFY(pause.isValid());
    QProcess killed;
    startCli(killed, job + QStringList {"files"}, dir.path(), pause.environment(env));
    QVERIFY(pause.reached());
    ::kill(pid_t(killed.processId()), SIGKILL);
    QVERIFY(killed.waitForFinished());
    QCOMPARE(testutil::hiddenEntries(dir.filePath(QStringLiteral("files"))).size(), 2);

    if (byUndo)
        QCOMPARE(runCli({"--undo"}, dir.path(), env).exitCode, 2);
    else
        QCOMPARE(runCli(job + QStringList {"other.txt"}, dir.path(), env).exitCode, 0);
    QCOMPARE(testutil::hiddenEntries(dir.filePath(QStringLiteral("files"))), QStringList {planted});
    QCOMPARE(readFile(dir.filePath(QStringLiteral("files/a.txt"))), QByteArray("cat\n"));
}

void TestCli::historyListsAndUndoesRunsByNumber()
{
    QTemporaryDir dir;
    const QProcessEnvironment env = cliEnvironment(dir.filePath(QStringLiteral("home")));
    const Files files {{"a.txt", "cat\n"}, {"b.txt", "cat\n"}, {"c.txt", "cat\n"},
        {"k1.txt", "cat\n"}, {"r1.txt", "dog\n"}, {"k2.txt", "dog\n"}, {"r2.txt", "cow\n"}};
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(writeFile(dir.filePath(it.key()), it.value()));
    const QStringList catToDog {"--keywords", "k1.txt", "--replacements", "r1.txt"};
    const QStringList dogToCow {"--keywords", "k2.txt", "--replacements", "r2.txt"};
    QCOMPARE(runCli(catToDog + QStringList {"a.txt", "b.txt"}, dir.path(), env).exitCode, 0);
    QCOMPARE(runCli(dogToCow + QStringList {"b.txt"}, dir.path(), env).exitCode, 0);

    const QRegularExpression line(QStringLiteral(
        "^(\\d+)\t\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\t(\\d+)\t(\\d+)(\t.*)?$"));
    const auto listed = [&] {
        QStringList rows;
        for (const QString &text :
            runCli({"--history"}, dir.path(), env).out.split('\n', Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch match = line.match(text);
            rows.append(match.hasMatch() ? match.captured(1) + ' ' + match.captured(2) + ' '
                        + match.captured(3) + match.captured(4)
                                         : QStringLiteral("unexpected: ") + text);
        }
        return rows;
    };
    QCOMPARE(listed(), QStringList({"1 1 1", "2 2 1"}));
    // Not at once: a run that ended within a clock tick of the next one's start counts as
    // having run alongside it, and plain undo would still take it.
    QCOMPARE(runCli(catToDog + QStringList {"c.txt"}, dir.path(), env).exitCode, 0);
    // The oldest run wrote two files; one of them a later run rewrote.
    QCOMPARE(listed(), QStringList({"1 1 1", "2 1 1", "3 2 1"}));

    const CliResult beyond = runCli({"--undo-run", "4"}, dir.path(), env);
    QCOMPARE(beyond.exitCode, 2);
    QVERIFY2(beyond.out.contains(QStringLiteral("no run 4")), qPrintable(beyond.out));

    const CliResult oldest = runCli({"--undo-run", "3"}, dir.path(), env);
    QCOMPARE(oldest.exitCode, 1);
    QVERIFY2(
        oldest.out.contains(QStringLiteral("已改动\t") + dir.filePath(QStringLiteral("b.txt"))),
        qPrintable(oldest.out));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("a.txt"))), QByteArray("cat\n"));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("b.txt"))), QByteArray("cow\r\n"));
    QCOMPARE(listed(), QStringList({"1 1 1", "2 1 1", "3 2 0\t已撤销 (undone)"}));

    // Plain undo takes the newest run once, as it always has.
    QCOMPARE(runCli({"--undo"}, dir.path(), env).exitCode, 0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("c.txt"))), QByteArray("cat\n"));
    const CliResult again = runCli({"--undo"}, dir.path(), env);
    QCOMPARE(again.exitCode, 2);
    QVERIFY(again.out.contains(QStringLiteral("nothing to undo")));
    QCOMPARE(runCli({"--undo-run", "2"}, dir.path(), env).exitCode, 0);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("b.txt"))), QByteArray("dog\r\n"));

    QCOMPARE(
        runCli(catToDog + QStringList {"--keep-runs", "2", "a.txt"}, dir.path(), env).exitCode, 0);
    QCOMPARE(listed(), QStringList({"1 1 1", "2 1 0\t已撤销 (undone)"}));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
