#include "engine/match/transform.h"

#include <QRandomGenerator>
#include <QRegExp>
#include <QtTest>

namespace {

// QRegExp is the reference the regular expressions are checked against; Qt 6 keeps it
// (in Core5Compat) but not QString's overload that takes it.
QString replacedByQRegExp(QString text, const QRegExp &rx, const QString &after)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return rx.replaceIn(text, after);
#else
    return text.replace(rx, after);
#endif
}

ReplaceSettings settingsFor(bool ordinary, bool full)
{
    ReplaceSettings settings;
    settings.match = ReplaceSettings::matchOf(ordinary, full);
    return settings;
}

int wordClass(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return 1;
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z'))
        return 2;
    if (u >= 0x4E00 && u <= 0x9FA5)
        return 3;
    return 0;
}

bool joined(QChar a, QChar b)
{
    return wordClass(a) != 0 && wordClass(a) == wordClass(b);
}

// The whole-word rule as first written: a backward scan editing the text in place.
QString referenceWholeWords(
    QString text, const QString &key, const QString &replacement, int *count)
{
    const int k = key.size();
    int from = -1;
    for (;;) {
        const int p = text.lastIndexOf(key, from, Qt::CaseSensitive);
        if (p < 0)
            break;
        const bool leftFree = p == 0 || !joined(text.at(p - 1), key.at(0));
        const bool rightFree = p + k == text.size() || !joined(text.at(p + k), key.at(k - 1));
        if (leftFree && rightFree) {
            text.replace(p, k, replacement);
            ++*count;
        }
        if (p == 0)
            break;
        from = p - 1;
    }
    return text;
}

int countNonOverlapping(const QString &text, const QString &key)
{
    int count = 0;
    for (int i = text.indexOf(key); i >= 0; i = text.indexOf(key, i + key.size()))
        ++count;
    return count;
}

QString randomString(QRandomGenerator &random, const QString &alphabet, int maxLength)
{
    QString s;
    const int length = random.bounded(maxLength + 1);
    for (int i = 0; i < length; ++i)
        s.append(alphabet.at(random.bounded(alphabet.size())));
    return s;
}

// Replacements that contain the keyword or pieces of it are what make later
// searches see freshly written text.
QString randomReplacement(QRandomGenerator &random, const QString &alphabet, const QString &key)
{
    switch (random.bounded(6)) {
    case 0:
        return QString();
    case 1:
        return key;
    case 2:
        return key.left(1 + random.bounded(key.size()));
    case 3:
        return key.mid(random.bounded(key.size()));
    case 4:
        return randomString(random, alphabet, 2) + key + randomString(random, alphabet, 2);
    default:
        return randomString(random, alphabet, 5);
    }
}

// Pair lists whose replacements hold other keywords, or pieces of them, so that pairs
// create work for the pairs after them.
ReplacePairs randomPairList(QRandomGenerator &random, const QString &alphabet, int count)
{
    ReplacePairs pairs;
    for (int i = 0; i < count; ++i) {
        QString key = randomString(random, alphabet, 3);
        if (key.isEmpty() && random.bounded(5) != 0)
            key = alphabet.left(1);
        QString replacement = randomReplacement(random, alphabet, key.isEmpty() ? "x" : key);
        if (!pairs.isEmpty() && random.bounded(3) == 0)
            replacement += pairs.at(random.bounded(pairs.size())).first;
        pairs.append({key, replacement});
    }
    return pairs;
}

// Puts the edits to work on the original: it must become the result.
void checkEdits(const QString &original, const QString &result, const std::vector<TextEdit> &edits)
{
    QString rebuilt;
    qsizetype read = 0;
    for (const TextEdit &e : edits) {
        QVERIFY2(e.before >= read, "edits overlap or are out of order");
        rebuilt += original.mid(int(read), int(e.before - read));
        QCOMPARE(qsizetype(rebuilt.size()), e.after);
        rebuilt += result.mid(int(e.after), int(e.afterLength));
        read = e.before + e.beforeLength;
    }
    QVERIFY(read <= original.size());
    rebuilt += original.mid(int(read));
    QCOMPARE(rebuilt, result);
}

} // namespace

