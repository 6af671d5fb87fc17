#include "workbook/listworkbook.h"
#include "workbook/workbook.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>

namespace {

using Members = QVector<QPair<QString, QByteArray>>;

QString withCodes(const QString &text, const QVector<ushort> &codes)
{
    QString out = text;
    for (const ushort code : codes)
        out += QChar(code);
    return out;
}

const QString dataDir = QStringLiteral(YIHUAN_TEST_DATA_DIR);

bool writeZip(const QString &path, const Members &members)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const auto &[name, data] : members) {
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(name))
            || file.write(data) != data.size())
            return false;
        file.close();
    }
    zip.close();
    return zip.getZipError() == UNZ_OK;
}

const QByteArray relsNs = "http://schemas.openxmlformats.org/package/2006/relationships";
const QByteArray officeRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

QByteArray relationships(
    const QVector<QPair<QByteArray, QByteArray>> &idAndTarget, const QByteArray &type = "worksheet")
{
    QByteArray xml = "<Relationships xmlns=\"" + relsNs + "\">";
    for (const auto &[id, target] : idAndTarget)
        xml += "<Relationship Id=\"" + id + "\" Type=\"" + officeRel + "/" + type + "\" Target=\""
            + target + "\"/>";
    return xml + "</Relationships>";
}

// A one-sheet package ("Sheet") written by hand, for what no fixture writer produces.
Members package(const QByteArray &sheetData, const QByteArray &sharedStrings = QByteArray())
{
    QByteArray workbookRels = relationships({{"rId1", "worksheets/sheet1.xml"}});
    if (!sharedStrings.isEmpty())
        workbookRels.replace("</Relationships>",
            "<Relationship Id=\"rId2\" Type=\"" + officeRel
                + "/sharedStrings\" Target=\"sharedStrings.xml\"/>"
                  "</Relationships>");
    Members members {
        {"_rels/.rels", relationships({{"rId1", "xl/workbook.xml"}}, "officeDocument")},
        {"xl/workbook.xml",
            "<workbook xmlns:r=\"" + officeRel
                + "\"><sheets><sheet name=\"Sheet\" sheetId=\"1\" "
                  "r:id=\"rId1\"/></sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels", workbookRels},
        {"xl/worksheets/sheet1.xml",
            "<worksheet><sheetData>" + sheetData + "</sheetData></worksheet>"}};
    if (!sharedStrings.isEmpty())
        members.append({"xl/sharedStrings.xml", "<sst>" + sharedStrings + "</sst>"});
    return members;
}

Members replaced(Members members, const QString &name, const QByteArray &data)
{
    for (auto &member : members) {
        if (member.first == name)
            member.second = data;
    }
    return members;
}

Members without(Members members, const QString &name)
{
    members.erase(std::remove_if(members.begin(), members.end(),
                      [&](const auto &m) { return m.first == name; }),
        members.end());
    return members;
}

} // namespace

Q_DECLARE_METATYPE(Members)

class TestWorkbook : public QObject
{
    Q_OBJECT

private slots:
    void textRoundTrips_data();
    void textRoundTrips();
    void sheetsAndSparseCellsRoundTrip();
    void overlongCellFailsTheSaveAndKeepsTheOldFile_data();
    void overlongCellFailsTheSaveAndKeepsTheOldFile();
    void saveReplacesAnExistingFileKeepingItsPermissions();
    void unholdableSheetNamesAndCellsAreRefused();
    void readsOtherProgramsWorkbooks_data();
    void readsOtherProgramsWorkbooks();
    void usedRanges_data();
    void usedRanges();
    void readsHandWrittenCells_data();
    void readsHandWrittenCells();
    void sheetsAreFoundThroughRelationshipsNotFileNames();
    void badInputIsRefused_data();
    void badInputIsRefused();
};

