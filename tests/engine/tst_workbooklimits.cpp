#include "workbook/listworkbook.h"
#include "workbook/workbook.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>

#include <sys/resource.h>

namespace {

// A workbook package written directly, shared strings and all, so that tests can make
// what Workbook::save refuses to write.
class RawWorkbook
{
public:
    void addSheet(const QString &name) { m_sheets.append({name, {}}); }

    void setCell(int row, int column, const QString &text)
    {
        auto index = m_strings.constFind(text);
        if (index == m_strings.constEnd())
            index = m_strings.insert(text, m_strings.size());
        QByteArray ref;
        for (int c = column; c > 0; c = (c - 1) / 26)
            ref.prepend(char('A' + (c - 1) % 26));
        m_sheets.last().second += "<c r=\"" + ref + QByteArray::number(row) + "\" t=\"s\"><v>"
            + QByteArray::number(index.value()) + "</v></c>";
    }

    bool save(const QString &path) const
    {
        QuaZip zip(path);
        if (!zip.open(QuaZip::mdCreate))
            return false;
        const QByteArray rel
            = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
        QByteArray sheets;
        QByteArray rels = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
                          "relationships\"><Relationship Id=\"s\" Type=\""
            + rel + "/sharedStrings\" Target=\"strings.xml\"/>";
        for (int i = 0; i < m_sheets.size(); ++i) {
            const QByteArray id = QByteArray::number(i + 1);
            sheets += "<sheet name=\"" + m_sheets.at(i).first.toUtf8() + "\" sheetId=\"" + id
                + "\" r:id=\"r" + id + "\"/>";
            rels += "<Relationship Id=\"r" + id + "\" Type=\"" + rel + "/worksheet\" Target=\"s"
                + id + ".xml\"/>";
        }
        QVector<QString> strings(m_strings.size());
        for (auto it = m_strings.constBegin(); it != m_strings.constEnd(); ++it)
            strings[it.value()] = it.key();
        QByteArray sst = "<sst>";
        for (const QString &text : qAsConst(strings))
            sst += "<si><t>" + text.toHtmlEscaped().toUtf8() + "</t></si>";
        QVector<QPair<QString, QByteArray>> members {
            {"xl/workbook.xml",
                "<workbook xmlns:r=\"" + rel + "\"><sheets>" + sheets + "</sheets></workbook>"},
            {"xl/_rels/workbook.xml.rels", rels + "</Relationships>"},
            {"xl/strings.xml", sst + "</sst>"}};
        for (int i = 0; i < m_sheets.size(); ++i)
            members.append({QStringLiteral("xl/s%1.xml").arg(i + 1),
                "<worksheet><sheetData>" + m_sheets.at(i).second + "</sheetData></worksheet>"});
        for (const auto &[name, data] : qAsConst(members)) {
            QuaZipFile file(&zip);
            if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(name))
                || file.write(data) != data.size())
                return false;
        }
        zip.close();
        return zip.getZipError() == UNZ_OK;
    }

private:
    QVector<QPair<QString, QByteArray>> m_sheets; // name, cells
    QHash<QString, int> m_strings;
};

// The widest a cell may be, so that a few shared strings carry the whole text budget.
const QString longText(Workbook::maxCellLength, QLatin1Char('t'));

// Cells that carry exactly chars characters of text between them, one long text after
// another down the column. Returns how many cells that took.
int fillColumn(RawWorkbook &book, int firstRow, int column, qint64 chars)
{
    int row = firstRow;
    for (; chars > 0; ++row) {
        const int length = int(qMin<qint64>(chars, longText.size()));
        book.setCell(row, column, longText.left(length));
        chars -= length;
    }
    return row - firstRow;
}

qint64 charBudget()
{
    return Workbook::maxTextBytes / qint64(sizeof(QChar));
}

QString filePath(int file)
{
    return QStringLiteral("/f/%1.txt").arg(file);
}

// A mode-two sheet: files in row 1, keywords in column 1 and nothing in between.
template<class Book>
Book sparseModeTwo(int files, int keywords)
{
    Book book;
    book.addSheet(modeTwoSheet);
    book.setCell(1, 1, modeTwoCornerHeader);
    for (int f = 1; f <= files; ++f)
        book.setCell(1, f + 1, filePath(f));
    for (int k = 1; k <= keywords; ++k)
        book.setCell(k + 1, 1, QStringLiteral("k%1").arg(k));
    return book;
}

