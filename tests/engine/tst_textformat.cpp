#include "engine/text/linebreaks.h"
#include "engine/text/textformat.h"

#include <QRandomGenerator>
#include <QTextCodec>
#include <QtTest>

Q_DECLARE_METATYPE(LineBreaks)
Q_DECLARE_METATYPE(Reason)

char *toString(const Reason &reason)
{
    return qstrdup(qPrintable(
        reason == Reason::None ? QStringLiteral("none") : reasonTextEnglish(reason, "…")));
}

namespace {

QByteArray fixture(const QString &name)
{
    QFile file(QStringLiteral(YIHUAN_TEST_DATA_DIR "/encodings/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TextEncoding encodingNamed(const QString &name)
{
    return TextEncoding::fromName(name).value_or(TextEncoding::utf8());
}

QByteArray markOf(const QString &encoding)
{
    if (encoding == QLatin1String("UTF-8"))
        return QByteArray("\xEF\xBB\xBF");
    if (encoding == QLatin1String("UTF-16LE"))
        return QByteArray("\xFF\xFE");
    if (encoding == QLatin1String("UTF-16BE"))
        return QByteArray("\xFE\xFF");
    return QByteArray("\xFF\xFE\0\0", 4);
}

// What Qt's own codec makes of text, with an optional mark in front.
QByteArray qtEncoded(const QString &text, const QString &encoding, bool mark = false)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QByteArray bytes
        = encodingNamed(encoding).codec()->fromUnicode(text.constData(), text.size(), &state);
    return mark ? markOf(encoding) + bytes : bytes;
}

QString withCrLf(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
}

struct Decoded
{
    Reason reason;
    QString text;
    TextFormat format;
};

Decoded decoded(const QByteArray &bytes, const TextEncoding &choice, bool keepFormat)
{
    Decoded result;
    result.reason = decodeText(bytes, choice, keepFormat, &result.text, &result.format);
    return result;
}

QByteArray encoded(const QString &text, const TextFormat &format, bool keepFormat,
    Reason *reason = nullptr, QList<qint64> *pieces = nullptr)
{
    QByteArray bytes;
    const Reason r = encodeText(text, format, keepFormat, [&](const char *data, qint64 size) {
        bytes.append(data, int(size));
        if (pieces)
            pieces->append(size);
        return true;
    });
    if (reason)
        *reason = r;
    return bytes;
}

} // namespace

class TestTextFormat : public QObject
{
    Q_OBJECT

private slots:
    void fixedChoice_data();
    void fixedChoice();
    void automatic_data() { fixedChoice_data(); }
    void automatic();
    void automaticRefuses_data();
    void automaticRefuses();
    void keepFormat_data();
    void keepFormat();
    void defaultFormat_data() { keepFormat_data(); }
    void defaultFormat();
    void replacementInGbkFile();
    void decodingFails_data();
    void decodingFails();
    void encodingFails_data();
    void encodingFails();
    void largeTextInPieces_data();
    void largeTextInPieces();
    void acceptedBytesComeBackUnchanged();
    void breaksWrittenAsTheScalarWriterDoes_data();
    void breaksWrittenAsTheScalarWriterDoes();

private:
    void checkFixture(const TextEncoding &choice);
};

void TestTextFormat::fixedChoice_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<bool>("mark");
    QTest::addColumn<LineBreaks>("breaks");
    QTest::addColumn<bool>("detectable");

    const auto row = [](const char *name, const char *file, const char *source, const char *choice,
                         const char *encoding, bool mark, LineBreaks breaks,
                         bool detectable = true) {
        QTest::newRow(name) << file << source << choice << encoding << mark << breaks << detectable;
    };
    row("a UTF-8 config file", "zh-hans.utf-8.txt", "zh-hans.txt", "UTF-8", "UTF-8", false,
        LineBreaks::Lf);
    row("a UTF-8 config file with a byte-order mark", "zh-hans.utf-8-bom.txt", "zh-hans.txt",
        "UTF-8", "UTF-8", true, LineBreaks::Lf);
    row("a GBK config file is read as GB18030", "zh-hans.gbk.txt", "zh-hans.txt", "GB18030",
        "GB18030", false, LineBreaks::Lf);
    row("a GB18030 page with characters beyond GBK", "zh-gb18030.gb18030.txt", "zh-gb18030.txt",
        "GB18030", "GB18030", false, LineBreaks::Lf);
    row("Big5 subtitles with CRLF breaks", "zh-hant.big5.txt", "zh-hant.txt", "Big5", "Big5", false,
        LineBreaks::CrLf);
    row("Japanese in Shift_JIS", "ja.shift_jis.txt", "ja.txt", "Shift_JIS", "Shift_JIS", false,
        LineBreaks::Lf);
    row("Korean in EUC-KR", "ko.euc-kr.txt", "ko.txt", "EUC-KR", "EUC-KR", false, LineBreaks::Lf);
    row("French in Windows-1252, with curly quotes and the euro", "fr.windows-1252.txt", "fr.txt",
        "Windows-1252", "Windows-1252", false, LineBreaks::Lf);
    row("a UTF-16LE export with its mark", "export.utf-16le-bom.tsv", "export.tsv", "UTF-16LE",
        "UTF-16LE", true, LineBreaks::CrLf);
    row("a UTF-16BE export with its mark", "export.utf-16be-bom.tsv", "export.tsv", "UTF-16BE",
        "UTF-16BE", true, LineBreaks::CrLf);
    // uchardet 0.0.7 has no answer for these: the NUL bytes make them binary.
    row("UTF-16LE without a mark", "zh-hans.utf-16le.txt", "zh-hans.txt", "UTF-16LE", "UTF-16LE",
        false, LineBreaks::Lf, false);
    row("UTF-16BE without a mark", "zh-hans.utf-16be.txt", "zh-hans.txt", "UTF-16BE", "UTF-16BE",
        false, LineBreaks::Lf, false);
    row("a UTF-32LE mark wins over the choice of UTF-8", "export.utf-32le-bom.tsv", "export.tsv",
        "UTF-8", "UTF-32LE", true, LineBreaks::CrLf);
}

void TestTextFormat::fixedChoice()
{
    QFETCH(QString, choice);
    checkFixture(encodingNamed(choice));
}

void TestTextFormat::automatic()
{
    QFETCH(QString, file);
    QFETCH(bool, detectable);
    if (detectable)
        checkFixture(TextEncoding::automatic());
    else
        QCOMPARE(decoded(fixture(file), TextEncoding::automatic(), true).reason, Reason::Binary);
}

void TestTextFormat::checkFixture(const TextEncoding &choice)
{
    QFETCH(QString, file);
    QFETCH(QString, source);
    QFETCH(QString, encoding);
    QFETCH(bool, mark);
    QFETCH(LineBreaks, breaks);
    const QByteArray bytes = fixture(file);
    QVERIFY(!bytes.isEmpty());
    const QString text = QString::fromUtf8(fixture(QStringLiteral("source/") + source))
                             .replace(QLatin1String("\r\n"), QLatin1String("\n"));

    const Decoded kept = decoded(bytes, choice, true);
    QCOMPARE(kept.reason, Reason::None);
    QCOMPARE(kept.text, text);
    QCOMPARE(kept.format.encoding.name(), encoding);
    QCOMPARE(kept.format.byteOrderMark, mark);
    QCOMPARE(kept.format.lineBreaks, breaks);
    QCOMPARE(encoded(kept.text, kept.format, true), bytes);

    // Rewritten without keeping the format: CRLF, and only UTF-16/32 keep their mark.
    const Decoded plain = decoded(bytes, choice, false);
    QCOMPARE(plain.reason, Reason::None);
    QCOMPARE(plain.text, text);
    const bool wide = encoding.startsWith(QLatin1String("UTF-16"))
        || encoding.startsWith(QLatin1String("UTF-32"));
    QCOMPARE(encoded(plain.text, plain.format, false),
        qtEncoded(withCrLf(text), encoding, mark && wide));
}

void TestTextFormat::automaticRefuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Reason>("reason");

