#include "codectables.h"
#include "engine/text/textencoding.h"

#include <QProcess>
#include <QtEndian>
#include <QtTest>

#include <optional>

// Qt 6 reads and writes every offered encoding through Core5Compat's codecs: each must
// give, over every code point and byte sequence, exactly the bytes and text Qt 5's
// codecs gave, since files, the byte path and saved settings rest on them.
class CodecTablesTest : public QObject
{
    Q_OBJECT

private slots:
    void sameAsQt5_data();
    void sameAsQt5();
};

namespace {

QList<QByteArray> records(const QByteArray &table)
{
    QList<QByteArray> list;
    for (qsizetype at = 0; at + 4 <= table.size();) {
        const quint32 size = qFromLittleEndian<quint32>(table.constData() + at);
        list.append(table.mid(at + 4, size));
        at += 4 + qsizetype(size);
    }
    return list;
}

// Where record i of a table starts: a code point, a byte or pair of bytes, or the first
// two bytes of GB18030's four-byte sequences.
QString whereRecord(CodecTable table, qsizetype i)
{
    switch (table) {
    case CodecTable::Encode:
    case CodecTable::Decode: {
        // Blocks of 256 code points; the surrogates' eight blocks are left out.
        const qsizetype block = i < 0xD8 ? i : i + 8;
        return QStringLiteral("U+%1").arg(block * 256, 4, 16, QLatin1Char('0')).toUpper();
    }
    case CodecTable::Pairs:
        return i % 257 == 0 ? QStringLiteral("byte %1").arg(i / 257, 2, 16, QLatin1Char('0'))
                            : QStringLiteral("bytes %1 %2")
                                  .arg(i / 257, 2, 16, QLatin1Char('0'))
                                  .arg(i % 257 - 1, 2, 16, QLatin1Char('0'));
    case CodecTable::FourBytes:
        return QStringLiteral("bytes %1 %2 ..")
            .arg(0x81 + i / 10, 2, 16, QLatin1Char('0'))
            .arg(0x30 + i % 10, 2, 16, QLatin1Char('0'));
    }
    return QString();
}

} // namespace

void CodecTablesTest::sameAsQt5_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<int>("tableIndex");

    // GBK is offered as ANSI under a GBK locale and as GB2312, and the byte path uses it.
    QStringList encodings = TextEncoding::choiceNames();
    encodings.removeAll(TextEncoding::automatic().name());
    encodings.append(QStringLiteral("GBK"));
    for (const QString &encoding : encodings) {
        QTest::addRow("%s: every code point encoded", qPrintable(encoding))
            << encoding << int(CodecTable::Encode);
        QTest::addRow("%s: every code point's bytes decoded", qPrintable(encoding))
            << encoding << int(CodecTable::Decode);
        QTest::addRow("%s: every byte and pair of bytes decoded", qPrintable(encoding))
            << encoding << int(CodecTable::Pairs);
    }
    QTest::addRow("GB18030: every four-byte sequence decoded")
        << QStringLiteral("GB18030") << int(CodecTable::FourBytes);
}

void CodecTablesTest::sameAsQt5()
{
    QFETCH(QString, encoding);
    QFETCH(int, tableIndex);
    const auto table = CodecTable(tableIndex);

    QProcess reference;
    reference.start(QStringLiteral(YIHUAN_CODEC_REFERENCE),
        {encoding, QString::fromLatin1(codecTableName(table))});
    QVERIFY2(reference.waitForFinished(-1), qPrintable(reference.errorString()));
    QCOMPARE(reference.exitStatus(), QProcess::NormalExit);
    QCOMPARE(reference.exitCode(), 0);
    QList<QByteArray> expected = records(reference.readAllStandardOutput());
    QVERIFY(!expected.isEmpty());
    const QByteArray expectedCodec = expected.takeFirst();

    const std::optional<TextEncoding> chosen = TextEncoding::fromName(encoding);
    QVERIFY(chosen && !chosen->isAutomatic());
    QCOMPARE(chosen->codec()->name(), expectedCodec);
    const QList<QByteArray> actual = records(codecTable(chosen->codec(), table));
    QCOMPARE(actual.size(), expected.size());

    QStringList differences;
    for (qsizetype i = 0; i < actual.size(); ++i) {
        const QByteArray &mine = actual.at(i);
        const QByteArray &theirs = expected.at(i);
        if (mine == theirs)
            continue;
        qsizetype from = 0;
        while (from < mine.size() && from < theirs.size() && mine.at(from) == theirs.at(from))
            ++from;
        differences.append(QStringLiteral("%1, from its byte %2: Qt 5 %3, here %4")
                               .arg(whereRecord(table, i))
                               .arg(from)
                               .arg(QString::fromLatin1(theirs.mid(from, 12).toHex(' ')),
                                   QString::fromLatin1(mine.mid(from, 12).toHex(' '))));
    }
    QVERIFY2(differences.isEmpty(),
        qPrintable(QStringLiteral("%1 of %2 differ, from %3")
                       .arg(differences.size())
                       .arg(actual.size())
                       .arg(differences.mid(0, 8).join(QStringLiteral("; ")))));
}

QTEST_GUILESS_MAIN(CodecTablesTest)
#include "tst_codectables.moc"