class TestTransform : public QObject
{
    Q_OBJECT

private slots:
    void ordinary_data();
    void ordinary();
    void regularExpression_data();
    void regularExpression();
    void wholeWord_data();
    void wholeWord();
    void pairsChain_data();
    void pairsChain();
    void wholeWordMatchesReferenceScan_data();
    void wholeWordMatchesReferenceScan();
    void ordinaryMatchesQStringReplace();
    void regularExpressionMatchesQStringReplace();
    void longTextsWithManyOccurrences_data();
    void longTextsWithManyOccurrences();
    void longPairListsMatchPairByPair_data();
    void longPairListsMatchPairByPair();
    void edits_data();
    void edits();
    void editsTurnTheOriginalIntoTheResult_data();
    void editsTurnTheOriginalIntoTheResult();

private:
    // One pair's columns: text, keyword, replacement, expected text, replacement count.
    static void addOnePairColumns();
    static void checkOnePair(bool ordinary, bool full);
};

void TestTransform::addOnePairColumns()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("count");
}

void TestTransform::checkOnePair(bool ordinary, bool full)
{
    QFETCH(QString, text);
    QFETCH(QString, keyword);
    QFETCH(QString, replacement);
    QFETCH(QString, expected);
    QFETCH(int, count);

    QVector<int> counts;
    QCOMPARE(
        applyPairs(text, settingsFor(ordinary, full), {{keyword, replacement}}, &counts), expected);
    QCOMPARE(counts, QVector<int> {count});
}

void TestTransform::ordinary_data()
{
    addOnePairColumns();

    QTest::newRow("occurrences are taken left to right without overlap") << "aaaaa"
                                                                         << "aa"
                                                                         << "b"
                                                                         << "bba" << 2;
    QTest::newRow("case matters") << "Cat cat CAT"
                                  << "cat"
                                  << "dog"
                                  << "Cat dog CAT" << 1;
    QTest::newRow("a longer replacement grows the text") << "批量替换工具替换"
                                                         << "替换"
                                                         << "查找并替换"
                                                         << "批量查找并替换工具查找并替换" << 2;
    QTest::newRow("an empty replacement deletes") << "a-b-c"
                                                  << "-"
                                                  << ""
                                                  << "abc" << 2;
    QTest::newRow("words inside words are replaced too") << "concat cat"
                                                         << "cat"
                                                         << "X"
                                                         << "conX X" << 2;
    QTest::newRow("a missing keyword leaves the text") << "abc"
                                                       << "x"
                                                       << "y"
                                                       << "abc" << 0;
    QTest::newRow("an empty keyword is skipped") << "abc"
                                                 << ""
                                                 << "y"
                                                 << "abc" << 0;
    QTest::newRow("a keyword longer than the text") << "ab"
                                                    << "abc"
                                                    << "y"
                                                    << "ab" << 0;
}

void TestTransform::ordinary()
{
    checkOnePair(true, false);
}

