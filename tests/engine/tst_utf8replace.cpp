#include "engine/match/multibyte.h"
#include "engine/match/transform.h"
#include "engine/match/unitbuffer.h"
#include "engine/match/utf8replace.h"
#include "engine/match/utf8scan.h"
#include "engine/text/textformat.h"

#include "randompatterns.h"

#include <QRandomGenerator>
#include <QTextCodec>
#include <QtTest>

Q_DECLARE_METATYPE(MatchMode)

namespace {

struct Reference
{
    Reason reason = Reason::None;
    LineBreaks breaks = LineBreaks::Lf;
    QByteArray bytes;
    QVector<int> counts;
};

LineBreaks breaksOf(const QByteArray &bytes)
{
    int crlf = 0;
    int cr = 0;
    int lf = 0;
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            ++crlf;
            ++i;
        } else if (bytes[i] == '\r') {
            ++cr;
        } else if (bytes[i] == '\n') {
            ++lf;
        }
    }
    const int kinds = (crlf > 0) + (cr > 0) + (lf > 0);
    if (kinds > 1)
        return LineBreaks::Mixed;
    return crlf > 0 ? LineBreaks::CrLf : cr > 0 ? LineBreaks::Cr : LineBreaks::Lf;
}

// A run's settings with the pairs of one file.
struct Options
{
    ReplaceSettings settings;
    ReplacePairs pairs;
};

// The QString route, written out plainly: decode with Qt's UTF-8 codec, normalise the
// breaks, applyPairs, encode.
Reference referenceRoute(QByteArray bytes, const Options &options, LineBreakMode mode)
{
    Reference ref;
    const bool bom = bytes.startsWith("\xEF\xBB\xBF");
    if (bom)
        bytes.remove(0, 3);
    ref.breaks = breaksOf(bytes);
    if (bytes.contains('\0')) {
        ref.reason = Reason::Binary;
        return ref;
    }
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    QString text
        = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars != 0 || state.remainingChars != 0) {
        ref.reason = Reason::InvalidEncoding;
        return ref;
    }
    QString lineBreak = QStringLiteral("\r\n");
    bool normalise = true;
    if (mode == LineBreakMode::KeepFormat) {
        if (ref.breaks == LineBreaks::Cr)
            lineBreak = QStringLiteral("\r");
        if (ref.breaks == LineBreaks::Lf || ref.breaks == LineBreaks::Mixed) {
            normalise = false;
            lineBreak = QStringLiteral("\n");
        }
    }
    if (normalise) {
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    }
    text = applyPairs(text, options.settings, options.pairs, &ref.counts);
    if (lineBreak != QLatin1String("\n"))
        text.replace(QLatin1Char('\n'), lineBreak);
    ref.bytes = text.toUtf8();
    if (mode == LineBreakMode::KeepFormat && bom)
        ref.bytes.prepend("\xEF\xBB\xBF");
    return ref;
}

// The decoding route as a run takes it for a file in a chosen encoding.
Reference decodingRoute(const QByteArray &bytes, const Options &options, bool keepFormat)
{
    Reference ref;
    ref.breaks = breaksOf(bytes);
    QString text;
    TextFormat format;
    ref.reason = decodeText(bytes, options.settings.encoding, keepFormat, &text, &format);
    if (ref.reason != Reason::None)
        return ref;
    text = applyPairs(text, options.settings, options.pairs, &ref.counts);
    if (!keepFormat) {
        format.encoding = options.settings.encoding;
        format.byteOrderMark = false;
    }
    ref.reason = encodeText(text, format, keepFormat, [&ref](const char *data, qint64 size) {
        ref.bytes.append(data, int(size));
        return true;
    });
    return ref;
}

Options optionsFor(bool full, const ReplacePairs &pairs, bool ignoreCase = false)
{
    Options options;
    options.settings.match = ReplaceSettings::matchOf(true, full);
    options.settings.ignoreCase = ignoreCase;
    options.pairs = pairs;
    return options;
}

// The pairs a run would replace in on the bytes: ignoring case, a keyword that folds
// beyond ASCII sends the whole file to the decoding route.
void keepPairsOnBytes(Options *options)
{
    ReplacePairs kept;
    for (const ReplacePair &pair : qAsConst(options->pairs)) {
        if (Utf8Replace::handles(options->settings, {pair}))
            kept.append(pair);
    }
    options->pairs = kept;
}

// The same file read a few bytes at a time, cut after each piece's last line: breaks of
// every kind on either side of a cut, lines longer than a piece, bytes found invalid or a
// NUL pieces later.
void compareInPieces(const Utf8Replace &replace, const QByteArray &bytes, const Reference &ref)
{
    static Utf8Replace::Buffers buffers;
    static QRandomGenerator random(5);
    QByteArray actual;
    QVector<int> counts;
    qsizetype readSoFar = 0;
    const Utf8Replace::Outcome outcome = replace.runInPieces(
        &buffers, &counts,
        [&actual](const char *data, qsizetype size) {
            actual.append(data, int(size));
            return true;
        },
        [&](char *into, qint64 most) {
            const qint64 n = std::min<qint64>(most, bytes.size() - readSoFar);
            std::memcpy(into, bytes.constData() + readSoFar, size_t(n));
            readSoFar += n;
            return n;
        },
        4 + random.bounded(40));
    QCOMPARE(outcome.reason, ref.reason);
    if (ref.reason == Reason::None) {
        QCOMPARE(actual, ref.bytes);
        QCOMPARE(counts, ref.counts);
        QCOMPARE(outcome.lineBreaks, ref.breaks);
        if (outcome.unchanged)
            QCOMPARE(actual, bytes);
    }
}

