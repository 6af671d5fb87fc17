#include "engine/run.h"
#include "engine/text/encodingdetection.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <utime.h>

namespace {

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString fixture(const QString &name)
{
    return QStringLiteral(YIHUAN_TEST_DATA_DIR "/encodings/") + name;
}

QString sourceText(const QString &name)
{
    return QString::fromUtf8(readBytes(fixture(QStringLiteral("source/") + name)));
}

// An old modification time, so that a rewrite could not keep it by chance.
void backdate(const QString &path)
{
    const struct utimbuf old
    {
        1000000000, 1000000000
    };
    QCOMPARE(::utime(QFile::encodeName(path).constData(), &old), 0);
}

FileOutcome runOne(const QString &path, const ReplacePairs &pairs, const RunOptions &options)
{
    Job job;
    job.files.append({path, pairs});
    ReplaceRun run(job, options);
    QSignalSpy finished(&run, &ReplaceRun::finished);
    run.start();
    if (!run.isFinished() && !finished.wait(10000))
        return FileOutcome {LOST, Reason::None, {}, {}, {}};
    return run.outcome(0);
}

RunOptions withEncoding(const QString &name, bool keepFormat = false)
{
    RunOptions options;
    options.settings.encoding = *TextEncoding::fromName(name);
    options.settings.keepFormat = keepFormat;
    return options;
}

} // namespace

class TestFormats : public QObject
{
    Q_OBJECT

private slots:
    void automaticWritesEachFileBackInItsOwn_data();
    void automaticWritesEachFileBackInItsOwn();
    void automaticLooksPastTheStart_data();
    void automaticLooksPastTheStart();
    void keepFormatLeavesUnmatchedFilesAlone_data();
    void keepFormatLeavesUnmatchedFilesAlone();
    void keepFormatKeepsBreaksAndMark_data();
    void keepFormatKeepsBreaksAndMark();
    void loneCarriageReturnIsALineBreak();
    void gbkReadsAsGb18030();
    void unencodableResultLeavesTheFile();

private:
    QTemporaryDir dir;
};

void TestFormats::automaticWritesEachFileBackInItsOwn_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QByteArray>("mark");

    QTest::newRow("UTF-8") << "zh-hans.utf-8.txt"
                           << "zh-hans.txt"
                           << "批量"
                           << "成批"
                           << "UTF-8" << QByteArray();
    QTest::newRow("GBK, read as GB18030") << "zh-hans.gbk.txt"
                                          << "zh-hans.txt"
                                          << "批量"
                                          << "成批"
                                          << "GB18030" << QByteArray();
    QTest::newRow("Big5 subtitles") << "zh-hant.big5.txt"
                                    << "zh-hant.txt"
                                    << "取代"
                                    << "替換"
                                    << "Big5" << QByteArray();
    QTest::newRow("Shift_JIS") << "ja.shift_jis.txt"
                               << "ja.txt"
                               << "置換"
                               << "変換"
                               << "Shift_JIS" << QByteArray();
    QTest::newRow("UTF-16 with its mark") << "export.utf-16le-bom.tsv"
                                          << "export.tsv"
                                          << "处理中"
                                          << "已完成"
                                          << "UTF-16LE" << QByteArray("\xFF\xFE");
}

void TestFormats::automaticWritesEachFileBackInItsOwn()
{
    QFETCH(QString, file);
    QFETCH(QString, source);
    QFETCH(QString, keyword);
    QFETCH(QString, replacement);
    QFETCH(QString, encoding);
    QFETCH(QByteArray, mark);

    const QString path = dir.filePath(file);
    QFile::remove(path);
    QVERIFY(QFile::copy(fixture(file), path));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    const FileOutcome outcome
        = runOne(path, {{keyword, replacement}}, withEncoding(QStringLiteral("auto")));
    QCOMPARE(outcome.state, SUCCESS);
    QCOMPARE(outcome.encoding.name(), encoding);
    QVERIFY(outcome.counts.value(0) > 0);

    // The default rewrite: CRLF breaks, in the file's own encoding.
    QString expected = sourceText(source).replace(keyword, replacement);
    expected.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    expected.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    QTextCodec *codec = TextEncoding::fromName(encoding)->codec();
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    QCOMPARE(
        readBytes(path), mark + codec->fromUnicode(expected.constData(), expected.size(), &state));
}

namespace {

QByteArray repeated(const QByteArray &piece, int size)
{
    QByteArray bytes;
    while (bytes.size() < size)
        bytes += piece;
    return bytes;
}

QByteArray encoded(const char *codec, const QString &text)
{
    return QTextCodec::codecForName(codec)->fromUnicode(text);
}

} // namespace

