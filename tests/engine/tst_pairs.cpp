#include "engine/pairs.h"

#include <QtTest>

class TestPairs : public QObject
{
    Q_OBJECT

private slots:
    void modeOne_data();
    void modeOne();
    void modeTwo_data();
    void modeTwo();
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

QTEST_APPLESS_MAIN(TestPairs)
#include "tst_pairs.moc"