// Runs the byte path on bytes and holds it to the reference; buffers may carry an
// earlier file's memory. Random bytes that start with a byte-order mark the byte path
// hands on (to the route it is compared with) are left out.
void compareRoutes(const QByteArray &bytes, const Options &options, LineBreakMode mode,
    Utf8Replace::Buffers *buffers)
{
    const Utf8Replace replace(options.settings, options.pairs, mode);
    if (options.settings.encoding != TextEncoding::utf8()
        && replace.handsOn(bytes.constData(), bytes.size()))
        return;
    const Reference ref = options.settings.encoding == TextEncoding::utf8()
        ? referenceRoute(bytes, options, mode)
        : decodingRoute(bytes, options, mode == LineBreakMode::KeepFormat);
    char *const input = buffers->input(bytes.size());
    if (!bytes.isEmpty())
        std::memcpy(input, bytes.constData(), size_t(bytes.size()));
    QVector<int> counts;
    const Utf8Replace::Outcome outcome = replace.run(buffers, &counts);
    const QByteArray actual(buffers->output(), int(buffers->outputSize()));
    if (outcome.reason != ref.reason || (ref.reason == Reason::None && actual != ref.bytes))
        qWarning() << "input" << bytes.toHex(' ') << "pairs" << options.pairs << "whole"
                   << options.settings.wholeWord() << "keep" << (mode == LineBreakMode::KeepFormat)
                   << "ignore case" << options.settings.ignoreCase;
    QCOMPARE(outcome.reason, ref.reason);
    QCOMPARE(outcome.lineBreaks, ref.breaks);
    QCOMPARE(outcome.byteOrderMark, bytes.startsWith("\xEF\xBB\xBF"));
    if (replace.inPieces())
        compareInPieces(replace, bytes, ref);
    if (ref.reason != Reason::None)
        return;
    QCOMPARE(actual, ref.bytes);
    QCOMPARE(counts, ref.counts);
    if (outcome.unchanged)
        QCOMPARE(actual, bytes);
}

const char *const Fragments[] = {"a", "b", "ab", "1", "12", " ", "-", "\n", "\r", "\r\n", "中",
    "文", "替换", "é", "\xF0\x9F\x98\x80", "Z", "9", "\xE4\xB8\x80", "\xEF\xBC\x8C", "A", "Ab", "É",
    "s", "K", "\xE2\x84\xAA" /* Kelvin sign */, "\xC5\xBF" /* long s */};

const char *const BadFragments[] = {"\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xED\xA0\x80",
    "\xF0\x80\x80\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xE4\xB8", "\xE4",
    "\xF0\x9F\x98", QT_STRINGIFY(), "\xEF\xBF\xBF"};

// count pieces from good; with allowBad, now and then one from bad or a NUL instead.
QByteArray randomPieces(QRandomGenerator &random, int count, bool allowBad,
    const QByteArrayList &good, const QByteArrayList &bad)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        if (allowBad && random.bounded(60) == 0)
            bytes += bad.at(random.bounded(bad.size()));
        else if (allowBad && random.bounded(200) == 0)
            bytes += '\0';
        else
            bytes += good.at(random.bounded(good.size()));
    }
    return bytes;
}

QByteArray randomBytes(QRandomGenerator &random, int pieces, bool allowBad)
{
    static const QByteArrayList good(std::begin(Fragments), std::end(Fragments));
    static const QByteArrayList bad(std::begin(BadFragments), std::end(BadFragments));
    QByteArray bytes;
    if (random.bounded(8) == 0)
        bytes += "\xEF\xBB\xBF";
    return bytes + randomPieces(random, pieces, allowBad, good, bad);
}

QString randomText(QRandomGenerator &random, int maxPieces)
{
    QByteArray bytes;
    const int pieces = random.bounded(maxPieces + 1);
    for (int i = 0; i < pieces; ++i)
        bytes += Fragments[random.bounded(int(std::size(Fragments)))];
    return QString::fromUtf8(bytes);
}

ReplacePairs randomPairs(QRandomGenerator &random, int count)
{
    ReplacePairs pairs;
    for (int i = 0; i < count; ++i) {
        QString key = randomText(random, 3);
        if (key.isEmpty() && random.bounded(4) != 0)
            key = QStringLiteral("a");
        // Replacements that hold other keywords, or pieces of them, chain the pairs.
        QString rep;
        switch (random.bounded(5)) {
        case 0:
            break;
        case 1:
            rep = key + randomText(random, 2);
            break;
        case 2:
            rep = pairs.isEmpty() ? key : pairs.at(random.bounded(pairs.size())).first;
            break;
        default:
            rep = randomText(random, 4);
        }
        pairs.append({key, rep});
    }
    return pairs;
}

// Characters of a double-byte encoding whose later bytes look like ASCII letters, digits
// or punctuation, so that ASCII keywords find them in the bytes: every valid pair with
// one of those trail bytes and a few lead bytes, and (GB18030) four-byte sequences.
QStringList trickyCharacters(QTextCodec *codec)
{
    QStringList found;
    const auto add = [&](const QByteArray &bytes) {
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        const QString s = codec->toUnicode(bytes.constData(), bytes.size(), &state);
        if (s.size() >= 1 && s.size() <= 2 && !s.contains(QChar(0xFFFD))
            && codec->fromUnicode(s) == bytes)
            found.append(s);
    };
    for (const char lead : {'\x81', '\x88', '\x95', '\xA4', '\xB0', '\xD6', '\xE4', '\xFA'}) {
        for (const char trail : {'@', 'A', 'a', 'b', '[', '\\', '|', '1', '2'})
            add(QByteArray(1, lead) + trail);
    }
    for (const char *four : {"\x81\x30\x81\x30", "\x81\x32\x81\x32", "\x84\x31\xA4\x39",
             "\x90\x30\x81\x30", "\x95\x32\x82\x36"})
        add(QByteArray(four));
    return found;
}