void TestTransform::regularExpression_data()
{
    addOnePairColumns();

    QTest::newRow("caret marks only the start of the whole text") << "ab\ncd\nef"
                                                                  << "^"
                                                                  << "X"
                                                                  << "Xab\ncd\nef" << 1;
    QTest::newRow("dollar marks only the end of the whole text") << "ab\ncd\n"
                                                                 << "$"
                                                                 << "X"
                                                                 << "ab\ncd\nX" << 1;
    QTest::newRow("groups can be swapped") << "12-345, 6-7"
                                           << "(\\d+)-(\\d+)"
                                           << "\\2-\\1"
                                           << "345-12, 7-6" << 2;
    QTest::newRow("quantifiers are greedy") << "<a><b>"
                                            << "<.*>"
                                            << "X"
                                            << "X" << 1;
    QTest::newRow("an invalid pattern changes nothing") << "a(b"
                                                        << "("
                                                        << "X"
                                                        << "a(b" << 0;
    QTest::newRow("empty matches are counted at every position") << "ab"
                                                                 << "x*"
                                                                 << "-"
                                                                 << "-a-b-" << 3;
    QTest::newRow("a back-reference without groups is literal") << "ab"
                                                                << "a"
                                                                << "\\1"
                                                                << "\\1b" << 1;
    QTest::newRow("a reference past the last group is literal") << "ab"
                                                                << "(a)"
                                                                << "\\2\\1"
                                                                << "\\2ab" << 1;
    QTest::newRow("ten groups allow two-digit references") << "abcdefghij"
                                                           << "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)"
                                                           << "\\10\\1"
                                                           << "ja" << 1;
    QTest::newRow("chinese text is matched by classes") << "第1章 第22章"
                                                        << "第(\\d+)章"
                                                        << "Chapter \\1"
                                                        << "Chapter 1 Chapter 22" << 2;
}

void TestTransform::regularExpression()
{
    checkOnePair(false, false);
}

void TestTransform::wholeWord_data()
{
    addOnePairColumns();

    QTest::newRow("only free-standing words change") << "cat, concat, Cat2 cat."
                                                     << "cat"
                                                     << "dog"
                                                     << "dog, concat, Cat2 dog." << 2;
    QTest::newRow("digits next to letters are a boundary, next to digits not") << "a12b 112 12"
                                                                               << "12"
                                                                               << "X"
                                                                               << "aXb 112 X" << 2;
    QTest::newRow("an occurrence inside a longer run is not a word") << "aaa"
                                                                     << "aa"
                                                                     << "b"
                                                                     << "aaa" << 0;
    QTest::newRow("ideographs join ideographs") << "批量替换工具"
                                                << "替换"
                                                << "X"
                                                << "批量替换工具" << 0;
    QTest::newRow("ideographs stand apart from letters") << "A替换B"
                                                         << "替换"
                                                         << "X"
                                                         << "AXB" << 1;
    QTest::newRow("the right edge sees a replacement made just before") << "a1a1"
                                                                        << "a1"
                                                                        << "9"
                                                                        << "a19" << 1;
    QTest::newRow("a later occurrence may overlap a replacement") << "--+"
                                                                  << "-+"
                                                                  << "+"
                                                                  << "+" << 2;
    QTest::newRow("punctuation keywords ignore their neighbours") << "a,b,,c"
                                                                  << ","
                                                                  << ";"
                                                                  << "a;b;;c" << 3;
    QTest::newRow("letters of either case join") << "Abc abC"
                                                 << "bc"
                                                 << "X"
                                                 << "Abc abC" << 0;
    QTest::newRow("other scripts are boundaries") << "éabé"
                                                  << "ab"
                                                  << "X"
                                                  << "éXé" << 1;
    QTest::newRow("an empty replacement deletes whole words") << "to be or not to be"
                                                              << "be"
                                                              << ""
                                                              << "to  or not to " << 2;
}

void TestTransform::wholeWord()
{
    checkOnePair(true, true);
}

void TestTransform::pairsChain_data()
{
    QTest::addColumn<bool>("ordinary");
    QTest::addColumn<bool>("full");

    QTest::newRow("ordinary") << true << false;
    QTest::newRow("whole word") << true << true;
    QTest::newRow("regular expression") << false << false;
}

void TestTransform::pairsChain()
{
    QFETCH(bool, ordinary);
    QFETCH(bool, full);

    QVector<int> counts;
    const QString result = applyPairs(
        QStringLiteral("a b c"), settingsFor(ordinary, full), {{"a", "b"}, {"b", "c"}}, &counts);
    QCOMPARE(result, QStringLiteral("c c c"));
    QCOMPARE(counts, (QVector<int> {1, 2}));
}

