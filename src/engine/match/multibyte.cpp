#include "engine/match/multibyte.h"

#include <QByteArray>
#include <QString>
#include <QTextCodec>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define YIHUAN_HAVE_SSE2_MULTIBYTE
#endif

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define YIHUAN_HAVE_AVX2_MULTIBYTE
#define AVX2 __attribute__((target("avx2,popcnt,bmi")))
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
    // Asked for every file of an automatic run: a lookup by name takes a shared lock.
    static const std::array<QTextCodec *, std::size(CodecNames)> named = [] {
        std::array<QTextCodec *, std::size(CodecNames)> codecs {};
        for (size_t i = 0; i < codecs.size(); ++i)
            codecs[i] = QTextCodec::codecForName(CodecNames[i]);
        return codecs;
    }();
    if (!codec)
        return nullptr;
    for (size_t i = 0; i < std::size(CodecNames); ++i) {
        if (named[i] != codec)
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
    // The vector check takes lead bytes, and the bytes that stand alone, as at most two
    // ranges each.
    const auto rangesOf = [](const auto &in) {
        std::vector<std::pair<uchar, uchar>> ranges;
        for (int c = 0; c < 256; ++c) {
            if (!in(c))
                continue;
            if (!ranges.empty() && ranges.back().second == c - 1)
                ranges.back().second = uchar(c);
            else
                ranges.emplace_back(uchar(c), uchar(c));
        }
        return ranges;
    };
    std::vector<bool> leads(256, false);
    for (uint pair = 0; pair < 65536; ++pair)
        leads[pair >> 8] = leads[pair >> 8] || bit(m_pairs, pair);
    m_leadRanges = rangesOf([&](int c) { return bool(leads[size_t(c)]); });
    m_aloneRanges = rangesOf([this](int c) { return m_single[c]; });
    if (m_leadRanges.size() > 2 || m_aloneRanges.size() > 2)
        m_leadRanges.clear();
    // Most lead bytes of these code pages take the same trail bytes: those are checked
    // by ranges, and only the pairs of the other lead bytes are looked up.
    std::vector<std::vector<bool>> trailsOf(256, std::vector<bool>(256, false));
    for (uint pair = 0; pair < 65536; ++pair)
        trailsOf[pair >> 8][pair & 0xFF] = bit(m_pairs, pair);
    std::vector<std::pair<std::vector<bool>, int>> sets;
    for (int lead = 0; lead < 256; ++lead) {
        if (!leads[size_t(lead)])
            continue;
        auto same = std::find_if(sets.begin(), sets.end(),
            [&](const auto &set) { return set.first == trailsOf[size_t(lead)]; });
        if (same == sets.end())
            sets.emplace_back(trailsOf[size_t(lead)], 1);
        else
            ++same->second;
    }
    if (!sets.empty()) {
        const std::vector<bool> &common
            = std::max_element(sets.begin(), sets.end(), [](const auto &a, const auto &b) {
                  return a.second < b.second;
              })->first;
        m_trailRanges = rangesOf([&](int c) { return bool(common[size_t(c)]); });
        const auto takesAll = [&](int lead) {
            for (int c = 0; c < 256; ++c) {
                if (common[size_t(c)] && !trailsOf[size_t(lead)][size_t(c)])
                    return false;
            }
            return true;
        };
        m_partialRanges = rangesOf([&](int c) { return leads[size_t(c)] && !takesAll(c); });
        m_allPartial = m_trailRanges.size() > 3 || m_partialRanges.size() > 2;
        if (m_trailRanges.size() > 3)
            m_trailRanges.clear();
    }
    m_step.assign(65536, 0);
    for (uint pair = 0; pair < 65536; ++pair) {
        const uint lead = pair >> 8;
        if (m_single[lead])
            m_step[pair] = 1;
        else if (bit(m_pairs, pair))
            m_step[pair] = 2;
        else if (m_fourByte && lead >= 0x81 && lead <= 0xFE && (pair & 0xFF) - '0' < 10)
            m_step[pair] = 4;
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

namespace {

// Counts line breaks and finds NUL bytes; none of them is ever part of a character here.
void countBreaks(const uchar *p, qsizetype n, Utf8Scan *scan)
{
    qsizetype i = 0;
#ifdef YIHUAN_HAVE_SSE2_MULTIBYTE
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    __m128i nul = zero;
    while (i + 17 <= n) {
        // Byte counters, added up before they can overflow.
        __m128i crs = zero;
        __m128i lfs = zero;
        __m128i pairs = zero;
        for (int round = 0; round < 255 && i + 17 <= n; ++round, i += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 1));
            const __m128i isCr = _mm_cmpeq_epi8(a, cr);
            crs = _mm_sub_epi8(crs, isCr);
            lfs = _mm_sub_epi8(lfs, _mm_cmpeq_epi8(a, lf));
            pairs = _mm_sub_epi8(pairs, _mm_and_si128(isCr, _mm_cmpeq_epi8(b, lf)));
            nul = _mm_or_si128(nul, _mm_cmpeq_epi8(a, zero));
        }
        const auto sum = [zero](__m128i v) {
            const __m128i s = _mm_sad_epu8(v, zero);
            return qsizetype(_mm_cvtsi128_si32(s)) + qsizetype(_mm_extract_epi16(s, 4));
        };
        scan->carriageReturns += sum(crs);
        scan->lineFeeds += sum(lfs);
        scan->crLfPairs += sum(pairs);
    }
    scan->hasNul = _mm_movemask_epi8(nul) != 0;
#endif
    for (; i < n; ++i) {
        if (p[i] == '\r') {
            ++scan->carriageReturns;
            scan->crLfPairs += i + 1 < n && p[i + 1] == '\n';
        } else if (p[i] == '\n') {
            ++scan->lineFeeds;
        } else if (p[i] == 0) {
            scan->hasNul = true;
        }
    }
}

} // namespace