void TestWorkbook::textRoundTrips_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("Chinese with spaces and the separator") << QStringLiteral("旧 词|新 词");
    QTest::newRow("leading and trailing spaces") << QStringLiteral("  padded  ");
    QTest::newRow("line breaks, a tab and a carriage return") << QStringLiteral("a\nb\tc\r\nd\re");
    QTest::newRow("control characters and NUL")
        << withCodes(QStringLiteral("a"), {1, 0x1f, 0, 'd'});
    QTest::newRow("a literal escape sequence") << QStringLiteral("_x0041_");
    QTest::newRow("escape sequences back to back") << QStringLiteral("_x0041_x0042_");
    QTest::newRow("an escaped underscore") << QStringLiteral("_x005F_ and _x005f_");
    QTest::newRow("lower-case hex digits") << QStringLiteral("_x00e9_");
    QTest::newRow("near misses of an escape") << QStringLiteral("_X0041_ _x41_ _x00G1_ _x0041");
    QTest::newRow("an emoji") << QStringLiteral("\U0001F600 ok");
    QTest::newRow("characters XML cannot carry, and a lone surrogate")
        << withCodes(QString(), {0xfffe, 0xffff, 0xd800, 'x', 0xdc00});
    QTest::newRow("32,767 emoji: code points, not UTF-16 units, are counted")
        << QString(32767, QChar()).replace(QChar(), QStringLiteral("\U0001F600"));
}

void TestWorkbook::textRoundTrips()
{
    QFETCH(QString, text);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("文本 test.xlsx"));
    Workbook book;
    QVERIFY(book.addSheet(QStringLiteral("表")));
    QVERIFY(book.setCell(3, 2, text));
    QString error;
    QVERIFY2(book.save(path, &error), qPrintable(error));

    Workbook loaded;
    QVERIFY2(loaded.open(path, &error), qPrintable(error));
    QCOMPARE(loaded.sheetNames(), QStringList {QStringLiteral("表")});
    QCOMPARE(loaded.cell(3, 2), text);
    const Workbook::Range range = loaded.usedRange();
    QCOMPARE(QVector<int>({range.firstRow, range.lastRow, range.firstColumn, range.lastColumn}),
        QVector<int>({3, 3, 2, 2}));
}

void TestWorkbook::sheetsAndSparseCellsRoundTrip()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sparse.xlsx"));
    Workbook book;
    const QStringList names {
        QStringLiteral("Zeta"), QStringLiteral("空表"), QStringLiteral("Alpha")};
    for (const QString &name : names)
        QVERIFY(book.addSheet(name));
    QVERIFY(book.selectSheet(names.at(0)));
    QVERIFY(book.setCell(Workbook::maxRows, Workbook::maxColumns, QStringLiteral("corner")));
    QVERIFY(book.setCell(2, 3, QStringLiteral("near")));
    QVERIFY(book.setCell(5, 5, QStringLiteral("cleared")));
    QVERIFY(book.setCell(5, 5, QString()));
    QVERIFY(book.selectSheet(names.at(2)));
    QVERIFY(book.setCell(1, 1, QStringLiteral("a")));
    QVERIFY(book.save(path));

    Workbook loaded;
    QVERIFY(loaded.open(path));
    QCOMPARE(loaded.sheetNames(), names);
    QVERIFY(loaded.selectSheet(names.at(0)));
    QCOMPARE(loaded.cell(Workbook::maxRows, Workbook::maxColumns), QStringLiteral("corner"));
    QCOMPARE(loaded.cell(2, 3), QStringLiteral("near"));
    QCOMPARE(loaded.cell(5, 5), QString());
    const Workbook::Range range = loaded.usedRange();
    QCOMPARE(QVector<int>({range.firstRow, range.lastRow, range.firstColumn, range.lastColumn}),
        QVector<int>({2, Workbook::maxRows, 3, Workbook::maxColumns}));
    QVERIFY(loaded.selectSheet(names.at(1)));
    QVERIFY(loaded.usedRange().isEmpty());
    QVERIFY(!loaded.selectSheet(QStringLiteral("zeta")));
}