void TestTransform::wholeWordMatchesReferenceScan_data()
{
    QTest::addColumn<QString>("alphabet");
    QTest::addColumn<quint32>("seed");

    QTest::newRow("two letters and punctuation") << "ab-+ " << 1u;
    QTest::newRow("digits, letters, ideographs and punctuation") << "a1B中文-,+" << 2u;
    QTest::newRow("mostly one character") << "aaaa1-" << 3u;
    QTest::newRow("ideographs and their edges") << "中中替换A1" << 4u;
}

void TestTransform::wholeWordMatchesReferenceScan()
{
    QFETCH(QString, alphabet);
    QFETCH(quint32, seed);

    QRandomGenerator random(seed);
    for (int round = 0; round < 20000; ++round) {
        const QString text = randomString(random, alphabet, 24);
        QString key = randomString(random, alphabet, 4);
        if (key.isEmpty())
            key = alphabet.left(1);
        const QString replacement = randomReplacement(random, alphabet, key);

        int expectedCount = 0;
        const QString expected = referenceWholeWords(text, key, replacement, &expectedCount);
        QVector<int> counts;
        const QString actual
            = applyPairs(text, settingsFor(true, true), {{key, replacement}}, &counts);
        if (actual != expected || counts.value(0) != expectedCount)
            qWarning() << "text" << text << "keyword" << key << "replacement" << replacement;
        QCOMPARE(actual, expected);
        QCOMPARE(counts.value(0), expectedCount);
    }
}

void TestTransform::ordinaryMatchesQStringReplace()
{
    const QString alphabet = QStringLiteral("ab中-");
    QRandomGenerator random(5);
    for (int round = 0; round < 20000; ++round) {
        const QString text = randomString(random, alphabet, 20);
        QString key = randomString(random, alphabet, 3);
        if (key.isEmpty())
            key = alphabet.left(1);
        const QString replacement = randomReplacement(random, alphabet, key);

        QString expected = text;
        expected.replace(key, replacement, Qt::CaseSensitive);
        QVector<int> counts;
        QCOMPARE(
            applyPairs(text, settingsFor(true, false), {{key, replacement}}, &counts), expected);
        QCOMPARE(counts.value(0), countNonOverlapping(text, key));
    }
}

void TestTransform::regularExpressionMatchesQStringReplace()
{
    // No \b or \B: those are the one place where matching on the original text differs.
    const QStringList atoms = {
        "a", "b", "中", "-", "[ab]", "\\d", ".", "1", "(a)", "(b|中)", "(\\d+)", "^", "$", "(a*)"};
    const QStringList quantifiers = {"", "", "*", "+", "?"};
    const QStringList replacements = {"", "X", "\\1", "<\\1>", "\\2\\1", "\\\\1", "\\0"};
    const QString alphabet = QStringLiteral("ab中-12");
    QRandomGenerator random(6);
    for (int round = 0; round < 5000; ++round) {
        QString pattern;
        const int atomCount = 1 + random.bounded(3);
        for (int i = 0; i < atomCount; ++i)
            pattern += atoms.at(random.bounded(atoms.size()))
                + quantifiers.at(random.bounded(quantifiers.size()));
        const QString replacement = replacements.at(random.bounded(replacements.size()));
        const QString text = randomString(random, alphabet, 16);

        const QString expected = replacedByQRegExp(
            text, QRegExp(pattern, Qt::CaseSensitive, QRegExp::RegExp), replacement);
        const QString actual
            = applyPairs(text, settingsFor(false, false), {{pattern, replacement}});
        if (actual != expected)
            qWarning() << "text" << text << "pattern" << pattern << "replacement" << replacement;
        QCOMPARE(actual, expected);
    }
}

void TestTransform::longTextsWithManyOccurrences_data()
{
    QTest::addColumn<bool>("ordinary");
    QTest::addColumn<bool>("full");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("replacement");

    QTest::newRow("ordinary, shorter replacement") << true << false << "ab"
                                                   << "x";
    QTest::newRow("ordinary, longer replacement") << true << false << "ab"
                                                  << "xyz";
    QTest::newRow("ordinary, longer replacement of a dense keyword") << true << false << "a"
                                                                     << "xy";
    QTest::newRow("whole word, shorter replacement") << true << true << "ab"
                                                     << "x";
    QTest::newRow("whole word, longer replacement") << true << true << "ab"
                                                    << "替换ab替换";
    QTest::newRow("whole word, replacement joining its neighbours") << true << true << "-+"
                                                                    << "+";
    QTest::newRow("regular expression past Qt's batches of matches") << false << false << "a(b)"
                                                                     << "\\1x\\1";
}