qsizetype MultiByteTable::steps(const uchar *p, qsizetype size, qsizetype q, qsizetype limit) const
{
    const uchar *const step = m_step.data();
    while (q < limit) {
        if (q == size - 1)
            return m_single[p[q]] ? size : -1;
        const uchar s = step[(uint(p[q]) << 8) | p[q + 1]];
        if (s == 1 || s == 2)
            q += s;
        else if (s == 4 && size - q >= 4 && fourValid(p + q))
            q += 4;
        else
            return -1;
    }
    return q;
}

#ifdef YIHUAN_HAVE_SSE2_MULTIBYTE

namespace {

quint64 inRanges(const uchar *p, const std::vector<std::pair<uchar, uchar>> &ranges)
{
    quint64 mask = 0;
    for (int part = 0; part < 4; ++part) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * part));
        __m128i in = _mm_setzero_si128();
        for (const auto &range : ranges) {
            const __m128i above
                = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(char(range.first))), v);
            const __m128i below
                = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(char(range.second))), v);
            in = _mm_or_si128(in, _mm_and_si128(above, below));
        }
        mask |= quint64(quint16(_mm_movemask_epi8(in))) << (16 * part);
    }
    return mask;
}

} // namespace

// Sixty-four bytes at a time from a character's start: where a run of lead bytes starts
// tells which of them lead a pair (every other one), so the pairs are checked without
// stepping from one character to the next.
qsizetype MultiByteTable::blocks(const uchar *p, qsizetype size) const
{
    constexpr quint64 Even = 0x5555555555555555ull;
    qsizetype q = 0;
    while (size - q >= 64) {
        const quint64 lead = inRanges(p + q, m_leadRanges);
        const quint64 alone = inRanges(p + q, m_aloneRanges);
        const quint64 starts = lead & ~(lead << 1);
        const quint64 evenRuns = (((starts & Even) + lead) ^ lead) & lead;
        const quint64 leads = (evenRuns & Even) | (lead & ~evenRuns & ~Even);
        // A pair reaching past the block is left to the next one.
        const quint64 last = leads >> 63;
        const quint64 own = leads & ~(last << 63);
        const quint64 trails = own << 1;
        if (m_fourByte && (trails & inRanges(p + q, {{'0', '9'}}))) {
            q = steps(p, size, q, q + 64);
            if (q < 0)
                return -1;
            continue;
        }
        if (~alone & ~own & ~trails & ~(last << 63))
            return -1;
        bool pairs = true;
        for (quint64 m = own; m; m &= m - 1) {
            const qsizetype b = q + qCountTrailingZeroBits(m);
            pairs &= m_step[(uint(p[b]) << 8) | p[b + 1]] == 2;
        }
        if (!pairs)
            return -1;
        q += 64 - qsizetype(last);
    }
    return q;
}

