#include "files/containingfolder.h"
#include "files/dirscan.h"
#include "files/textfiletype.h"

#include <QDir>
#include <QFile>
#include <QMimeDatabase>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(PathKind)

namespace {

const QByteArray pngBytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0", 29);
const QByteArray zipBytes("PK\x03\x04\x14\0\0\0\x08\0", 10);

// What the scan and drops must agree with: the database's own verdict on the file, one
// mimeTypeForFile() call each.
bool takenByMimeDatabase(const QString &path)
{
    return isTextMimeType(QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchDefault));
}

PathKind kindByMimeDatabase(const QString &path)
{
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchDefault);
    if (isTextMimeType(type))
        return PathKind::TextFile;
    if (type.name() == QLatin1String("inode/directory"))
        return PathKind::Directory;
    if (type.name()
        == QLatin1String("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"))
        return PathKind::ListWorkbook;
    return PathKind::Unsupported;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Entries relative to root: "dir/" makes a folder, "name -> target" a symbolic link, anything
// else a small text file.
bool buildTree(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const QString path = root + QLatin1Char('/') + entry.section(QLatin1String(" -> "), 0, 0);
        bool ok;
        if (entry.contains(QLatin1String(" -> "))) {
            QDir().mkpath(QFileInfo(path).path());
            ok = QFile::link(entry.section(QLatin1String(" -> "), 1), path);
        } else if (entry.endsWith(QLatin1Char('/'))) {
            ok = QDir().mkpath(path);
        } else {
            ok = writeFile(path, "text\n");
        }
        if (!ok)
            return false;
    }
    return true;
}

QStringList prefixed(const QString &root, const QStringList &relative)
{
    QStringList paths;
    for (const QString &path : relative)
        paths.append(root + QLatin1Char('/') + path);
    return paths;
}

} // namespace

class TestDirScan : public QObject
{
    Q_OBJECT

private slots:
    void scan_data();
    void scan();
    void masks_data();
    void masks();
    void unbalancedMasks_data();
    void unbalancedMasks();
    void takesTextTypesOnly_data();
    void takesTextTypesOnly();
    void decidesAsTheMimeDatabaseDoesInOneScan();
    void duplicatesAreReportedNotAdded();
    void missingDirectoryAddsNothing();
    void stoppedScanAddsNothingMore();
    void classifyPath_data();
    void classifyPath();
    void containingFolder_data();
    void containingFolder();
};

void TestDirScan::scan_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<bool>("noRecursion");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("a subdirectory's files fall between the parent's files around its name")
        << QStringList {"top/a.txt", "top/B/x.txt", "top/c.txt"} << false
        << QStringList {"top/a.txt", "top/B/x.txt", "top/c.txt"};
    QTest::newRow("upper and lower case names interleave")
        << QStringList {"top/b.txt", "top/A.txt", "top/d.txt", "top/C.txt"} << false
        << QStringList {"top/A.txt", "top/b.txt", "top/C.txt", "top/d.txt"};
    QTest::newRow("nested subdirectories are scanned depth first")
        << QStringList {"top/e.txt", "top/a/d.txt", "top/a/b/c.txt", "top/a/a.txt"} << false
        << QStringList {"top/a/a.txt", "top/a/b/c.txt", "top/a/d.txt", "top/e.txt"};
    QTest::newRow("without recursion subdirectories are not entered") << QStringList {
        "top/a.txt", "top/B/x.txt", "top/c.txt"} << true << QStringList {"top/a.txt", "top/c.txt"};
    QTest::newRow("hidden files and folders are never visited")
        << QStringList {"top/.h.txt", "top/.hid/x.txt", "top/sub/.y.txt", "top/v.txt"} << false
        << QStringList {"top/v.txt"};
    QTest::newRow("an empty directory adds nothing")
        << QStringList {"top/empty/"} << false << QStringList {};
    QTest::newRow("a link to a directory elsewhere is followed")
        << QStringList {"outside/o.txt", "top/link -> ../outside", "top/z.txt"} << false
        << QStringList {"top/link/o.txt", "top/z.txt"};
    QTest::newRow("a link cycle ends and lists each file once")
        << QStringList {"top/a.txt", "top/sub/b.txt", "top/sub/loop -> .."} << false
        << QStringList {"top/a.txt", "top/sub/b.txt"};
    QTest::newRow("a directory reached twice is scanned the first time only") << QStringList {
        "top/real/r.txt", "top/alias -> real"} << false << QStringList {"top/alias/r.txt"};
    QTest::newRow("a link to a text file is listed under its own path")
        << QStringList {"top/real.txt", "top/zlink.txt -> real.txt"} << false
        << QStringList {"top/real.txt", "top/zlink.txt"};
    QTest::newRow("a broken link is ignored")
        << QStringList {"top/broken.txt -> missing.txt", "top/broken/"} << false << QStringList {};
}