QString randomPiecesOf(QRandomGenerator &random, const QStringList &pieces, int maxPieces)
{
    QString s;
    const int count = random.bounded(maxPieces + 1);
    for (int i = 0; i < count; ++i)
        s += pieces.at(random.bounded(pieces.size()));
    return s;
}

} // namespace

class TestUtf8Replace : public QObject
{
    Q_OBJECT

private slots:
    void scanAgreesWithQtDecoder_data();
    void scanAgreesWithQtDecoder();
    void scanOfRandomBytesAgreesWithQtDecoder();
    void edgeCases_data();
    void edgeCases();
    void randomFilesMatchTheQStringRoute_data();
    void randomFilesMatchTheQStringRoute();
    void randomPatternsMatchTheDecodingRoute();
    void longFilesMatchTheQStringRoute_data();
    void longFilesMatchTheQStringRoute();
    void buffersCarryNothingFromOneFileToTheNext();
    void bufferKeepsItsRoomAsItGrows();
    void multiByteScanAgreesWithTheCharacterWalk_data();
    void multiByteScanAgreesWithTheCharacterWalk();
    void multiByteFilesMatchTheDecodingRoute_data();
    void multiByteFilesMatchTheDecodingRoute();
    void runsThatNeedTheQStringRoute_data();
    void runsThatNeedTheQStringRoute();
    void ignoringCase_data();
    void ignoringCase();
};

void TestUtf8Replace::scanAgreesWithQtDecoder_data()
{
    QTest::addColumn<QByteArray>("sequence");

    QTest::newRow("an overlong two-byte sequence is invalid") << QByteArray("\xC0\xAF");
    QTest::newRow("the last overlong two-byte lead is invalid") << QByteArray("\xC1\xBF");
    QTest::newRow("an overlong three-byte sequence is invalid") << QByteArray("\xE0\x9F\xBF");
    QTest::newRow("an overlong four-byte sequence is invalid") << QByteArray("\xF0\x8F\xBF\xBF");
    QTest::newRow("an encoded high surrogate is invalid") << QByteArray("\xED\xA0\x80");
    QTest::newRow("an encoded low surrogate is invalid") << QByteArray("\xED\xBF\xBF");
    QTest::newRow("the last character before the surrogates is valid")
        << QByteArray("\xED\x9F\xBF");
    QTest::newRow("the largest code point is valid") << QByteArray("\xF4\x8F\xBF\xBF");
    QTest::newRow("one past the largest code point is invalid") << QByteArray("\xF4\x90\x80\x80");
    QTest::newRow("a five-byte lead is invalid") << QByteArray("\xF8\x88\x80\x80\x80");
    QTest::newRow("a lone continuation byte is invalid") << QByteArray("\x80");
    QTest::newRow("a lead byte before ASCII is invalid") << QByteArray("\xE4\xB8"
                                                                       "a");
    QTest::newRow("a noncharacter is valid") << QByteArray("\xEF\xBF\xBF");
    QTest::newRow("a byte-order mark inside the text is valid") << QByteArray("\xEF\xBB\xBF");
    QTest::newRow("a character cut off at the end is invalid") << QByteArray("\xF0\x9F\x98");
    QTest::newRow("two continuation bytes too many are invalid") << QByteArray("\xC3\xA9\x80\x80");
    QTest::newRow("a NUL byte is valid UTF-8 but binary") << QByteArray("a\0b", 3);
    QTest::newRow("lone carriage returns and pairs are counted") << QByteArray("\r\r\n\n\r");
}

void TestUtf8Replace::scanAgreesWithQtDecoder()
{
    QFETCH(QByteArray, sequence);

    // At every offset around the vector unit's 32-byte blocks, first and last.
    for (int before = 0; before < 70; ++before) {
        for (const int after : {0, 1, 40}) {
            const QByteArray bytes = QByteArray(before, 'x') + sequence + QByteArray(after, 'y');
            QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
            QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
            const bool valid = state.invalidChars == 0 && state.remainingChars == 0;
            const Utf8Scan fast = scanUtf8(bytes.constData(), bytes.size());
            const Utf8Scan plain = scanUtf8Scalar(bytes.constData(), bytes.size());
            QCOMPARE(fast.valid, valid);
            QCOMPARE(plain.valid, valid);
            QCOMPARE(fast.hasNul, bytes.contains('\0'));
            QCOMPARE(fast.carriageReturns, qsizetype(bytes.count('\r')));
            QCOMPARE(fast.lineFeeds, qsizetype(bytes.count('\n')));
            QCOMPARE(fast.crLfPairs, qsizetype(bytes.count("\r\n")));
            QCOMPARE(plain.crLfPairs, fast.crLfPairs);
        }
    }
}