// Detection guesses from a file's start and lets the replacement's pass over the whole
// file check the guess: a start that says nothing, or one the rest belies, sends it back
// to all of the file.
void TestFormats::automaticLooksPastTheStart_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("encoding"); // empty: the file is left alone

    const QString simplified = sourceText(QStringLiteral("zh-hans.txt")) + QStringLiteral("他们\n");
    const QString traditional = sourceText(QStringLiteral("zh-hant.txt"));
    const QByteArray line("plain ASCII configuration line = 42\n");
    const QByteArray big5 = repeated(encoded("Big5", traditional), 20 * 1024);
    // "们" written as GBK's "們" (0x82 0x83), whose trail byte Big5 has no use for.
    const QByteArray gbk
        = repeated(encoded("GBK", simplified + QStringLiteral("們\n")), 200 * 1024);
    // Big5 subtitle lines at the end of a long ASCII start are all the first look sees.
    const QByteArray phrase = encoded("Big5", traditional.mid(traditional.indexOf(QChar(0x6B61))));
    const QByteArray asciiThenPhrase
        = repeated(line, int(DetectionPrefix) - phrase.size() - 2 * line.size()) + phrase + '\n';

    QTest::newRow("a long ASCII start says nothing: the whole file is GBK")
        << repeated(line, 2 * int(DetectionPrefix)) + gbk << "GB18030";
    QTest::newRow("a start that looks like Big5, belied by the rest: the whole file is GBK")
        << asciiThenPhrase + gbk << "GB18030";
    QTest::newRow("a Big5 start, belied by the rest, that the whole file still looks like: "
                  "left alone")
        << big5 + gbk << QString();
    QTest::newRow("a Big5 start, then bytes neither takes: left alone")
        << big5 + repeated("\xA4\n", 64 * 1024) << QString();

    // Files this large are read a piece at a time, by what their start suggests.
    const QByteArray largeGbk = repeated(gbk, 5 << 20);
    QTest::newRow("large, GBK throughout") << largeGbk << "GB18030";
    QTest::newRow("large, a long ASCII start, then GBK")
        << repeated(line, 2 * int(DetectionPrefix)) + largeGbk << "GB18030";
    QTest::newRow("large, a start that looks like Big5, then GBK")
        << asciiThenPhrase + largeGbk << "GB18030";
}

void TestFormats::automaticLooksPastTheStart()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, encoding);

    const QString path = dir.filePath(QStringLiteral("past-the-start.txt"));
    writeBytes(path, bytes);
    const QString keyword = QStringLiteral("批量");
    const QString replacement = QStringLiteral("成批");
    const FileOutcome outcome
        = runOne(path, {{keyword, replacement}}, withEncoding(QStringLiteral("auto")));
    QCOMPARE(QDir(dir.path())
                 .entryList({QStringLiteral(".past-the-start*")}, QDir::Files | QDir::Hidden),
        QStringList());
    if (encoding.isEmpty()) {
        QCOMPARE(outcome.state, FAIL);
        QCOMPARE(outcome.reason, Reason::EncodingNotRecognised);
        QCOMPARE(readBytes(path), bytes);
        return;
    }
    QCOMPARE(outcome.state, SUCCESS);
    QCOMPARE(outcome.encoding.name(), encoding);
    QVERIFY(outcome.counts.value(0) > 0);
    QTextCodec *const codec = TextEncoding::fromName(encoding)->codec();
    QString expected = codec->toUnicode(bytes).replace(keyword, replacement);
    expected.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    expected.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    QCOMPARE(readBytes(path), codec->fromUnicode(expected));
}

void TestFormats::keepFormatLeavesUnmatchedFilesAlone_data()
{
    QTest::addColumn<int>("lines");
    QTest::newRow("a small file") << 1;
    QTest::newRow("a file read a piece at a time") << 300000;
}

void TestFormats::keepFormatLeavesUnmatchedFilesAlone()
{
    QFETCH(int, lines);
    const QString path = dir.filePath(QStringLiteral("untouched.conf"));
    const QByteArray before = QByteArray("# 配置\nkey=value\n").repeated(lines);
    writeBytes(path, before);
    backdate(path);
    const QDateTime modified = QFileInfo(path).lastModified();

    const FileOutcome outcome
        = runOne(path, {{"absent", "x"}}, withEncoding(QStringLiteral("UTF-8"), true));
    QCOMPARE(outcome.state, SUCCESS);
    QCOMPARE(outcome.counts, QVector<int> {0});
    QCOMPARE(readBytes(path), before);
    QCOMPARE(QFileInfo(path).lastModified(), modified);

    // Without keeping the format the same file is rewritten, as it always was.
    QCOMPARE(runOne(path, {{"absent", "x"}}, withEncoding(QStringLiteral("UTF-8"))).state, SUCCESS);
    QCOMPARE(readBytes(path), QByteArray("# 配置\r\nkey=value\r\n").repeated(lines));
}

