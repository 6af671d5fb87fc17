#pragma once

#include <QChar>
#include <QtAlgorithms>
#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define YIHUAN_HAVE_SSE2_SEARCH
#endif

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define YIHUAN_HAVE_AVX2_SEARCH
#endif

// Searching text held as code units: UTF-16 (ushort) in a QString, or the bytes of
// UTF-8 (char). A UTF-8 keyword starts with a lead byte, so it only ever matches on
// character boundaries.

#ifdef YIHUAN_HAVE_AVX2_SEARCH
inline bool hasAvx2Search()
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

// findKey's filter on bytes, 32 at a time while that many starts are left; *i ends where
// it stopped looking.
__attribute__((target("avx2"))) inline qsizetype findBytesAvx2(
    const char *s, qsizetype *i, qsizetype last, const char *key, qsizetype k)
{
    const __m256i first = _mm256_set1_epi8(key[0]);
    const __m256i lastByte = _mm256_set1_epi8(key[k - 1]);
    for (; *i + 31 <= last; *i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + *i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + *i + k - 1));
        quint32 mask = quint32(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, lastByte))));
        while (mask) {
            const qsizetype p = *i + qsizetype(qCountTrailingZeroBits(mask));
            if (k <= 2 || std::memcmp(s + p + 1, key + 1, size_t(k - 2)) == 0)
                return p;
            mask &= mask - 1;
        }
    }
    return -1;
}
#endif

// Where key first occurs in s[from, n), or -1. A first-unit/last-unit filter over
// sixteen bytes at a time; only candidates passing both are compared in full.
template<typename Unit>
qsizetype findKey(const Unit *s, qsizetype n, qsizetype from, const Unit *key, qsizetype k)
{
    const qsizetype last = n - k; // the last possible start
    qsizetype i = from;
    if (k <= 0 || i > last)
        return -1;
    const auto equalRest = [&](qsizetype p) {
        return k <= 2 || std::memcmp(s + p + 1, key + 1, size_t(k - 2) * sizeof(Unit)) == 0;
    };
#ifdef YIHUAN_HAVE_AVX2_SEARCH
    if constexpr (sizeof(Unit) == 1) {
        if (hasAvx2Search()) {
            const qsizetype p = findBytesAvx2(reinterpret_cast<const char *>(s), &i, last,
                reinterpret_cast<const char *>(key), k);
            if (p >= 0)
                return p;
        }
    }
#endif
#ifdef YIHUAN_HAVE_SSE2_SEARCH
    constexpr qsizetype PerVector = 16 / sizeof(Unit);
    const __m128i first
        = sizeof(Unit) == 1 ? _mm_set1_epi8(char(key[0])) : _mm_set1_epi16(short(key[0]));
    const __m128i lastUnit
        = sizeof(Unit) == 1 ? _mm_set1_epi8(char(key[k - 1])) : _mm_set1_epi16(short(key[k - 1]));
    for (; i + PerVector - 1 <= last; i += PerVector) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i + k - 1));
        const __m128i both = sizeof(Unit) == 1
            ? _mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, lastUnit))
            : _mm_and_si128(_mm_cmpeq_epi16(a, first), _mm_cmpeq_epi16(b, lastUnit));
        quint32 mask = quint32(_mm_movemask_epi8(both));
        if (sizeof(Unit) == 2)
            mask &= 0x5555;
        while (mask) {
            const qsizetype p
                = i + qsizetype(qCountTrailingZeroBits(mask)) / qsizetype(sizeof(Unit));
            if (equalRest(p))
                return p;
            mask &= mask - 1;
        }
    }
#endif
    for (; i <= last; ++i) {
        if (s[i] == key[0] && s[i + k - 1] == key[k - 1] && equalRest(i))
            return i;
    }
    return -1;
}

// The classes of characters that join into one word: ASCII digits, ASCII letters,
// CJK ideographs U+4E00–U+9FA5; 0 for everything else.
inline int wordClass(uint c)
{
    if (c >= '0' && c <= '9')
        return 1;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return 2;
    if (c >= 0x4E00 && c <= 0x9FA5)
        return 3;
    return 0;
}

// The class of the character at or before a position. A character outside the Basic
// Multilingual Plane has class 0 either way: as a surrogate in UTF-16, as four bytes in
// UTF-8.
template<typename Unit>
struct UnitClasses;