void TestWorkbook::overlongCellFailsTheSaveAndKeepsTheOldFile_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("32,768 letters") << QString(32768, QLatin1Char('x'));
    QTest::newRow("32,768 emoji")
        << QString(32768, QChar()).replace(QChar(), QStringLiteral("\U0001F600"));
    QTest::newRow("32,767 characters that grow when escaped")
        << QString(32760, QLatin1Char('x')) + QStringLiteral("_x0041_");
}

void TestWorkbook::overlongCellFailsTheSaveAndKeepsTheOldFile()
{
    QFETCH(QString, text);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("old.xlsx"));
    const QByteArray old = "previous contents";
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
    }
    Workbook book;
    QVERIFY(book.addSheet(QStringLiteral("S")));
    QVERIFY(book.setCell(1, 1, QStringLiteral("fine")));
    QVERIFY(book.setCell(7, 4, text));
    QString error;
    QVERIFY(!book.save(path, &error));
    QVERIFY2(error.contains(QLatin1String("D7")), qPrintable(error));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
        QStringList {QStringLiteral("old.xlsx")});
}

void TestWorkbook::saveReplacesAnExistingFileKeepingItsPermissions()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list.xlsx"));
    const QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    Workbook first;
    QVERIFY(first.addSheet(QStringLiteral("Old")));
    QVERIFY(first.save(path));
    QVERIFY(QFile::setPermissions(path, permissions));

    Workbook second;
    QVERIFY(second.addSheet(QStringLiteral("New")));
    QVERIFY(second.save(path));
    Workbook loaded;
    QVERIFY(loaded.open(path));
    QCOMPARE(loaded.sheetNames(), QStringList {QStringLiteral("New")});
    QCOMPARE(QFile::permissions(path) & 0x7077, permissions);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void TestWorkbook::unholdableSheetNamesAndCellsAreRefused()
{
    Workbook book;
    QVERIFY(!book.setCell(1, 1, QStringLiteral("no sheet yet")));
    QVERIFY(book.addSheet(QString(31, QChar(0x8868))));
    QVERIFY(book.addSheet(QStringLiteral("Data")));
    for (const QString &name :
        {QStringLiteral("DATA"), QString(), QString(32, QLatin1Char('a')), QStringLiteral("a/b"),
            QStringLiteral("[x]"), QStringLiteral("'quoted'"), QStringLiteral("why?")})
        QVERIFY2(!book.addSheet(name), qPrintable(name));
    QCOMPARE(book.sheetNames().size(), 2);
    QVERIFY(!book.setCell(0, 1, QStringLiteral("x")));
    QVERIFY(!book.setCell(1, 0, QStringLiteral("x")));
    QVERIFY(!book.setCell(Workbook::maxRows + 1, 1, QStringLiteral("x")));
    QVERIFY(!book.setCell(1, Workbook::maxColumns + 1, QStringLiteral("x")));
    QVERIFY(book.usedRange().isEmpty());

    QTemporaryDir dir;
    QVERIFY(book.open(dir.filePath(QStringLiteral("new.xlsx"))));
    QVERIFY(book.sheetNames().isEmpty());
    QVERIFY(!book.save(dir.filePath(QStringLiteral("new.xlsx"))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("new.xlsx"))));
}