void TestDirScan::scan()
{
    QFETCH(QStringList, tree);
    QFETCH(bool, noRecursion);
    QFETCH(QStringList, expected);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(buildTree(tmp.path(), tree));

    PathList list;
    int duplicates = 0;
    scanTextFiles(tmp.filePath("top"), list, noRecursion, [&] { ++duplicates; });
    QCOMPARE(list.paths(), prefixed(tmp.path(), expected));
    QCOMPARE(duplicates, 0);
}

void TestDirScan::masks_data()
{
    QTest::addColumn<QString>("include");
    QTest::addColumn<QString>("exclude");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("maskedOut");

    // The same tree each time.
    QTest::newRow("no masks take every text file")
        << ""
        << ""
        << QStringList {"top/a.srt", "top/b.ASS", "top/c.txt", "top/lib/d.min.js",
               "top/node_modules/e.txt", "top/sub/f.srt"}
        << 0;
    QTest::newRow("include takes matching names in every folder, case-sensitively")
        << "*.srt; *.ass"
        << "" << QStringList {"top/a.srt", "top/sub/f.srt"} << 4;
    QTest::newRow("exclude leaves out files and does not enter folders")
        << ""
        << "node_modules;*.min.js"
        << QStringList {"top/a.srt", "top/b.ASS", "top/c.txt", "top/sub/f.srt"} << 1;
    QTest::newRow("a folder name in include does not take its files") << "sub"
                                                                      << "" << QStringList {} << 6;
    QTest::newRow("brackets and question marks as in the shell")
        << "[ab].*;?.txt"
        << "" << QStringList {"top/a.srt", "top/b.ASS", "top/c.txt", "top/node_modules/e.txt"} << 2;
}

void TestDirScan::masks()
{
    QFETCH(QString, include);
    QFETCH(QString, exclude);
    QFETCH(QStringList, expected);
    QFETCH(int, maskedOut);

    QTemporaryDir tmp;
    QVERIFY(buildTree(tmp.path(),
        {"top/a.srt", "top/b.ASS", "top/c.txt", "top/lib/d.min.js", "top/node_modules/e.txt",
            "top/sub/f.srt"}));
    PathList list;
    const int masked = scanTextFiles(tmp.filePath("top"), list, false, {},
        NameMasks(NameMasks::split(include), NameMasks::split(exclude)));
    QCOMPARE(list.paths(), prefixed(tmp.path(), expected));
    QCOMPARE(masked, maskedOut);
}

void TestDirScan::unbalancedMasks_data()
{
    QTest::addColumn<QString>("masks");
    QTest::addColumn<QString>("unbalanced");

    QTest::newRow("closed brackets are sound") << "[ab]*;[!x].txt;[]]"
                                               << "";
    QTest::newRow("an open bracket is named") << "*.txt;[ab"
                                              << "[ab";
    QTest::newRow("a bracket closed only by its first member is still open") << "[]"
                                                                             << "[]";
    QTest::newRow("an escaped bracket is a plain character") << "\\[x"
                                                             << "";
}

void TestDirScan::unbalancedMasks()
{
    QFETCH(QString, masks);
    QFETCH(QString, unbalanced);
    QCOMPARE(NameMasks::unbalanced(NameMasks::split(masks)), unbalanced);
}

