#include "engine/streamrun.h"

#include "safewritetestutil.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace testutil;

namespace {

// Each file gets one "y" after its "x": a file replaced twice would have two.
const ReplacePairs Pairs {{QStringLiteral("x"), QStringLiteral("xy")}};

RunOptions keepingFormat()
{
    RunOptions options;
    options.settings.encoding = TextEncoding::utf8();
    options.settings.keepFormat = true;
    return options;
}

StreamSource sourceOf(const QStringList &paths)
{
    StreamSource source;
    source.paths = paths;
    source.recursive = true;
    return source;
}

bool runToEnd(StreamRun &run, const QStringList &paths)
{
    const std::atomic_bool stop {false};
    return run.run(sourceOf(paths), stop, {});
}

QStringList pathsOf(const std::vector<StreamFile> &problems)
{
    QStringList paths;
    for (const StreamFile &problem : problems)
        paths.append(problem.path);
    return paths;
}

} // namespace

class TestStreamRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void eachFileIsReplacedOnce_data();
    void eachFileIsReplacedOnce();
    void filesOfEverySizeAreReplacedAndUndone();
    void problemsAreToldInListOrder();
    void aFullDiskLeavesFilesWhole_data();
    void aFullDiskLeavesFilesWhole();
    void aKillLeavesEveryFileWholeAndUndoable();
    void aFileChangedDuringTheRunKeepsTheChange_data();
    void aFileChangedDuringTheRunKeepsTheChange();
    void stopLeavesTheRestAlone();

private:
    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
    void makeFile(const QString &name, const QByteArray &bytes = "x\n")
    {
        QVERIFY(QDir().mkpath(QFileInfo(path(name)).path()));
        QVERIFY(writeBytes(path(name), bytes));
    }
};

void TestStreamRun::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
    QCoreApplication::setApplicationName(QStringLiteral("yihuan"));
}

void TestStreamRun::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

// Folders given twice, or overlapping, list each file once; another name of a file is
// listed and shares the file's one replacement, made under its first name.
void TestStreamRun::eachFileIsReplacedOnce_data()
{
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<int>("listed");
    QTest::addColumn<QStringList>("written");

    const QStringList both {"a/1.txt", "a/sub/2.txt"};
    QTest::newRow("a folder given twice") << QStringList {"a", "a"} << 2 << both;
    QTest::newRow("a folder and its subfolder") << QStringList {"a", "a/sub"} << 2 << both;
    QTest::newRow("a file named and in its folder") << QStringList {"a/1.txt", "a"} << 2 << both;
    QTest::newRow("a hard link in another folder") << QStringList {"a", "b"} << 3 << both;
    QTest::newRow("a hard link given before its file")
        << QStringList {"b", "a", "b"} << 3 << QStringList {"b/link.txt", "a/sub/2.txt"};
}

void TestStreamRun::eachFileIsReplacedOnce()
{
    QFETCH(QStringList, given);
    QFETCH(int, listed);
    QFETCH(QStringList, written);
    makeFile(QStringLiteral("a/1.txt"));
    makeFile(QStringLiteral("a/sub/2.txt"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("b"))));
    QCOMPARE(::link(QFile::encodeName(path(QStringLiteral("a/1.txt"))).constData(),
                 QFile::encodeName(path(QStringLiteral("b/link.txt"))).constData()),
        0);
    QStringList paths;
    for (const QString &name : given)
        paths.append(path(name));

    StreamRun run(Pairs, keepingFormat());
    QVERIFY(runToEnd(run, paths));
    QCOMPARE(run.found(), qint64(listed));
    QCOMPARE(run.tally().success, listed);
    for (const QString name : {"a/1.txt", "a/sub/2.txt", "b/link.txt"})
        QCOMPARE(readBytes(path(name)), QByteArray(written.contains(name) ? "xy\n" : "x\n"));
}

// Workers lend each other their memory, large files' and small ones' alike, and a large
// file's old content no longer stays cached once it is rewritten: each file gets its own
// replacement, and undo finds every original.
void TestStreamRun::filesOfEverySizeAreReplacedAndUndone()
{
    const QList<int> sizes {
        3 << 20, 5, (2 << 20) + 7, 100 * 1024, 1 << 20, 4096, 64, 3 << 20, (5 << 20) + 3};
    const auto bytesOf = [](int i, int size, const char *lineEnd) {
        const QByteArray line = QByteArray::number(i) + " x " + lineEnd;
        QByteArray bytes;
        while (bytes.size() < size)
            bytes += line;
        return bytes;
    };
    for (int i = 0; i < sizes.size(); ++i)
        makeFile(QStringLiteral("%1.txt").arg(i), bytesOf(i, sizes.at(i), "\n"));

    StreamRun run({{QStringLiteral("x"), QStringLiteral("xy")}}, RunOptions());
    QVERIFY(runToEnd(run, {m_dir->path()}));
    QCOMPARE(run.tally().success, sizes.size());
    for (int i = 0; i < sizes.size(); ++i) {
        QByteArray after = bytesOf(i, sizes.at(i), "\n");
        after.replace(" x \n", " xy \r\n");
        QCOMPARE(readBytes(path(QStringLiteral("%1.txt").arg(i))), after);
    }
    QCOMPARE(undoLastRun().restored, sizes.size());
    for (int i = 0; i < sizes.size(); ++i)
        QCOMPARE(readBytes(path(QStringLiteral("%1.txt").arg(i))), bytesOf(i, sizes.at(i), "\n"));
}

