#include "files/dirscan.h"
#include "files/filenames.h"
#include "files/tempnames.h"
#include "files/textfiletype.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PathKind)

namespace {

const QByteArray replacementBytes("\xef\xbf\xbd"); // U+FFFD in UTF-8
const QByteArray pngBytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0", 29);

QString escapes(std::initializer_list<uchar> bytes)
{
    QString text;
    for (const uchar byte : bytes)
        text += QChar(ushort(0xdc00 + byte));
    return text;
}

// Creates a file under its exact bytes, which QFile cannot always name.
bool writeRaw(const QByteArray &path, const QByteArray &content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    return ::close(fd) == 0 && written;
}

} // namespace

class TestFileNames : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decoding_data();
    void decoding();
    void encodable_data();
    void encodable();
    void scanKeepsUndecodableNamesApart();
    void scanEntersFoldersWithUndecodableNames();
    void droppedUrls_data();
    void droppedUrls();
    void commandLineArguments();
    void runTempFilesAreNeverListed();
};

void TestFileNames::initTestCase()
{
    if (QFile::encodeName(QStringLiteral("中")) != QByteArray("\xe4\xb8\xad"))
        QSKIP("These cases are written for a UTF-8 locale");
}

void TestFileNames::decoding_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("name");

    QTest::newRow("an ASCII name is itself") << QByteArray("a b.txt") << "a b.txt";
    QTest::newRow("a UTF-8 name decodes as Qt decodes it")
        << QByteArray("\xe4\xb8\xad\xe6\x96\x87.txt") << QStringLiteral("中文.txt");
    QTest::newRow("the real bytes of U+FFFD are a real name")
        << replacementBytes + ".txt" << QString(QChar(0xfffd)) + ".txt";
    QTest::newRow("a four-byte character decodes to its surrogate pair")
        << QByteArray("\xf0\x9f\x92\x80") << QString::fromUcs4(U"\U0001F480");
    QTest::newRow("a byte that starts nothing is escaped")
        << QByteArray("a\xff.txt") << "a" + escapes({0xff}) + ".txt";
    QTest::newRow("a GBK name under UTF-8 keeps every byte")
        << QByteArray("\xd6\xd0\xce\xc4") << escapes({0xd6, 0xd0, 0xce, 0xc4});
    QTest::newRow("a sequence cut short escapes its bytes and resumes after them") << QByteArray(
        "\xe4\xb8x\xe4\xb8\xad") << escapes({0xe4, 0xb8}) + "x" + QStringLiteral("中");
    QTest::newRow("an overlong encoding is escaped")
        << QByteArray("\xc0\xaf") << escapes({0xc0, 0xaf});
    QTest::newRow("an encoded surrogate is escaped")
        << QByteArray("\xed\xb3\xbf") << escapes({0xed, 0xb3, 0xbf});
    QTest::newRow("a code point past U+10FFFF is escaped")
        << QByteArray("\xf4\x90\x80\x80") << escapes({0xf4, 0x90, 0x80, 0x80});
    QTest::newRow("a lone continuation byte next to valid text is escaped")
        << QByteArray("\xe4\xb8\xad\x80") << QStringLiteral("中") + escapes({0x80});
}

void TestFileNames::decoding()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, name);
    QCOMPARE(decodeFileName(raw), name);
    QCOMPARE(encodeFileName(name), raw);
    QCOMPARE(decodeFileName("/dir/" + raw), "/dir/" + name);
    QCOMPARE(encodeFileName("/dir/" + name), "/dir/" + raw);
}

void TestFileNames::encodable_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("encodable");

    QTest::newRow("a plain path") << "/home/u/a.txt" << true;
    QTest::newRow("a Chinese path") << QStringLiteral("/数据/一.txt") << true;
    QTest::newRow("a name that really holds U+FFFD")
        << QString("/x/") + QChar(0xfffd) + ".txt" << true;
    QTest::newRow("a character whose low surrogate looks like an escape")
        << QString::fromUcs4(U"/x/\U0001F480.txt") << true;
    QTest::newRow("an escaped byte") << "/x/a" + escapes({0xff}) + ".txt" << false;
    QTest::newRow("an escaped folder") << "/x" + escapes({0xfe}) + "/a.txt" << false;
    QTest::newRow("a lone high surrogate") << QString("/x/") + QChar(0xd83d) + ".txt" << false;
}

void TestFileNames::encodable()
{
    QFETCH(QString, path);
    QFETCH(bool, encodable);
    QCOMPARE(isEncodableFileName(path), encodable);
}