void TestUtf8Replace::scanOfRandomBytesAgreesWithQtDecoder()
{
    QRandomGenerator random(11);
    const QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    for (int round = 0; round < 30000; ++round) {
        QByteArray bytes;
        const int length = random.bounded(100);
        for (int i = 0; i < length; ++i) {
            // Mostly what real text is made of, with any byte now and then.
            switch (random.bounded(6)) {
            case 0:
                bytes += char(random.bounded(256));
                break;
            case 1:
                bytes += char(0x80 + random.bounded(64));
                break;
            case 2:
                bytes += "\r\n"[random.bounded(2)];
                break;
            default:
                bytes += Fragments[random.bounded(int(std::size(Fragments)))];
            }
        }
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        utf8->toUnicode(bytes.constData(), bytes.size(), &state);
        const bool valid = state.invalidChars == 0 && state.remainingChars == 0;
        const Utf8Scan fast = scanUtf8(bytes.constData(), bytes.size());
        if (fast.valid != valid)
            qWarning() << bytes.toHex(' ');
        QCOMPARE(fast.valid, valid);
        QCOMPARE(scanUtf8Scalar(bytes.constData(), bytes.size()).valid, valid);
        QCOMPARE(fast.crLfPairs, qsizetype(bytes.count("\r\n")));
    }
}

void TestUtf8Replace::edgeCases_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<ReplacePairs>("pairs");
    QTest::addColumn<bool>("full");

    const ReplacePairs ab {{"a", "b"}};
    QTest::newRow("an empty file") << QByteArray() << ab << false;
    QTest::newRow("a byte-order mark alone") << QByteArray("\xEF\xBB\xBF") << ab << false;
    QTest::newRow("a second byte-order mark is text") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF"
                                                                    "a")
                                                      << ab << false;
    QTest::newRow("a NUL makes the file binary") << QByteArray("a\0a", 3) << ab << false;
    QTest::newRow("a NUL wins over an invalid sequence")
        << QByteArray("\xC0\x80\0", 3) << ab << false;
    QTest::newRow("a NUL wins over an invalid sequence a line before it")
        << QByteArray("\xC0\x80\n\0", 4) + QByteArray(60, 'a') << ab << false;
    QTest::newRow("an encoded surrogate leaves the file alone")
        << QByteArray("a\xED\xA0\x80") << ab << false;
    QTest::newRow("a cut-off character at the end leaves the file alone")
        << QByteArray("a\xE4\xB8") << ab << false;
    QTest::newRow("a lone carriage return breaks a line") << QByteArray("a\rb\r") << ab << false;
    QTest::newRow("a keyword holding CRLF never meets it in normalised text")
        << QByteArray("a\r\nb") << ReplacePairs {{"a\r\nb", "X"}} << false;
    QTest::newRow("a keyword holding a line feed meets every kind of break")
        << QByteArray("a\r\nb a\rb a\nb") << ReplacePairs {{"a\nb", "X"}} << false;
    QTest::newRow("a replacement holding a carriage return is written as it is")
        << QByteArray("a\nb") << ReplacePairs {{"a", "x\ry"}, {"\ry", "Z"}} << false;
    QTest::newRow("a keyword may be a character beyond the plane")
        << QByteArray("a\xF0\x9F\x98\x80") << ReplacePairs {{QString::fromUtf8("😀"), "X"}} << false;
    QTest::newRow("ideographs join ideographs but not letters")
        << QByteArray("批量替换工具 A替换B 替换") << ReplacePairs {{"替换", "X"}} << true;
    QTest::newRow("digits join digits, letters letters")
        << QByteArray("a12b 112 12 ab1 xab") << ReplacePairs {{"12", "X"}, {"ab", "Y"}} << true;
    QTest::newRow("other scripts are boundaries")
        << QByteArray("éabé ab€ab") << ReplacePairs {{"ab", "X"}} << true;
    QTest::newRow("the right edge sees a replacement made just before")
        << QByteArray("a1a1") << ReplacePairs {{"a1", "9"}} << true;
    QTest::newRow("a later occurrence may overlap a replacement")
        << QByteArray("--+") << ReplacePairs {{"-+", "+"}} << true;
    QTest::newRow("an ideograph replacement joins the next keyword")
        << QByteArray("甲乙 乙") << ReplacePairs {{"甲", "丙丙"}, {"乙", "X"}} << true;
    QTest::newRow("longer and shorter replacements chained")
        << QByteArray("abcabc\r\nabc")
        << ReplacePairs {{"abc", "替换替换"}, {"替换", ""}, {"", "x"}} << false;
    QTest::newRow("an empty replacement joins its neighbours into a keyword")
        << QByteArray("a-b ab") << ReplacePairs {{"-", ""}, {"ab", "X"}} << true;
}

void TestUtf8Replace::edgeCases()
{
    QFETCH(QByteArray, bytes);
    QFETCH(ReplacePairs, pairs);
    QFETCH(bool, full);

    Utf8Replace::Buffers buffers;
    for (const LineBreakMode mode : {LineBreakMode::Windows, LineBreakMode::KeepFormat})
        compareRoutes(bytes, optionsFor(full, pairs), mode, &buffers);
}

void TestUtf8Replace::randomFilesMatchTheQStringRoute_data()
{
    QTest::addColumn<bool>("full");
    QTest::addColumn<bool>("keepFormat");
    QTest::addColumn<int>("maxPairs");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<bool>("ignoreCase");

    QTest::newRow("ordinary, a few pairs, every line break written as CRLF")
        << false << false << 4 << 40 << false;
    QTest::newRow("ordinary, a few pairs, line breaks kept") << false << true << 4 << 40 << false;
    QTest::newRow("whole words, a few pairs, every line break written as CRLF")
        << true << false << 4 << 40 << false;
    QTest::newRow("whole words, a few pairs, line breaks kept") << true << true << 4 << 40 << false;
    QTest::newRow("ordinary, long pair lists over long files")
        << false << false << 40 << 900 << false;
    QTest::newRow("whole words, long pair lists over long files")
        << true << true << 40 << 900 << false;
    QTest::newRow("ordinary, ignoring case, a few pairs") << false << false << 4 << 40 << true;
    QTest::newRow("whole words, ignoring case, a few pairs") << true << true << 4 << 40 << true;
    QTest::newRow("ordinary, ignoring case, long pair lists") << false << true << 40 << 900 << true;
    QTest::newRow("whole words, ignoring case, long pair lists")
        << true << false << 40 << 900 << true;
}

