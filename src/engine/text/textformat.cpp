#include "engine/text/textformat.h"

#include "engine/base/largepages.h"
#include "engine/text/encodingdetection.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <QTextCodec>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace {

// Text goes through the codecs in blocks, which the allocator recycles: on a large
// file, fresh memory costs more than the decoding itself.
constexpr qint64 DecodeBlock = 32 * 1024; // bytes
constexpr qsizetype EncodeBlock = 16 * 1024; // characters

constexpr qint64 MaxChars = (std::numeric_limits<int>::max() - 64) / 2;

struct ByteOrderMark
{
    const char *bytes;
    int size;
    const char *codec;
};

// UTF-32LE first: its mark starts with the UTF-16LE one.
constexpr ByteOrderMark Marks[] = {
    {"\xEF\xBB\xBF", 3, "UTF-8"},
    {"\xFF\xFE\x00\x00", 4, "UTF-32LE"},
    {"\x00\x00\xFE\xFF", 4, "UTF-32BE"},
    {"\xFF\xFE", 2, "UTF-16LE"},
    {"\xFE\xFF", 2, "UTF-16BE"},
};

const ByteOrderMark *markOf(const QByteArray &bytes)
{
    for (const ByteOrderMark &mark : Marks) {
        if (bytes.size() >= mark.size
            && std::memcmp(bytes.constData(), mark.bytes, size_t(mark.size)) == 0)
            return &mark;
    }
    return nullptr;
}

const ByteOrderMark *markFor(const TextEncoding &encoding)
{
    for (const ByteOrderMark &mark : Marks) {
        if (QTextCodec::codecForName(mark.codec) == encoding.codec())
            return &mark;
    }
    return nullptr;
}

TextEncoding encodingNamed(const char *name)
{
    return TextEncoding::fromName(QString::fromLatin1(name)).value_or(TextEncoding::utf8());
}

// Qt's UTF-8 decoder reports every bad or unfinished sequence, and UTF-16 maps code
// units one to one. Any other codec can lose bytes without a word (ICU's report
// nothing; Qt's UTF-32 lets invalid code points through): only an exact round trip
// shows that nothing was lost.
bool needsRoundTrip(const QTextCodec *codec)
{
    switch (codec->mibEnum()) {
    case 106: // UTF-8
    case 1013: // UTF-16BE
    case 1014: // UTF-16LE
        return false;
    default:
        return true;
    }
}

// Appends decoded pieces to a text, turning each "\r\n" and lone '\r' into '\n' or
// leaving them as they are, and counts the kinds of break it meets on the way, also
// where a piece ends between '\r' and '\n'.
class BreakFolder
{
public:
    explicit BreakFolder(bool fold)
        : m_fold(fold)
    {
    }

    void append(QString *text, QStringView part)
    {
        const int size = text->size();
        text->resize(size + int(part.size()));
        QChar *to = text->data() + size;
        const QChar *from = part.data();
        const QChar *const end = from + part.size();
        if (m_afterCr && from < end) {
            m_afterCr = false;
            from = afterCr(from, &to);
        }
        while (from < end) {
            const qsizetype cr = QStringView(from, end).indexOf(QLatin1Char('\r'));
            const QChar *const stop = cr < 0 ? end : from + cr;
            m_lf += std::count(reinterpret_cast<const ushort *>(from),
                reinterpret_cast<const ushort *>(stop), ushort('\n'));
            to = std::copy(from, stop, to);
            if (stop == end)
                break;
            *to++ = m_fold ? QLatin1Char('\n') : QLatin1Char('\r');
            from = stop + 1;
            if (from == end)
                m_afterCr = true;
            else
                from = afterCr(from, &to);
        }
        text->resize(int(to - text->constData()));
    }

    LineBreaks breaks() const
    {
        const qint64 cr = m_cr + (m_afterCr ? 1 : 0);
        const int kinds = (m_lf > 0) + (m_crLf > 0) + (cr > 0);
        if (kinds > 1)
            return LineBreaks::Mixed;
        if (m_crLf > 0)
            return LineBreaks::CrLf;
        return cr > 0 ? LineBreaks::Cr : LineBreaks::Lf;
    }

private:
    // from is the character after a '\r'.
    const QChar *afterCr(const QChar *from, QChar **to)
    {
        if (*from != QLatin1Char('\n')) {
            ++m_cr;
            return from;
        }
        ++m_crLf;
        if (!m_fold)
            *(*to)++ = *from;
        return from + 1;
    }

