#include "engine/multibyte.h"

#include <QByteArray>
#include <QString>
#include <QTextCodec>

#include <array>
#include <memory>
#include <mutex>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define YIHUAN_HAVE_SSE2_MULTIBYTE
#endif

namespace {

constexpr const char *CodecNames[] = {"GBK", "GB18030", "Big5", "Shift_JIS", "EUC-KR"};
constexpr uint NoCharacter = 0xFFFFFFFF;

uint fourIndex(const uchar *p)
{
    return ((uint(p[0] - 0x81) * 10 + uint(p[1] - '0')) * 126 + uint(p[2] - 0x81)) * 10
        + uint(p[3] - '0');
}

bool fourShape(const uchar *p)
{
    return uchar(p[1] - '0') < 10 && p[2] >= 0x81 && p[2] <= 0xFE && uchar(p[3] - '0') < 10;
}

void setBit(std::vector<quint64> *bits, uint i)
{
    (*bits)[i >> 6] |= quint64(1) << (i & 63);
}

// Decodes many candidate sequences at once, each followed by '\n' (which none contains):
// points gets, for each, the one character it decodes to and that encodes back to the
// same bytes, or NoCharacter. False when the codec's output cannot be lined up with the
// candidates.
bool decodeEach(QTextCodec *codec, const QByteArray &joined, std::vector<uint> *points)
{
    QTextCodec::ConverterState in(QTextCodec::IgnoreHeader);
    const QString text = codec->toUnicode(joined.constData(), joined.size(), &in);
    points->clear();
    QString again;
    int from = 0;
    for (int nl = text.indexOf(QLatin1Char('\n')); nl >= 0;
         from = nl + 1, nl = text.indexOf(QLatin1Char('\n'), from)) {
        const QStringView piece(text.constData() + from, nl - from);
        uint point = NoCharacter;
        if (piece.size() == 1 && !piece.at(0).isSurrogate())
            point = piece.at(0).unicode();
        else if (piece.size() == 2 && piece.at(0).isHighSurrogate() && piece.at(1).isLowSurrogate())
            point = QChar::surrogateToUcs4(piece.at(0), piece.at(1));
        if (point != NoCharacter)
            again.append(piece);
        again.append(QLatin1Char('\n'));
        points->push_back(point);
    }
    if (from != text.size())
        return false;
    QTextCodec::ConverterState out(QTextCodec::IgnoreHeader);
    const QByteArray bytes = codec->fromUnicode(again.constData(), again.size(), &out);
    int b = 0;
    int j = 0;
    size_t i = 0;
    for (int nl = bytes.indexOf('\n'); nl >= 0; b = nl + 1, nl = bytes.indexOf('\n', b), ++i) {
        const int end = joined.indexOf('\n', j);
        if (i >= points->size() || end < 0)
            return false;
        if (nl - b != end - j
            || std::memcmp(bytes.constData() + b, joined.constData() + j, size_t(nl - b)) != 0)
            (*points)[i] = NoCharacter;
        j = end + 1;
    }
    return i == points->size();
}

} // namespace

const MultiByteTable *MultiByteTable::forCodec(QTextCodec *codec)
{
    static std::array<std::once_flag, std::size(CodecNames)> once;
    static std::array<std::unique_ptr<MultiByteTable>, std::size(CodecNames)> tables;
    if (!codec)
        return nullptr;
    for (size_t i = 0; i < std::size(CodecNames); ++i) {
        QTextCodec *const named = QTextCodec::codecForName(CodecNames[i]);
        if (named != codec)
            continue;
        std::call_once(once[i], [&] {
            std::unique_ptr<MultiByteTable> table(new MultiByteTable(codec));
            if (table->build())
                tables[i] = std::move(table);
        });
        return tables[i].get();
    }
    return nullptr;
}

MultiByteTable::MultiByteTable(QTextCodec *codec)
    : m_codec(codec)
    , m_fourByte(codec->mibEnum() == 114) // GB18030
{
}

