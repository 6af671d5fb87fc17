#include "engine/text/textencoding.h"

#include <QTextCodec>
#include <QtTest>

class TestTextEncoding : public QObject
{
    Q_OBJECT

private slots:
    void choices();
    void fromName_data();
    void fromName();
};

// Settings store the index of a choice: the first two never change their meaning.
void TestTextEncoding::choices()
{
    const QStringList names = TextEncoding::choiceNames();
    QCOMPARE(names.size(), 10);
    QCOMPARE(TextEncoding::fromChoice(0), TextEncoding::utf8());
    QCOMPARE(TextEncoding::fromChoice(1), TextEncoding::systemCodePage());
    QVERIFY(TextEncoding::fromChoice(names.size() - 1)->isAutomatic());
    QVERIFY(!TextEncoding::fromChoice(-1));
    QVERIFY(!TextEncoding::fromChoice(names.size()));
    for (int i = 0; i < names.size(); ++i) {
        const std::optional<TextEncoding> choice = TextEncoding::fromChoice(i);
        QVERIFY2(choice, qPrintable(names.at(i)));
        QCOMPARE(TextEncoding::fromName(names.at(i).toLower()), choice);
        if (i != 1)
            QCOMPARE(choice->name(), names.at(i));
    }
}

void TestTextEncoding::fromName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected"); // empty: unknown

    QTest::newRow("auto on the command line is automatic") << "AUTO"
                                                           << "自动检测";
    QTest::newRow("UTF8 without its dash is UTF-8") << " utf8 "
                                                    << "UTF-8";
    QTest::newRow("GBK stays GBK, which has no emoji") << "gbk"
                                                       << "GBK";
    QTest::newRow("GB2312 is read as the GBK it is in practice") << "GB2312"
                                                                 << "GBK";
    QTest::newRow("Qt's name for EUC-KR shows as EUC-KR") << "windows-949"
                                                          << "EUC-KR";
    QTest::newRow("cp1252 is Windows-1252") << "cp1252"
                                            << "Windows-1252";
    QTest::newRow("UTF-16 without a byte order means little-endian") << "UTF-16"
                                                                     << "UTF-16LE";
    QTest::newRow("a name Qt knows but the list does not") << "KOI8-R"
                                                           << "KOI8-R";
    QTest::newRow("an unknown name") << "klingon"
                                     << "";
    QTest::newRow("nothing") << "  "
                             << "";
}

void TestTextEncoding::fromName()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    const std::optional<TextEncoding> encoding = TextEncoding::fromName(name);
    QCOMPARE(encoding ? encoding->name() : QString(), expected);
}

QTEST_GUILESS_MAIN(TestTextEncoding)
#include "tst_textencoding.moc"