    const char header[] = "\x89PNG\r\n\x1A\n\0\0\0\rIHDR\0\0\x01\0\0\0\x01\0\x08\x06\0\0\0";
    QByteArray png(header, int(sizeof header) - 1);
    for (int i = 0; i < 64; ++i)
        png.append(char(i * 37 % 256));
    QTest::newRow("an image is binary") << png << Reason::Binary;
    QTest::newRow("UTF-16 without a mark or a single NUL byte")
        << qtEncoded(QStringLiteral("批量替换工具可以查找关键字并替换成新的内容"), "UTF-16LE")
        << Reason::EncodingNotRecognised;
    QTest::newRow("UTF-8 with one broken sequence") << QString::fromUtf8(
        "说明=本程序可以在成千上万个文本文件中查找关键字。\n提示=替换之前请先备份重要的文件。\n")
                                                           .toUtf8()
                                                           .replace(3, 1, "\xFF")
                                                    << Reason::EncodingNotRecognised;
}

void TestTextFormat::automaticRefuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Reason, reason);
    const Decoded result = decoded(bytes, TextEncoding::automatic(), true);
    QCOMPARE(result.reason, reason);
    QVERIFY(result.text.isEmpty());
}

void TestTextFormat::keepFormat_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<bool>("mark");
    QTest::addColumn<QString>("raw");
    QTest::addColumn<LineBreaks>("breaks");
    QTest::addColumn<QString>("kept");

    struct Case
    {
        const char *name;
        QString raw;
        LineBreaks breaks;
        QString kept;
    };
    const auto filler = [](int width, const char *end) {
        return QString(32 * 1024 / width - 1, QLatin1Char('x')) + QLatin1String(end);
    };
    const QList<std::pair<QString, bool>> encodings
        = {{"UTF-8", false}, {"GB18030", false}, {"UTF-16LE", true}};
    for (const auto &[encoding, mark] : encodings) {
        const int width = mark ? 2 : 1;
        const QList<Case> cases = {
            {"LF breaks", "第一行\n第二行\n", LineBreaks::Lf, "第一行\n第二行\n"},
            {"CRLF breaks", "第一行\r\n第二行\r\n", LineBreaks::CrLf, "第一行\n第二行\n"},
            {"CR breaks of an old Mac file", "a\rb\rc", LineBreaks::Cr, "a\nb\nc"},
            {"mixed breaks", "一\r\n二\n三\r四", LineBreaks::Mixed, "一\r\n二\n三\r四"},
            {"CRLF lines and a final lone CR", "a\r\nb\r", LineBreaks::Mixed, "a\r\nb\r"},
            {"a CR before a CRLF", "a\r\r\nb", LineBreaks::Mixed, "a\r\r\nb"},
            {"a single line", "只有一行", LineBreaks::Lf, "只有一行"},
            {"an empty file", "", LineBreaks::Lf, ""},
            {"a CRLF split between decoding blocks", filler(width, "\r\ny"), LineBreaks::CrLf,
                filler(width, "\ny")},
            {"a CR ending a decoding block", filler(width, "\ry"), LineBreaks::Cr,
                filler(width, "\ny")},
        };
        for (const Case &c : cases) {
            QTest::addRow("%s in %s%s", c.name, qPrintable(encoding), mark ? " with a mark" : "")
                << encoding << mark << c.raw << c.breaks << c.kept;
        }
    }
}