void TestFormats::keepFormatKeepsBreaksAndMark_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("LF stays LF") << "UTF-8" << QByteArray("#!/bin/sh\necho cat\n")
                                 << QByteArray("#!/bin/sh\necho dog\n");
    QTest::newRow("CR stays CR") << "UTF-8" << QByteArray("cat\rcat\r") << QByteArray("dog\rdog\r");
    QTest::newRow("CRLF stays CRLF")
        << "UTF-8" << QByteArray("cat\r\nx\r\n") << QByteArray("dog\r\nx\r\n");
    QTest::newRow("mixed breaks stay as they are")
        << "UTF-8" << QByteArray("cat\nx\r\ny\rcat") << QByteArray("dog\nx\r\ny\rdog");
    QTest::newRow("a UTF-8 mark stays") << "UTF-8"
                                        << QByteArray("\xEF\xBB\xBF"
                                                      "cat\n")
                                        << QByteArray("\xEF\xBB\xBF"
                                                      "dog\n");
    QTest::newRow("UTF-16 with its mark stays UTF-16 with it") << "UTF-8"
                                                               << QByteArray("\xFF\xFE"
                                                                             "c\0a\0t\0\n\0",
                                                                      10)
                                                               << QByteArray("\xFF\xFE"
                                                                             "d\0o\0g\0\n\0",
                                                                      10);
    QTest::newRow("a large file's mark and mixed breaks stay")
        << "UTF-8" << QByteArray("\xEF\xBB\xBF") + QByteArray("cat\nx\r\ny\r").repeated(1 << 19)
        << QByteArray("\xEF\xBB\xBF") + QByteArray("dog\nx\r\ny\r").repeated(1 << 19);
    QTest::newRow("GBK stays GBK under automatic detection")
        << "auto" << QByteArray("\xC5\xFA\xC1\xBF cat \xCC\xE6\xBB\xBB\xB9\xA4\xBE\xDF\n")
        << QByteArray("\xC5\xFA\xC1\xBF dog \xCC\xE6\xBB\xBB\xB9\xA4\xBE\xDF\n");
}

void TestFormats::keepFormatKeepsBreaksAndMark()
{
    QFETCH(QString, encoding);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);

    const QString path = dir.filePath(QStringLiteral("kept.txt"));
    writeBytes(path, before);
    const FileOutcome outcome = runOne(path, {{"cat", "dog"}}, withEncoding(encoding, true));
    QCOMPARE(outcome.state, SUCCESS);
    QCOMPARE(readBytes(path), after);
}

// Old Mac files break lines with CR alone; dropping it would join every line.
void TestFormats::loneCarriageReturnIsALineBreak()
{
    const QString path = dir.filePath(QStringLiteral("mac.txt"));
    writeBytes(path, "a\rb\rc");
    QCOMPARE(runOne(path, {{"b", "B"}}, withEncoding(QStringLiteral("UTF-8"))).state, SUCCESS);
    QCOMPARE(readBytes(path), QByteArray("a\r\nB\r\nc"));
}

void TestFormats::gbkReadsAsGb18030()
{
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    const QString path = dir.filePath(QStringLiteral("gbk.txt"));
    writeBytes(path, gbk->fromUnicode(QStringLiteral("北京是首都")));
    const FileOutcome outcome
        = runOne(path, {{"北京", "北京市"}}, withEncoding(QStringLiteral("GB18030")));
    QCOMPARE(outcome.state, SUCCESS);
    QCOMPARE(gbk->toUnicode(readBytes(path)), QStringLiteral("北京市是首都"));
}

void TestFormats::unencodableResultLeavesTheFile()
{
    QTextCodec *big5 = QTextCodec::codecForName("Big5");
    const QString path = dir.filePath(QStringLiteral("big5.txt"));
    const QByteArray before = big5->fromUnicode(QStringLiteral("笑臉"));
    writeBytes(path, before);
    backdate(path);
    const FileOutcome outcome = runOne(path, {{"笑臉", QString::fromUtf8("\xF0\x9F\x98\x80")}},
        withEncoding(QStringLiteral("Big5")));
    QCOMPARE(outcome.state, FAIL);
    QCOMPARE(outcome.reason, Reason::Unencodable);
    QCOMPARE(readBytes(path), before);
    QCOMPARE(QFileInfo(path).lastModified().toSecsSinceEpoch(), qint64(1000000000));
}

QTEST_GUILESS_MAIN(TestFormats)
#include "tst_formats.moc"