void TestDirScan::takesTextTypesOnly_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("taken");

    QTest::newRow("a plain text file is taken") << "a.txt" << QByteArray("x\n") << true;
    QTest::newRow("an HTML page is taken") << "a.html" << QByteArray("<p>x</p>\n") << true;
    QTest::newRow("a CSV table is taken") << "a.csv" << QByteArray("a,b\n") << true;
    QTest::newRow("an XML document is taken")
        << "a.xml" << QByteArray("<?xml version=\"1.0\"?><a/>") << true;
    QTest::newRow("a JSON file is taken") << "a.json" << QByteArray("{\"a\": 1}\n") << true;
    QTest::newRow("a JavaScript file is taken") << "a.js" << QByteArray("var a = 1;\n") << true;
    QTest::newRow("a shell script is taken") << "a.sh" << QByteArray("#!/bin/sh\necho\n") << true;
    QTest::newRow("a YAML file is taken") << "a.yaml" << QByteArray("a: 1\n") << true;
    QTest::newRow("an SRT subtitle is taken")
        << "a.srt" << QByteArray("1\n00:00:01,000 --> 00:00:02,000\nx\n") << true;
    QTest::newRow("an extensionless UTF-8 text is taken")
        << "README" << QByteArray("\xe4\xb8\xad\xe6\x96\x87 text\n") << true;
    QTest::newRow("an extensionless GBK text is taken")
        << "notes" << QByteArray("\xd6\xd0\xce\xc4\n") << true;
    QTest::newRow("a PNG image is skipped") << "a.png" << pngBytes << false;
    QTest::newRow("a .png holding plain text is skipped") << "b.png" << QByteArray("x\n") << false;
    QTest::newRow("an .xlsx workbook is skipped") << "a.xlsx" << zipBytes << false;
    QTest::newRow("an extensionless PNG is skipped") << "picture" << pngBytes << false;
    QTest::newRow("an extensionless binary is skipped")
        << "blob" << QByteArray("\x00\x01\x02\xff\x00\x10", 6) << false;
    QTest::newRow("an empty extensionless file is skipped") << "empty" << QByteArray() << false;
    QTest::newRow("a Markdown file is taken") << "a.md" << QByteArray("# x\n") << true;
    QTest::newRow("an INI file is taken by its content")
        << "a.ini" << QByteArray("[s]\nk=v\n") << true;
    QTest::newRow("an INI file holding a PNG is skipped") << "b.ini" << pngBytes << false;
    QTest::newRow("a JSON file is taken whatever it holds") << "b.json" << pngBytes << true;
    QTest::newRow("an extensionless UTF-16 text with its BOM is taken")
        << "utf16" << QByteArray("\xff\xfex\0y\0\n\0", 8) << true;
    QTest::newRow("an upper-case .TXT is taken") << "A.TXT" << QByteArray("x\n") << true;
    QTest::newRow("an upper-case .PNG holding text is skipped")
        << "B.PNG" << QByteArray("x\n") << false;
    QTest::newRow("an upper-case .JSON is taken") << "C.JSON" << QByteArray("{}\n") << true;
    QTest::newRow("a .tar.gz holding text is skipped") << "a.tar.gz" << QByteArray("x\n") << false;
    QTest::newRow("a .txt.gz holding text is skipped") << "a.txt.gz" << QByteArray("x\n") << false;
    QTest::newRow("a name with several dots goes by its last suffix")
        << "report.2024.final.txt" << QByteArray("x\n") << true;
    QTest::newRow("a .txt before an image suffix is an image")
        << "photo.txt.png" << pngBytes << false;
    QTest::newRow("an unknown suffix goes by content") << "data.zzq" << QByteArray("x\n") << true;
    QTest::newRow("an unknown suffix holding a PNG is skipped") << "data.zzp" << pngBytes << false;
    QTest::newRow("a makefile is taken by its name") << "Makefile" << QByteArray("all:\n") << true;
    QTest::newRow("a manual page is taken by its pattern")
        << "ls.1" << QByteArray(".TH LS 1\n") << true;
    QTest::newRow("a versioned library is taken for a manual page by its last suffix")
        << "libz.so.1" << QByteArray("x\n") << true;
}