void TestUtf8Replace::randomFilesMatchTheQStringRoute()
{
    QFETCH(bool, full);
    QFETCH(bool, keepFormat);
    QFETCH(int, maxPairs);
    QFETCH(int, pieces);
    QFETCH(bool, ignoreCase);

    QRandomGenerator random(quint32(qHash(QTest::currentDataTag())));
    const LineBreakMode mode = keepFormat ? LineBreakMode::KeepFormat : LineBreakMode::Windows;
    Utf8Replace::Buffers buffers;
    const int rounds = 4000000 / (pieces * maxPairs);
    for (int round = 0; round < rounds; ++round) {
        // One file in four may be left alone; the others are replaced in.
        const QByteArray bytes
            = randomBytes(random, random.bounded(pieces), random.bounded(4) == 0);
        Options options
            = optionsFor(full, randomPairs(random, 1 + random.bounded(maxPairs)), ignoreCase);
        keepPairsOnBytes(&options);
        compareRoutes(bytes, options, mode, &buffers);
        if (QTest::currentTestFailed())
            return;
    }
}

// The old dialect's forms and new syntax that meets line breaks, over CR, LF and CRLF
// text, with every option drawn at random: the bytes must see the text the decoding
// route sees, and weigh groups' lengths as it does, a character beyond the plane as two.
void TestUtf8Replace::randomPatternsMatchTheDecodingRoute()
{
    static const QStringList breakPatterns = {"[^\\n]*", ".+?$", "(?m)^.", "(?m)$", "\\r", "\\s+",
        "\\R", "(?<=\\n)\\w", "(?s).(?=\\n)", "[\\r\\n]+", "(?i)[ké]+", ".*(\\W|a.).*"};
    static const QStringList replacements
        = {"", "X", "<\\1>", "\\2\\1", "C:\\Users\\Lee", "\\U\\1\\E\\\\", "\r\n"};
    QRandomGenerator random(21);
    Options options;
    options.settings.match = MatchMode::RegularExpression;
    Utf8Replace::Buffers buffers;
    for (int round = 0; round < 12000; ++round) {
        options.settings.ignoreCase = random.bounded(2);
        options.settings.extendedReplacement = random.bounded(2);
        options.pairs.clear();
        for (int i = 1 + random.bounded(3); i > 0; --i) {
            const QString pattern = random.bounded(3) == 0
                ? breakPatterns.at(random.bounded(breakPatterns.size()))
                : testutil::randomPattern(random);
            options.pairs.append({pattern, replacements.at(random.bounded(replacements.size()))});
        }
        QVERIFY(Utf8Replace::handles(options.settings, options.pairs));
        compareRoutes(randomBytes(random, random.bounded(60), random.bounded(8) == 0), options,
            random.bounded(2) ? LineBreakMode::KeepFormat : LineBreakMode::Windows, &buffers);
        if (QTest::currentTestFailed())
            return;
    }
}

void TestUtf8Replace::longFilesMatchTheQStringRoute_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<ReplacePairs>("pairs");
    QTest::addColumn<bool>("full");

    QByteArray words;
    for (int i = 0; i < 30000; ++i)
        words += i % 7 == 0 ? "替换 " : i % 5 == 0 ? "a1\r\n" : "ab ";
    QByteArray run;
    for (int i = 0; i < 30000; ++i)
        run += i % 3 == 0 ? "替换" : "ab";

    QTest::newRow("whole words growing the text past its spare room")
        << words << ReplacePairs {{"ab", "替换替换替换"}} << true;
    QTest::newRow("whole words shrinking the text") << words << ReplacePairs {{"替换", ""}} << true;
    QTest::newRow("ordinary replacements growing the text, then shrinking it")
        << words << ReplacePairs {{"b", "bbbbbb"}, {"bb", ""}} << false;
    QTest::newRow("a long list over a text with no place to cut it")
        << run
        << ReplacePairs {{"ab", "ba"}, {"替", "a"}, {"aa", "x"}, {"换b", "y"}, {"ba", "ab"},
               {"x", "替"}, {"y", ""}, {"b替", "z"}, {"z", "zz"}, {"a", "b"}}
        << true;
    QTest::newRow("a long list over a text of many segments")
        << words
        << ReplacePairs {{"ab", "ba"}, {"替", "a"}, {"aa", "x"}, {"换 ", "y"}, {"ba", "ab"},
               {"x", "替"}, {"y", ""}, {"1", "替换 a"}, {"z", "zz"}, {"a", "b"}}
        << false;
}

void TestUtf8Replace::longFilesMatchTheQStringRoute()
{
    QFETCH(QByteArray, bytes);
    QFETCH(ReplacePairs, pairs);
    QFETCH(bool, full);

    Utf8Replace::Buffers buffers;
    for (const LineBreakMode mode : {LineBreakMode::Windows, LineBreakMode::KeepFormat})
        compareRoutes(bytes, optionsFor(full, pairs), mode, &buffers);
}