template<>
struct UnitClasses<ushort>
{
    // Of the character starting at s, of which available units are there.
    static int at(const ushort *s, qsizetype) { return wordClass(*s); }
    // Of the character ending just before s + p (p > 0).
    static int before(const ushort *s, qsizetype p) { return wordClass(s[p - 1]); }
    static int first(const ushort *key, qsizetype) { return wordClass(key[0]); }
    static int last(const ushort *key, qsizetype k) { return wordClass(key[k - 1]); }

    // Each character's simple case folding, unit for unit: no character folds across
    // the line between one unit and a surrogate pair.
    static void fold(const ushort *in, qsizetype n, ushort *out)
    {
        for (qsizetype i = 0; i < n; ++i) {
            const ushort c = in[i];
            if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(in[i + 1])) {
                const uint folded = QChar::toCaseFolded(QChar::surrogateToUcs4(c, in[i + 1]));
                out[i] = QChar::highSurrogate(folded);
                out[i + 1] = QChar::lowSurrogate(folded);
                ++i;
            } else {
                out[i] = QChar::isSurrogate(c) ? c : ushort(QChar::toCaseFolded(uint(c)));
            }
        }
    }
};

template<>
struct UnitClasses<char>
{
    static uint three(const char *s)
    {
        return (uint(uchar(s[0]) & 0x0F) << 12) | (uint(uchar(s[1]) & 0x3F) << 6)
            | (uint(uchar(s[2]) & 0x3F));
    }
    static bool leadOfThree(char c) { return (uchar(c) & 0xF0) == 0xE0; }

    static int at(const char *s, qsizetype available)
    {
        const uchar c = uchar(*s);
        if (c < 0x80)
            return wordClass(c);
        return available >= 3 && leadOfThree(*s) ? wordClass(three(s)) : 0;
    }
    static int before(const char *s, qsizetype p)
    {
        const uchar c = uchar(s[p - 1]);
        if (c < 0x80)
            return wordClass(c);
        return p >= 3 && leadOfThree(s[p - 3]) ? wordClass(three(s + p - 3)) : 0;
    }
    static int first(const char *key, qsizetype k) { return at(key, k); }
    static int last(const char *key, qsizetype k) { return before(key, k); }

    // ASCII letters to lower case; every byte below 0x80 is a character of its own in
    // UTF-8. Keywords with other letters, or ones that fold from beyond ASCII (k, s),
    // are decoded instead.
    static void fold(const char *in, qsizetype n, char *out)
    {
        for (qsizetype i = 0; i < n; ++i) {
            const char c = in[i];
            out[i] = c >= 'A' && c <= 'Z' ? char(c | 0x20) : c;
        }
    }
};

// Where matches may start and how characters are classed, for text in which every
// unit boundary is a character boundary (UTF-16; UTF-8, whose keywords start with a
// lead byte). Encodings whose bytes inside a character can look like ASCII have their
// own (see multibyte.h); the scans and the pair chain take either.
template<typename Unit>
struct UnitChars : UnitClasses<Unit>
{
    // Called with the original text before a whole-word scan edits it.
    void prepare(const Unit *, qsizetype) { }
    // Whether p starts a character of the text given to prepare().
    bool startsAt(const Unit *, qsizetype) const { return true; }
    // Whether a unit is a character of its own, never part of another.
    static bool standalone(uint) { return true; }
    // Bytes inside a UTF-8 character never start one.
    static constexpr bool Utf8 = true;

    // Tells, for candidates in increasing order, whether one starts a character; once a
    // match of k units at p is taken, the next candidate lies at or past p + k.
    struct Starts
    {
        bool operator()(const Unit *, qsizetype, qsizetype) { return true; }
    };
    Starts starts() const { return {}; }
};

// Finds, in one pass, which of many keywords occur in a text. Keywords are grouped by
// the length of the prefix they are hashed on (their length, at most eight bytes); at
// each position one 64-bit load serves every group, a bitmap turns most of them away,
// and only keys whose prefix hashes alike are compared in full.
template<typename Unit>
class KeyIndex
{
public:
    struct Key
    {
        const Unit *units;
        qsizetype length;
        int id;
    };

    // utf8 says that no keyword starts with a byte 10xxxxxx, so such bytes are skipped.
    explicit KeyIndex(const std::vector<Key> &keys, bool utf8 = true)
        : skipContinuations(sizeof(Unit) == 1 && utf8)
    {
        for (const Key &key : keys) {
            if (key.length <= 0)
                continue;
            longest = std::max(longest, key.length);
            const int prefix = int(std::min<qsizetype>(key.length, MaxPrefix));
            Group *group = groupFor(prefix);
            group->keys.push_back(key);
        }
        for (Group &group : groups)
            group.build();
    }

