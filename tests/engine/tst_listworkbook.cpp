#include "workbook/listworkbook.h"
#include "workbook/workbook.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(ModeOneList)
Q_DECLARE_METATYPE(ModeTwoList)

namespace {

const QString dataDir = QStringLiteral(YIHUAN_TEST_DATA_DIR);

ModeOneList modeOne(
    const QStringList &paths, const QStringList &keywords, const QStringList &replacements)
{
    return {paths, keywords, replacements};
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void compareModeOne(const ModeOneList &actual, const ModeOneList &expected)
{
    QCOMPARE(actual.paths, expected.paths);
    QCOMPARE(actual.keywordLines, expected.keywordLines);
    QCOMPARE(actual.replacementLines, expected.replacementLines);
}

} // namespace

class TestListWorkbook : public QObject
{
    Q_OBJECT

private slots:
    void modeOneRoundTrip_data();
    void modeOneRoundTrip();
    void modeTwoRoundTrip_data();
    void modeTwoRoundTrip();
    void writtenLayout();
    void optionsTravelWithTheList();
    void readsModeOneListsFromOtherPrograms_data();
    void readsModeOneListsFromOtherPrograms();
    void readsModeTwoListFromAnotherProgram();
    void recognisesOnlyItsOwnLayout_data();
    void recognisesOnlyItsOwnLayout();
    void overlongCellFailsTheWriteAndKeepsTheOldFile();
    void readingLeavesTheFileUntouched_data();
    void readingLeavesTheFileUntouched();
};

void TestListWorkbook::modeOneRoundTrip_data()
{
    QTest::addColumn<ModeOneList>("written");
    QTest::addColumn<ModeOneList>("read");
    const ModeOneList plain = modeOne(
        {QStringLiteral("/home/用户/我的 文档/a.txt"), QStringLiteral("/tmp/b c.txt")},
        {QStringLiteral("旧|词"), QStringLiteral(" 前后空格 "), QStringLiteral("被替换关键字:")},
        {QStringLiteral("新|词"), QString(), QStringLiteral("x")});
    QTest::newRow("Chinese paths with spaces, separators and empty replacements") << plain << plain;
    QTest::newRow("doubled and single backslashes both become slashes")
        << modeOne({QStringLiteral("C:\\\\dir\\\\a.txt"), QStringLiteral("C:\\dir\\a.txt")}, {}, {})
        << modeOne({QStringLiteral("C:/dir/a.txt"), QStringLiteral("C:/dir/a.txt")}, {}, {});
    QTest::newRow("an empty keyword in the middle stops the keyword import")
        << modeOne({}, {"a", "", "c"}, {"1", "2", "3"}) << modeOne({}, {"a"}, {"1"});
    QTest::newRow("replacement lines beyond the keywords are dropped")
        << modeOne({}, {"a"}, {"1", "2", "3"}) << modeOne({}, {"a"}, {"1"});
    QTest::newRow("missing replacement lines read as empty")
        << modeOne({}, {"a", "b"}, {"1"}) << modeOne({}, {"a", "b"}, {"1", ""});
    QTest::newRow("an empty path in the middle stops the path import")
        << modeOne({"/a", "", "/c"}, {}, {}) << modeOne({"/a"}, {}, {});
    const ModeOneList tricky = modeOne({QStringLiteral("/x/_x0041_.txt")},
        {QStringLiteral("_x0041_"), QStringLiteral("两") + QChar(QChar::LineSeparator) + "行",
            QStringLiteral("tab\there") + QChar(1)},
        {QStringLiteral("_x005F_"), QStringLiteral(" "), QStringLiteral("\U0001F600")});
    QTest::newRow("escape look-alikes, soft line breaks and control characters")
        << tricky << tricky;
    QTest::newRow("nothing at all") << ModeOneList() << ModeOneList();
    // An editor line cannot hold a line break: such a cell would shift every later pair.
    QTest::newRow("a keyword with a line feed ends the keyword import") << modeOne({"/a"},
        {"a", QStringLiteral("b\nc"), "d"}, {"1", "2", "3"}) << modeOne({"/a"}, {"a"}, {"1"});
    QTest::newRow("a replacement with a carriage return ends the keyword import")
        << modeOne({}, {"a", "b"}, {"1", QStringLiteral("2\r")}) << modeOne({}, {"a"}, {"1"});
}

void TestListWorkbook::modeOneRoundTrip()
{
    QFETCH(ModeOneList, written);
    QFETCH(ModeOneList, read);
    QTemporaryDir dir;
    const QString path = dir.filePath(modeOneDefaultFileName);
    QString error;
    QVERIFY2(writeModeOneWorkbook(path, written, &error), qPrintable(error));
    const std::optional<ModeOneList> list = readModeOneWorkbook(path);
    QVERIFY(list);
    compareModeOne(*list, read);
}

void TestListWorkbook::modeTwoRoundTrip_data()
{
    QTest::addColumn<ModeTwoList>("written");
    QTest::addColumn<ModeTwoList>("read");
    QTest::newRow("a grid with Chinese, spaces and separators")
        << ModeTwoList {{QStringLiteral("D:\\数据\\一.txt"), QStringLiteral("/两 个/二.txt")},
               {{QStringLiteral("甲"), QStringLiteral("1"), QStringLiteral(" 2 ")},
                   {QStringLiteral("乙|丙"), QString(), QStringLiteral("_x0041_\n")}}}
        << ModeTwoList {{QStringLiteral("D:/数据/一.txt"), QStringLiteral("/两 个/二.txt")},
               {{QStringLiteral("甲"), QStringLiteral("1"), QStringLiteral(" 2 ")},
                   {QStringLiteral("乙|丙"), QString(), QStringLiteral("_x0041_\n")}}};
    QTest::newRow("short rows read back padded with empty cells") << ModeTwoList {{"/a", "/b"},
        {{"甲"}, {"乙", "x"}}} << ModeTwoList {{"/a", "/b"}, {{"甲", "", ""}, {"乙", "x", ""}}};
    QTest::newRow("an empty keyword stops the row import") << ModeTwoList {
        {"/a"}, {{"a", "1"}, {"", "2"}, {"c", "3"}}} << ModeTwoList {{"/a"}, {{"a", "1"}}};
    QTest::newRow("an empty path stops the path import") << ModeTwoList {
        {"/a", "", "/c"}, {{"k", "1", "2", "3"}}} << ModeTwoList {{"/a"}, {{"k", "1"}}};
    QTest::newRow("files without keywords") << ModeTwoList {{"/a"}, {}} << ModeTwoList {{"/a"}, {}};
    QTest::newRow("nothing at all") << ModeTwoList() << ModeTwoList();

    ModeTwoList wide;
    for (int i = 0; i < 300; ++i)
        wide.paths.append(QStringLiteral("/文件夹/%1.txt").arg(i));
    for (int r = 0; r < 3; ++r) {
        QStringList row {QStringLiteral("关键字%1").arg(r)};
        for (int i = 0; i < wide.paths.size(); ++i)
            row.append(i % 7 == r ? QString() : QStringLiteral("%1-%2").arg(r).arg(i));
        wide.rows.append(row);
    }
    QTest::newRow("three hundred files") << wide << wide;
}

void TestListWorkbook::modeTwoRoundTrip()
{
    QFETCH(ModeTwoList, written);
    QFETCH(ModeTwoList, read);
    QTemporaryDir dir;
    const QString path = dir.filePath(modeTwoDefaultFileName);
    QString error;
    QVERIFY2(writeModeTwoWorkbook(path, written, &error), qPrintable(error));
    const std::optional<ModeTwoList> list = readModeTwoWorkbook(path);
    QVERIFY(list);
    QCOMPARE(list->paths, read.paths);
    QCOMPARE(list->rows, read.rows);
}

// Other programs read these files by position, so the layout itself is the contract.
void TestListWorkbook::writtenLayout()
{
    QTemporaryDir dir;
    const QString one = dir.filePath(QStringLiteral("one.xlsx"));
    const QString two = dir.filePath(QStringLiteral("two.xlsx"));
    QVERIFY(writeModeOneWorkbook(one, modeOne({"/p"}, {"k"}, {"r"})));
    QVERIFY(writeModeTwoWorkbook(two, ModeTwoList {{"/p", "/q"}, {{"k", "r", "s"}}}));

    Workbook book;
    QVERIFY(book.open(one));
    QCOMPARE(book.sheetNames(), QStringList({modeOneFilesSheet, modeOneKeywordsSheet}));
    QVERIFY(book.selectSheet(modeOneFilesSheet));
    QCOMPARE(book.cell(1, 1), QStringLiteral("/p"));
    QVERIFY(book.selectSheet(modeOneKeywordsSheet));
    QCOMPARE(QStringList({book.cell(1, 1), book.cell(1, 2), book.cell(2, 1), book.cell(2, 2)}),
        QStringList({QStringLiteral("被替换关键字:"), QStringLiteral("欲替换为:"), "k", "r"}));

    QVERIFY(book.open(two));
    QCOMPARE(book.sheetNames(), QStringList {QStringLiteral("易换方式二_替换文件列表")});
    QCOMPARE(QStringList({book.cell(1, 1), book.cell(1, 2), book.cell(1, 3), book.cell(2, 1),
                 book.cell(2, 2), book.cell(2, 3)}),
        QStringList({QStringLiteral("关键字或位置"), "/p", "/q", "k", "r", "s"}));
}

// The options sheet is a stored format too: its names and values are the contract.
void TestListWorkbook::optionsTravelWithTheList()
{
    QTemporaryDir dir;
    const QString one = dir.filePath(QStringLiteral("one.xlsx"));
    ModeOneList list = modeOne({"/p"}, {"k"}, {"r"});
    list.options.encoding = QStringLiteral("自动检测");
    list.options.regex = false;
    list.options.wholeWord = true;
    list.options.keepFormat = true;
    list.options.ignoreCase = true;
    list.options.extendedReplacement = true;
    list.options.separator = QString();
    QVERIFY(writeModeOneWorkbook(one, list));
    Workbook book;
    QVERIFY(book.open(one));
    QVERIFY(book.selectSheet(QStringLiteral("选项")));
    QCOMPARE(
        QStringList({book.cell(1, 1), book.cell(1, 2), book.cell(2, 1), book.cell(2, 2),
            book.cell(3, 1), book.cell(3, 2), book.cell(4, 1), book.cell(4, 2), book.cell(5, 1),
            book.cell(5, 2), book.cell(6, 1), book.cell(6, 2), book.cell(7, 1), book.cell(7, 2)}),
        QStringList({"encoding", QStringLiteral("自动检测"), "regex", "0", "whole-word", "1",
            "keep-format", "1", "ignore-case", "1", "extended-replacement", "1", "separator", ""}));
    const std::optional<ModeOneList> back = readModeOneWorkbook(one);
    QVERIFY(back);
    QCOMPARE(back->options.encoding, list.options.encoding);
    QCOMPARE(back->options.regex, list.options.regex);
    QCOMPARE(back->options.wholeWord, list.options.wholeWord);
    QCOMPARE(back->options.keepFormat, list.options.keepFormat);
    QCOMPARE(back->options.ignoreCase, list.options.ignoreCase);
    QCOMPARE(back->options.extendedReplacement, list.options.extendedReplacement);
    QCOMPARE(back->options.separator, std::optional<QString>(QString()));

    // A list written without options has no such sheet and reads back without them.
    const QString two = dir.filePath(QStringLiteral("two.xlsx"));
    QVERIFY(writeModeTwoWorkbook(two, ModeTwoList {{"/p"}, {{"k", "r"}}}));
    QVERIFY(book.open(two));
    QVERIFY(!book.sheetNames().contains(QStringLiteral("选项")));
    QVERIFY(readModeTwoWorkbook(two)->options.isEmpty());
}

void TestListWorkbook::readsModeOneListsFromOtherPrograms_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<ModeOneList>("expected");
    QTest::newRow("LibreOffice, with rich text, numbers and rows after an empty keyword")
        << QStringLiteral("lo-mode-one.xlsx")
        << modeOne({QStringLiteral("C:/dir/a.txt"), QStringLiteral("D:/数据/报告 1.txt"),
                       QStringLiteral("/home/用户/b c.txt")},
               {QStringLiteral("旧词"), "123", "a|b"}, {QStringLiteral("新的词"), "1.5", ""});
    QTest::newRow("openpyxl, sheets in another order, inline strings and a boolean")
        << QStringLiteral("openpyxl-mode-one.xlsx")
        << modeOne({QStringLiteral("E:/项目/x.txt"), QStringLiteral("E:/项目/y.txt")},
               {"123", QStringLiteral(" 前后空格 "), "TRUE"},
               {"1.5", QStringLiteral("替换|分隔"), ""});
}