#endif

#ifdef YIHUAN_HAVE_AVX2_MULTIBYTE

namespace {

// Up to three byte ranges, each tested by one addition and one signed comparison.
class RangeTest
{
public:
    AVX2 explicit RangeTest(const std::vector<std::pair<uchar, uchar>> &ranges)
        : count(int(std::min<size_t>(ranges.size(), 3)))
    {
        for (int i = 0; i < count; ++i) {
            const auto [low, high] = ranges[size_t(i)];
            // v - low + 0x80, as a signed byte, is below high - low - 127 exactly when v
            // lies in the range (an empty or full range never comes here).
            offset[i] = _mm256_set1_epi8(char(0x80 - low));
            bound[i] = _mm256_set1_epi8(char(high - low - 127));
        }
    }

    AVX2 quint64 operator()(__m256i a, __m256i b) const
    {
        __m256i inA = _mm256_setzero_si256();
        __m256i inB = _mm256_setzero_si256();
        for (int i = 0; i < count; ++i) {
            inA = _mm256_or_si256(inA, _mm256_cmpgt_epi8(bound[i], _mm256_add_epi8(a, offset[i])));
            inB = _mm256_or_si256(inB, _mm256_cmpgt_epi8(bound[i], _mm256_add_epi8(b, offset[i])));
        }
        return quint64(quint32(_mm256_movemask_epi8(inA)))
            | quint64(quint32(_mm256_movemask_epi8(inB))) << 32;
    }

private:
    int count;
    __m256i offset[3];
    __m256i bound[3];
};

AVX2 quint64 equalTo(__m256i a, __m256i b, char c)
{
    const __m256i v = _mm256_set1_epi8(c);
    return quint64(quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, v))))
        | quint64(quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, v)))) << 32;
}

AVX2 quint64 below(int n)
{
    return n >= 64 ? ~quint64(0) : (quint64(1) << n) - 1;
}

} // namespace

// Sixty-four bytes at a time from a character's start. In a run of lead bytes every
// other one leads a pair, counted from the run's start; the trail bytes of most pairs
// are checked by ranges, the rest looked up. GB18030's four-byte characters show as two
// pairs whose trail is a digit, each checked whole.
AVX2 qsizetype MultiByteTable::blocksAvx2(const uchar *p, qsizetype size, Utf8Scan *scan) const
{
    constexpr quint64 Even = 0x5555555555555555ull;
    const RangeTest leadTest(m_leadRanges);
    const RangeTest aloneTest(m_aloneRanges);
    const RangeTest trailTest(m_trailRanges);
    const RangeTest partialTest(m_partialRanges);
    const RangeTest digitTest({{'0', '9'}});
    const bool partialLeads = !m_partialRanges.empty();
    const uchar *const step = m_step.data();
    quint64 crBefore = 0;
    bool nul = false;
    qsizetype q = 0;
    while (size - q >= 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + q));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + q + 32));
        const quint64 lead = leadTest(a, b);
        const quint64 starts = lead & ~(lead << 1);
        const quint64 evenRuns = (((starts & Even) + lead) ^ lead) & lead;
        const quint64 leads = (evenRuns & Even) | (lead & ~evenRuns & ~Even);
        // A character reaching past the block is left to the next one.
        int limit = leads >> 63 ? 63 : 64;
        quint64 own = leads & below(limit);
        quint64 fours = 0;
        if (m_fourByte) {
            quint64 open = own & (digitTest(a, b) >> 1);
            while (open) {
                const int x = int(qCountTrailingZeroBits(open));
                if (x > 60) {
                    limit = x;
                    break;
                }
                if (!fourValid(p + q + x))
                    return -1;
                const quint64 both = (quint64(1) << x) | (quint64(1) << (x + 2));
                fours |= both;
                open &= ~both;
            }
            own &= below(limit);
        }
        const quint64 keep = below(limit);
        const quint64 trails = own << 1;
        if (~aloneTest(a, b) & ~own & ~trails & keep)
            return -1;
        quint64 lookUp = own & ~fours;
        if (!m_allPartial) {
            lookUp &= ~(trailTest(a, b) >> 1) | (partialLeads ? partialTest(a, b) : 0);
        }
        for (; lookUp; lookUp &= lookUp - 1) {
            const qsizetype at = q + qsizetype(qCountTrailingZeroBits(lookUp));
            if (step[(uint(p[at]) << 8) | p[at + 1]] != 2)
                return -1;
        }
        const quint64 cr = equalTo(a, b, '\r') & keep;
        const quint64 lf = equalTo(a, b, '\n') & keep;
        nul = nul || (equalTo(a, b, 0) & keep);
        scan->carriageReturns += qPopulationCount(cr);
        scan->lineFeeds += qPopulationCount(lf);
        scan->crLfPairs += qPopulationCount(((cr << 1) | crBefore) & lf);
        crBefore = (cr >> (limit - 1)) & 1;
        q += limit;
    }
    scan->hasNul = scan->hasNul || nul;
    return q;
}