    // The longest keyword, in units.
    qsizetype longestKey() const { return longest; }

    // Calls take(id) for every keyword occurrence starting in [from, to) and lying
    // within s[0, n); an id is reported once per occurrence.
    template<typename Take>
    void scan(const Unit *s, qsizetype n, qsizetype from, qsizetype to, Take take) const
    {
        if (groups.empty())
            return;
        to = std::min(to, n);
        for (qsizetype i = std::max<qsizetype>(from, 0); i < to; ++i) {
            if (skipContinuations && (uchar(s[i]) & 0xC0) == 0x80)
                continue;
            quint64 word = 0;
            const qsizetype left = n - i;
            std::memcpy(&word, s + i, size_t(std::min<qsizetype>(left, MaxPrefix)) * sizeof(Unit));
            for (const Group &group : groups) {
                if (left < group.prefix)
                    continue;
                const quint64 prefix = word & group.mask;
                const quint64 h = hash(prefix);
                if (!(group.bitmap[size_t(h >> 58)] & (quint64(1) << ((h >> 52) & 63))))
                    continue;
                group.lookup(prefix, h, [&](const Key &key) {
                    if (key.length <= left
                        && std::memcmp(s + i, key.units, size_t(key.length) * sizeof(Unit)) == 0)
                        take(key.id);
                });
            }
        }
    }

private:
    static constexpr qsizetype MaxPrefix = 8 / qsizetype(sizeof(Unit));

    static quint64 hash(quint64 x)
    {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 32;
        return x * 0x94D049BB133111EBull;
    }

    struct Group
    {
        int prefix = 0;
        quint64 mask = 0;
        std::vector<Key> keys;
        std::vector<quint64> bitmap = std::vector<quint64>(64, 0);
        std::vector<quint64> slotPrefix;
        std::vector<quint32> slotBegin;
        std::vector<quint32> slotEnd;
        quint64 slotMask = 0;

        quint64 prefixOf(const Key &key) const
        {
            quint64 x = 0;
            std::memcpy(&x, key.units, size_t(prefix) * sizeof(Unit));
            return x;
        }

        void build()
        {
            mask = prefix * sizeof(Unit) >= 8 ? ~quint64(0)
                                              : (quint64(1) << (prefix * sizeof(Unit) * 8)) - 1;
            std::stable_sort(keys.begin(), keys.end(),
                [&](const Key &a, const Key &b) { return prefixOf(a) < prefixOf(b); });
            size_t slotCount = 16;
            while (slotCount < keys.size() * 2)
                slotCount *= 2;
            slotMask = slotCount - 1;
            slotPrefix.assign(slotCount, 0);
            slotBegin.assign(slotCount, 0);
            slotEnd.assign(slotCount, 0);
            for (size_t b = 0; b < keys.size();) {
                const quint64 p = prefixOf(keys[b]);
                size_t e = b + 1;
                while (e < keys.size() && prefixOf(keys[e]) == p)
                    ++e;
                const quint64 h = hash(p);
                bitmap[size_t(h >> 58)] |= quint64(1) << ((h >> 52) & 63);
                size_t slot = size_t(h & slotMask);
                while (slotEnd[slot] != 0)
                    slot = (slot + 1) & slotMask;
                slotPrefix[slot] = p;
                slotBegin[slot] = quint32(b);
                slotEnd[slot] = quint32(e);
                b = e;
            }
        }

        template<typename F>
        void lookup(quint64 p, quint64 h, F each) const
        {
            for (size_t slot = size_t(h & slotMask); slotEnd[slot] != 0;
                 slot = (slot + 1) & slotMask) {
                if (slotPrefix[slot] == p) {
                    for (quint32 k = slotBegin[slot]; k < slotEnd[slot]; ++k)
                        each(keys[k]);
                    return;
                }
            }
        }
    };

    Group *groupFor(int prefix)
    {
        for (Group &group : groups) {
            if (group.prefix == prefix)
                return &group;
        }
        groups.emplace_back();
        groups.back().prefix = prefix;
        return &groups.back();
    }

    std::vector<Group> groups;
    qsizetype longest = 0;
    bool skipContinuations;
};