void TestUtf8Replace::buffersCarryNothingFromOneFileToTheNext()
{
    Utf8Replace::Buffers buffers;
    QRandomGenerator random(3);
    const QByteArray large = randomBytes(random, 5000, false);
    const Options grow = optionsFor(false, {{"a", "aaaa"}, {"中", "中中"}});
    compareRoutes(large, grow, LineBreakMode::Windows, &buffers);
    compareRoutes("b\r\nb", grow, LineBreakMode::Windows, &buffers);
    compareRoutes("", grow, LineBreakMode::KeepFormat, &buffers);
    compareRoutes("a", optionsFor(true, {{"a", "b"}}), LineBreakMode::KeepFormat, &buffers);
}

void TestUtf8Replace::multiByteScanAgreesWithTheCharacterWalk_data()
{
    QTest::addColumn<QString>("encoding");
    for (const char *name : {"GBK", "GB18030", "Big5", "Shift_JIS", "EUC-KR"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

// The vector scan against the walk from character to character, on texts long enough to
// cross its blocks anywhere: random pairs and four-byte sequences, each sorted into good
// and bad by the codec itself, so that lead bytes taking unusual trail bytes are met too.
void TestUtf8Replace::multiByteScanAgreesWithTheCharacterWalk()
{
    QFETCH(QString, encoding);
    QTextCodec *const codec = TextEncoding::fromName(encoding)->codec();
    const MultiByteTable *const table = MultiByteTable::forCodec(codec);
    QVERIFY(table);

    QRandomGenerator random(quint32(qHash(encoding)));
    QByteArrayList good {"a", " ", "1", "2023", "\r", "\n", "\r\n", "\r\r\n"};
    QByteArrayList badPairs;
    const QByteArrayList badBytes {"\xFF", "\x80", "\xA0", "\x81", "\xFE\x0A"};
    // Every lead byte, and some of each kind of trail byte, so that the lead bytes that
    // take fewer trail bytes than the others are met with those they do not take.
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int i = 0; i < 40; ++i) {
            QByteArray piece(1, char(lead));
            if (i % 8 == 0)
                piece += QByteArray(1, char('0' + random.bounded(10)))
                    + char(0x81 + random.bounded(0x7E)) + char('0' + random.bounded(10));
            else
                piece += char(0x30 + random.bounded(0xCF));
            QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
            const QString s = codec->toUnicode(piece.constData(), piece.size(), &state);
            const bool valid = state.invalidChars == 0 && state.remainingChars == 0
                && !s.contains(QChar(0xFFFD)) && codec->fromUnicode(s) == piece;
            (valid ? good : badPairs).append(piece);
        }
    }
    QVERIFY(good.size() > 1000);
    QVERIFY(badPairs.size() > 100);

    int invalid = 0;
    for (int round = 0; round < 4000; ++round) {
        // One fault at most, so that no other one hides it, often about where the first
        // blocks end.
        QByteArrayList chosen;
        for (int i = random.bounded(300); i > 0; --i)
            chosen += random.bounded(400) == 0 ? QByteArray(1, '\0')
                                               : good.at(random.bounded(good.size()));
        if (round % 2) {
            const int target = random.bounded(2) ? 58 + random.bounded(10) + 64 * random.bounded(2)
                                                 : random.bounded(1000);
            int at = 0;
            for (int size = 0; at < chosen.size() && size < target; ++at)
                size += chosen.at(at).size();
            chosen.insert(at,
                random.bounded(3) == 0 ? badBytes.at(random.bounded(badBytes.size()))
                                       : badPairs.at(random.bounded(badPairs.size())));
        }
        const QByteArray bytes = chosen.join();
        const Utf8Scan fast = table->scan(bytes.constData(), bytes.size());
        const Utf8Scan plain = table->scanScalar(bytes.constData(), bytes.size());
        if (fast.valid != plain.valid || fast.hasNul != plain.hasNul
            || fast.carriageReturns != plain.carriageReturns || fast.lineFeeds != plain.lineFeeds
            || fast.crLfPairs != plain.crLfPairs)
            qWarning() << "input" << bytes.toHex(' ');
        QCOMPARE(fast.valid, plain.valid);
        QCOMPARE(fast.hasNul, plain.hasNul);
        QCOMPARE(fast.carriageReturns, plain.carriageReturns);
        QCOMPARE(fast.lineFeeds, plain.lineFeeds);
        QCOMPARE(fast.crLfPairs, plain.crLfPairs);
        invalid += !plain.valid;
    }
    QVERIFY(invalid > 500);
}

void TestUtf8Replace::multiByteFilesMatchTheDecodingRoute_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<bool>("full");
    QTest::addColumn<bool>("keepFormat");
    QTest::addColumn<int>("maxPairs");
    QTest::addColumn<bool>("ignoreCase");

    for (const char *name : {"GBK", "GB18030", "Big5", "Shift_JIS", "EUC-KR"}) {
        for (const bool full : {false, true}) {
            for (const bool keep : {false, true}) {
                QTest::addRow("%s, %s, line breaks %s, a few pairs", name,
                    full ? "whole words" : "ordinary", keep ? "kept" : "as CRLF")
                    << QString::fromLatin1(name) << full << keep << 4 << false;
            }
            QTest::addRow("%s, %s, long pair lists", name, full ? "whole words" : "ordinary")
                << QString::fromLatin1(name) << full << false << 30 << false;
            QTest::addRow("%s, %s, ignoring case", name, full ? "whole words" : "ordinary")
                << QString::fromLatin1(name) << full << full << 4 << true;
        }
    }
}

