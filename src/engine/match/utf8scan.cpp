#include "engine/match/utf8scan.h"

#include <QtAlgorithms>

#include <algorithm>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define YIHUAN_HAVE_AVX2_SCAN
#endif

namespace {

inline bool continuation(uchar c)
{
    return (c & 0xC0) == 0x80;
}

// Length of the well-formed sequence at p, or 0; the bounds are those of Unicode's
// table of well-formed byte sequences, which is what Qt's decoder accepts.
inline int sequenceLength(const uchar *p, const uchar *end)
{
    const uchar c = p[0];
    const qsizetype left = end - p;
    if (c < 0x80)
        return 1;
    if (c < 0xC2)
        return 0;
    if (c < 0xE0)
        return left >= 2 && continuation(p[1]) ? 2 : 0;
    if (c < 0xF0) {
        if (left < 3 || !continuation(p[2]))
            return 0;
        const uchar lo = c == 0xE0 ? 0xA0 : 0x80;
        const uchar hi = c == 0xED ? 0x9F : 0xBF;
        return p[1] >= lo && p[1] <= hi ? 3 : 0;
    }
    if (c < 0xF5) {
        if (left < 4 || !continuation(p[2]) || !continuation(p[3]))
            return 0;
        const uchar lo = c == 0xF0 ? 0x90 : 0x80;
        const uchar hi = c == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= lo && p[1] <= hi ? 4 : 0;
    }
    return 0;
}

void countBreaksScalar(const uchar *p, qsizetype size, Utf8Scan *scan)
{
    for (qsizetype i = 0; i < size; ++i) {
        if (p[i] == '\r') {
            ++scan->carriageReturns;
            if (i + 1 < size && p[i + 1] == '\n')
                ++scan->crLfPairs;
        } else if (p[i] == '\n') {
            ++scan->lineFeeds;
        } else if (p[i] == 0) {
            scan->hasNul = true;
        }
    }
}

#ifdef YIHUAN_HAVE_AVX2_SCAN

// Validation after Keiser and Lemire, "Validating UTF-8 in less than one instruction
// per byte": three table look-ups classify every pair of neighbouring bytes, and the
// lead bytes two and three back say where a continuation byte is required.
#define AVX2 __attribute__((target("avx2")))

constexpr uchar TooShort = 1 << 0;
constexpr uchar TooLong = 1 << 1;
constexpr uchar Overlong3 = 1 << 2;
constexpr uchar TooLarge = 1 << 3;
constexpr uchar Surrogate = 1 << 4;
constexpr uchar Overlong2 = 1 << 5;
constexpr uchar TooLarge1000 = 1 << 6;
constexpr uchar Overlong4 = 1 << 6;
constexpr uchar TwoConts = 1 << 7;
constexpr uchar Carry = TooShort | TooLong | TwoConts;

AVX2 inline __m256i table(const uchar (&t)[16])
{
    const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t));
    return _mm256_broadcastsi128_si256(half);
}

AVX2 inline __m256i highNibble(__m256i v)
{
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// The vector of bytes n places earlier, reaching into the previous block.
template<int N>
AVX2 inline __m256i previous(__m256i input, __m256i prior)
{
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(prior, input, 0x21), 16 - N);
}

struct Tables
{
    __m256i byte1High, byte1Low, byte2High;
};

AVX2 Tables makeTables()
{
    static const uchar b1h[16] = {TooLong, TooLong, TooLong, TooLong, TooLong, TooLong, TooLong,
        TooLong, TwoConts, TwoConts, TwoConts, TwoConts, TooShort | Overlong2, TooShort,
        TooShort | Overlong3 | Surrogate, TooShort | TooLarge | TooLarge1000 | Overlong4};
    static const uchar b1l[16] = {Carry | Overlong3 | Overlong2 | Overlong4, Carry | Overlong2,
        Carry, Carry, Carry | TooLarge, Carry | TooLarge | TooLarge1000,
        Carry | TooLarge | TooLarge1000, Carry | TooLarge | TooLarge1000,
        Carry | TooLarge | TooLarge1000, Carry | TooLarge | TooLarge1000,
        Carry | TooLarge | TooLarge1000, Carry | TooLarge | TooLarge1000,
        Carry | TooLarge | TooLarge1000, Carry | TooLarge | TooLarge1000 | Surrogate,
        Carry | TooLarge | TooLarge1000, Carry | TooLarge | TooLarge1000};
    static const uchar b2h[16] = {TooShort, TooShort, TooShort, TooShort, TooShort, TooShort,
        TooShort, TooShort, TooLong | Overlong2 | TwoConts | Overlong3 | TooLarge1000 | Overlong4,
        TooLong | Overlong2 | TwoConts | Overlong3 | TooLarge,
        TooLong | Overlong2 | TwoConts | Surrogate | TooLarge,
        TooLong | Overlong2 | TwoConts | Surrogate | TooLarge, TooShort, TooShort, TooShort,
        TooShort};
    return {table(b1h), table(b1l), table(b2h)};
}

