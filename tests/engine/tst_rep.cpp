#include "engine/rep.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThreadPool>
#include <QtConcurrent>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

RepOptions ordinaryPairs(const ReplacePairs &pairs)
{
    RepOptions options;
    options.pairs = pairs;
    return options;
}

RepOptions gbkPairs(const ReplacePairs &pairs)
{
    RepOptions options = ordinaryPairs(pairs);
    options.encoding = *TextEncoding::fromName(QStringLiteral("GBK"));
    return options;
}

// The outcome, with LOST standing for a worker that did not report exactly once.
FileOutcome runRep(const QString &path, const RepOptions &options)
{
    Rep rep(path, options, 7);
    QSignalSpy spy(&rep, &Rep::done);
    rep.replaceFile();
    FileOutcome lost;
    lost.state = LOST;
    if (spy.count() != 1)
        return lost;
    const QList<QVariant> arguments = spy.takeFirst();
    if (arguments.at(0).value<Rep *>() != &rep || arguments.at(2).toInt() != 7
        || arguments.at(1).value<STATE>() != rep.outcome().state)
        return lost;
    return rep.outcome();
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

} // namespace

Q_DECLARE_METATYPE(Reason)

class TestRep : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rewrites_data();
    void rewrites();
    void refusesAndLeavesBytes_data();
    void refusesAndLeavesBytes();
    void largeFiles_data();
    void largeFiles();
    void refusesReadOnlyFileEvenForRoot();
    void refusesMissingFileAndFolder();
    void keepsPermissionBits_data();
    void keepsPermissionBits();
    void keepsOwnerAndGroup();
    void updatesSymlinkTarget();
    void rewritesInPlaceInALockedFolder();
    void refusesTextTheEncodingCannotHold();
    void readsAndWritesTheRunsEncoding();
    void fullDiskKeepsOldContent();
    void reportsOnceOnReceiverThread();

private:
    QTemporaryDir dir;
};

void TestRep::initTestCase()
{
    registerRepMetaTypes();
    registerRepMetaTypes();
    QVERIFY(dir.isValid());
    QTextCodec::setCodecForLocale(nullptr);
    QCOMPARE(QTextCodec::codecForLocale()->name(), QByteArray("UTF-8"));
}

void TestRep::rewrites_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<ReplacePairs>("pairs");
    QTest::addColumn<QByteArray>("after");

    const ReplacePairs catToDog {{"cat", "dog"}};
    QTest::newRow("a missing keyword still drops the mark and ends lines with CRLF") << QByteArray(
        "\xEF\xBB\xBF"
        "a\nb\n") << catToDog << QByteArray("a\r\nb\r\n");
    QTest::newRow("CRLF lines stay CRLF")
        << QByteArray("cat\r\ncat") << catToDog << QByteArray("dog\r\ndog");
    QTest::newRow("a lone carriage return breaks a line")
        << QByteArray("a\rcat\r") << catToDog << QByteArray("a\r\ndog\r\n");
    QTest::newRow("a carriage return between keyword characters parts them")
        << QByteArray("ca\rt") << catToDog << QByteArray("ca\r\nt");
    QTest::newRow("UTF-16LE with mark becomes UTF-8 without") << QByteArray(
        "\xFF\xFE"
        "c\0a\0t\0\n\0-\0\x2d\x4e",
        14) << catToDog << QByteArray("dog\r\n-\xE4\xB8\xAD");
    QTest::newRow("UTF-16BE with mark becomes UTF-8 without")
        << QByteArray("\xFE\xFF\0c\0a\0t", 8) << catToDog << QByteArray("dog");
    QTest::newRow("UTF-32LE with mark becomes UTF-8 without") << QByteArray("\xFF\xFE\0\0"
                                                                            "c\0\0\0",
        8) << ReplacePairs {{"c", "x"}} << QByteArray("x");
    QTest::newRow("a second mark is content") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF"
                                                            "a")
                                              << catToDog
                                              << QByteArray("\xEF\xBB\xBF"
                                                            "a");
    QTest::newRow("an empty file stays empty") << QByteArray() << catToDog << QByteArray();
    QTest::newRow("chinese keywords in UTF-8")
        << QByteArray("批量替换\n") << ReplacePairs {{"替换", "查找"}}
        << QByteArray("批量查找\r\n");
}

void TestRep::rewrites()
{
    QFETCH(QByteArray, before);
    QFETCH(ReplacePairs, pairs);
    QFETCH(QByteArray, after);

    const QString path = dir.filePath(QStringLiteral("rewrite.txt"));
    writeBytes(path, before);
    QCOMPARE(runRep(path, ordinaryPairs(pairs)).state, SUCCESS);
    QCOMPARE(readBytes(path), after);
}