void TestUtf8Replace::multiByteFilesMatchTheDecodingRoute()
{
    QFETCH(QString, encoding);
    QFETCH(bool, full);
    QFETCH(bool, keepFormat);
    QFETCH(int, maxPairs);
    QFETCH(bool, ignoreCase);

    Options options;
    options.settings.ignoreCase = ignoreCase;
    options.settings.encoding = *TextEncoding::fromName(encoding);
    options.settings.match = ReplaceSettings::matchOf(true, full);
    QVERIFY(Utf8Replace::onBytes(options.settings.encoding));
    QTextCodec *const codec = options.settings.encoding.codec();
    QStringList pieces = trickyCharacters(codec);
    QVERIFY(pieces.size() >= 12);
    pieces << "a"
           << "b"
           << "ab"
           << "A"
           << "B"
           << "aB"
           << "1"
           << "2"
           << "12"
           << "2023"
           << "@"
           << "["
           << "\\"
           << "|"
           << " "
           << "-"
           << "\n"
           << "\r"
           << "\r\n"
           << "中"
           << "文"
           << "一"
           << "替换";
    if (encoding.startsWith(QLatin1String("GB")))
        pieces << QString::fromUtf8("\xF0\x9F\x98\x80") << QString::fromUtf8("é");
    pieces.erase(std::remove_if(pieces.begin(), pieces.end(),
                     [codec](const QString &s) { return !codec->canEncode(s); }),
        pieces.end());
    QByteArrayList encoded;
    for (const QString &piece : qAsConst(pieces))
        encoded.append(codec->fromUnicode(piece));
    const QByteArrayList bad {"\x81", "\x81\x20", "\xFF", "\x80", "\xA1\x7F", "\x81\x30",
        "\x81\x30\x81", "\x85\x30\x81\x30", "\xE3\x32\x9A\x36", "\xFE\x0A"};

    const LineBreakMode mode = keepFormat ? LineBreakMode::KeepFormat : LineBreakMode::Windows;
    QRandomGenerator random(quint32(qHash(QTest::currentDataTag())));
    Utf8Replace::Buffers buffers;
    const int rounds = 600000 / (60 * maxPairs);
    for (int round = 0; round < rounds; ++round) {
        const QByteArray bytes = randomPieces(
            random, random.bounded(maxPairs > 4 ? 3000 : 60), random.bounded(4) == 0, encoded, bad);
        options.pairs.clear();
        const int count = 1 + random.bounded(maxPairs);
        for (int i = 0; i < count; ++i) {
            QString key = randomPiecesOf(random, pieces, 3);
            const QString rep = random.bounded(4) == 0 && !options.pairs.isEmpty()
                ? options.pairs.at(random.bounded(options.pairs.size())).first
                : randomPiecesOf(random, pieces, 3);
            options.pairs.append({key, rep});
        }
        if (ignoreCase)
            keepPairsOnBytes(&options);
        QVERIFY(Utf8Replace::handles(options.settings, options.pairs));
        compareRoutes(bytes, options, mode, &buffers);
        if (QTest::currentTestFailed())
            return;
    }
}

void TestUtf8Replace::runsThatNeedTheQStringRoute_data()
{
    QTest::addColumn<bool>("ordinary");
    QTest::addColumn<ReplacePairs>("pairs");
    QTest::addColumn<bool>("handled");
    QTest::addColumn<QString>("encoding");

    const QString utf8 = QStringLiteral("UTF-8");
    QTest::newRow("ordinary pairs are handled")
        << true << ReplacePairs {{"a", "b"}} << true << utf8;
    QTest::newRow("regular expressions in UTF-8 are handled")
        << false << ReplacePairs {{"a", "b"}} << true << utf8;
    QTest::newRow("a replacement with half a surrogate pair is not")
        << true << ReplacePairs {{"a", QString(QChar(0xDC00))}} << false << utf8;
    QTest::newRow("nor a keyword with half a surrogate pair, which splits characters")
        << true << ReplacePairs {{QString(QChar(0xD83D)), "X"}} << false << utf8;
    QTest::newRow("unless its keyword is empty and the pair skipped")
        << true << ReplacePairs {{"", QString(QChar(0xDC00))}} << true << utf8;
    QTest::newRow("ordinary pairs in Big5 are handled")
        << true << ReplacePairs {{"中文", "替換"}} << true << QStringLiteral("Big5");
    QTest::newRow("regular expressions in GBK are not")
        << false << ReplacePairs {{"a", "b"}} << false << QStringLiteral("GBK");
    QTest::newRow("a replacement Big5 cannot hold is left to the decoding route, which fails "
                  "the file only where it is written")
        << true << ReplacePairs {{"中文", "替换"}} << false << QStringLiteral("Big5");
    QTest::newRow("so is a keyword Shift_JIS cannot hold, which the decoding route counts")
        << true << ReplacePairs {{"替换", "a"}} << false << QStringLiteral("Shift_JIS");
    QTest::newRow("single-byte code pages are decoded")
        << true << ReplacePairs {{"a", "b"}} << false << QStringLiteral("Windows-1252");
}

void TestUtf8Replace::runsThatNeedTheQStringRoute()
{
    QFETCH(bool, ordinary);
    QFETCH(ReplacePairs, pairs);
    QFETCH(bool, handled);
    QFETCH(QString, encoding);

    Options options = optionsFor(false, pairs);
    options.settings.match = ReplaceSettings::matchOf(ordinary, false);
    options.settings.encoding = *TextEncoding::fromName(encoding);
    QCOMPARE(Utf8Replace::handles(options.settings, options.pairs), handled);
}