void TestTextFormat::keepFormat()
{
    QFETCH(QString, encoding);
    QFETCH(bool, mark);
    QFETCH(QString, raw);
    QFETCH(LineBreaks, breaks);
    QFETCH(QString, kept);
    const QByteArray bytes = qtEncoded(raw, encoding, mark);

    const Decoded result
        = decoded(bytes, mark ? TextEncoding::utf8() : encodingNamed(encoding), true);
    QCOMPARE(result.reason, Reason::None);
    QCOMPARE(result.format.lineBreaks, breaks);
    QCOMPARE(result.format.byteOrderMark, mark);
    QCOMPARE(result.text, kept);
    QCOMPARE(encoded(result.text, result.format, true), bytes);
}

void TestTextFormat::defaultFormat()
{
    QFETCH(QString, encoding);
    QFETCH(bool, mark);
    QFETCH(QString, raw);
    QFETCH(LineBreaks, breaks);
    const QByteArray bytes = qtEncoded(raw, encoding, mark);
    const QString lines = QString(raw)
                              .replace(QLatin1String("\r\n"), QLatin1String("\n"))
                              .replace(QLatin1Char('\r'), QLatin1Char('\n'));

    const Decoded result = decoded(bytes, encodingNamed(encoding), false);
    QCOMPARE(result.reason, Reason::None);
    QCOMPARE(result.format.lineBreaks, breaks);
    QCOMPARE(result.text, lines);
    QCOMPARE(
        encoded(result.text, result.format, false), qtEncoded(withCrLf(lines), encoding, mark));
}