// Workers finish in any order; the report follows the list: a lost file, a read-only
// one and another name of the read-only one, each where the scan found it.
void TestStreamRun::problemsAreToldInListOrder()
{
    for (int i = 0; i < 200; ++i)
        makeFile(QStringLiteral("a/%1.txt").arg(i, 3, 10, QLatin1Char('0')));
    const QString readOnly = path(QStringLiteral("a/150.txt"));
    QVERIFY(QFile::setPermissions(readOnly, QFile::ReadOwner));
    QVERIFY(QDir().mkpath(path(QStringLiteral("b"))));
    const QString link = path(QStringLiteral("b/link.txt"));
    QCOMPARE(
        ::link(QFile::encodeName(readOnly).constData(), QFile::encodeName(link).constData()), 0);
    const QString missing = path(QStringLiteral("gone.txt"));

    StreamRun run(Pairs, keepingFormat());
    QVERIFY(runToEnd(run, {missing, path(QStringLiteral("a")), path(QStringLiteral("b"))}));
    QCOMPARE(pathsOf(run.problems()), (QStringList {missing, readOnly, link}));
    QCOMPARE(run.problems().at(0).state, LOST);
    QCOMPARE(run.problems().at(0).reason, Reason::NotFound);
    QCOMPARE(run.problems().at(1).reason, Reason::ReadOnly);
    QCOMPARE(run.problems().at(2).reason, Reason::ReadOnly);
    QCOMPARE(run.problems().at(2).index, qint64(201));
    QCOMPARE(run.tally().success, 199);
    QCOMPARE(run.tally().fail, 2);
    QCOMPARE(run.tally().lost, 1);
    QCOMPARE(readBytes(readOnly), QByteArray("x\n"));
    QCOMPARE(readBytes(path(QStringLiteral("a/149.txt"))), QByteArray("xy\n"));
}

void TestStreamRun::aFullDiskLeavesFilesWhole_data()
{
    QTest::addColumn<QByteArray>("diskSize");
    QTest::addColumn<int>("bigSize");
    QTest::addColumn<bool>("keepFormat");
    QTest::addColumn<QString>("encoding");
    QTest::newRow("written once read whole") << QByteArray("64k") << 40 * 1024 << true << "UTF-8";
    QTest::newRow("written as it is read a piece at a time")
        << QByteArray("6m") << (5 << 20) << false << "UTF-8";
    QTest::newRow("detected, and written as it is read a piece at a time")
        << QByteArray("6m") << (5 << 20) << false << "auto";
}

// Files on a disk with no room for a second copy fail and stay whole; those that fit
// are replaced.
void TestStreamRun::aFullDiskLeavesFilesWhole()
{
    QFETCH(QByteArray, diskSize);
    QFETCH(int, bigSize);
    QFETCH(bool, keepFormat);
    QFETCH(QString, encoding);
    SmallDisk disk(path(QStringLiteral("tiny")), diskSize.constData());
    if (!disk.isMounted())
        QSKIP("Cannot mount a small tmpfs here (needs root)");
    QByteArray big;
    while (big.size() < bigSize)
        big += "x x x x x x x\n";
    QVERIFY(writeBytes(disk.path() + QStringLiteral("/a.txt"), "x\n"));
    QVERIFY(writeBytes(disk.path() + QStringLiteral("/b.txt"), big));

    RunOptions options = keepFormat ? keepingFormat() : RunOptions();
    options.settings.encoding = *TextEncoding::fromName(encoding);
    StreamRun run(Pairs, options);
    QVERIFY(runToEnd(run, {disk.path()}));
    QCOMPARE(pathsOf(run.problems()), QStringList {disk.path() + QStringLiteral("/b.txt")});
    QCOMPARE(run.problems().at(0).reason, Reason::WriteFailed);
    QCOMPARE(readBytes(disk.path() + QStringLiteral("/b.txt")), big);
    QCOMPARE(readBytes(disk.path() + QStringLiteral("/a.txt")),
        QByteArray(keepFormat ? "xy\n" : "xy\r\n"));
    QCOMPARE(
        QDir(disk.path()).entryList(QDir::Files | QDir::Hidden), (QStringList {"a.txt", "b.txt"}));
}