void TestRep::refusesAndLeavesBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Reason>("reason");

    QTest::newRow("invalid UTF-8") << QByteArray("cat \xC3( cat") << Reason::InvalidEncoding;
    QTest::newRow("UTF-8 cut off inside a character")
        << QByteArray("cat \xE4\xB8") << Reason::InvalidEncoding;
    QTest::newRow("a NUL byte marks a binary file") << QByteArray("cat\0cat", 7) << Reason::Binary;
    QTest::newRow("a UTF-8 mark does not excuse a NUL byte") << QByteArray("\xEF\xBB\xBF"
                                                                           "cat\0",
        7) << Reason::Binary;
    QTest::newRow("UTF-16 with an odd byte count") << QByteArray("\xFF\xFE"
                                                                 "c\0a",
        5) << Reason::InvalidEncoding;
    QTest::newRow("NUL bytes are text in UTF-16, but a NUL character is not") << QByteArray(
        "\xFF\xFE"
        "a\0\0\0",
        6) << Reason::Binary;
    QTest::newRow("an unpaired surrogate in UTF-16") << QByteArray("\xFF\xFE"
                                                                   "c\0\x3d\xd8",
        6) << Reason::InvalidEncoding;
}

void TestRep::refusesAndLeavesBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Reason, reason);

    const QString path = dir.filePath(QStringLiteral("refuse.txt"));
    writeBytes(path, bytes);
    const FileOutcome outcome = runRep(path, ordinaryPairs({{"cat", "dog"}}));
    QCOMPARE(outcome.state, FAIL);
    QCOMPARE(outcome.reason, reason);
    QCOMPARE(readBytes(path), bytes);
}

// Files are read in blocks of 32 KiB; these put the interesting bytes on the seams.
void TestRep::largeFiles_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    const int block = 32 * 1024;
    const QByteArray fill(block - 1, 'a');
    QTest::newRow("a character split between blocks") << fill + "\xE4\xB8\xAD cat\n"
                                                      << fill + "\xE4\xB8\xAD dog\r\n";
    QTest::newRow("CR and LF split between blocks") << fill + "\r\ncat" << fill + "\r\ndog";
    QTest::newRow("the keyword split between blocks") << fill + " cat " << fill + " dog ";
    QTest::newRow("an invalid byte in a later block") << fill + fill + "\xFF cat" << QByteArray();
    QTest::newRow("a NUL byte in a later block")
        << fill + fill + QByteArray("\0cat", 4) << QByteArray();
    QTest::newRow("a file cut off inside its last character")
        << fill + fill + "cat\xE4\xB8" << QByteArray();

    QByteArray utf16("\xFF\xFE");
    QByteArray utf8;
    for (int i = 0; i < block; ++i) {
        // A surrogate pair, a CR and a keyword now and then, across the seams.
        switch (i % 7) {
        case 0:
            utf16 += QByteArray("\x3D\xD8\x00\xDE", 4);
            utf8 += "\xF0\x9F\x98\x80";
            break;
        case 3:
            utf16 += QByteArray("\r\0\n\0", 4);
            utf8 += "\r\n";
            break;
        default:
            utf16 += QByteArray("c\0a\0t\0 \0", 8);
            utf8 += "dog ";
        }
    }
    QTest::newRow("UTF-16 over many blocks") << utf16 << utf8;
}

void TestRep::largeFiles()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);

    const QString path = dir.filePath(QStringLiteral("large.txt"));
    writeBytes(path, before);
    QCOMPARE(runRep(path, ordinaryPairs({{"cat", "dog"}})).state, after.isNull() ? FAIL : SUCCESS);
    QCOMPARE(readBytes(path), after.isNull() ? before : after);
}

void TestRep::refusesReadOnlyFileEvenForRoot()
{
    const QString path = dir.filePath(QStringLiteral("readonly.txt"));
    writeBytes(path, "cat");
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QCOMPARE(runRep(path, ordinaryPairs({{"cat", "dog"}})).reason, Reason::ReadOnly);
    QCOMPARE(readBytes(path), QByteArray("cat"));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0444);
}