AVX2 inline __m256i blockErrors(const Tables &t, __m256i input, __m256i prior)
{
    const __m256i prev1 = previous<1>(input, prior);
    const __m256i special = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(t.byte1High, highNibble(prev1)),
            _mm256_shuffle_epi8(t.byte1Low, _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
        _mm256_shuffle_epi8(t.byte2High, highNibble(input)));
    const __m256i third
        = _mm256_subs_epu8(previous<2>(input, prior), _mm256_set1_epi8(char(0xE0 - 0x80)));
    const __m256i fourth
        = _mm256_subs_epu8(previous<3>(input, prior), _mm256_set1_epi8(char(0xF0 - 0x80)));
    const __m256i required
        = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
    return _mm256_xor_si256(required, special);
}

AVX2 Utf8Scan scanAvx2(const uchar *p, qsizetype size)
{
    Utf8Scan scan;
    const Tables t = makeTables();
    // Bytes that could not end a block: a lead byte missing its continuation.
    const __m256i incompleteLimit = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, char(0xF0 - 1),
        char(0xE0 - 1), char(0xC0 - 1));
    const __m256i cr = _mm256_set1_epi8('\r');
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i zero = _mm256_setzero_si256();
    __m256i prior = zero;
    __m256i error = zero;
    __m256i incomplete = zero;
    quint32 crBefore = 0;
    bool nul = false;
    for (qsizetype i = 0; i < size; i += 32) {
        __m256i input;
        quint32 valid = ~0u;
        if (size - i >= 32) {
            input = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        } else {
            // Spaces after the end: a sequence cut off there shows as too short.
            alignas(32) uchar tail[32];
            std::memset(tail, ' ', sizeof tail);
            std::memcpy(tail, p + i, size_t(size - i));
            input = _mm256_load_si256(reinterpret_cast<const __m256i *>(tail));
            valid = (1u << (size - i)) - 1;
        }
        const quint32 highBits = quint32(_mm256_movemask_epi8(input));
        if (highBits == 0) {
            error = _mm256_or_si256(error, incomplete);
            incomplete = zero;
        } else {
            error = _mm256_or_si256(error, blockErrors(t, input, prior));
            incomplete = _mm256_subs_epu8(input, incompleteLimit);
        }
        prior = input;
        const quint32 crs = quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(input, cr))) & valid;
        const quint32 lfs = quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(input, lf))) & valid;
        const quint32 nuls = quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(input, zero))) & valid;
        nul |= nuls != 0;
        scan.carriageReturns += qPopulationCount(crs);
        scan.lineFeeds += qPopulationCount(lfs);
        scan.crLfPairs += qPopulationCount(((crs << 1) | crBefore) & lfs);
        crBefore = crs >> 31;
    }
    error = _mm256_or_si256(error, incomplete);
    scan.valid = _mm256_testz_si256(error, error);
    scan.hasNul = nul;
    return scan;
}

#endif

} // namespace

Utf8Scan scanUtf8Scalar(const char *data, qsizetype size)
{
    Utf8Scan scan;
    const auto *p = reinterpret_cast<const uchar *>(data);
    const uchar *const end = p + size;
    for (const uchar *q = p; q < end;) {
        const int length = sequenceLength(q, end);
        if (length == 0) {
            scan.valid = false;
            break;
        }
        q += length;
    }
    countBreaksScalar(p, size, &scan);
    return scan;
}

Utf8Scan scanUtf8(const char *data, qsizetype size)
{
#ifdef YIHUAN_HAVE_AVX2_SCAN
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return scanAvx2(reinterpret_cast<const uchar *>(data), size);
#endif
    return scanUtf8Scalar(data, size);
}

qsizetype wholeUtf8Characters(const char *data, qsizetype size)
{
    for (qsizetype back = 1; back <= std::min<qsizetype>(3, size); ++back) {
        const uchar byte = uchar(data[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue;
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}