// Killed while a file is being put in place: every file is its old self or its new one,
// no temp file stays once the next run has looked, and undo brings back every original.
void TestStreamRun::aKillLeavesEveryFileWholeAndUndoable()
{
    constexpr int Files = 300;
    for (int i = 0; i < Files; ++i)
        makeFile(QStringLiteral("d%1/%2.txt").arg(i / 100).arg(i));
    PausePoint pause("staging");
    QVERIFY(pause.isValid());
    QProcess helper;
    helper.setProcessEnvironment(pause.environment(QProcessEnvironment::systemEnvironment()));
    helper.start(QStringLiteral(YIHUAN_SAFEWRITE_HELPER),
        {QStringLiteral("stream"), QStringLiteral("x"), QStringLiteral("xy"), m_dir->path()});
    QVERIFY(pause.reached());
    ::kill(pid_t(helper.processId()), SIGKILL);
    QVERIFY(helper.waitForFinished());

    int replaced = 0;
    for (int i = 0; i < Files; ++i) {
        const QByteArray bytes = readBytes(path(QStringLiteral("d%1/%2.txt").arg(i / 100).arg(i)));
        QVERIFY2(bytes == "x\n" || bytes == "xy\r\n", bytes.constData());
        replaced += bytes != "x\n";
    }
    QVERIFY(replaced < Files);
    QByteArray output;
    QCOMPARE(run(QStringLiteral(YIHUAN_SAFEWRITE_HELPER), {QStringLiteral("undo")}, &output), 0);
    for (int i = 0; i < Files; ++i)
        QCOMPARE(
            readBytes(path(QStringLiteral("d%1/%2.txt").arg(i / 100).arg(i))), QByteArray("x\n"));
    for (int d = 0; d < 3; ++d)
        QCOMPARE(hiddenEntries(path(QStringLiteral("d%1").arg(d))), QStringList());
}

void TestStreamRun::aFileChangedDuringTheRunKeepsTheChange_data()
{
    QTest::addColumn<QByteArray>("step");
    QTest::addColumn<int>("size");
    QTest::newRow("between its reading and its replacement") << QByteArray("staging") << 2;
    QTest::newRow("while it is read a piece at a time") << QByteArray("read-piece") << (6 << 20);
}

// Someone writes the file while the run works on it: the run leaves their content and
// says why.
void TestStreamRun::aFileChangedDuringTheRunKeepsTheChange()
{
    QFETCH(QByteArray, step);
    QFETCH(int, size);
    makeFile(QStringLiteral("a.txt"), QByteArray("x\n").repeated(size / 2));
    PausePoint pause(step.constData());
    QVERIFY(pause.isValid());
    QProcess helper;
    helper.setProcessEnvironment(pause.environment(QProcessEnvironment::systemEnvironment()));
    helper.start(QStringLiteral(YIHUAN_SAFEWRITE_HELPER),
        {QStringLiteral("stream"), QStringLiteral("x"), QStringLiteral("xy"),
            path(QStringLiteral("a.txt"))});
    QVERIFY(pause.reached());
    QVERIFY(writeBytes(path(QStringLiteral("a.txt")), "theirs\n"));
    pause.release();
    QVERIFY(helper.waitForFinished());
    QCOMPARE(helper.exitCode(), 0);
    QCOMPARE(helper.readAllStandardOutput(),
        QByteArray::number(int(Reason::ChangedDuringRun)) + ' '
            + QFile::encodeName(path(QStringLiteral("a.txt"))) + "\n0 1 0\n");
    QCOMPARE(readBytes(path(QStringLiteral("a.txt"))), QByteArray("theirs\n"));
}

// A stop set before the run takes nothing: no file is written or listed as done.
void TestStreamRun::stopLeavesTheRestAlone()
{
    for (int i = 0; i < 20; ++i)
        makeFile(QStringLiteral("a/%1.txt").arg(i));
    StreamRun run(Pairs, keepingFormat());
    const std::atomic_bool stop {true};
    QVERIFY(run.run(sourceOf({path(QStringLiteral("a"))}), stop, {}));
    QCOMPARE(run.tally().success, 0);
    for (int i = 0; i < 20; ++i)
        QCOMPARE(readBytes(path(QStringLiteral("a/%1.txt").arg(i))), QByteArray("x\n"));
}

QTEST_GUILESS_MAIN(TestStreamRun)
#include "tst_streamrun.moc"