void TestTransform::longTextsWithManyOccurrences()
{
    QFETCH(bool, ordinary);
    QFETCH(bool, full);
    QFETCH(QString, keyword);
    QFETCH(QString, replacement);

    // Long enough for several search chunks and buffer growths.
    QRandomGenerator random(7);
    const QString pieces[] = {"ab", " ", "中", "-+", "a", "b1", "-"};
    QString text;
    while (text.size() < 200000)
        text += pieces[random.bounded(7)];

    const ReplaceSettings settings = settingsFor(ordinary, full);
    QVector<int> counts;
    const QString actual = applyPairs(text, settings, {{keyword, replacement}}, &counts);
    QString expected = text;
    int expectedCount = 0;
    if (!ordinary) {
        QRegExp rx(keyword);
        expected = replacedByQRegExp(expected, rx, replacement);
        for (int i = rx.indexIn(text); i >= 0; i = rx.indexIn(text, i + rx.matchedLength()))
            ++expectedCount;
    } else if (full) {
        expected = referenceWholeWords(text, keyword, replacement, &expectedCount);
    } else {
        expectedCount = countNonOverlapping(text, keyword);
        expected.replace(keyword, replacement);
    }
    QVERIFY(expectedCount > 2047);
    QCOMPARE(actual, expected);
    QCOMPARE(counts.value(0), expectedCount);
}

void TestTransform::longPairListsMatchPairByPair_data()
{
    QTest::addColumn<bool>("full");
    QTest::addColumn<QString>("alphabet");
    QTest::addColumn<int>("textLength");

    QTest::newRow("ordinary, lines of words and ideographs") << false << "ab1中文 \n-" << 3000;
    QTest::newRow("whole words, lines of words and ideographs") << true << "ab1中文 \n-" << 3000;
    QTest::newRow("ordinary, one long run without separators") << false << "ab中" << 2000;
    QTest::newRow("whole words, one long run without separators") << true << "ab1中" << 2000;
    QTest::newRow("ordinary, keywords holding every separator") << false << "a,b\n " << 3000;
    QTest::newRow("whole words, short texts") << true << "ab中1 -" << 40;
}

void TestTransform::longPairListsMatchPairByPair()
{
    QFETCH(bool, full);
    QFETCH(QString, alphabet);
    QFETCH(int, textLength);

    QRandomGenerator random(quint32(qHash(QTest::currentDataTag())));
    for (int round = 0; round < 200; ++round) {
        const QString text = randomString(random, alphabet, textLength);
        const ReplacePairs pairs = randomPairList(random, alphabet, 9 + random.bounded(16));

        QString expected = text;
        QVector<int> expectedCounts;
        for (const ReplacePair &pair : pairs) {
            int count = 0;
            if (pair.first.isEmpty()) {
            } else if (full) {
                expected = referenceWholeWords(expected, pair.first, pair.second, &count);
            } else {
                count = countNonOverlapping(expected, pair.first);
                expected.replace(pair.first, pair.second);
            }
            expectedCounts.append(count);
        }
        QVector<int> counts;
        const QString actual = applyPairs(text, settingsFor(true, full), pairs, &counts);
        if (actual != expected || counts != expectedCounts)
            qWarning() << "text" << text << "pairs" << pairs;
        QCOMPARE(actual, expected);
        QCOMPARE(counts, expectedCounts);
    }
}

