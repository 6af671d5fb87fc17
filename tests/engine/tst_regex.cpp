#include "engine/match/regex.h"
#include "engine/match/transform.h"

#include "randompatterns.h"

#include <QRandomGenerator>
#include <QRegExp>
#include <QVarLengthArray>
#include <QtTest>

namespace {

QString replaced(const QString &text, const QString &pattern, const QString &replacement,
    bool extended = false, int *count = nullptr)
{
    ReplaceSettings settings;
    settings.match = MatchMode::RegularExpression;
    settings.extendedReplacement = extended;
    QVector<int> counts;
    const QString out = applyPairs(text, settings, {{pattern, replacement}}, &counts);
    if (count)
        *count = counts.value(0);
    return out;
}

// The same through the UTF-8 route.
QString replacedBytes(
    const QString &text, const QString &pattern, const QString &replacement, bool extended)
{
    const RegexPattern rx(pattern);
    const RegexReplacement rep(replacement, rx, extended);
    const QByteArray bytes = text.toUtf8();
    QByteArray out;
    regexReplace<char>(rx, rep, bytes.constData(), bytes.size(),
        [&out](const char *p, qsizetype n) { out.append(p, int(n)); });
    return QString::fromUtf8(out);
}

// The replacement as the program made it on QRegExp.
QString oldReplace(QString text, const QString &pattern, const QString &after)
{
    QRegExp rx(pattern, Qt::CaseSensitive, QRegExp::RegExp);
    if (!rx.isValid())
        return text;

    struct BackRef
    {
        int pos;
        int len;
        int no;
    };
    QVarLengthArray<BackRef, 8> refs;
    const int captures = rx.captureCount();
    const QChar *a = after.constData();
    const int al = after.size();
    if (captures > 0) {
        for (int i = 0; i < al - 1; ++i) {
            if (a[i] != QLatin1Char('\\'))
                continue;
            int no = a[i + 1].digitValue();
            if (no <= 0 || no > captures)
                continue;
            BackRef ref {i, 2, no};
            if (i < al - 2) {
                const int second = a[i + 2].digitValue();
                if (second != -1 && no * 10 + second <= captures) {
                    ref.no = no * 10 + second;
                    ++ref.len;
                }
            }
            refs.append(ref);
        }
    }

    const int n = text.size();
    const QChar *s = text.constData();
    QString out;
    bool matched = false;
    int copied = 0;
    int index = 0;
    QRegExp::CaretMode caret = QRegExp::CaretAtZero;
    while (index <= n) {
        const int pos = rx.indexIn(text, index, caret);
        if (pos < 0)
            break;
        const int length = rx.matchedLength();
        if (!matched) {
            out.reserve(n);
            matched = true;
        }
        out.append(s + copied, pos - copied);
        if (refs.isEmpty()) {
            out.append(after);
        } else {
            int from = 0;
            for (const BackRef &ref : refs) {
                out.append(a + from, ref.pos - from);
                out.append(rx.cap(ref.no));
                from = ref.pos + ref.len;
            }
            out.append(a + from, al - from);
        }
        copied = pos + length;
        index = copied + (length == 0 ? 1 : 0);
        caret = QRegExp::CaretWontMatch;
    }
    if (!matched)
        return text;
    out.append(s + copied, n - copied);
    return out;
}

QString randomText(QRandomGenerator &random)
{
    static const QString alphabet = QStringLiteral("ab1 2中文。x_\n");
    QString s;
    const int length = random.bounded(24);
    for (int i = 0; i < length; ++i)
        s.append(alphabet.at(random.bounded(alphabet.size())));
    return s;
}

} // namespace

class TestRegex : public QObject
{
    Q_OBJECT

private slots:
    void oldPatternsMeanWhatTheyMeant();
    void classesMatchTheSameCharactersAsBefore_data();
    void classesMatchTheSameCharactersAsBefore();
    void newSyntax_data();
    void newSyntax();
    void replacementText_data();
    void replacementText();
    void helpTableExamples_data();
    void helpTableExamples();
    void invalidPatternsSayWhereAndWhy_data();
    void invalidPatternsSayWhereAndWhy();
    void runawayPatternsFail();
};

// Random patterns on random Chinese and ASCII text, against the engine the program used
// before, through both the UTF-16 and the UTF-8 route.
void TestRegex::oldPatternsMeanWhatTheyMeant()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Saved patterns mean what Qt 5's engine made of them; Core5Compat's copy of it
    // captures repeated groups differently ((a*){1,2} keeps the first round's text).
    QSKIP("the reference is Qt 5's own QRegExp, which this build lacks");
