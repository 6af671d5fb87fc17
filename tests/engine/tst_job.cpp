#include "engine/job.h"

#include <QtTest>

Q_DECLARE_METATYPE(Refusal::Kind)

class TestJob : public QObject
{
    Q_OBJECT

private slots:
    void modeOneRefusals_data();
    void modeOneRefusals();
    void modeOneGivesEveryFileTheSamePairs();
    void modeTwoRefusals_data();
    void modeTwoRefusals();
    void modeTwoGivesEachFileItsColumn();
    void duplicatePathsAreDropped();
    void badPatternsAreRefused_data();
    void badPatternsAreRefused();
};

void TestJob::modeOneRefusals_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("replacements");
    QTest::addColumn<Refusal::Kind>("kind");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("title");

    const QStringList one {QStringLiteral("/a.txt")};
    QTest::newRow("an empty list comes first, whatever the editors hold")
        << QStringList() << QStringList {""} << QStringList {"x", "y"} << Refusal::EmptyList << 51
        << "警告";
    QTest::newRow("more replacement lines than keyword lines")
        << one << QStringList {"a"} << QStringList {"b", "c"} << Refusal::LineCountMismatch << 51
        << "警告";
    QTest::newRow("fewer replacement lines are fine")
        << one << QStringList {"a", "b"} << QStringList {"x"} << Refusal::None << 0 << "";
    QTest::newRow("keywords starting with two empty lines")
        << one << QStringList {"", "", "a"} << QStringList {""} << Refusal::LeadingEmptyLines << 51
        << "警告";
    QTest::newRow("an empty editor")
        << one << QStringList {""} << QStringList {""} << Refusal::NoKeywords << 51 << "警告!";
    QTest::newRow("no lines at all count as an empty editor")
        << one << QStringList() << QStringList() << Refusal::NoKeywords << 51 << "警告!";
    QTest::newRow("a trailing line break makes an empty last line")
        << one << QStringList {"a", ""} << QStringList {""} << Refusal::EmptyKeyword << 50 << "";
    QTest::newRow("one leading empty line is an empty line, not the two-line refusal")
        << one << QStringList {"", "a"} << QStringList {""} << Refusal::EmptyKeyword << 50 << "";
}

void TestJob::modeOneRefusals()
{
    QFETCH(QStringList, paths);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, replacements);
    QFETCH(Refusal::Kind, kind);
    QFETCH(int, state);
    QFETCH(QString, title);

    const Job job = buildModeOneJob({paths, keys, replacements}, QStringLiteral("|"), false);
    QCOMPARE(job.refusal.kind, kind);
    QCOMPARE(job.refusal.state, state);
    QCOMPARE(job.refusal.title, title);
    QCOMPARE(job.isRefused(), kind != Refusal::None);
    if (job.isRefused()) {
        QVERIFY(job.files.isEmpty());
        QVERIFY(!job.refusal.text.isEmpty());
        QVERIFY(!job.refusal.english.isEmpty());
    }
}

void TestJob::modeOneGivesEveryFileTheSamePairs()
{
    const ModeOneList list {{"/a.txt", "/b.txt"}, {"甲|乙", "丙"}, {"1"}};
    const Job job = buildModeOneJob(list, QStringLiteral("|"), false);
    QVERIFY(!job.isRefused());
    QCOMPARE(job.files.size(), 2);
    QCOMPARE(job.files.at(1).path, QStringLiteral("/b.txt"));
    const ReplacePairs expected {{"甲", "1"}, {"乙", "1"}, {"丙", ""}};
    QCOMPARE(job.files.at(0).pairs, expected);
    QCOMPARE(job.files.at(1).pairs, expected);
}

void TestJob::modeTwoRefusals_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QVector<QStringList>>("rows");
    QTest::addColumn<Refusal::Kind>("kind");

    QTest::newRow("no files") << QStringList() << QVector<QStringList> {{"a", "b"}}
                              << Refusal::EmptyList;
    QTest::newRow("an empty keyword cell in any row")
        << QStringList {"/a.txt"} << QVector<QStringList> {{"a", "b"}, {"", "c"}}
        << Refusal::EmptyKeyword;
    QTest::newRow("a row without cells counts as an empty keyword")
        << QStringList {"/a.txt"} << QVector<QStringList> {{}} << Refusal::EmptyKeyword;
    QTest::newRow("no keyword rows runs with empty pair lists")
        << QStringList {"/a.txt"} << QVector<QStringList>() << Refusal::None;
}