void TestWorkbook::readsOtherProgramsWorkbooks_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("expected");
    const QString lo = QStringLiteral("lo-values.xlsx");
    const QString op = QStringLiteral("openpyxl-values.xlsx");
    const QString sheet = QStringLiteral("lo-values");
    const QString data = QStringLiteral("数据");
    QTest::newRow("LibreOffice shared string") << lo << sheet << 1 << 1 << QStringLiteral("名称");
    QTest::newRow("LibreOffice integer") << lo << sheet << 1 << 2 << QStringLiteral("123");
    QTest::newRow("LibreOffice decimal") << lo << sheet << 1 << 3 << QStringLiteral("1.5");
    QTest::newRow("LibreOffice cell after a gap") << lo << sheet << 3 << 3 << QStringLiteral("尾");
    QTest::newRow("LibreOffice 0.1") << lo << sheet << 4 << 1 << QStringLiteral("0.1");
    QTest::newRow("LibreOffice rich text runs")
        << QStringLiteral("lo-mode-one.xlsx") << modeOneKeywordsSheet << 2 << 2
        << QStringLiteral("新的词");
    QTest::newRow("LibreOffice two paragraphs")
        << QStringLiteral("lo-mode-one.xlsx") << modeOneKeywordsSheet << 5 << 1
        << QStringLiteral("第一行\n第二行");
    QTest::newRow("openpyxl inline string") << op << data << 1 << 1 << QStringLiteral("文本");
    QTest::newRow("openpyxl true") << op << data << 1 << 4 << QStringLiteral("TRUE");
    QTest::newRow("openpyxl false") << op << data << 1 << 5 << QStringLiteral("FALSE");
    QTest::newRow("openpyxl negative fraction") << op << data << 3 << 1 << QStringLiteral("-0.25");
    QTest::newRow("openpyxl huge number") << op << data << 3 << 2 << QStringLiteral("1e+20");
    QTest::newRow("openpyxl many digits") << op << data << 3 << 3 << QStringLiteral("1234567.125");
    QTest::newRow("openpyxl far cell") << op << data << 7 << 6 << QStringLiteral("远处");
}

void TestWorkbook::readsOtherProgramsWorkbooks()
{
    QFETCH(QString, file);
    QFETCH(QString, sheet);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QString, expected);
    Workbook book;
    QString error;
    QVERIFY2(book.open(dataDir + '/' + file, &error), qPrintable(error));
    QVERIFY(book.selectSheet(sheet));
    QCOMPARE(book.cell(row, column), expected);
}

void TestWorkbook::usedRanges_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<QVector<int>>("range");
    QTest::newRow("LibreOffice sheet with an empty row") << QStringLiteral(
        "lo-values.xlsx") << QStringLiteral("lo-values") << QVector<int> {1, 4, 1, 3};
    QTest::newRow("openpyxl scattered cells")
        << QStringLiteral("openpyxl-values.xlsx") << QStringLiteral("数据")
        << QVector<int> {1, 7, 1, 6};
    QTest::newRow("openpyxl empty sheet") << QStringLiteral("openpyxl-values.xlsx")
                                          << QStringLiteral("空") << QVector<int> {0, 0, 0, 0};
    QTest::newRow("keyword sheet with a row holding only column B")
        << QStringLiteral("lo-mode-one.xlsx") << modeOneKeywordsSheet << QVector<int> {1, 7, 1, 2};
}

void TestWorkbook::usedRanges()
{
    QFETCH(QString, file);
    QFETCH(QString, sheet);
    QFETCH(QVector<int>, range);
    Workbook book;
    QVERIFY(book.open(dataDir + '/' + file));
    QVERIFY(book.selectSheet(sheet));
    const Workbook::Range r = book.usedRange();
    QCOMPARE(QVector<int>({r.firstRow, r.lastRow, r.firstColumn, r.lastColumn}), range);
    QCOMPARE(r.isEmpty(), range.at(1) == 0);
}