void TestFileNames::scanKeepsUndecodableNamesApart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path()) + '/';
    // Qt names both of these by the second; the second is binary, the first text.
    QVERIFY(writeRaw(root + "note\xff", "plain text\n"));
    QVERIFY(writeRaw(root + "note" + replacementBytes, pngBytes));
    QVERIFY(writeRaw(root + "pair\xfe.txt", "x\n"));
    QVERIFY(writeRaw(root + "pair" + replacementBytes + ".txt", "y\n"));

    PathList list;
    scanTextFiles(dir.path(), list, false);
    const QString escapedNote = dir.filePath("note" + escapes({0xff}));
    const QString escapedPair = dir.filePath("pair" + escapes({0xfe}) + ".txt");
    const QString realPair = dir.filePath(QString("pair") + QChar(0xfffd) + ".txt");
    // Escapes sort after CJK and before U+FFFD, as their code units do.
    QCOMPARE(list.paths(), (QStringList {escapedNote, escapedPair, realPair}));
    QCOMPARE(encodeFileName(escapedPair), root + "pair\xfe.txt");
    QVERIFY(!isEncodableFileName(escapedNote));
    QVERIFY(isEncodableFileName(realPair));

    // A second scan finds the same names again rather than new ones.
    int duplicates = 0;
    scanTextFiles(dir.path(), list, false, [&] { ++duplicates; });
    QCOMPARE(list.size(), 3);
    QCOMPARE(duplicates, 3);
}

void TestFileNames::scanEntersFoldersWithUndecodableNames()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path()) + '/';
    QCOMPARE(::mkdir((root + "sub\xfe").constData(), 0755), 0);
    QVERIFY(writeRaw(root + "sub\xfe/inner\xff.txt", "x\n"));
    QVERIFY(writeRaw(root + "sub\xfe/.hidden\xff.txt", "x\n"));
    QCOMPARE(::symlink("sub\xfe", (root + "link\xfd").constData()), 0);

    PathList list;
    scanTextFiles(dir.path(), list, false);
    // The link comes first by name, and the folder is not scanned twice.
    QCOMPARE(list.paths(),
        QStringList {dir.filePath("link" + escapes({0xfd}) + "/inner" + escapes({0xff}) + ".txt")});

    list.clear();
    scanTextFiles(dir.filePath("sub" + escapes({0xfe})), list, false);
    QCOMPARE(list.paths(),
        QStringList {dir.filePath("sub" + escapes({0xfe}) + "/inner" + escapes({0xff}) + ".txt")});
}

void TestFileNames::droppedUrls_data()
{
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<QString>("path");

    QTest::newRow("a plain file URL gives its path")
        << QByteArray("file:///tmp/a%20b.txt") << "/tmp/a b.txt";
    QTest::newRow("percent-encoded UTF-8 gives its text")
        << QByteArray("file:///tmp/%E4%B8%AD.txt") << QStringLiteral("/tmp/中.txt");
    QTest::newRow("the real bytes of U+FFFD give U+FFFD")
        << QByteArray("file:///tmp/%EF%BF%BD.txt") << QString("/tmp/") + QChar(0xfffd) + ".txt";
    QTest::newRow("an undecodable byte gives its escape")
        << QByteArray("file:///tmp/a%FF.txt") << "/tmp/a" + escapes({0xff}) + ".txt";
    QTest::newRow("a URL that is no local file gives nothing")
        << QByteArray("https://example.com/a.txt") << QString();
}

void TestFileNames::droppedUrls()
{
    QFETCH(QByteArray, url);
    QFETCH(QString, path);
    QCOMPARE(localPathFromUrl(QUrl::fromEncoded(url)), path);
}

void TestFileNames::commandLineArguments()
{
    const char *const argv[]
        = {"yihuan-cli", "--list", "/tmp/a\xff.txt", "/tmp/\xe4\xb8\xad\xef\xbf\xbd.txt"};
    QCOMPARE(argumentsFromArgv(4, argv),
        (QStringList {"yihuan-cli", "--list", "/tmp/a" + escapes({0xff}) + ".txt",
            QStringLiteral("/tmp/中") + QChar(0xfffd) + ".txt"}));
}

void TestFileNames::runTempFilesAreNeverListed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // What a run killed between writing and renaming leaves next to the original.
    const QString original = dir.filePath(QStringLiteral("a.txt"));
    const QString left
        = dir.filePath(tempFileName(QStringLiteral("a.txt"), QStringLiteral("x7Kq2Z")));
    for (const QString &path : {original, left}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("text\n") == 5);
    }

    PathList list;
    scanTextFiles(dir.path(), list, false);
    QCOMPARE(list.paths(), QStringList {original});
    QVERIFY(isRunTempFile(left));
    QVERIFY(!isRunTempFile(original));
    QCOMPARE(classifyPath(left), PathKind::Unsupported);
    QCOMPARE(classifyPath(original), PathKind::TextFile);
}

QTEST_GUILESS_MAIN(TestFileNames)
#include "tst_filenames.moc"