void TestListWorkbook::readsModeOneListsFromOtherPrograms()
{
    QFETCH(QString, file);
    QFETCH(ModeOneList, expected);
    const std::optional<ModeOneList> list = readModeOneWorkbook(dataDir + '/' + file);
    QVERIFY(list);
    compareModeOne(*list, expected);
}

void TestListWorkbook::readsModeTwoListFromAnotherProgram()
{
    const std::optional<ModeTwoList> list
        = readModeTwoWorkbook(dataDir + QStringLiteral("/lo-mode-two.xlsx"));
    QVERIFY(list);
    // The header row has a gap after column D: later columns are not files of the list.
    QCOMPARE(list->paths,
        QStringList({QStringLiteral("C:/甲/1.txt"), QStringLiteral("C:/乙/2.txt"),
            QStringLiteral("/丙/3.txt")}));
    QCOMPARE(list->rows,
        QVector<QStringList>(
            {{QStringLiteral("甲词"), QStringLiteral("一"), QString(), QStringLiteral("三")},
                {"42", "0.5", "-3", "a|b"}}));
}

void TestListWorkbook::recognisesOnlyItsOwnLayout_data()
{
    QTest::addColumn<QStringList>("sheets"); // of an otherwise empty workbook
    QTest::addColumn<bool>("modeOne");
    QTest::addColumn<bool>("modeTwo");
    QTest::newRow("both mode-one sheets, empty")
        << QStringList {modeOneKeywordsSheet, modeOneFilesSheet} << true << false;
    QTest::newRow("the mode-two sheet, empty") << QStringList {modeTwoSheet} << false << true;
    QTest::newRow("only the mode-one file sheet")
        << QStringList {modeOneFilesSheet} << false << false;
    QTest::newRow("names with a trailing space")
        << QStringList {modeOneFilesSheet + ' ', modeOneKeywordsSheet + ' ', modeTwoSheet + ' '}
        << false << false;
    QTest::newRow("all three sheets")
        << QStringList {modeOneFilesSheet, modeTwoSheet, modeOneKeywordsSheet} << true << true;
    QTest::newRow("a missing file") << QStringList() << false << false;
}