// Both sheets of mode one with their headers, the given files and keywords "k".
RawWorkbook modeOne(const QStringList &paths, int keywords)
{
    RawWorkbook book;
    book.addSheet(modeOneFilesSheet);
    for (int i = 0; i < paths.size(); ++i)
        book.setCell(i + 1, 1, paths.at(i));
    book.addSheet(modeOneKeywordsSheet);
    book.setCell(1, 1, modeOneKeywordHeader);
    book.setCell(1, 2, modeOneReplacementHeader);
    for (int k = 1; k <= keywords; ++k)
        book.setCell(k + 1, 1, QStringLiteral("k"));
    return book;
}

qint64 headerChars()
{
    return modeOneKeywordHeader.size() + modeOneReplacementHeader.size();
}

long peakKilobytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

class TestWorkbookLimits : public QObject
{
    Q_OBJECT

private slots:
    void smallWideWorkbookIsRefusedWithoutExpandingIt();
    void budgets_data();
    void budgets();
    void listsBeyondTheBudgetAreNotWritten_data();
    void listsBeyondTheBudgetAreNotWritten();
    void sparseModeTwoGridsReadAsBefore_data();
    void sparseModeTwoGridsReadAsBefore();
    void devicesReadLikeFiles();

private:
    QTemporaryDir dir;
};

void TestWorkbookLimits::smallWideWorkbookIsRefusedWithoutExpandingIt()
{
    // Every column a sheet can have and thousands of keywords, about 80 KB on disk: the
    // grid's string pointers alone would take hundreds of megabytes.
    Workbook book;
    QVERIFY(book.addSheet(modeTwoSheet));
    QVERIFY(book.setCell(1, 1, modeTwoCornerHeader));
    for (int column = 2; column <= Workbook::maxColumns; ++column)
        QVERIFY(book.setCell(1, column, QStringLiteral("/f.txt")));
    for (int row = 2; row <= 5000; ++row)
        QVERIFY(book.setCell(row, 1, QStringLiteral("k")));
    const QString path = dir.filePath(QStringLiteral("wide.xlsx"));
    QVERIFY(book.save(path));
    QVERIFY2(
        QFileInfo(path).size() < 100 * 1024, qPrintable(QString::number(QFileInfo(path).size())));

    const long before = peakKilobytes();
    QVERIFY(!readModeTwoWorkbook(path));
    QVERIFY(!readModeOneWorkbook(path));
    QVERIFY2(peakKilobytes() - before < 200 * 1024,
        qPrintable(QStringLiteral("peak grew by %1 kB").arg(peakKilobytes() - before)));
}

void TestWorkbookLimits::budgets_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("shape");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("mode one with exactly the cells allowed is read") << 1 << "cells" << true;
    QTest::newRow("mode one with one cell more is refused") << 1 << "cells+1" << false;
    QTest::newRow("mode one with exactly the text allowed is read") << 1 << "text" << true;
    QTest::newRow("mode one with one character more is refused") << 1 << "text+1" << false;
    QTest::newRow("a mode-two grid of exactly the cells allowed is read") << 2 << "cells" << true;
    QTest::newRow("a mode-two grid one cell larger is refused though few cells are stored")
        << 2 << "cells+1" << false;
    QTest::newRow("mode two with exactly the text allowed is read") << 2 << "text" << true;
    QTest::newRow("mode two with one character more is refused") << 2 << "text+1" << false;
}