#endif

Utf8Scan MultiByteTable::scan(const char *data, qsizetype size) const
{
#ifdef YIHUAN_HAVE_AVX2_MULTIBYTE
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")
        && __builtin_cpu_supports("bmi");
    if (avx2 && !m_leadRanges.empty()) {
        const auto *p = reinterpret_cast<const uchar *>(data);
        Utf8Scan scan;
        qsizetype q = blocksAvx2(p, size, &scan);
        // The rest, or from where the bytes went wrong: a NUL there still makes the file
        // binary rather than invalid, and the breaks are counted to the end all the same.
        const qsizetype rest = q < 0 ? 0 : q;
        if (q < 0) {
            scan = Utf8Scan();
        }
        Utf8Scan tail;
        countBreaks(p + rest, size - rest, &tail);
        scan.carriageReturns += tail.carriageReturns;
        scan.lineFeeds += tail.lineFeeds;
        scan.crLfPairs
            += tail.crLfPairs + (rest > 0 && rest < size && p[rest - 1] == '\r' && p[rest] == '\n');
        scan.hasNul = scan.hasNul || tail.hasNul;
        scan.valid = q >= 0 && steps(p, size, q, size) >= 0;
        return scan;
    }
#endif
    Utf8Scan scan;
    const auto *p = reinterpret_cast<const uchar *>(data);
    countBreaks(p, size, &scan);
    qsizetype q = 0;
#ifdef YIHUAN_HAVE_SSE2_MULTIBYTE
    if (!m_leadRanges.empty())
        q = blocks(p, size);
#endif
    scan.valid = q >= 0 && steps(p, size, q, size) >= 0;
    return scan;
}

Utf8Scan MultiByteTable::scanScalar(const char *data, qsizetype size) const
{
    Utf8Scan scan;
    const auto *p = reinterpret_cast<const uchar *>(data);
    for (qsizetype i = 0; i < size; ++i) {
        if (p[i] == '\r') {
            ++scan.carriageReturns;
            scan.crLfPairs += i + 1 < size && p[i + 1] == '\n';
        } else if (p[i] == '\n') {
            ++scan.lineFeeds;
        } else if (p[i] == 0) {
            scan.hasNul = true;
        }
    }
    scan.valid = steps(p, size, 0, size) >= 0;
    return scan;
}

void MultiByteChars::prepare(const char *s, qsizetype n)
{
    bounds.assign(size_t(n >> 6) + 1, 0);
    const auto *u = reinterpret_cast<const uchar *>(s);
    for (qsizetype q = 0; q < n; q += t->length(u + q))
        bounds[size_t(q >> 6)] |= quint64(1) << (q & 63);
}

void MultiByteChars::fold(const char *in, qsizetype n, char *out) const
{
    const auto *u = reinterpret_cast<const uchar *>(in);
    qsizetype q = 0;
    while (q < n) {
        // A character cut off at the end is copied as it is.
        const qsizetype length = n - q == 1 ? 1 : std::min<qsizetype>(t->length(u + q), n - q);
        if (length == 1 && in[q] >= 'A' && in[q] <= 'Z')
            out[q] = char(in[q] | 0x20);
        else
            std::memcpy(out + q, in + q, size_t(length));
        q += length;
    }
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