bool MultiByteTable::build()
{
    std::vector<uint> points;
    QByteArray joined;
    for (int c = 0; c < 256; ++c) {
        if (c != '\n')
            joined.append(char(c));
        joined.append('\n');
    }
    if (!decodeEach(m_codec, joined, &points) || points.size() != 256)
        return false;
    points['\n'] = '\n';
    for (int c = 0; c < 256; ++c) {
        m_single[c] = points[size_t(c)] != NoCharacter;
        m_standalone[c] = m_single[c];
        m_singleClass[c] = m_single[c] ? uchar(wordClass(points[size_t(c)])) : 0;
    }
    m_asciiSingles = true;
    for (int c = 0; c < 0x80; ++c)
        m_asciiSingles = m_asciiSingles && m_single[c] && points[size_t(c)] == uint(c);

    joined.clear();
    for (int lead = 0x80; lead < 256; ++lead) {
        for (int trail = 0; trail < 256; ++trail) {
            if (trail == '\n')
                continue;
            joined.append(char(lead)).append(char(trail)).append('\n');
        }
    }
    if (!decodeEach(m_codec, joined, &points))
        return false;
    size_t at = 0;
    for (uint lead = 0x80; lead < 256; ++lead) {
        for (uint trail = 0; trail < 256; ++trail) {
            if (trail == '\n')
                continue;
            const uint point = points[at++];
            if (point == NoCharacter)
                continue;
            // A character's length has to be told by its first bytes.
            if (m_single[lead] || (m_fourByte && trail - '0' < 10))
                return false;
            setBit(&m_pairs, (lead << 8) | trail);
            if (wordClass(point) == 3)
                setBit(&m_ideographs, (lead << 8) | trail);
            else if (wordClass(point) != 0)
                return false;
            m_standalone[trail] = false;
        }
    }

    if (m_fourByte) {
        joined.clear();
        uchar q[4];
        for (q[0] = 0x81; q[0] <= 0x84; ++q[0])
            for (q[1] = '0'; q[1] <= '9'; ++q[1])
                for (q[2] = 0x81; q[2] <= 0xFE; ++q[2])
                    for (q[3] = '0'; q[3] <= '9'; ++q[3])
                        joined.append(reinterpret_cast<const char *>(q), 4).append('\n');
        if (!decodeEach(m_codec, joined, &points))
            return false;
        m_fourBmp.assign(points.size() / 64 + 1, 0);
        for (size_t i = 0; i < points.size(); ++i) {
            if (points[i] == NoCharacter)
                continue;
            if (wordClass(points[i]) != 0)
                return false;
            setBit(&m_fourBmp, uint(i));
        }
        // The planes beyond the first follow one another from 0x90308130 on: check the
        // ends of that stretch and each side of them.
        const QByteArray ends("\x90\x30\x81\x30\n\xE3\x32\x9A\x35\n\xE3\x32\x9A\x36\n"
                              "\x8F\x39\xFE\x39\n",
            20);
        if (!decodeEach(m_codec, ends, &points) || points.size() != 4 || points[0] != 0x10000
            || points[1] != 0x10FFFF || points[2] != NoCharacter || points[3] != NoCharacter)
            return false;
        for (int c = '0'; c <= '9'; ++c)
            m_standalone[c] = false;
        for (int c = 0x81; c <= 0xFE; ++c)
            m_standalone[c] = false;
    }
    return true;
}

bool MultiByteTable::fourValid(const uchar *p) const
{
    if (!fourShape(p))
        return false;
    if (p[0] >= 0x81 && p[0] <= 0x84)
        return bit(m_fourBmp, fourIndex(p));
    if (p[0] < 0x90 || p[0] > 0xE3)
        return false;
    const uint index = fourIndex(p) - 15 * 10 * 126 * 10; // from 0x90308130
    return index <= 0x10FFFF - 0x10000;
}

Utf8Scan MultiByteTable::scan(const char *data, qsizetype size) const
{
    Utf8Scan scan;
    const auto *p = reinterpret_cast<const uchar *>(data);
    const uchar *const end = p + size;
    bool afterCr = false;
    while (p < end) {
#ifdef YIHUAN_HAVE_SSE2_MULTIBYTE
        if (m_asciiSingles && end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            if (_mm_movemask_epi8(v) == 0) {
                const quint32 crs
                    = quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
                const quint32 lfs
                    = quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
                if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())))
                    scan.hasNul = true;
                scan.carriageReturns += qPopulationCount(crs);
                scan.lineFeeds += qPopulationCount(lfs);
                scan.crLfPairs += qPopulationCount(((crs << 1) | quint32(afterCr)) & lfs);
                afterCr = (crs >> 15) & 1;
                p += 16;
                continue;
            }
        }
#endif
        const uchar c = *p;
        if (c < 0x80 || m_single[c]) {
            if (!m_single[c]) {
                scan.valid = false;
                break;
            }
            if (c == '\n') {
                ++scan.lineFeeds;
                scan.crLfPairs += afterCr;
            } else if (c == 0) {
                scan.hasNul = true;
            } else if (c == '\r') {
                ++scan.carriageReturns;
            }
            afterCr = c == '\r';
            ++p;
            continue;
        }
        const int length = validLength(p, end - p);
        if (length == 0) {
            scan.valid = false;
            break;
        }
        afterCr = false;
        p += length;
    }
    if (!scan.valid && !scan.hasNul)
        scan.hasNul = std::memchr(p, 0, size_t(end - p)) != nullptr;
    return scan;
}

void MultiByteChars::prepare(const char *s, qsizetype n)
{
    bounds.assign(size_t(n >> 6) + 1, 0);
    const auto *u = reinterpret_cast<const uchar *>(s);
    for (qsizetype q = 0; q < n; q += t->length(u + q))
        bounds[size_t(q >> 6)] |= quint64(1) << (q & 63);
}

bool MultiByteChars::Starts::operator()(const char *s, qsizetype p, qsizetype k)
{
    const auto *u = reinterpret_cast<const uchar *>(s);
    // A long way back: start from the last standalone byte instead.
    if (p - known > 16) {
        for (qsizetype q = p - 1; q >= known; --q) {
            if (t->standalone(u[q])) {
                known = q + 1;
                break;
            }
        }
    }
    qsizetype q = known;
    qsizetype last = known;
    while (q < p) {
        last = q;
        q += t->length(u + q);
    }
    if (q == p) {
        known = p + k;
        return true;
    }
    known = last;
    return false;
}