void TestUtf8Replace::ignoringCase_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<MatchMode>("match");
    QTest::addColumn<QString>("text");
    QTest::addColumn<ReplacePairs>("pairs");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("onBytes");

    const QString utf8 = QStringLiteral("UTF-8");
    QTest::newRow("ASCII letters in any case, on the bytes")
        << utf8 << MatchMode::Plain << "Cat cAT CAT cat" << ReplacePairs {{"cAt", "dog"}}
        << "dog dog dog dog" << true;
    QTest::newRow("accented Latin letters fold to their small forms")
        << utf8 << MatchMode::Plain << "ÉTÉ été Été ete" << ReplacePairs {{"été", "x"}}
        << "x x x ete" << false;
    QTest::newRow("Greek capital, small and final sigma are one letter")
        << utf8 << MatchMode::Plain << "ΟΔΟΣ οδος οδοσ" << ReplacePairs {{"Οδοσ", "x"}} << "x x x"
        << false;
    QTest::newRow("Chinese has no case and is untouched")
        << utf8 << MatchMode::Plain << "中文 中文A 中文a" << ReplacePairs {{"中文a", "x"}}
        << "中文 x x" << false;
    QTest::newRow("k also matches the Kelvin sign, so it is decoded")
        << utf8 << MatchMode::Plain << QString::fromUtf8("\xE2\x84\xAA k K")
        << ReplacePairs {{"k", "x"}} << "x x x" << false;
    QTest::newRow("whole words in any case")
        << utf8 << MatchMode::WholeWord << "Cat cats CAT xcat" << ReplacePairs {{"cat", "x"}}
        << "x cats x xcat" << true;
    QTest::newRow("regular expressions in any case, captures as found")
        << utf8 << MatchMode::RegularExpression << "Cat cAt" << ReplacePairs {{"c(a)t", "[\\1]"}}
        << "[a] [A]" << true;
    // 丂 is 0x81 0x41 in GBK: its second byte is an 'A' that must not be folded.
    QTest::newRow("GBK: a second byte that looks like a letter is not folded")
        << QStringLiteral("GBK") << MatchMode::Plain << "丂 A a" << ReplacePairs {{"a", "x"}}
        << "丂 x x" << true;
    QTest::newRow("GBK: whole words beside a character ending in a letter byte")
        << QStringLiteral("GBK") << MatchMode::WholeWord << "丂A A" << ReplacePairs {{"a", "x"}}
        << "丂x x" << true;
    QTest::newRow("Big5: a second byte that looks like a letter is not folded")
        << QStringLiteral("Big5") << MatchMode::Plain << "乙 a A" << ReplacePairs {{"A", "x"}}
        << "乙 x x" << true;
}

void TestUtf8Replace::ignoringCase()
{
    QFETCH(QString, encoding);
    QFETCH(MatchMode, match);
    QFETCH(QString, text);
    QFETCH(ReplacePairs, pairs);
    QFETCH(QString, expected);
    QFETCH(bool, onBytes);

    Options options;
    options.settings.encoding = *TextEncoding::fromName(encoding);
    options.settings.match = match;
    options.settings.ignoreCase = true;
    options.pairs = pairs;
    QTextCodec *const codec = options.settings.encoding.codec();
    const QByteArray bytes = codec->fromUnicode(text);
    const Reference decoded = decodingRoute(bytes, options, true);
    QCOMPARE(decoded.reason, Reason::None);
    QCOMPARE(codec->toUnicode(decoded.bytes), expected);
    QCOMPARE(Utf8Replace::handles(options.settings, options.pairs), onBytes);
    if (onBytes) {
        Utf8Replace::Buffers buffers;
        compareRoutes(bytes, options, LineBreakMode::KeepFormat, &buffers);
    }
}

QTEST_GUILESS_MAIN(TestUtf8Replace)
// The whole-word scan builds its result past the end of the text, in the buffer's spare
// room, so a buffer that grows keeps everything up to its capacity: from the heap into a
// mapping of its own, and from one mapping into a larger one, also once it is large
// enough to have been given large pages.
void TestUtf8Replace::bufferKeepsItsRoomAsItGrows()
{
    UnitBuffer<char> buffer;
    qsizetype filled = 0;
    const auto fill = [&buffer, &filled] {
        for (; filled < buffer.capacity(); ++filled)
            buffer.data()[filled] = char(filled * 7 % 251);
    };
    buffer.resize(1000);
    fill();
    buffer.resize(1);
    for (const qsizetype wanted : {qsizetype(OwnMappingFrom) - 4096, qsizetype(OwnMappingFrom) + 1,
             qsizetype(3 * OwnMappingFrom), qsizetype(7 * OwnMappingFrom) + 13,
             qsizetype(24 * OwnMappingFrom) + 5}) {
        buffer.reserve(wanted);
        QVERIFY(buffer.capacity() >= wanted);
        QCOMPARE(buffer.size(), qsizetype(1));
        for (qsizetype i = 0; i < filled; ++i) {
            if (buffer.data()[i] != char(i * 7 % 251))
                QFAIL(qPrintable(QStringLiteral("byte %1 of %2 lost").arg(i).arg(filled)));
        }
        fill();
    }
    UnitBuffer<char> moved(std::move(buffer));
    QCOMPARE(moved.data()[filled - 1], char((filled - 1) * 7 % 251));
}

#include "tst_utf8replace.moc"