#endif
    static const QStringList replacements
        = {"", "X", "<\\1>", "\\2\\1", "C:\\Users\\Lee", "\\0", "\\\\1"};
    QRandomGenerator random(21);
    int compared = 0;
    int refusedBefore = 0;
    int refusedNow = 0;
    for (int round = 0; round < 20000; ++round) {
        const QString pattern = testutil::randomPattern(random);
        const QRegExp old(pattern, Qt::CaseSensitive, QRegExp::RegExp);
        if (!old.isValid()) {
            ++refusedBefore;
            continue;
        }
        const RegexPattern rx(pattern);
        if (translateRegex(pattern).refused) {
            // Refused, with a message, rather than run with another meaning.
            QVERIFY(!rx.isValid() && !rx.errorText().isEmpty());
            ++refusedNow;
            continue;
        }
        if (!rx.isValid())
            qWarning() << "refused" << pattern << rx.errorTextEnglish();
        QVERIFY(rx.isValid());
        const QString replacement = replacements.at(random.bounded(replacements.size()));
        for (int t = 0; t < 3; ++t) {
            const QString text = randomText(random);
            const QString expected = oldReplace(text, pattern, replacement);
            const QString actual = replaced(text, pattern, replacement);
            const QString bytes = replacedBytes(text, pattern, replacement, false);
            if (actual != expected || bytes != expected)
                qWarning() << "text" << text << "pattern" << pattern << "replacement" << replacement
                           << "translated" << translateRegex(pattern).pcre;
            QCOMPARE(actual, expected);
            QCOMPARE(bytes, expected);
            ++compared;
        }
    }
    qInfo("%d texts compared, %d patterns the old engine refused, %d refused now", compared,
        refusedBefore, refusedNow);
}

void TestRegex::classesMatchTheSameCharactersAsBefore_data()
{
    QTest::addColumn<QString>("pattern");
    for (const char *pattern : {".", "\\w", "\\W", "\\s", "\\S", "\\d", "\\D", "[\\w]", "[^\\w]"})
        QTest::newRow(pattern) << QString::fromLatin1(pattern);
}

// Every character of the Basic Multilingual Plane, one at a time.
void TestRegex::classesMatchTheSameCharactersAsBefore()
{
    QFETCH(QString, pattern);
    const QRegExp old(pattern, Qt::CaseSensitive, QRegExp::RegExp);
    const RegexPattern rx(pattern);
    const RegexReplacement none(QString(), rx, false);
    QString differing;
    for (uint c = 1; c < 0x10000; ++c) {
        if (QChar::isSurrogate(c))
            continue;
        const QString text {QChar(ushort(c))};
        // Characters the old engine's Unicode tables did not know yet now match by
        // their properties.
        if (QChar::unicodeVersion(c) == QChar::Unicode_Unassigned)
            continue;
        const bool before = old.indexIn(text) == 0;
        const qsizetype now
            = regexReplace<char16_t>(rx, none, reinterpret_cast<const char16_t *>(text.utf16()), 1,
                [](const char16_t *, qsizetype) {});
        if (before != (now == 1) && differing.size() < 80)
            differing += QString::number(c, 16) + QLatin1Char(' ');
    }
    QCOMPARE(differing, QString());
}

void TestRegex::newSyntax_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("expected");

    QTest::newRow("lookbehind") << "价格￥12 和 34"
                                << "(?<=￥)\\d+"
                                << "N"
                                << "价格￥N 和 34";
    QTest::newRow("lazy quantifier takes the shortest") << "<a><b>"
                                                        << "<.+?>"
                                                        << "[]"
                                                        << "[][]";
    QTest::newRow("named group, numbered in the replacement") << "2024-05"
                                                              << "(?<y>\\d+)-(?<m>\\d+)"
                                                              << "\\2/\\1"
                                                              << "05/2024";
    QTest::newRow("inline ignore case") << "Apple apple"
                                        << "(?i)APPLE"
                                        << "梨"
                                        << "梨 梨";
    QTest::newRow("inline multiline makes ^ per line") << "a\nb\nc"
                                                       << "(?m)^"
                                                       << "> "
                                                       << "> a\n> b\n> c";
    QTest::newRow("new patterns take the first alternative that matches") << "ab"
                                                                          << "(?:a|ab)(?#x)"
                                                                          << "X"
                                                                          << "Xb";
    QTest::newRow("old patterns keep the longest alternative") << "ab"
                                                               << "a|ab"
                                                               << "X"
                                                               << "X";
    QTest::newRow("a backward range is the same range") << "b"
                                                        << "[c-a]"
                                                        << "X"
                                                        << "X";
}

void TestRegex::newSyntax()
{
    QFETCH(QString, text);
    QFETCH(QString, pattern);
    QFETCH(QString, replacement);
    QFETCH(QString, expected);
    QCOMPARE(replaced(text, pattern, replacement), expected);
    QCOMPARE(replacedBytes(text, pattern, replacement, false), expected);
}