void TestRep::refusesMissingFileAndFolder()
{
    const QString path = dir.filePath(QStringLiteral("gone.txt"));
    writeBytes(path, "cat");
    QVERIFY(QFile::remove(path));
    QCOMPARE(runRep(path, ordinaryPairs({{"cat", "dog"}})).reason, Reason::NotFound);
    QVERIFY(!QFile::exists(path));

    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QCOMPARE(runRep(dir.filePath(QStringLiteral("folder")), ordinaryPairs({{"cat", "dog"}})).reason,
        Reason::NotRegular);
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("folder"))).isDir());
}

void TestRep::keepsPermissionBits_data()
{
    QTest::addColumn<int>("mode");

    QTest::newRow("owner read-write, group read") << 0640;
    QTest::newRow("executable by all") << 0755;
    QTest::newRow("owner only") << 0600;
    QTest::newRow("group-writable only") << 0464;
}

void TestRep::keepsPermissionBits()
{
    QFETCH(int, mode);

    const QString path = dir.filePath(QStringLiteral("mode.txt"));
    QFile::remove(path);
    writeBytes(path, "cat");
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
    QCOMPARE(runRep(path, ordinaryPairs({{"cat", "dog"}})).state, SUCCESS);
    QCOMPARE(readBytes(path), QByteArray("dog"));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), mode);
}

void TestRep::keepsOwnerAndGroup()
{
    if (::geteuid() != 0)
        QSKIP("Only root can hand a file to another owner");
    const QString path = dir.filePath(QStringLiteral("owner.txt"));
    writeBytes(path, "cat");
    const QByteArray native = QFile::encodeName(path);
    QCOMPARE(::chown(native.constData(), 4321, 8765), 0);
    QCOMPARE(runRep(path, ordinaryPairs({{"cat", "dog"}})).state, SUCCESS);
    QCOMPARE(readBytes(path), QByteArray("dog"));
    struct stat st;
    QCOMPARE(::stat(native.constData(), &st), 0);
    QCOMPARE(st.st_uid, uid_t(4321));
    QCOMPARE(st.st_gid, gid_t(8765));
}

void TestRep::updatesSymlinkTarget()
{
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("real")));
    const QString target = dir.filePath(QStringLiteral("real/target.txt"));
    const QString link = dir.filePath(QStringLiteral("link.txt"));
    writeBytes(target, "cat");
    QVERIFY(QFile::link(target, link));
    QCOMPARE(runRep(link, ordinaryPairs({{"cat", "dog"}})).state, SUCCESS);
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), target);
    QCOMPARE(readBytes(target), QByteArray("dog"));
    QCOMPARE(filesIn(dir.filePath(QStringLiteral("real"))), QStringList {"target.txt"});
}

void TestRep::rewritesInPlaceInALockedFolder()
{
    // An immutable folder refuses new files even to root, unlike its permission bits.
    const QString folder = dir.filePath(QStringLiteral("locked"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("locked")));
    const QString path = folder + QStringLiteral("/file.txt");
    writeBytes(path, "cat\n");
    if (QProcess::execute(QStringLiteral("chattr"), {"+i", folder}) != 0)
        QSKIP("Cannot make a folder immutable here (needs chattr, root and ext4)");
    struct Unlock
    {
        QString path;
        ~Unlock() { QProcess::execute(QStringLiteral("chattr"), {"-i", path}); }
    } unlock {folder};

    QCOMPARE(runRep(path, ordinaryPairs({{"cat", "dog"}})).state, SUCCESS);
    QCOMPARE(readBytes(path), QByteArray("dog\r\n"));
    QCOMPARE(filesIn(folder), QStringList {"file.txt"});

    // Written in place there is no old copy to fall back on, so nothing may be written
    // before the whole text is known to encode.
    QCOMPARE(runRep(path, gbkPairs({{"dog", QString::fromUtf8("\xF0\x9F\x98\x80")}})).reason,
        Reason::Unencodable);
    QCOMPARE(readBytes(path), QByteArray("dog\r\n"));
}

void TestRep::refusesTextTheEncodingCannotHold()
{
    const QString path = dir.filePath(QStringLiteral("emoji.txt"));
    const QByteArray bytes = QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("笑脸"));
    writeBytes(path, bytes);
    QCOMPARE(runRep(path, gbkPairs({{"笑脸", QString::fromUtf8("\xF0\x9F\x98\x80")}})).reason,
        Reason::Unencodable);
    QCOMPARE(readBytes(path), bytes);

    // Read as UTF-8 by its mark, written in the chosen encoding: the reason names the latter.
    const QByteArray marked = "\xEF\xBB\xBF" + QStringLiteral("笑脸").toUtf8();
    writeBytes(path, marked);
    const FileOutcome outcome
        = runRep(path, gbkPairs({{"笑脸", QString::fromUtf8("\xF0\x9F\x98\x80")}}));
    QCOMPARE(outcome.reason, Reason::Unencodable);
    QCOMPARE(outcome.encoding.name(), QStringLiteral("GBK"));
    QCOMPARE(readBytes(path), marked);
}