void TestTextFormat::replacementInGbkFile()
{
    const QByteArray bytes = fixture(QStringLiteral("zh-hans.gbk.txt"));
    const Decoded read = decoded(bytes, encodingNamed(QStringLiteral("GB18030")), true);
    QCOMPARE(read.reason, Reason::None);
    const QString before = QStringLiteral("国标码或者统一码");
    const QString after = QStringLiteral("国标扩展码（GBK）");
    QVERIFY(read.text.contains(before));

    const QByteArray written
        = encoded(QString(read.text).replace(before, after), read.format, true);
    QByteArray expected = bytes;
    expected.replace(qtEncoded(before, "GBK"), qtEncoded(after, "GBK"));
    QCOMPARE(written, expected);
    const Decoded again = decoded(written, TextEncoding::automatic(), true);
    QCOMPARE(again.format.encoding.name(), QStringLiteral("GB18030"));
    QCOMPARE(again.text, QString(read.text).replace(before, after));
}

void TestTextFormat::decodingFails_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<Reason>("reason");
    QTest::addColumn<QString>("encoding");

    const QString chinese = QStringLiteral("批量替换");
    QTest::newRow("GBK read as UTF-8")
        << qtEncoded(chinese, "GBK") << "UTF-8" << Reason::InvalidEncoding << "UTF-8";
    QTest::newRow("UTF-8 cut off inside its last character")
        << chinese.toUtf8().chopped(1) << "UTF-8" << Reason::InvalidEncoding << "UTF-8";
    QTest::newRow("Big5 cut off after a lead byte") << qtEncoded(chinese, "Big5") + "\xA4"
                                                    << "Big5" << Reason::InvalidEncoding << "Big5";
    QTest::newRow("Shift_JIS with a lead byte before a space")
        << QByteArray("ab\x82 c") << "Shift_JIS" << Reason::InvalidEncoding << "Shift_JIS";
    QTest::newRow("a UTF-8 mark before invalid bytes, whatever the choice")
        << QByteArray("\xEF\xBB\xBF\xFF") << "GB18030" << Reason::InvalidEncoding << "UTF-8";
    QTest::newRow("UTF-16LE with its mark and an odd byte at the end")
        << QByteArray("\xFF\xFE\x61\x00\x62", 5) << "UTF-8" << Reason::InvalidEncoding
        << "UTF-16LE";
    QTest::newRow("UTF-32LE holding a code point beyond Unicode")
        << QByteArray("\xFF\xFE\0\0\x61\0\0\0\0\0\x11\0", 12) << "UTF-8" << Reason::InvalidEncoding
        << "UTF-32LE";
    QTest::newRow("a NUL byte in UTF-8")
        << QByteArray("a\0b", 3) << "UTF-8" << Reason::Binary << "UTF-8";
    QTest::newRow("a NUL byte in GB18030")
        << QByteArray("a\0b", 3) << "GB18030" << Reason::Binary << "GB18030";
    QTest::newRow("a NUL character in UTF-16 with its mark")
        << QByteArray("\xFF\xFE\x61\0\0\0", 6) << "UTF-8" << Reason::Binary << "UTF-16LE";
}

