#pragma once

// Every code point and byte sequence an encoding holds, put through its codec as the engine
// does (a fresh ConverterState that ignores byte-order marks), recorded in a form that
// builds on Qt 5 and Qt 6 alike: tst_codectables compares the Qt 6 build's records with
// those of a program built on Qt 5's own codecs.
//
// Records: a quint32 length, then that many bytes. A decoding's record is the UTF-16 it
// gave followed by its invalid and left-over counts; an encoding's is the bytes followed by
// the invalid count.

#include <QByteArray>
#include <QString>
#include <QTextCodec>
#include <QtEndian>

#include <functional>

enum class CodecTable {
    // Every code point but surrogates, 256 at a time.
    Encode,
    // The bytes of each such block, decoded back.
    Decode,
    // Each byte and each pair of bytes on its own.
    Pairs,
    // GB18030's four-byte sequences, valid or not, by their first two bytes.
    FourBytes,
};

// "encode", "decode", "pairs", "four-bytes".
inline const char *codecTableName(CodecTable table)
{
    static const char *const names[] = {"encode", "decode", "pairs", "four-bytes"};
    return names[int(table)];
}

// Implementation details only, past this point.

namespace codectables {

inline void appendRecord(QByteArray &out, const QByteArray &record)
{
    char size[4];
    qToLittleEndian<quint32>(quint32(record.size()), size);
    out.append(size, 4);
    out.append(record);
}

inline QByteArray countsOf(const QTextCodec::ConverterState &state, bool withRemaining)
{
    char counts[8];
    qToLittleEndian<qint32>(state.invalidChars, counts);
    qToLittleEndian<qint32>(state.remainingChars, counts + 4);
    return QByteArray(counts, withRemaining ? 8 : 4);
}

inline QByteArray decoded(QTextCodec *codec, const QByteArray &bytes)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString text = codec->toUnicode(bytes.constData(), int(bytes.size()), &state);
    QByteArray record(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    return record + countsOf(state, true);
}

inline QByteArray encoded(QTextCodec *codec, const QString &text)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QByteArray bytes = codec->fromUnicode(text.constData(), int(text.size()), &state);
    return bytes + countsOf(state, false);
}

// Calls each(block) with the code points [first, first + 256), surrogates left out.
inline void forEachCodePointBlock(const std::function<void(const QString &)> &each)
{
    for (char32_t first = 0; first <= 0x10FFFF; first += 256) {
        QString block;
        for (char32_t c = first; c < first + 256; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF)
                continue;
            if (c > 0xFFFF) {
                block.append(QChar(QChar::highSurrogate(c)));
                block.append(QChar(QChar::lowSurrogate(c)));
            } else {
                block.append(QChar(ushort(c)));
            }
        }
        if (!block.isEmpty())
            each(block);
    }
}

} // namespace codectables

inline QByteArray codecTable(QTextCodec *codec, CodecTable table)
{
    using namespace codectables;
    QByteArray out;
    switch (table) {
    case CodecTable::Encode:
        forEachCodePointBlock(
            [&](const QString &block) { appendRecord(out, encoded(codec, block)); });
        break;
    case CodecTable::Decode:
        forEachCodePointBlock([&](const QString &block) {
            QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
            appendRecord(out,
                decoded(codec, codec->fromUnicode(block.constData(), int(block.size()), &state)));
        });
        break;
    case CodecTable::Pairs:
        for (int first = 0; first < 256; ++first) {
            appendRecord(out, decoded(codec, QByteArray(1, char(first))));
            for (int second = 0; second < 256; ++second)
                appendRecord(out, decoded(codec, QByteArray(1, char(first)) + char(second)));
        }
        break;
    case CodecTable::FourBytes:
        for (int b1 = 0x81; b1 <= 0xFE; ++b1) {
            for (int b2 = 0x30; b2 <= 0x39; ++b2) {
                QByteArray bytes;
                for (int b3 = 0x81; b3 <= 0xFE; ++b3) {
                    for (int b4 = 0x30; b4 <= 0x39; ++b4) {
                        const char sequence[] = {char(b1), char(b2), char(b3), char(b4)};
                        bytes.append(sequence, 4);
                    }
                }
                appendRecord(out, decoded(codec, bytes));
            }
        }
        break;
    }
    return out;
}