void TestWorkbook::readsHandWrittenCells_data()
{
    QTest::addColumn<QByteArray>("sheetData");
    QTest::addColumn<QByteArray>("sharedStrings");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("expected");
    const QByteArray noShared;
    QTest::newRow("cells without references follow the previous cell")
        << QByteArray("<row r=\"2\"><c r=\"C2\"><v>1</v></c><c><v>2</v></c><c><v>3</v></c></row>")
        << noShared << 2 << 5 << QStringLiteral("3");
    QTest::newRow("rows without references follow the previous row")
        << QByteArray("<row r=\"4\"><c><v>1</v></c></row><row><c/><c><v>9</v></c></row>")
        << noShared << 5 << 2 << QStringLiteral("9");
    QTest::newRow("the first row without a reference is row 1")
        << QByteArray("<row><c><v>7</v></c></row>") << noShared << 1 << 1 << QStringLiteral("7");
    QTest::newRow("phonetic runs are not part of a shared string")
        << QByteArray("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>1</v></c></row>")
        << QByteArray("<si><t>zero</t></si><si><r><t>東</t></r><r><rPr><b/></rPr><t>京</t></r>"
                      "<rPh sb=\"0\" eb=\"1\"><t>トウ</t></rPh><phoneticPr fontId=\"1\"/></si>")
        << 1 << 1 << QStringLiteral("東京");
    QTest::newRow("rich inline string")
        << QByteArray("<row r=\"1\"><c r=\"B1\" t=\"inlineStr\"><is><r><t xml:space=\"preserve\">a "
                      "</t></r><r><t>b</t></r></is></c></row>")
        << noShared << 1 << 2 << QStringLiteral("a b");
    QTest::newRow("formula string result") << QByteArray(
        "<row r=\"1\"><c r=\"A1\" t=\"str\"><f>A2&amp;\"x\"</f><v>yx_x000D_</v></c></row>")
                                           << noShared << 1 << 1 << QStringLiteral("yx\r");
    QTest::newRow("escaped characters in a shared string")
        << QByteArray("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>")
        << QByteArray("<si><t>_x0009_tab_x005F_x0041_</t></si>") << 1 << 1
        << QStringLiteral("\ttab_x0041_");
    QTest::newRow("number in exponent form")
        << QByteArray("<row r=\"1\"><c r=\"A1\"><v>1.5E3</v></c></row>") << noShared << 1 << 1
        << QStringLiteral("1500");
    QTest::newRow("error value") << QByteArray(
        "<row r=\"1\"><c r=\"A1\" t=\"e\"><v>#N/A</v></c></row>")
                                 << noShared << 1 << 1 << QStringLiteral("#N/A");
    QTest::newRow("a later duplicate cell wins")
        << QByteArray("<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"A1\"><v>2</v></c></row>")
        << noShared << 1 << 1 << QStringLiteral("2");
    QTest::newRow("lower-case column letters")
        << QByteArray("<row r=\"3\"><c r=\"ab3\" t=\"b\"><v>0</v></c></row>") << noShared << 3 << 28
        << QStringLiteral("FALSE");
}

void TestWorkbook::readsHandWrittenCells()
{
    QFETCH(QByteArray, sheetData);
    QFETCH(QByteArray, sharedStrings);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hand.xlsx"));
    QVERIFY(writeZip(path, package(sheetData, sharedStrings)));
    Workbook book;
    QString error;
    QVERIFY2(book.open(path, &error), qPrintable(error));
    QCOMPARE(book.cell(row, column), expected);
}

void TestWorkbook::sheetsAreFoundThroughRelationshipsNotFileNames()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("order.xlsx"));
    Members members = package("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>");
    members = replaced(members, "xl/workbook.xml",
        "<workbook xmlns:r=\"" + officeRel
            + "\"><sheets><sheet name=\"Second\" r:id=\"rId9\"/>"
              "<sheet name=\"First\" r:id=\"rId1\"/></sheets></workbook>");
    members = replaced(members, "xl/_rels/workbook.xml.rels",
        relationships(
            {{"rId1", "/xl/worksheets/sheet1.xml"}, {"rId9", "../xl/./parts/Other%20Sheet.XML"}}));
    members.append({QStringLiteral("xl/parts/other sheet.xml"),
        QByteArray("<worksheet><sheetData><row><c><v>2</v></c></row></sheetData></worksheet>")});
    QVERIFY(writeZip(path, members));

    Workbook book;
    QString error;
    QVERIFY2(book.open(path, &error), qPrintable(error));
    QCOMPARE(book.sheetNames(), QStringList({QStringLiteral("Second"), QStringLiteral("First")}));
    QCOMPARE(book.cell(1, 1), QStringLiteral("2"));
    QVERIFY(book.selectSheet(QStringLiteral("First")));
    QCOMPARE(book.cell(1, 1), QStringLiteral("1"));
}