void TestTransform::edits_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ordinary");
    QTest::addColumn<ReplacePairs>("pairs");
    QTest::addColumn<qsizetype>("limit");
    QTest::addColumn<QVector<qsizetype>>("expected"); // before, length, after, length, ...
    QTest::addColumn<bool>("complete");

    QTest::newRow("each replacement is an edit")
        << "a-b-c" << true << ReplacePairs {{"-", "--"}} << qsizetype(10)
        << QVector<qsizetype> {1, 1, 1, 2, 3, 1, 4, 2} << true;
    QTest::newRow("a later pair rewriting inserted text merges into one edit")
        << "xabcx" << true << ReplacePairs {{"b", "yy"}, {"ayyc", "z"}} << qsizetype(10)
        << QVector<qsizetype> {1, 3, 1, 1} << true;
    QTest::newRow("a pair putting the original back still shows as an edit")
        << "abc" << true << ReplacePairs {{"b", "x"}, {"x", "b"}} << qsizetype(10)
        << QVector<qsizetype> {1, 1, 1, 1} << true;
    QTest::newRow("deletions are edits of no length in the result")
        << "a b" << true << ReplacePairs {{" ", ""}} << qsizetype(10)
        << QVector<qsizetype> {1, 1, 1, 0} << true;
    QTest::newRow("empty matches of a pattern are insertions")
        << "ab" << false << ReplacePairs {{"x*", "-"}} << qsizetype(10)
        << QVector<qsizetype> {0, 0, 0, 1, 1, 0, 2, 1, 2, 0, 4, 1} << true;
    QTest::newRow("past the limit the edits stop and say so")
        << "a a a a" << true << ReplacePairs {{"a", "b"}} << qsizetype(2)
        << QVector<qsizetype> {0, 1, 0, 1, 2, 1, 2, 1} << false;
    QTest::newRow("no change, no edit") << "abc" << true << ReplacePairs {{"x", "y"}}
                                        << qsizetype(10) << QVector<qsizetype> {} << true;
}

void TestTransform::edits()
{
    QFETCH(QString, text);
    QFETCH(bool, ordinary);
    QFETCH(ReplacePairs, pairs);
    QFETCH(qsizetype, limit);
    QFETCH(QVector<qsizetype>, expected);
    QFETCH(bool, complete);

    PairEdits edits;
    edits.limit = limit;
    applyPairs(text, settingsFor(ordinary, false), pairs, nullptr, &edits);
    QVector<qsizetype> flat;
    for (const TextEdit &e : edits.edits)
        flat << e.before << e.beforeLength << e.after << e.afterLength;
    QCOMPARE(flat, expected);
    QCOMPARE(edits.complete, complete);
}

void TestTransform::editsTurnTheOriginalIntoTheResult_data()
{
    QTest::addColumn<bool>("ordinary");
    QTest::addColumn<bool>("full");

    QTest::newRow("ordinary") << true << false;
    QTest::newRow("whole word") << true << true;
    QTest::newRow("regular expression") << false << false;
}

void TestTransform::editsTurnTheOriginalIntoTheResult()
{
    QFETCH(bool, ordinary);
    QFETCH(bool, full);

    const QString alphabet = QStringLiteral("ab1中-");
    QRandomGenerator random(quint32(qHash(QTest::currentDataTag())));
    for (int round = 0; round < 5000; ++round) {
        const QString text = randomString(random, alphabet, 30);
        // The keywords of letters only, so that patterns stay literal.
        const ReplacePairs pairs
            = randomPairList(random, QStringLiteral("ab中"), 1 + random.bounded(6));
        PairEdits edits;
        edits.limit = 1000;
        QVector<int> counts;
        const QString result
            = applyPairs(text, settingsFor(ordinary, full), pairs, &counts, &edits);
        QCOMPARE(result, applyPairs(text, settingsFor(ordinary, full), pairs));
        checkEdits(text, result, edits.edits);
        if (QTest::currentTestFailed()) {
            qWarning() << "text" << text << "pairs" << pairs;
            return;
        }
        QVERIFY(edits.complete);
    }
}

QTEST_APPLESS_MAIN(TestTransform)
#include "tst_transform.moc"