void TestDirScan::takesTextTypesOnly()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(bool, taken);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath(fileName), content));

    PathList list;
    scanTextFiles(tmp.path(), list, false);
    QCOMPARE(list.paths(), taken ? QStringList {tmp.filePath(fileName)} : QStringList {});
    QCOMPARE(takenByMimeDatabase(tmp.filePath(fileName)), taken);
}

void TestDirScan::decidesAsTheMimeDatabaseDoesInOneScan()
{
    // Names alike (same suffixes, no suffix) with content that differs, so that whatever
    // one file teaches the scan about its kind of name must hold for the others.
    const QVector<QPair<QString, QByteArray>> files {{"a.txt", "x\n"}, {"b.txt", pngBytes},
        {"a.json", "{}\n"}, {"b.json", pngBytes}, {"c.json", QByteArray()}, {"a.ini", "k=v\n"},
        {"b.ini", pngBytes}, {"plain", "text\n"}, {"image", pngBytes}, {"empty", QByteArray()},
        {"gbk", "\xd6\xd0\xce\xc4\n"}, {"utf16", QByteArray("\xff\xfex\0", 4)},
        {"blob", QByteArray("\x00\x01\x02", 3)}, {"a.TXT", "x\n"}, {"A.Txt", pngBytes},
        {"a.tar.gz", "x\n"}, {"b.gz", "x\n"}, {"a.b.c.d", "x\n"}, {"e.b.c.d", pngBytes},
        {"README", "x\n"}, {"README.md", "x\n"}, {"readme.zzq", pngBytes}, {"x.1", "x\n"},
        {"y.2", pngBytes}, {"z.9x", "x\n"}, {"a.C", "int x;\n"}, {"a.c", "int x;\n"}, {"a~", "x\n"},
        {"b~", pngBytes}, {"a.xlsx", zipBytes}, {"b.xlsx", "x\n"}};

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QStringList expected;
    for (const auto &[name, content] : files)
        QVERIFY(writeFile(tmp.filePath(name), content));
    for (const auto &file : files) {
        if (takenByMimeDatabase(tmp.filePath(file.first)))
            expected.append(tmp.filePath(file.first));
    }
    QVERIFY(!expected.isEmpty() && expected.size() < files.size());

    PathList scanned;
    scanTextFiles(tmp.path(), scanned, false);
    QStringList list = scanned.paths();
    list.sort();
    expected.sort();
    QCOMPARE(list, expected);
}

void TestDirScan::duplicatesAreReportedNotAdded()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(buildTree(tmp.path(), {"a.txt", "B.txt", "sub/c.txt"}));
    QVERIFY(writeFile(tmp.filePath("d.png"), pngBytes));

    const QString a = tmp.filePath("a.txt");
    const QString b = tmp.filePath("B.txt");
    const QString c = tmp.filePath("sub/c.txt");
    // Only an exact match is a duplicate, not a path differing in case.
    PathList list(QStringList {a, tmp.filePath("b.txt")});
    int duplicates = 0;
    const auto count = [&] {
        ++duplicates;
    };

    scanTextFiles(tmp.path(), list, false, count);
    QCOMPARE(list.paths(), (QStringList {a, tmp.filePath("b.txt"), b, c}));
    QCOMPARE(duplicates, 1);

    // A second scan finds every text file listed; the image is not counted.
    scanTextFiles(tmp.path(), list, false, count);
    QCOMPARE(list.paths(), (QStringList {a, tmp.filePath("b.txt"), b, c}));
    QCOMPARE(duplicates, 4);
}

// Stopped from outside, the scan returns without visiting what is left.
void TestDirScan::stoppedScanAddsNothingMore()
{
    QTemporaryDir tmp;
    QVERIFY(buildTree(tmp.path(), {"a.txt", "sub/b.txt"}));
    PathList list(QStringList {QStringLiteral("kept.txt")});
    const std::atomic_bool stop {true};
    scanTextFiles(tmp.path(), list, false, {}, {}, &stop);
    QCOMPARE(list.paths(), QStringList {QStringLiteral("kept.txt")});
}