void TestWorkbook::badInputIsRefused_data()
{
    QTest::addColumn<Members>("members"); // empty: raw bytes instead of a zip
    QTest::addColumn<QByteArray>("bytes");
    const auto cell = [](const QByteArray &ref) {
        return package("<row><c r=\"" + ref + "\"><v>1</v></c></row>");
    };
    QTest::newRow("a text file") << Members() << QByteArray("just text\n");
    QTest::newRow("a truncated zip") << Members() << QByteArray("PK\x03\x04\x14\0\0\0\x08\0", 10);
    QTest::newRow("a zip without a workbook") << Members {{"readme.txt", "hello"}} << QByteArray();
    QTest::newRow("malformed workbook XML")
        << replaced(package(""), "xl/workbook.xml", "<workbook><sheets>") << QByteArray();
    QTest::newRow("malformed sheet XML") << package("<row><c><v>1</c></row>") << QByteArray();
    QTest::newRow("a document type declaration")
        << replaced(package(""), "xl/worksheets/sheet1.xml",
               "<!DOCTYPE w [<!ENTITY a \"aaaa\">]><worksheet><sheetData/></worksheet>")
        << QByteArray();
    QTest::newRow("no workbook relationships")
        << without(package(""), "xl/_rels/workbook.xml.rels") << QByteArray();
    QTest::newRow("a sheet relationship to a missing part")
        << without(package(""), "xl/worksheets/sheet1.xml") << QByteArray();
    QTest::newRow("row 1,048,577") << cell("A1048577") << QByteArray();
    QTest::newRow("column XFE") << cell("XFE1") << QByteArray();
    QTest::newRow("the next cell past column XFD")
        << package("<row><c r=\"XFD1\"/><c/></row>") << QByteArray();
    QTest::newRow("row 0") << cell("A0") << QByteArray();
    QTest::newRow("a huge row number") << cell("A99999999999999999999999") << QByteArray();
    QTest::newRow("a row element past the last row")
        << package("<row r=\"1048577\"><c><v>1</v></c></row>") << QByteArray();
    QTest::newRow("a negative row element") << package("<row r=\"-1\"/>") << QByteArray();
    QTest::newRow("a shared string index past the end")
        << package("<row><c t=\"s\"><v>1</v></c></row>", "<si><t>only</t></si>") << QByteArray();
    QTest::newRow("a negative shared string index")
        << package("<row><c t=\"s\"><v>-1</v></c></row>", "<si><t>only</t></si>") << QByteArray();
    QTest::newRow("a shared string index without shared strings")
        << package("<row><c t=\"s\"><v>0</v></c></row>") << QByteArray();
    QByteArray bomb = "<worksheet><sheetData>";
    bomb += QByteArray(Workbook::maxPartSize, ' ');
    bomb += "</sheetData></worksheet>";
    QTest::newRow("a sheet that inflates past the cap")
        << replaced(package(""), "xl/worksheets/sheet1.xml", bomb) << QByteArray();
}

void TestWorkbook::badInputIsRefused()
{
    QFETCH(Members, members);
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.xlsx"));
    if (members.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), qint64(bytes.size()));
    } else {
        QVERIFY(writeZip(path, members));
    }
    Workbook book;
    QVERIFY(book.addSheet(QStringLiteral("stale")));
    QString error;
    QVERIFY(!book.open(path, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(book.sheetNames().isEmpty());
    QVERIFY(book.usedRange().isEmpty());
    QVERIFY(!readModeOneWorkbook(path));
    QVERIFY(!readModeTwoWorkbook(path));
}

QTEST_GUILESS_MAIN(TestWorkbook)
#include "tst_workbook.moc"