void TestRegex::replacementText_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<QString>("expected");

    const QString text = QStringLiteral("user lee");
    QTest::newRow("a Windows path stays literal") << "(\\w+) (\\w+)"
                                                  << "C:\\Users\\Lee" << false << "C:\\Users\\Lee";
    QTest::newRow("two digits name a group when there are that many")
        << "(u)(s)(e)(r)( )(l)(e)(e)(x?)(y?)(z?)(w?)"
        << "\\12|\\10" << false << "|";
    QTest::newRow("two digits, fewer groups: a group and a digit") << "(\\w+) (\\w+)"
                                                                   << "\\21" << false << "lee1";
    QTest::newRow("extended syntax is literal by default")
        << "(?<first>\\w+) (\\w+)"
        << "${first}\\U\\2\\E\\\\" << false << "${first}\\Ulee\\E\\\\";
    QTest::newRow("named group") << "(?<first>\\w+) (\\w+)"
                                 << "${first}!" << true << "user!";
    QTest::newRow("upper case up to \\E") << "(\\w+) (\\w+)"
                                          << "\\U\\2 x\\E \\1" << true << "LEE X user";
    QTest::newRow("lower case to the end") << "(\\w+) (\\w+)"
                                           << "\\LAB\\1" << true << "abuser";
    QTest::newRow("a doubled backslash is one") << "(\\w+) (\\w+)"
                                                << "\\\\1\\\\" << true << "\\1\\";
    QTest::newRow("other backslashes stay in the extended syntax too")
        << "(\\w+) (\\w+)"
        << "D:\\docs\\a" << true << "D:\\docs\\a";
    QTest::newRow("an unknown name stays literal") << "(\\w+) (\\w+)"
                                                   << "${nope}" << true << "${nope}";
}

void TestRegex::replacementText()
{
    QFETCH(QString, pattern);
    QFETCH(QString, replacement);
    QFETCH(bool, extended);
    QFETCH(QString, expected);
    const QString text = QStringLiteral("user lee");
    QCOMPARE(replaced(text, pattern, replacement, extended), expected);
    QCOMPARE(replacedBytes(text, pattern, replacement, extended), expected);
}

// The rows of the help's table of the syntax, read from the help itself; a row of class
// "extended" runs with the extended replacement syntax.
void TestRegex::helpTableExamples_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QFile help(QStringLiteral(YIHUAN_TEST_DATA_DIR "/../../docs/help/index.html"));
    QVERIFY(help.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(help.readAll());
    const int from = html.indexOf(QLatin1String("<table id=\"regex-syntax\">"));
    const QString table = html.mid(from, html.indexOf(QLatin1String("</table>"), from) - from);
    const QRegularExpression row(
        QStringLiteral("<tr( class=\"extended\")?><td>(.*?)</td><td>.*?</td>")
        + QStringLiteral("<td><code>(.*?)</code></td>").repeated(4) + QStringLiteral("</tr>"));
    const auto text = [](QString html) {
        return html.replace("<br/>", "\n")
            .remove(QRegularExpression("<[^>]*>"))
            .replace("&lt;", "<")
            .replace("&gt;", ">");
    };
    int rows = 0;
    for (auto match = row.globalMatch(table); match.hasNext(); ++rows) {
        const QRegularExpressionMatch m = match.next();
        QTest::newRow(qPrintable(text(m.captured(2))))
            << text(m.captured(3)) << text(m.captured(4)) << !m.captured(1).isEmpty()
            << text(m.captured(5)) << text(m.captured(6));
    }
    QVERIFY(from >= 0 && rows > 0);
    QCOMPARE(rows, table.count(QLatin1String("<tr")) - 1); // every row but the header read
}

void TestRegex::helpTableExamples()
{
    QFETCH(QString, pattern);
    QFETCH(QString, replacement);
    QFETCH(bool, extended);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(replaced(text, pattern, replacement, extended), expected);
    QCOMPARE(replacedBytes(text, pattern, replacement, extended), expected);
}

void TestRegex::invalidPatternsSayWhereAndWhy_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("chinese");

    QTest::newRow("missing parenthesis") << "中(ab"
                                         << "missing closing parenthesis at character 5"
                                         << "第 5 个字符处缺少右括号 )";
    QTest::newRow("offset counted in the pattern as typed") << "\\x4E00\\x4E00)"
                                                            << "at character 13"
                                                            << "第 13 个字符处多余的右括号 )";
    QTest::newRow("lookbehind of varying length") << "(?<=a+)b"
                                                  << "not fixed length"
                                                  << "长度必须固定";
}

void TestRegex::invalidPatternsSayWhereAndWhy()
{
    QFETCH(QString, pattern);
    QFETCH(QString, english);
    QFETCH(QString, chinese);
    const RegexPattern rx(pattern);
    QVERIFY(!rx.isValid());
    QVERIFY2(rx.errorTextEnglish().contains(english), qPrintable(rx.errorTextEnglish()));
    QVERIFY2(rx.errorText().contains(chinese), qPrintable(rx.errorText()));
}

void TestRegex::runawayPatternsFail()
{
    const QString text = QString(100000, QLatin1Char('a'));
    for (const QString &pattern : {QStringLiteral("(?:a|aa)*\\d"), QStringLiteral("(?:a+)+?\\d")}) {
        bool threw = false;
        try {
            replaced(text, pattern, QStringLiteral("x"));
        } catch (const RegexTooComplex &) {
            threw = true;
        }
        QVERIFY2(threw, qPrintable(pattern));
    }
}

QTEST_GUILESS_MAIN(TestRegex)
#include "tst_regex.moc"
