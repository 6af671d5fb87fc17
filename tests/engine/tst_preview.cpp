#include "engine/preview.h"

#include "engine/filechoice.h"
#include "safewritetestutil.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QByteArray encoded(const QString &text, const QByteArray &codec)
{
    return QTextCodec::codecForName(codec)->fromUnicode(text);
}

ReplacePairs pairsOf(const QStringList &list)
{
    ReplacePairs pairs;
    for (const QString &pair : list)
        pairs.append({pair.section(QLatin1Char('|'), 0, 0), pair.section(QLatin1Char('|'), 1)});
    return pairs;
}

// Runs one file as the preview's start button does, with the changes at the given
// positions among the preview's choosable ones left out.
FileOutcome runChosen(const QString &path, const ReplacePairs &pairs, const RunOptions &options,
    const FilePreview &preview, const QVector<int> &leftOut)
{
    auto choice = std::make_shared<FileChoice>();
    choice->read = preview.read;
    const std::vector<TextEdit> changes
        = choosableChanges(preview.before, preview.after, preview.edits.edits);
    for (const int i : leftOut)
        choice->leftOut.push_back(changes.at(size_t(i)));
    Job job;
    job.files.append({path, pairs, choice});
    ReplaceRun run(job, options);
    QSignalSpy finished(&run, &ReplaceRun::finished);
    run.start();
    if (!run.isFinished() && !finished.wait(10000))
        return FileOutcome();
    return run.outcome(0);
}

QString applied(const QString &before, const FilePreview &preview)
{
    QString result;
    qsizetype at = 0;
    for (const TextEdit &edit : preview.edits.edits) {
        result += before.mid(at, edit.before - at);
        result += preview.after.mid(edit.after, edit.afterLength);
        at = edit.before + edit.beforeLength;
    }
    return result + before.mid(at);
}

} // namespace

class TestPreview : public QObject
{
    Q_OBJECT

private slots:
    void previewIsWhatTheRunWrites_data();
    void previewIsWhatTheRunWrites();
    void changedLinesGroupEditsByLine_data();
    void changedLinesGroupEditsByLine();
    void hugeFilesShowTheirFirstChanges();
    void runFromThePreviewWritesTheCheckedChanges_data();
    void runFromThePreviewWritesTheCheckedChanges();
    void runFromThePreviewLeavesAFileChangedSince_data();
    void runFromThePreviewLeavesAFileChangedSince();

private:
    QTemporaryDir dir;
};

void TestPreview::previewIsWhatTheRunWrites_data()
{
    QTest::addColumn<bool>("ordinary");
    QTest::addColumn<bool>("full");
    QTest::addColumn<bool>("ignoreCase");
    QTest::newRow("ordinary text") << true << false << false;
    QTest::newRow("whole words") << true << true << false;
    QTest::newRow("regular expressions") << false << false << false;
    QTest::newRow("ordinary text, ignoring case") << true << false << true;
    QTest::newRow("whole words, ignoring case") << true << true << true;
    QTest::newRow("regular expressions, ignoring case") << false << false << true;
}

// Random texts and chained pairs: the preview's result is the run's, and its edits turn
// the original into it.
void TestPreview::previewIsWhatTheRunWrites()
{
    QFETCH(bool, ordinary);
    QFETCH(bool, full);
    QFETCH(bool, ignoreCase);
    QRandomGenerator random(20261208);
    const QStringList alphabet {
        "A", "Ab", "É", "a", "b", "ab", "é", "北京", "市", " ", "\n", "1", "x"};
    for (int round = 0; round < 40; ++round) {
        QString text;
        const int length = int(random.bounded(200));
        for (int i = 0; i < length; ++i)
            text += alphabet.at(int(random.bounded(alphabet.size())));
        ReplacePairs pairs;
        for (int p = 0; p < 4; ++p)
            pairs.append({alphabet.at(int(random.bounded(alphabet.size() - 3))),
                alphabet.at(int(random.bounded(alphabet.size())))});
        const QString path = dir.filePath(QStringLiteral("r%1.txt").arg(round));
        writeBytes(path, text.toUtf8());

        RunOptions options;
        options.settings.match = ReplaceSettings::matchOf(ordinary, full);
        options.settings.keepFormat = true;
        options.settings.ignoreCase = ignoreCase;
        const FilePreview preview = previewFile(path, pairs, options, 100000);
        QCOMPARE(preview.reason, Reason::None);
        QCOMPARE(applied(preview.before, preview), preview.after);

        Job job;
        job.files.append({path, pairs});
        ReplaceRun run(job, options);
        QSignalSpy finished(&run, &ReplaceRun::finished);
        run.start();
        QVERIFY(run.isFinished() || finished.wait(10000));
        QCOMPARE(readText(path), preview.after);
    }
}

void TestPreview::changedLinesGroupEditsByLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("two changes on one line make one entry")
        << "keep\ncat and cat\nkeep"
        << "cat"
        << "dog" << QStringList {"2:cat and cat|2:dog and dog"};
    QTest::newRow("changes on separate lines make separate entries")
        << "cat\nx\ncat"
        << "cat"
        << "dog" << QStringList {"1:cat|1:dog", "3:cat|3:dog"};
    QTest::newRow("a replacement that adds a line shifts the numbers after it")
        << "a\nb\na"
        << "a"
        << "a1\na2" << QStringList {"1:a|1:a1\na2", "3:a|4:a1\na2"};
    QTest::newRow("a deletion leaves the line, emptied") << "one\ntwo"
                                                         << "two"
                                                         << "" << QStringList {"2:two|2:"};
}

void TestPreview::changedLinesGroupEditsByLine()
{
    QFETCH(QString, text);
    QFETCH(QString, keyword);
    QFETCH(QString, replacement);
    QFETCH(QStringList, expected);

    const QString path = dir.filePath(QStringLiteral("lines.txt"));
    writeBytes(path, text.toUtf8());
    RunOptions options;
    options.settings.keepFormat = true;
    const FilePreview preview = previewFile(path, {{keyword, replacement}}, options);
    QStringList entries;
    for (const ChangedLines &entry : changedLines(preview, 10))
        entries.append(QStringLiteral("%1:%2|%3:%4")
                           .arg(entry.beforeLine)
                           .arg(entry.beforeText)
                           .arg(entry.afterLine)
                           .arg(entry.afterText));
    QCOMPARE(entries, expected);
}

void TestPreview::hugeFilesShowTheirFirstChanges()
{
    const QString path = dir.filePath(QStringLiteral("huge.txt"));
    writeBytes(path, QByteArray("cat\n").repeated(100000));
    const FilePreview preview = previewFile(path, {{"cat", "dog"}}, RunOptions(), 300);
    QVERIFY(!preview.edits.complete);
    QCOMPARE(int(preview.edits.edits.size()), 300);
    const QVector<ChangedLines> entries = changedLines(preview, 300);
    QCOMPARE(entries.size(), 300);
    QCOMPARE(entries.last().beforeLine, 300);
}

void TestPreview::runFromThePreviewWritesTheCheckedChanges_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QStringList>("pairs");
    QTest::addColumn<bool>("keepFormat");
    QTest::addColumn<QVector<int>>("leftOut");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QVector<int>>("counts");

    QTest::newRow("an unchecked change keeps its text, the others are made")
        << "cat cat cat\n"
        << QByteArray("UTF-8") << QStringList {"cat|dog"} << true << QVector<int> {1}
        << "dog cat dog\n"
        << QVector<int> {2};
    QTest::newRow("every change checked writes the full result")
        << "cat cat\n"
        << QByteArray("UTF-8") << QStringList {"cat|dog"} << true << QVector<int> {} << "dog dog\n"
        << QVector<int> {2};
    QTest::newRow("touching changes are chosen one by one")
        << "aaa" << QByteArray("UTF-8") << QStringList {"a|b"} << true << QVector<int> {0, 2}
        << "aba" << QVector<int> {1};
    QTest::newRow("chained pairs: a change is what all pairs made of its span")
        << "ab ab\n"
        << QByteArray("UTF-8") << QStringList {"a|x", "xb|y"} << true << QVector<int> {0}
        << "ab y\n"
        << QVector<int> {1, 1};
    QTest::newRow("a pair that matches another's replacement across its edge")
        << "北京市 北京市\n"
        << QByteArray("UTF-8") << QStringList {"北京|上海", "海市|海县"} << true << QVector<int> {1}
        << "上海县 北京市\n"
        << QVector<int> {1, 1};
    QTest::newRow("a GBK file keeps its unchecked change in its own bytes")
        << "北京 北京 北京\r\n"
        << QByteArray("GBK") << QStringList {"北京|上海"} << true << QVector<int> {0, 2}
        << "北京 上海 北京\r\n"
        << QVector<int> {1};
    QTest::newRow("the rewrite of line breaks is no change: it stays")
        << "cat\ncat\n"
        << QByteArray("UTF-8") << QStringList {"cat|dog"} << false << QVector<int> {0}
        << "cat\r\ndog\r\n"
        << QVector<int> {1};
    QTest::newRow("every change unchecked still rewrites the line breaks")
        << "cat\ncat\n"
        << QByteArray("UTF-8") << QStringList {"cat|dog"} << false << QVector<int> {0, 1}
        << "cat\r\ncat\r\n"
        << QVector<int> {0};
    QTest::newRow("a change that spans a line break")
        << "a\nb\n"
        << QByteArray("UTF-8") << QStringList {"a\n|", "b|c"} << false << QVector<int> {0}
        << "a\r\nc\r\n"
        << QVector<int> {0, 1};
}