void TestListWorkbook::recognisesOnlyItsOwnLayout()
{
    QFETCH(QStringList, sheets);
    QFETCH(bool, modeOne);
    QFETCH(bool, modeTwo);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list.xlsx"));
    if (!sheets.isEmpty()) {
        Workbook book;
        for (const QString &sheet : sheets)
            QVERIFY(book.addSheet(sheet));
        QVERIFY(book.save(path));
    }
    const std::optional<ModeOneList> one = readModeOneWorkbook(path);
    const std::optional<ModeTwoList> two = readModeTwoWorkbook(path);
    QCOMPARE(bool(one), modeOne);
    QCOMPARE(bool(two), modeTwo);
    if (one)
        QVERIFY(
            one->paths.isEmpty() && one->keywordLines.isEmpty() && one->replacementLines.isEmpty());
    if (two)
        QVERIFY(two->paths.isEmpty() && two->rows.isEmpty());
    QVERIFY(!readModeOneWorkbook(dir.path()) && !readModeTwoWorkbook(dir.path()));
}

void TestListWorkbook::overlongCellFailsTheWriteAndKeepsTheOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list.xlsx"));
    const ModeOneList old = modeOne({"/a"}, {"k"}, {"r"});
    QVERIFY(writeModeOneWorkbook(path, old));
    const QByteArray before = contents(path);
    const QString tooLong(Workbook::maxCellLength + 1, QLatin1Char('x'));

    QString error;
    QVERIFY(!writeModeOneWorkbook(path, modeOne({"/b"}, {"k"}, {tooLong}), &error));
    QVERIFY(!error.isEmpty());
    error.clear();
    QVERIFY(!writeModeTwoWorkbook(path, ModeTwoList {{tooLong}, {}}, &error));
    QVERIFY(!error.isEmpty());

    QCOMPARE(contents(path), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList {"list.xlsx"});
    const std::optional<ModeOneList> list = readModeOneWorkbook(path);
    QVERIFY(list);
    compareModeOne(*list, old);
}

void TestListWorkbook::readingLeavesTheFileUntouched_data()
{
    QTest::addColumn<QString>("file");
    for (const QString &file : QDir(dataDir).entryList({QStringLiteral("*.xlsx")}))
        QTest::newRow(qPrintable(file)) << file;
}

void TestListWorkbook::readingLeavesTheFileUntouched()
{
    QFETCH(QString, file);
    QTemporaryDir dir;
    const QString path = dir.filePath(file);
    QVERIFY(QFile::copy(dataDir + '/' + file, path));
    const QDateTime past = QDateTime::currentDateTimeUtc().addDays(-3);
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(past, QFileDevice::FileModificationTime));
    }
    const QByteArray before = contents(path);
    readModeOneWorkbook(path);
    readModeTwoWorkbook(path);
    QCOMPARE(contents(path), before);
    QCOMPARE(QFileInfo(path).lastModified().toSecsSinceEpoch(), past.toSecsSinceEpoch());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList {file});
}

QTEST_GUILESS_MAIN(TestListWorkbook)
#include "tst_listworkbook.moc"