void TestWorkbookLimits::budgets()
{
    QFETCH(int, mode);
    QFETCH(QString, shape);
    QFETCH(bool, accepted);

    const int over = shape.endsWith(QLatin1String("+1")) ? 1 : 0;
    const bool text = shape.startsWith(QLatin1String("text"));
    RawWorkbook book;
    int expectedPaths = 1;
    int expectedKeywords = 0;
    if (mode == 1 && !text) {
        // Two header cells and the one keyword take three of the cells.
        QStringList paths;
        for (int i = 0; i < Workbook::maxCells - 3 + over; ++i)
            paths.append(QStringLiteral("/p"));
        book = modeOne(paths, 1);
        expectedPaths = paths.size();
        expectedKeywords = 1;
    } else if (mode == 1) {
        // Empty replacements are not stored and take nothing.
        book = modeOne({QStringLiteral("/p")}, 0);
        expectedKeywords = fillColumn(book, 2, 1, charBudget() - headerChars() - 2 + over);
    } else if (!text) {
        // With the header row: 125,000 × 4 is the budget, 166,667 × 3 one cell more.
        QCOMPARE(Workbook::maxCells, 500000);
        expectedPaths = over ? 2 : 3;
        expectedKeywords = over ? 166666 : 124999;
        book = sparseModeTwo<RawWorkbook>(expectedPaths, expectedKeywords);
    } else {
        book = sparseModeTwo<RawWorkbook>(1, 0);
        const qint64 fixed = modeTwoCornerHeader.size() + filePath(1).size();
        expectedKeywords = fillColumn(book, 2, 1, charBudget() - fixed + over);
    }
    const QString path = dir.filePath(QStringLiteral("budget.xlsx"));
    QVERIFY(book.save(path));

    if (mode == 1) {
        const std::optional<ModeOneList> list = readModeOneWorkbook(path);
        QCOMPARE(bool(list), accepted);
        if (list) {
            QCOMPARE(list->paths.size(), expectedPaths);
            QCOMPARE(list->keywordLines.size(), expectedKeywords);
            QCOMPARE(list->replacementLines.size(), expectedKeywords);
        }
    } else {
        const std::optional<ModeTwoList> list = readModeTwoWorkbook(path);
        QCOMPARE(bool(list), accepted);
        if (list) {
            QCOMPARE(list->paths.size(), expectedPaths);
            QCOMPARE(list->rows.size(), expectedKeywords);
            QCOMPARE(list->rows.constLast().size(), expectedPaths + 1);
        }
    }
}

void TestWorkbookLimits::listsBeyondTheBudgetAreNotWritten_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("keywords");
    QTest::addColumn<bool>("written");

    QTest::newRow("a mode-two grid of exactly the cells allowed is written")
        << 2 << 999 << 499 << true;
    QTest::newRow("a mode-two grid one row larger is not written") << 2 << 999 << 500 << false;
    QTest::newRow("a mode-one list of exactly the cells allowed is written")
        << 1 << Workbook::maxCells - 4 << 1 << true;
    QTest::newRow("a mode-one list one file longer is not written")
        << 1 << Workbook::maxCells - 3 << 1 << false;
}

void TestWorkbookLimits::listsBeyondTheBudgetAreNotWritten()
{
    QFETCH(int, mode);
    QFETCH(int, files);
    QFETCH(int, keywords);
    QFETCH(bool, written);

    const QString path = dir.filePath(QStringLiteral("written.xlsx"));
    QFile::remove(path);
    QVERIFY(writeModeOneWorkbook(path, ModeOneList {{QStringLiteral("/old")}, {}, {}}));
    const QByteArray before = [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();

    QStringList paths;
    for (int f = 0; f < files; ++f)
        paths.append(QStringLiteral("/f%1").arg(f));
    QString error;
    bool ok = false;
    if (mode == 1) {
        QStringList keywordLines;
        for (int k = 0; k < keywords; ++k)
            keywordLines.append(QStringLiteral("k"));
        ok = writeModeOneWorkbook(path, ModeOneList {paths, keywordLines, keywordLines}, &error);
    } else {
        ModeTwoList list {paths, {}};
        for (int k = 0; k < keywords; ++k)
            list.rows.append({QStringLiteral("k%1").arg(k)});
        ok = writeModeTwoWorkbook(path, list, &error);
    }
    QCOMPARE(ok, written);
    QCOMPARE(error.isEmpty(), written);
    if (written && mode == 2) {
        const std::optional<ModeTwoList> list = readModeTwoWorkbook(path);
        QVERIFY(list);
        QCOMPARE(list->rows.size(), keywords);
    } else if (!written) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }
}