void TestJob::modeTwoRefusals()
{
    QFETCH(QStringList, paths);
    QFETCH(QVector<QStringList>, rows);
    QFETCH(Refusal::Kind, kind);

    const Job job = buildModeTwoJob({paths, rows}, QStringLiteral("|"), false);
    QCOMPARE(job.refusal.kind, kind);
    QCOMPARE(job.files.size(), kind == Refusal::None ? paths.size() : 0);
}

void TestJob::modeTwoGivesEachFileItsColumn()
{
    const ModeTwoList list {{"/a.txt", "/b.txt", "/c.txt"}, {{"x|y", "1", "2"}, {"z", "3"}}};
    const Job job = buildModeTwoJob(list, QStringLiteral("|"), false);
    QCOMPARE(job.files.size(), 3);
    QCOMPARE(job.files.at(0).pairs, (ReplacePairs {{"x", "1"}, {"y", "1"}, {"z", "3"}}));
    QCOMPARE(job.files.at(1).pairs, (ReplacePairs {{"x", "2"}, {"y", "2"}, {"z", ""}}));
    QCOMPARE(job.files.at(2).pairs, (ReplacePairs {{"x", ""}, {"y", ""}, {"z", ""}}));
}

void TestJob::duplicatePathsAreDropped()
{
    ModeOneList one {{"/a", "/b", "/a", "/A"}, {"k"}, {"r"}};
    dropDuplicatePaths(&one);
    QCOMPARE(one.paths, (QStringList {"/a", "/b", "/A"}));

    ModeTwoList two {{"/a", "/b", "/a", "/c"}, {{"k", "1", "2", "3", "4"}, {"l", "5"}}};
    dropDuplicatePaths(&two);
    QCOMPARE(two.paths, (QStringList {"/a", "/b", "/c"}));
    QCOMPARE(two.rows.at(0), (QStringList {"k", "1", "2", "4"}));
    QCOMPARE(two.rows.at(1), (QStringList {"l", "5", "", ""}));
}

void TestJob::badPatternsAreRefused_data()
{
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<bool>("regex");
    QTest::addColumn<Refusal::Kind>("kind");

    const QString nul(QChar(0));
    QTest::newRow("an unclosed group") << "(unclosed"
                                       << "x" << true << Refusal::InvalidPattern;
    QTest::newRow("a repetition of nothing") << "*a"
                                             << "x" << true << Refusal::InvalidPattern;
    QTest::newRow("the same text is fine as ordinary text") << "(unclosed"
                                                            << "x" << false << Refusal::None;
    QTest::newRow("a valid expression") << "(\\d+)-(\\d+)"
                                        << "\\2-\\1" << true << Refusal::None;
    QTest::newRow("a NUL in a replacement")
        << "a" << QStringLiteral("b") + nul << false << Refusal::NulCharacter;
    QTest::newRow("a NUL in a keyword")
        << nul + QStringLiteral("a") << "b" << true << Refusal::NulCharacter;
}

void TestJob::badPatternsAreRefused()
{
    QFETCH(QString, keyword);
    QFETCH(QString, replacement);
    QFETCH(bool, regex);
    QFETCH(Refusal::Kind, kind);

    const Job one = buildModeOneJob({{"/a"}, {keyword}, {replacement}}, QStringLiteral("|"), regex);
    QCOMPARE(one.refusal.kind, kind);
    const Job two = buildModeTwoJob({{"/a", "/b"}, {{"ok", "1", "2"}, {keyword, "3", replacement}}},
        QStringLiteral("|"), regex);
    QCOMPARE(two.refusal.kind, kind);
    if (kind == Refusal::InvalidPattern) {
        QCOMPARE(one.refusal.state, 51);
        QVERIFY(one.refusal.text.contains(keyword));
    }
}

QTEST_GUILESS_MAIN(TestJob)
#include "tst_job.moc"
