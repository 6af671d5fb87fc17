#include "engine/text/linebreaks.h"

#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define YIHUAN_HAVE_SIMD_BREAKS
#endif

namespace {

#ifdef YIHUAN_HAVE_SIMD_BREAKS

// Stores each vector where it goes before looking in it: a vector without a '\n' is then
// done, and one with a '\n' is done up to it. Lines of text are a few vectors long, so one
// break per turn costs less than collecting them.
#define AVX2 __attribute__((target("avx2")))

// One or two bytes, without a call.
inline void putBreak(char *w, const char *lineBreak, qsizetype breakLength)
{
    w[0] = lineBreak[0];
    w[breakLength - 1] = lineBreak[breakLength - 1];
}

// The rest of a piece too short for the wider vectors goes through these.
char *writeBreaksSse2(
    const char *p, const char *end, char *w, const char *lineBreak, qsizetype breakLength)
{
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(w), v);
        const unsigned mask = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
        if (mask == 0) {
            p += 16;
            w += 16;
            continue;
        }
        const unsigned at = unsigned(__builtin_ctz(mask));
        w += at;
        putBreak(w, lineBreak, breakLength);
        w += breakLength;
        p += at + 1;
    }
    // What is left of a piece, or a whole replacement, rarely holds a break.
    const qsizetype rest = end - p;
    if (!std::memchr(p, '\n', size_t(rest))) {
        std::memcpy(w, p, size_t(rest));
        return w + rest;
    }
    return writeBreaksScalar(p, rest, w, lineBreak, breakLength);
}

AVX2 char *writeBreaksAvx2(
    const char *p, const char *end, char *w, const char *lineBreak, qsizetype breakLength)
{
    const __m256i lf = _mm256_set1_epi8('\n');
    while (end - p >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(w), v);
        const unsigned mask = unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lf)));
        if (mask == 0) {
            p += 32;
            w += 32;
            continue;
        }
        const unsigned at = unsigned(__builtin_ctz(mask));
        w += at;
        putBreak(w, lineBreak, breakLength);
        w += breakLength;
        p += at + 1;
    }
    return writeBreaksSse2(p, end, w, lineBreak, breakLength);
}

#endif

} // namespace

char *writeBreaksScalar(
    const char *text, qsizetype n, char *out, const char *lineBreak, qsizetype breakLength)
{
    for (const char *const end = text + n; text < end; ++text) {
        if (*text == '\n') {
            std::memcpy(out, lineBreak, size_t(breakLength));
            out += breakLength;
        } else {
            *out++ = *text;
        }
    }
    return out;
}

char *writeBreaks(
    const char *text, qsizetype n, char *out, const char *lineBreak, qsizetype breakLength)
{
#ifdef YIHUAN_HAVE_SIMD_BREAKS
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return writeBreaksAvx2(text, text + n, out, lineBreak, breakLength);
    return writeBreaksSse2(text, text + n, out, lineBreak, breakLength);
#else
    return writeBreaksScalar(text, n, out, lineBreak, breakLength);
#endif
}