void TestDirScan::missingDirectoryAddsNothing()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    PathList list(QStringList {QStringLiteral("kept.txt")});
    scanTextFiles(tmp.filePath("missing"), list, false);
    QCOMPARE(list.paths(), QStringList {QStringLiteral("kept.txt")});
}

void TestDirScan::classifyPath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<PathKind>("kind");

    QTest::newRow("a .txt file is a text file")
        << "a.txt" << QByteArray("x\n") << PathKind::TextFile;
    QTest::newRow("an XML file is a text file")
        << "a.xml" << QByteArray("<a/>") << PathKind::TextFile;
    QTest::newRow("a folder is a directory") << "folder/" << QByteArray() << PathKind::Directory;
    QTest::newRow("a folder named like a text file is a directory")
        << "notes.txt/" << QByteArray() << PathKind::Directory;
    QTest::newRow("an .xlsx file is a list workbook")
        << "list.xlsx" << zipBytes << PathKind::ListWorkbook;
    QTest::newRow("a PNG image is unsupported") << "a.png" << pngBytes << PathKind::Unsupported;
    QTest::newRow("an empty extensionless file is unsupported")
        << "empty" << QByteArray() << PathKind::Unsupported;
    QTest::newRow("an upper-case .XLSX file is a list workbook")
        << "LIST.XLSX" << zipBytes << PathKind::ListWorkbook;
    QTest::newRow("an .xlsx holding text is a list workbook by its name")
        << "list.xlsx" << QByteArray("x\n") << PathKind::ListWorkbook;
    QTest::newRow("a JSON file is a text file")
        << "a.json" << QByteArray("{}") << PathKind::TextFile;
    QTest::newRow("an extensionless UTF-8 text is a text file")
        << "README-zh" << QByteArray("\xe4\xb8\xad\n") << PathKind::TextFile;
    QTest::newRow("a missing .txt is a text file by its name")
        << "missing.txt" << QByteArray("(missing)") << PathKind::TextFile;
    QTest::newRow("a missing extensionless name is unsupported")
        << "missing" << QByteArray("(missing)") << PathKind::Unsupported;
    QTest::newRow("a named pipe is unsupported and never opened")
        << "pipe.txt" << QByteArray("(fifo)") << PathKind::Unsupported;
}

void TestDirScan::classifyPath()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(PathKind, kind);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString path = tmp.filePath(name);
    if (name.endsWith(QLatin1Char('/')))
        QVERIFY(QDir().mkpath(path));
    else if (content == "(fifo)")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (content != "(missing)")
        QVERIFY(writeFile(path, content));
    QCOMPARE(::classifyPath(path), kind);
    QCOMPARE(kindByMimeDatabase(path), kind);
}

void TestDirScan::containingFolder_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("folder");

    QTest::newRow("the file name is dropped") << "/home/u/a.txt"
                                              << "/home/u/";
    QTest::newRow("backslashes become slashes") << "C:\\Docs\\sub\\a.txt"
                                                << "C:/Docs/sub/";
    QTest::newRow("mixed separators are unified") << "C:\\Docs/sub\\a.txt"
                                                  << "C:/Docs/sub/";
    QTest::newRow("a path ending in a slash is its own folder") << "/home/u/"
                                                                << "/home/u/";
    QTest::newRow("a file in the root keeps the root") << "/a.txt"
                                                       << "/";
    QTest::newRow("a bare file name has no folder") << "a.txt"
                                                    << "";
    QTest::newRow("an empty path has no folder") << ""
                                                 << "";
}

void TestDirScan::containingFolder()
{
    QFETCH(QString, path);
    QFETCH(QString, folder);
    QCOMPARE(::containingFolder(path), folder);
}

QTEST_GUILESS_MAIN(TestDirScan)
#include "tst_dirscan.moc"
