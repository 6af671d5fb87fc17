#pragma once

#include "engine/match/unitsearch.h"
#include "engine/match/utf8scan.h"

#include <QtGlobal>

#include <utility>
#include <vector>

class QTextCodec;

// What the bytes of a double-byte code page (GBK, GB18030, Big5, Shift_JIS, EUC-KR) mean,
// taken once per process from the codec itself: which single bytes, byte pairs and
// (GB18030) four-byte sequences decode to one character that encodes back to the same
// bytes, which is what the decoding route accepts, and the word class of each. A byte
// inside a character can look like ASCII here, so a match found in the bytes counts only
// where it starts a character.
class MultiByteTable
{
public:
    // Null for other codecs, or where the codec's bytes do not follow the pattern this
    // table relies on (each character's length told by its first bytes).
    static const MultiByteTable *forCodec(QTextCodec *codec);

    QTextCodec *codec() const { return m_codec; }

    // Length of the character starting at p in text already found valid.
    int length(const uchar *p) const
    {
        if (m_single[p[0]])
            return 1;
        return m_fourByte && uchar(p[1] - '0') < 10 ? 4 : 2;
    }
    // The word class of the character starting at p (see wordClass), of which left
    // bytes are there.
    int classAt(const uchar *p, qsizetype left) const
    {
        if (m_single[p[0]])
            return m_singleClass[p[0]];
        if (left < 2 || (m_fourByte && uchar(p[1] - '0') < 10))
            return 0;
        return bit(m_ideographs, (uint(p[0]) << 8) | p[1]) ? 3 : 0;
    }
    // A character of its own that no other character's bytes contain: a match may always
    // start after it.
    bool standalone(uchar c) const { return m_standalone[c]; }

    // Validates the whole text and counts its line breaks: valid means that the decoding
    // route would read it. Uses the widest vector unit the processor offers.
    Utf8Scan scan(const char *data, qsizetype size) const;
    // The character-at-a-time definition the vector code is held to.
    Utf8Scan scanScalar(const char *data, qsizetype size) const;

private:
    explicit MultiByteTable(QTextCodec *codec);
    bool build();
    bool fourValid(const uchar *p) const;
    // Checks p[q, limit) (and the character reaching past it) one character after
    // another; where the next character starts, or -1 when invalid.
    qsizetype steps(const uchar *p, qsizetype size, qsizetype q, qsizetype limit) const;
    // Checks whole blocks at once; where the rest starts, or -1 when invalid.
    qsizetype blocks(const uchar *p, qsizetype size) const;
    // The same with AVX2, counting the line breaks on the way; where the rest starts, or
    // -1 when invalid (the counts then stop there).
    qsizetype blocksAvx2(const uchar *p, qsizetype size, Utf8Scan *scan) const;
    static bool bit(const std::vector<quint64> &bits, uint i)
    {
        return (bits[i >> 6] >> (i & 63)) & 1;
    }

    QTextCodec *m_codec;
    bool m_fourByte = false;
    bool m_single[256] = {};
    uchar m_singleClass[256] = {};
    bool m_standalone[256] = {};
    std::vector<quint64> m_pairs = std::vector<quint64>(1024, 0);
    std::vector<quint64> m_ideographs = std::vector<quint64>(1024, 0);
    std::vector<quint64> m_fourBmp; // GB18030 0x81308130 to 0x8439FE39
    // By a character's first two bytes, how far the next one starts: 1 or 2 for a valid
    // character, 4 for the shape of a four-byte one still to be checked, 0 when invalid.
    std::vector<uchar> m_step;
    std::vector<std::pair<uchar, uchar>> m_leadRanges; // empty: no block check
    std::vector<std::pair<uchar, uchar>> m_aloneRanges;
    // The trail bytes that most lead bytes take, at most three ranges (empty: none such),
    // and the lead bytes that do not take all of them, whose pairs are looked up one by
    // one; m_allPartial when those do not fit two ranges.
    std::vector<std::pair<uchar, uchar>> m_trailRanges;
    std::vector<std::pair<uchar, uchar>> m_partialRanges;
    bool m_allPartial = true;
};

// Character boundaries and word classes in the bytes of a MultiByteTable's encoding, for
// the scans of unitsearch.h, wholewordscan.h and pairchain.h (the counterpart of
// UnitChars). Boundaries are found by walking from one already known; a standalone byte
// is one too, so a walk never has to start further back than the last of those.
class MultiByteChars
{
public:
    static constexpr bool Utf8 = false;

    explicit MultiByteChars(const MultiByteTable *table = nullptr)
        : t(table)
    {
    }

    // Marks where the characters of a text start, for startsAt() and before().
    void prepare(const char *s, qsizetype n);
    bool startsAt(const char *, qsizetype p) const
    {
        return (bounds[size_t(p >> 6)] >> (p & 63)) & 1;
    }
    bool standalone(uint c) const { return c < 256 && t->standalone(uchar(c)); }

    int at(const char *s, qsizetype available) const
    {
        return t->classAt(reinterpret_cast<const uchar *>(s), available);
    }
    // Of the character ending just before s + p, in the text given to prepare().
    int before(const char *s, qsizetype p) const
    {
        qsizetype q = p - 1;
        while (q > 0 && !startsAt(s, q))
            --q;
        return at(s + q, p - q);
    }
    // ASCII letters to lower case where they stand alone, never a byte inside a
    // character; in starts on a character.
    void fold(const char *in, qsizetype n, char *out) const;
    int first(const char *key, qsizetype k) const { return at(key, k); }
    int last(const char *key, qsizetype k) const
    {
        const auto *u = reinterpret_cast<const uchar *>(key);
        qsizetype q = 0;
        for (qsizetype next = 0; next < k; next += t->length(u + next))
            q = next;
        return at(key + q, k - q);
    }

    class Starts
    {
    public:
        explicit Starts(const MultiByteTable *table)
            : t(table)
        {
        }
        bool operator()(const char *s, qsizetype p, qsizetype k);

    private:
        const MultiByteTable *t;
        qsizetype known = 0; // a character starts here, at or before every later candidate
    };
    Starts starts() const { return Starts(t); }

private:
    const MultiByteTable *t;
    std::vector<quint64> bounds;
};