// What lands on disk: the changes left checked, and for the unchecked ones the original
// text, in the file's own encoding.
void TestPreview::runFromThePreviewWritesTheCheckedChanges()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, codec);
    QFETCH(QStringList, pairs);
    QFETCH(bool, keepFormat);
    QFETCH(QVector<int>, leftOut);
    QFETCH(QString, expected);
    QFETCH(QVector<int>, counts);

    const QString path = dir.filePath(QStringLiteral("chosen.txt"));
    writeBytes(path, encoded(text, codec));
    RunOptions options;
    options.settings.match = pairs.join(QString()).contains(QLatin1Char('\n'))
        ? MatchMode::RegularExpression
        : MatchMode::Plain;
    options.settings.encoding = *TextEncoding::fromName(QString::fromLatin1(codec));
    options.settings.keepFormat = keepFormat;
    const FilePreview preview = previewFile(path, pairsOf(pairs), options);
    QCOMPARE(preview.reason, Reason::None);

    const FileOutcome outcome = runChosen(path, pairsOf(pairs), options, preview, leftOut);
    QCOMPARE(outcome.reason, Reason::None);
    QCOMPARE(outcome.state, SUCCESS);
    QCOMPARE(testutil::readBytes(path), encoded(expected, codec));
    QCOMPARE(outcome.counts, counts);
}

void TestPreview::runFromThePreviewLeavesAFileChangedSince_data()
{
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QVector<int>>("leftOut");
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("reason");

    const int changed = int(Reason::ChangedSincePreview);
    QTest::newRow("edited, every change checked")
        << QByteArray("UTF-8") << QVector<int> {} << "edit" << changed;
    QTest::newRow("edited, a change unchecked")
        << QByteArray("UTF-8") << QVector<int> {0} << "edit" << changed;
    QTest::newRow("edited in a GBK file")
        << QByteArray("GBK") << QVector<int> {1} << "edit" << changed;
    QTest::newRow("unreadable when previewed, readable now")
        << QByteArray("UTF-8") << QVector<int> {} << "unlock" << changed;
    QTest::newRow("made read-only since")
        << QByteArray("UTF-8") << QVector<int> {0} << "lock" << int(Reason::ReadOnly);
    QTest::newRow("a full disk") << QByteArray("UTF-8") << QVector<int> {0} << "fill"
                                 << int(Reason::WriteFailed);
}

// A file that no longer holds what the preview read is left exactly as it now is, with the
// reason; so is one the run cannot write.
void TestPreview::runFromThePreviewLeavesAFileChangedSince()
{
    QFETCH(QByteArray, codec);
    QFETCH(QVector<int>, leftOut);
    QFETCH(QString, change);
    QFETCH(int, reason);

    std::unique_ptr<testutil::SmallDisk> disk;
    QString folder = dir.path();
    if (change == QLatin1String("fill")) {
        disk = std::make_unique<testutil::SmallDisk>(dir.filePath(QStringLiteral("tiny")), "64k");
        if (!disk->isMounted())
            QSKIP("Cannot mount a small tmpfs here (needs root)");
        folder = disk->path();
    }
    const QString path = folder + QStringLiteral("/since.txt");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    const QString text = QStringLiteral("北京 北京\n").repeated(2000);
    writeBytes(path, encoded(text, codec));
    if (change == QLatin1String("unlock"))
        QFile::setPermissions(path, QFile::ReadOwner);
    RunOptions options;
    options.settings.encoding = *TextEncoding::fromName(QString::fromLatin1(codec));
    options.settings.keepFormat = true;
    const ReplacePairs pairs {{QStringLiteral("北京"), QStringLiteral("上海市")}};
    const FilePreview preview = previewFile(path, pairs, options);

    QByteArray now = encoded(text, codec);
    if (change == QLatin1String("edit")) {
        // The same size: only the content tells.
        now = encoded(QStringLiteral("北京 南京\n") + text.mid(6), codec);
        writeBytes(path, now);
    } else if (change == QLatin1String("unlock")) {
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    } else if (change == QLatin1String("lock")) {
        QFile::setPermissions(path, QFile::ReadOwner);
    } else if (change == QLatin1String("fill")) {
        QFile filler(folder + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        filler.write(QByteArray(64 * 1024 - 2 * now.size(), 'f'));
    }
    const FileOutcome outcome = runChosen(path, pairs, options, preview, leftOut);
    QCOMPARE(int(outcome.reason), reason);
    QCOMPARE(outcome.state, FAIL);
    QCOMPARE(testutil::readBytes(path), now);
    QCOMPARE(testutil::hiddenEntries(folder), QStringList());
}

QTEST_GUILESS_MAIN(TestPreview)
#include "tst_preview.moc"