void TestTextFormat::decodingFails()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, choice);
    QFETCH(Reason, reason);
    QFETCH(QString, encoding);
    for (bool keepFormat : {false, true}) {
        const Decoded result = decoded(bytes, encodingNamed(choice), keepFormat);
        QCOMPARE(result.reason, reason);
        QCOMPARE(result.format.encoding.name(), encoding);
        QVERIFY(result.text.isEmpty());
    }
}

void TestTextFormat::encodingFails_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<Reason>("reason");

    const QString emoji = QStringLiteral("替换成😀");
    QTest::newRow("an emoji into Big5") << emoji << "Big5" << Reason::Unencodable;
    QTest::newRow("an emoji into GBK") << emoji << "GBK" << Reason::Unencodable;
    QTest::newRow("an emoji into Shift_JIS") << emoji << "Shift_JIS" << Reason::Unencodable;
    QTest::newRow("an emoji into EUC-KR") << emoji << "EUC-KR" << Reason::Unencodable;
    QTest::newRow("Chinese into Windows-1252")
        << emoji.left(2) << "Windows-1252" << Reason::Unencodable;
    QTest::newRow("a final high surrogate into GB18030")
        << emoji.chopped(1) << "GB18030" << Reason::Unencodable;
    QTest::newRow("a lone high surrogate into UTF-8") << emoji.chopped(1) + "x"
                                                      << "UTF-8" << Reason::Unencodable;
    QTest::newRow("a lone low surrogate into GB18030") << emoji.right(1) + "x"
                                                       << "GB18030" << Reason::Unencodable;
    QTest::newRow("an emoji into GB18030 is fine") << emoji << "GB18030" << Reason::None;
    QTest::newRow("a question mark into Big5 is fine") << "取代?"
                                                       << "Big5" << Reason::None;
}

void TestTextFormat::encodingFails()
{
    QFETCH(QString, text);
    QFETCH(QString, encoding);
    QFETCH(Reason, reason);
    TextFormat format;
    format.encoding = encodingNamed(encoding);
    for (bool keepFormat : {false, true}) {
        Reason result;
        encoded(text, format, keepFormat, &result);
        QCOMPARE(result, reason);
        const Reason refused
            = encodeText(text, format, keepFormat, [](const char *, qint64) { return false; });
        QCOMPARE(refused, reason == Reason::None ? Reason::WriteFailed : reason);
    }
}

void TestTextFormat::largeTextInPieces_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::newRow("UTF-8") << "UTF-8";
    QTest::newRow("GB18030") << "GB18030";
    QTest::newRow("UTF-16LE") << "UTF-16LE";
}

// Emoji land on every block boundary the encoders may cut at.
void TestTextFormat::largeTextInPieces()
{
    QFETCH(QString, encoding);
    QString text;
    QRandomGenerator random(7);
    while (text.size() < 1024 * 1024) {
        text += QStringLiteral("批量替换 keyword 😀");
        text += QString(random.bounded(40), QLatin1Char('a'));
        if (random.bounded(4) == 0)
            text += QLatin1Char('\n');
    }
    TextFormat format;
    format.encoding = encodingNamed(encoding);
    format.lineBreaks = LineBreaks::CrLf;
    Reason reason;
    QList<qint64> pieces;
    const QByteArray bytes = encoded(text, format, true, &reason, &pieces);
    QCOMPARE(reason, Reason::None);
    QVERIFY(pieces.size() > 10);
    QVERIFY(*std::max_element(pieces.begin(), pieces.end()) <= 64 * 1024);
    QCOMPARE(bytes, qtEncoded(withCrLf(text), encoding));

    const Decoded back = decoded(bytes, format.encoding, true);
    QCOMPARE(back.format.lineBreaks, LineBreaks::CrLf);
    QVERIFY(back.text == text);
}