void TestRep::readsAndWritesTheRunsEncoding()
{
    QTextCodec *codec = QTextCodec::codecForName("GBK");
    const QString path = dir.filePath(QStringLiteral("gbk.txt"));
    // Larger than one read block.
    writeBytes(path, codec->fromUnicode(QStringLiteral("批量替换\n工具").repeated(4000)));
    QCOMPARE(runRep(path, gbkPairs({{"替换", "查找"}})).state, SUCCESS);
    QCOMPARE(
        readBytes(path), codec->fromUnicode(QStringLiteral("批量查找\r\n工具").repeated(4000)));

    // GBK decodes nearly anything; a lead byte with nothing after it must still be refused.
    const QByteArray cut = codec->fromUnicode(QStringLiteral("替换")) + '\xD6';
    writeBytes(path, cut);
    QCOMPARE(runRep(path, gbkPairs({{"替换", "查找"}})).reason, Reason::InvalidEncoding);
    QCOMPARE(readBytes(path), cut);
}

void TestRep::fullDiskKeepsOldContent()
{
    const QString mountPoint = dir.filePath(QStringLiteral("tiny"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("tiny")));
    QProcess mount;
    mount.start(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64k", "tmpfs", mountPoint});
    if (!mount.waitForFinished() || mount.exitStatus() != QProcess::NormalExit
        || mount.exitCode() != 0)
        QSKIP("Cannot mount a small tmpfs here (needs root)");
    struct Unmount
    {
        QString path;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {path}); }
    } unmount {mountPoint};

    // The rewrite needs room for a second copy next to the first.
    const QString path = mountPoint + QStringLiteral("/big.txt");
    QByteArray before;
    while (before.size() < 40 * 1024)
        before += "cat cat cat cat\n";
    writeBytes(path, before);
    QCOMPARE(runRep(path, ordinaryPairs({{"cat", "dog"}})).reason, Reason::WriteFailed);
    QCOMPARE(readBytes(path), before);
    QCOMPARE(filesIn(mountPoint), QStringList {"big.txt"});

    // With room again the same run succeeds.
    const QByteArray small("cat\n");
    writeBytes(path, small);
    QCOMPARE(runRep(path, ordinaryPairs({{"cat", "dog"}})).state, SUCCESS);
    QCOMPARE(readBytes(path), QByteArray("dog\r\n"));
}

void TestRep::reportsOnceOnReceiverThread()
{
    constexpr int Files = 24;
    QVector<Rep *> reps;
    QVector<int> reports(Files, 0);
    QVector<STATE> states(Files, LOST);
    QSet<QThread *> emitters;
    QMutex emittersLock;
    bool allOnMainThread = true;
    for (int i = 0; i < Files; ++i) {
        const QString path = dir.filePath(QStringLiteral("pool%1.txt").arg(i));
        // Every third file is missing and must fail like the others succeed.
        if (i % 3 != 0)
            writeBytes(path, "cat\n");
        auto *rep = new Rep(path, ordinaryPairs({{"cat", "dog"}}), i);
        connect(rep, &Rep::done, this, [&](Rep *, STATE state, int index) {
            allOnMainThread = allOnMainThread && QThread::currentThread() == thread();
            ++reports[index];
            states[index] = state;
        });
        connect(
            rep, &Rep::done, rep,
            [&] {
                QMutexLocker locker(&emittersLock);
                emitters.insert(QThread::currentThread());
            },
            Qt::DirectConnection);
        reps.append(rep);
    }
    for (Rep *rep : qAsConst(reps))
        startRep(rep);

    QTRY_COMPARE(std::accumulate(reports.cbegin(), reports.cend(), 0), Files);
    workerPool()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(reports, QVector<int>(Files, 1));
    QVERIFY(allOnMainThread);
    QVERIFY(!emitters.contains(thread()));
    for (int i = 0; i < Files; ++i) {
        QCOMPARE(states.at(i), i % 3 == 0 ? FAIL : SUCCESS);
        if (i % 3 != 0)
            QCOMPARE(readBytes(dir.filePath(QStringLiteral("pool%1.txt").arg(i))),
                QByteArray("dog\r\n"));
    }
}

QTEST_GUILESS_MAIN(TestRep)
#include "tst_rep.moc"