    bool m_fold;
    bool m_afterCr = false;
    qint64 m_lf = 0;
    qint64 m_crLf = 0;
    qint64 m_cr = 0;
};

enum class Outcome { Decoded, Invalid, Binary };

// Qt's UTF-16 decoder passes an unpaired surrogate through as it is; such a file is
// not valid UTF-16, however exactly it would round-trip.
bool pairsSurrogates(const QString &text)
{
    const QChar *p = text.constData();
    const QChar *const end = p + text.size();
    for (; p < end; ++p) {
        if (!p->isSurrogate())
            continue;
        if (!p->isHighSurrogate() || p + 1 == end || !p[1].isLowSurrogate())
            return false;
        ++p;
    }
    return true;
}

Outcome decodeWith(const TextEncoding &encoding, const char *data, qint64 size, bool fold,
    QString *text, LineBreaks *breaks)
{
    QTextCodec *const codec = encoding.codec();
    const bool wide = encoding.isWide();
    const bool roundTrip = needsRoundTrip(codec);
    text->clear();
    text->reserve(int(std::min<qint64>(MaxChars, wide ? size / 2 + 1 : size)));
    adviseLargePages(text->data(), size_t(text->capacity()) * sizeof(QChar));

    BreakFolder folder(fold);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    QTextCodec::ConverterState back(QTextCodec::IgnoreHeader);
    qint64 matched = 0;
    for (qint64 at = 0; at < size; at += DecodeBlock) {
        const char *const block = data + at;
        const int n = int(std::min(DecodeBlock, size - at));
        if (!wide && std::memchr(block, 0, size_t(n)))
            return Outcome::Binary;
        const QString part = codec->toUnicode(block, n, &state);
        if (state.invalidChars != 0)
            return Outcome::Invalid;
        if (wide && part.contains(QChar(0)))
            return Outcome::Binary;
        if (roundTrip) {
            const QByteArray again = codec->fromUnicode(part.constData(), part.size(), &back);
            if (back.invalidChars != 0 || again.size() > size - matched
                || std::memcmp(again.constData(), data + matched, size_t(again.size())) != 0)
                return Outcome::Invalid;
            matched += again.size();
        }
        if (qint64(text->size()) + part.size() > MaxChars)
            throw std::bad_alloc();
        folder.append(text, part);
    }
    if (state.remainingChars != 0 || (roundTrip && matched != size)
        || (wide && !pairsSurrogates(*text)))
        return Outcome::Invalid;
    *breaks = folder.breaks();
    return Outcome::Decoded;
}

// Mixed breaks are rare: their text is decoded a second time rather than every text
// being checked for them first.
Outcome decodeKeeping(const TextEncoding &encoding, const char *data, qint64 size, bool keepFormat,
    QString *text, LineBreaks *breaks)
{
    Outcome outcome = decodeWith(encoding, data, size, true, text, breaks);
    if (outcome == Outcome::Decoded && keepFormat && *breaks == LineBreaks::Mixed)
        outcome = decodeWith(encoding, data, size, false, text, breaks);
    return outcome;
}

Reason reasonFor(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Decoded:
        return Reason::None;
    case Outcome::Binary:
        return Reason::Binary;
    case Outcome::Invalid:
        break;
    }
    return Reason::InvalidEncoding;
}

Reason decodeDetected(const QByteArray &bytes, bool keepFormat, QString *text, TextFormat *format)
{
    const char *const data = bytes.constData();
    const qint64 size = bytes.size();
    format->encoding = TextEncoding::utf8();
    if (std::memchr(data, 0, size_t(size))) {
        // Only UTF-16 or UTF-32 text holds a NUL.
        const std::optional<TextEncoding> proposal = proposedEncoding(bytes);
        if (proposal && proposal->isWide()
            && decodeKeeping(*proposal, data, size, keepFormat, text, &format->lineBreaks)
                == Outcome::Decoded) {
            format->encoding = *proposal;
            return proposal->isOffered() ? Reason::None : Reason::EncodingUncertain;
        }
        return Reason::Binary;
    }
    if (decodeKeeping(format->encoding, data, size, keepFormat, text, &format->lineBreaks)
        == Outcome::Decoded)
        return Reason::None;
    const Detection detection = detectNotUtf8(data, size, [&](const TextEncoding &encoding) {
        return decodeKeeping(encoding, data, size, keepFormat, text, &format->lineBreaks)
            == Outcome::Decoded;
    });
    format->encoding = detection.encoding.value_or(TextEncoding::utf8());
    if (!detection.valid)
        return Reason::EncodingNotRecognised;
    return format->encoding.isOffered() ? Reason::None : Reason::EncodingUncertain;
}