// Whatever bytes a decoding accepts, keeping the format writes them back unchanged.
void TestTextFormat::acceptedBytesComeBackUnchanged()
{
    const QList<QByteArray> parts = {"\r", "\n", "\r\n", "a", "中", "\xD6\xD0", "\xA4\xA4", "\x82",
        "\xFF", QByteArray("\0", 1), QByteArray("a\0", 2), "\xEF\xBB\xBF", "\xFF\xFE", "\x80"};
    QList<TextEncoding> choices = {TextEncoding::automatic()};
    for (const QString &name : TextEncoding::choiceNames())
        choices.append(encodingNamed(name));
    QRandomGenerator random(11);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        QByteArray bytes;
        for (int n = random.bounded(12); n > 0; --n)
            bytes += parts.at(random.bounded(parts.size()));
        for (const TextEncoding &choice : choices) {
            const Decoded result = decoded(bytes, choice, true);
            if (result.reason != Reason::None)
                continue;
            ++accepted;
            Reason reason;
            const QByteArray back = encoded(result.text, result.format, true, &reason);
            if (reason != Reason::None || back != bytes)
                QFAIL(qPrintable(
                    QStringLiteral("%1 read as %2 comes back as %3")
                        .arg(QString::fromLatin1(bytes.toHex(' ')), result.format.encoding.name(),
                            QString::fromLatin1(back.toHex(' ')))));
        }
    }
    QVERIFY(accepted > 3000);
}

QTEST_GUILESS_MAIN(TestTextFormat)
void TestTextFormat::breaksWrittenAsTheScalarWriterDoes_data()
{
    QTest::addColumn<QByteArray>("lineBreak");
    QTest::newRow("CR LF") << QByteArray("\r\n");
    QTest::newRow("CR") << QByteArray("\r");
}

// The vector writers store whole vectors: breaks at and across their edges, runs of them,
// and '\r', which they pass on as it is, must come out as the plain loop writes them.
void TestTextFormat::breaksWrittenAsTheScalarWriterDoes()
{
    QFETCH(QByteArray, lineBreak);

    const auto check = [&lineBreak](const QByteArray &text) {
        QByteArray expected = text;
        expected.replace('\n', lineBreak);
        const qsizetype room = writeBreaksRoom(text.size(), lineBreak.size());
        const char guard = char(0xA5);
        for (const bool vector : {true, false}) {
            QByteArray out(int(room) + 16, guard);
            const auto write = vector ? writeBreaks : writeBreaksScalar;
            const char *const end = write(
                text.constData(), text.size(), out.data(), lineBreak.constData(), lineBreak.size());
            QCOMPARE(QByteArray(out.constData(), int(end - out.constData())), expected);
            // Nothing beyond the room it was given.
            QCOMPARE(out.mid(int(room)), QByteArray(16, guard));
        }
    };
    // One or two breaks at every place around the first vectors' edges.
    for (int at = 0; at < 70; ++at) {
        for (const QByteArray &mark : {QByteArray("\n"), QByteArray("\r\n"), QByteArray("\r"),
                 QByteArray("\n\n"), QByteArray("\r\r\n")}) {
            for (const int after : {0, 1, 33}) {
                check(QByteArray(at, 'x') + mark + QByteArray(after, 'y'));
                check(QByteArray(at, 'x') + mark + QByteArray(after, 'y') + '\n');
            }
        }
    }
    QRandomGenerator random(20);
    const char bytes[] = {'\n', '\r', 'a', ' ', char(0xE4), char(0x0A | 0x80), char(0x8D)};
    for (int round = 0; round < 5000; ++round) {
        QByteArray text;
        const int length = random.bounded(300);
        const int breaks = random.bounded(1, 40); // one byte in this many is a break
        for (int i = 0; i < length; ++i) {
            text += random.bounded(breaks) == 0 ? bytes[random.bounded(2)]
                                                : bytes[2 + random.bounded(int(sizeof bytes) - 2)];
        }
        check(text);
    }
}

#include "tst_textformat.moc"