void TestWorkbookLimits::sparseModeTwoGridsReadAsBefore_data()
{
    QTest::addColumn<QStringList>("cells"); // "row,column=text"
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QVector<QStringList>>("rows");

    const QStringList header {"1,1=角", "1,2=/a", "1,3=/b"};
    QTest::newRow("holes in the grid read as empty replacements")
        << header + QStringList {"2,1=k", "2,3=x", "3,1=m", "3,2=y"} << QStringList {"/a", "/b"}
        << QVector<QStringList> {{"k", "", "x"}, {"m", "y", ""}};
    QTest::newRow("cells right of the last file are left out")
        << header + QStringList {"2,1=k", "2,4=beyond", "2,9=far"} << QStringList {"/a", "/b"}
        << QVector<QStringList> {{"k", "", ""}};
    QTest::newRow("cells below the first empty keyword are left out")
        << header + QStringList {"2,1=k", "3,2=orphan", "4,1=late", "4,2=z"}
        << QStringList {"/a", "/b"} << QVector<QStringList> {{"k", "", ""}};
    QTest::newRow("files after an empty header cell are left out with their column")
        << QStringList {"1,1=角", "1,2=/a", "1,4=/c", "2,1=k", "2,2=1", "2,4=3"}
        << QStringList {"/a"} << QVector<QStringList> {{"k", "1"}};
    QTest::newRow("a cell at the far corner of the sheet changes nothing")
        << header + QStringList {"2,1=k", "1048576,16384=corner"} << QStringList {"/a", "/b"}
        << QVector<QStringList> {{"k", "", ""}};
}

void TestWorkbookLimits::sparseModeTwoGridsReadAsBefore()
{
    QFETCH(QStringList, cells);
    QFETCH(QStringList, paths);
    QFETCH(QVector<QStringList>, rows);

    Workbook book;
    QVERIFY(book.addSheet(modeTwoSheet));
    for (const QString &cell : cells) {
        const QString place = cell.section(QLatin1Char('='), 0, 0);
        QVERIFY(book.setCell(place.section(QLatin1Char(','), 0, 0).toInt(),
            place.section(QLatin1Char(','), 1).toInt(), cell.section(QLatin1Char('='), 1)));
    }
    const QString path = dir.filePath(QStringLiteral("sparse.xlsx"));
    QVERIFY(book.save(path));
    const std::optional<ModeTwoList> list = readModeTwoWorkbook(path);
    QVERIFY(list);
    QCOMPARE(list->paths, paths);
    QCOMPARE(list->rows, rows);
}

void TestWorkbookLimits::devicesReadLikeFiles()
{
    const QString one = dir.filePath(QStringLiteral("one.xlsx"));
    const QString two = dir.filePath(QStringLiteral("two.xlsx"));
    QVERIFY(writeModeOneWorkbook(one, ModeOneList {{"/a", "/b"}, {"k", "l"}, {"r", ""}}));
    QVERIFY(writeModeTwoWorkbook(two, ModeTwoList {{"/a", "/b"}, {{"k", "1"}, {"l", "", "2"}}}));

    QFile oneFile(one);
    QVERIFY(oneFile.open(QIODevice::ReadOnly));
    QBuffer oneBuffer;
    oneBuffer.setData(oneFile.readAll());
    const std::optional<ModeOneList> fromDevice = readModeOneWorkbook(&oneBuffer);
    const std::optional<ModeOneList> fromFile = readModeOneWorkbook(one);
    QVERIFY(fromDevice && fromFile);
    QCOMPARE(fromDevice->paths, fromFile->paths);
    QCOMPARE(fromDevice->keywordLines, fromFile->keywordLines);
    QCOMPARE(fromDevice->replacementLines, fromFile->replacementLines);

    QFile twoFile(two);
    QVERIFY(twoFile.open(QIODevice::ReadOnly));
    const std::optional<ModeTwoList> twoFromDevice = readModeTwoWorkbook(&twoFile);
    const std::optional<ModeTwoList> twoFromFile = readModeTwoWorkbook(two);
    QVERIFY(twoFromDevice && twoFromFile);
    QCOMPARE(twoFromDevice->paths, twoFromFile->paths);
    QCOMPARE(twoFromDevice->rows, twoFromFile->rows);

    QBuffer garbage;
    garbage.setData("PK\x03\x04 not really");
    QVERIFY(!readModeOneWorkbook(&garbage));
    QVERIFY(!readModeTwoWorkbook(&garbage));
}

QTEST_GUILESS_MAIN(TestWorkbookLimits)
#include "tst_workbooklimits.moc"
