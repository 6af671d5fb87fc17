#include "engine/preview.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
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

private:
    QTemporaryDir dir;
};

void TestPreview::previewIsWhatTheRunWrites_data()
{
    QTest::addColumn<bool>("ordinary");
    QTest::addColumn<bool>("full");
    QTest::newRow("ordinary text") << true << false;
    QTest::newRow("whole words") << true << true;
    QTest::newRow("regular expressions") << false << false;
}

// Random texts and chained pairs: the preview's result is the run's, and its edits turn
// the original into it.
void TestPreview::previewIsWhatTheRunWrites()
{
    QFETCH(bool, ordinary);
    QFETCH(bool, full);
    QRandomGenerator random(20261208);
    const QStringList alphabet {"a", "b", "ab", "北京", "市", " ", "\n", "1", "x"};
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

QTEST_GUILESS_MAIN(TestPreview)
#include "tst_preview.moc"
