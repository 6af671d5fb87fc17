#include "engine/pairs.h"

#include <QtTest>

Q_DECLARE_METATYPE(MatchMode)

class TestPairs : public QObject
{
    Q_OBJECT

private slots:
    void modeOne_data();
    void modeOne();
    void modeTwo_data();
    void modeTwo();
    void uncertainReadings_data();
    void uncertainReadings();
};

void TestPairs::modeOne_data()
{
    QTest::addColumn<QStringList>("keywordLines");
    QTest::addColumn<QStringList>("replacementLines");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<ReplacePairs>("expected");

    QTest::newRow("each line pairs with the replacement line of its number") << QStringList {
        "a", "b"} << QStringList {"1", "2"} << "," << ReplacePairs {{"a", "1"}, {"b", "2"}};
    QTest::newRow("the parts of a line share its replacement, empty parts are dropped")
        << QStringList {"a,,b,"} << QStringList {"x"} << ","
        << ReplacePairs {{"a", "x"}, {"b", "x"}};
    QTest::newRow("lines without a replacement line replace with nothing") << QStringList {
        "a", "b|c"} << QStringList {"1"} << "|" << ReplacePairs {{"a", "1"}, {"b", ""}, {"c", ""}};
    QTest::newRow("parts keep their spaces") << QStringList {" a , b"} << QStringList {"x"} << ","
                                             << ReplacePairs {{" a ", "x"}, {" b", "x"}};
    QTest::newRow("an empty separator makes every character a keyword")
        << QStringList {"替换ab"} << QStringList {"x"} << ""
        << ReplacePairs {{"替", "x"}, {"换", "x"}, {"a", "x"}, {"b", "x"}};
    QTest::newRow("a separator of several characters is matched whole") << QStringList {
        "a||b|c"} << QStringList {"x"} << "||" << ReplacePairs {{"a", "x"}, {"b|c", "x"}};
    QTest::newRow("the separator is case-sensitive") << QStringList {
        "aXbxc"} << QStringList {"y"} << "x" << ReplacePairs {{"aXb", "y"}, {"c", "y"}};
    QTest::newRow("a line of separators gives no pairs")
        << QStringList {",,", "a"} << QStringList {"1", "2"} << "," << ReplacePairs {{"a", "2"}};
    QTest::newRow("order follows lines, then parts") << QStringList {"b,a",
        "a"} << QStringList {"1", "2"} << "," << ReplacePairs {{"b", "1"}, {"a", "1"}, {"a", "2"}};
}

void TestPairs::modeOne()
{
    QFETCH(QStringList, keywordLines);
    QFETCH(QStringList, replacementLines);
    QFETCH(QString, separator);
    QFETCH(ReplacePairs, expected);

    QCOMPARE(buildModeOnePairs(keywordLines, replacementLines, separator), expected);
}

void TestPairs::modeTwo_data()
{
    QTest::addColumn<QStringList>("keywordCells");
    QTest::addColumn<QStringList>("replacementCells");
    QTest::addColumn<ReplacePairs>("expected");

    QTest::newRow("each row pairs with the file's cell in that row") << QStringList {
        "a,b", "c"} << QStringList {"1", "2"} << ReplacePairs {{"a", "1"}, {"b", "1"}, {"c", "2"}};
    QTest::newRow("missing cells replace with nothing")
        << QStringList {"a", "b"} << QStringList {"1"} << ReplacePairs {{"a", "1"}, {"b", ""}};
    QTest::newRow("empty parts are dropped")
        << QStringList {",a,"} << QStringList {"1"} << ReplacePairs {{"a", "1"}};
}

void TestPairs::modeTwo()
{
    QFETCH(QStringList, keywordCells);
    QFETCH(QStringList, replacementCells);
    QFETCH(ReplacePairs, expected);

    QCOMPARE(buildModeTwoPairs(keywordCells, replacementCells, QStringLiteral(",")), expected);
}

void TestPairs::uncertainReadings_data()
{
    QTest::addColumn<MatchMode>("match");
    QTest::addColumn<bool>("ignoreCase");
    QTest::addColumn<ReplacePairs>("pairs");
    QTest::addColumn<bool>("anyReading");

    QTest::newRow("ASCII text changes only ASCII bytes")
        << MatchMode::Plain << false << ReplacePairs {{"cat", "dog"}} << true;
    QTest::newRow("a non-ASCII replacement writes other bytes")
        << MatchMode::WholeWord << false << ReplacePairs {{"cat", "猫"}} << false;
    QTest::newRow("an expression may match anything")
        << MatchMode::RegularExpression << false << ReplacePairs {{"cat", "dog"}} << false;
    QTest::newRow("ignoring case, ASCII letters match ASCII letters only")
        << MatchMode::Plain << true << ReplacePairs {{"CAT", "dog"}} << true;
    QTest::newRow("ignoring case, k also matches the Kelvin sign")
        << MatchMode::Plain << true << ReplacePairs {{"kit", "dog"}} << false;
    QTest::newRow("ignoring case, s also matches the long s")
        << MatchMode::Plain << true << ReplacePairs {{"aS", "dog"}} << false;
}

// A file whose encoding detection was unsure is replaced in only when no reading of it
// can change a byte beyond ASCII.
void TestPairs::uncertainReadings()
{
    QFETCH(MatchMode, match);
    QFETCH(bool, ignoreCase);
    QFETCH(ReplacePairs, pairs);
    QFETCH(bool, anyReading);

    ReplaceSettings settings;
    settings.match = match;
    settings.ignoreCase = ignoreCase;
    QCOMPARE(keepsAnyAsciiReading(settings, pairs), anyReading);
}

QTEST_APPLESS_MAIN(TestPairs)
#include "tst_pairs.moc"