bool encodeWithCodec(
    const QString &text, QTextCodec *codec, bool wide, LineBreaks breaks, const ByteSink &sink)
{
    const int n = text.size();
    // ICU's codecs keep a final high surrogate to themselves, waiting for its pair.
    if (!wide && n > 0 && text.at(n - 1).isHighSurrogate())
        return false;
    const bool translate = breaks == LineBreaks::CrLf || breaks == LineBreaks::Cr;
    std::vector<QChar> buffer(translate ? size_t(2 * EncodeBlock) : 0);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QChar *p = text.constData();
    const QChar *const end = p + n;
    while (p < end) {
        const QChar *stop = p + std::min<qsizetype>(EncodeBlock, end - p);
        if (stop < end && stop[-1].isHighSurrogate())
            --stop;
        const QChar *from = p;
        qsizetype count = stop - p;
        if (translate) {
            QChar *to = buffer.data();
            while (p < stop) {
                const qsizetype line = QStringView(p, stop).indexOf(QLatin1Char('\n'));
                const QChar *const next = line < 0 ? stop : p + line;
                to = std::copy(p, next, to);
                p = next;
                if (p < stop) {
                    *to++ = QLatin1Char('\r');
                    if (breaks == LineBreaks::CrLf)
                        *to++ = QLatin1Char('\n');
                    ++p;
                }
            }
            from = buffer.data();
            count = to - buffer.data();
        }
        p = stop;
        const QByteArray part = codec->fromUnicode(from, int(count), &state);
        if (state.invalidChars != 0 || !sink(part.constData(), qint64(part.size())))
            return false;
    }
    return state.remainingChars == 0;
}

} // namespace

Reason decodeText(const QByteArray &bytes, const TextEncoding &choice, bool keepFormat,
    QString *text, TextFormat *format)
{
    *format = TextFormat();
    Reason reason;
    if (const ByteOrderMark *mark = markOf(bytes)) {
        format->encoding = encodingNamed(mark->codec);
        format->byteOrderMark = true;
        reason = reasonFor(decodeKeeping(format->encoding, bytes.constData() + mark->size,
            bytes.size() - mark->size, keepFormat, text, &format->lineBreaks));
    } else if (choice.isAutomatic()) {
        reason = decodeDetected(bytes, keepFormat, text, format);
    } else {
        format->encoding = choice;
        reason = reasonFor(decodeKeeping(
            choice, bytes.constData(), bytes.size(), keepFormat, text, &format->lineBreaks));
    }
    if (reason != Reason::None && reason != Reason::EncodingUncertain)
        text->clear();
    return reason;
}

Reason encodeText(
    const QString &text, const TextFormat &format, bool keepFormat, const ByteSink &sink)
{
    const TextEncoding encoding
        = format.encoding.isAutomatic() ? TextEncoding::utf8() : format.encoding;
    const LineBreaks breaks = keepFormat ? format.lineBreaks : LineBreaks::CrLf;
    bool refused = false;
    const ByteSink guarded = [&sink, &refused](const char *data, qint64 size) {
        refused = !sink(data, size);
        return !refused;
    };
    if (format.byteOrderMark && (keepFormat || encoding.isWide())) {
        const ByteOrderMark *mark = markFor(encoding);
        if (mark && !guarded(mark->bytes, mark->size))
            return Reason::WriteFailed;
    }
    const bool encoded = encoding.codec()->mibEnum() == 106
        ? encodeUtf8(text, breaks, guarded)
        : encodeWithCodec(text, encoding.codec(), encoding.isWide(), breaks, guarded);
    if (encoded)
        return Reason::None;
    return refused ? Reason::WriteFailed : Reason::Unencodable;
}

TextFormat writtenFormat(TextFormat read, const TextEncoding &choice, bool keepFormat)
{
    if (!keepFormat && !choice.isAutomatic()) {
        read.encoding = choice;
        read.byteOrderMark = false;
    }
    return read;
}
