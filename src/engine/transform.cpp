#include "engine/transform.h"

#include "engine/pairchain.h"
#include "engine/regex.h"
#include "engine/unitsearch.h"

#include <QStringMatcher>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace {

// The most characters a QString can hold.
constexpr qint64 MaxChars = (std::numeric_limits<int>::max() - 64) / 2;

QString allocate(qint64 size)
{
    if (size > MaxChars)
        throw std::bad_alloc();
    return QString(int(size), Qt::Uninitialized);
}

void copyChars(QChar *to, const QChar *from, qint64 count)
{
    if (count > 0 && to != from)
        std::memmove(to, from, size_t(count) * sizeof(QChar));
}

QString replaceOrdinary(QString text, const QString &key, const QString &after, int *count)
{
    const int n = text.size();
    const int k = key.size();
    const int r = after.size();
    const QStringMatcher matcher(key, Qt::CaseSensitive);
    int pos = matcher.indexIn(text.constData(), n, 0);
    if (pos < 0)
        return text;

    if (r <= k) {
        // The result is never longer, so it is written over the text behind the search.
        QChar *d = text.data();
        int read = 0;
        int write = 0;
        while (pos >= 0) {
            copyChars(d + write, d + read, pos - read);
            write += pos - read;
            copyChars(d + write, after.constData(), r);
            write += r;
            read = pos + k;
            ++*count;
            pos = matcher.indexIn(d, n, read);
        }
        copyChars(d + write, d + read, n - read);
        text.resize(write + n - read);
        return text;
    }

    // Longer: note where the occurrences are, grow the text (usually within the spare
    // capacity decoding left) and fill it from the end, where it never overtakes what
    // is still to be read.
    std::vector<int> positions;
    const size_t most = std::max<size_t>(4096, size_t(n) / 16);
    for (int p = pos; p >= 0 && positions.size() < most;
         p = matcher.indexIn(text.constData(), n, p + k))
        positions.push_back(p);
    if (positions.size() == most) {
        // So many that their list would cost more than a second text.
        qint64 found = 0;
        for (int p = pos; p >= 0; p = matcher.indexIn(text.constData(), n, p + k))
            ++found;
        QString out = allocate(n + found * (r - k));
        QChar *d = out.data();
        const QChar *s = text.constData();
        int read = 0;
        for (int p = pos; p >= 0; p = matcher.indexIn(s, n, read)) {
            copyChars(d, s + read, p - read);
            d += p - read;
            copyChars(d, after.constData(), r);
            d += r;
            read = p + k;
        }
        copyChars(d, s + read, n - read);
        *count += int(found);
        return out;
    }

    const qint64 size = n + qint64(positions.size()) * (r - k);
    if (size > MaxChars)
        throw std::bad_alloc();
    if (!text.isDetached() || text.capacity() < size)
        text.reserve(int(size)); // exactly, where resize() would round up
    text.resize(int(size));
    QChar *d = text.data();
    qint64 write = size;
    qint64 readEnd = n;
    for (auto p = positions.crbegin(); p != positions.crend(); ++p) {
        const qint64 tail = readEnd - (*p + k);
        write -= tail;
        copyChars(d + write, d + *p + k, tail);
        write -= r;
        copyChars(d + write, after.constData(), r);
        readEnd = *p;
    }
    *count += int(positions.size());
    return text;
}

// Matching always sees the original text, so a \b right after a replacement looks at
// what was there before rather than at the replacement.
QString replaceRegExp(QString text, const QString &pattern, const QString &after, bool extended,
    int *count, std::vector<TextEdit> *edits)
{
    const std::shared_ptr<const RegexPattern> rx = threadPattern(pattern);
    if (!rx->isValid())
        return text;
    const RegexReplacement replacement(after, *rx, extended);
    QString out;
    const qsizetype made = regexReplace<char16_t>(
        *rx, replacement, reinterpret_cast<const char16_t *>(text.utf16()), text.size(),
        [&out, &text](const char16_t *p, qsizetype n) {
            if (out.isEmpty())
                out.reserve(text.size());
            if (out.size() + n > MaxChars)
                throw std::bad_alloc();
            out.append(reinterpret_cast<const QChar *>(p), int(n));
        },
        edits);
    if (made == 0)
        return text;
    *count += int(std::min<qsizetype>(made, std::numeric_limits<int>::max()));
    return out;
}

inline bool joined(ushort a, ushort b)
{
    const int c = wordClass(a);
    return c != 0 && c == wordClass(b);
}

// Whole-word replacement defined by a right-to-left scan over the text as it is being
// edited: take the last occurrence starting at or before the search start, replace it
// when neither edge is joined to a neighbouring word character, and search again from
// one character to its left. The edited text is always
//     original[0, m) + S
// where S, everything from the last replacement on, is only ever changed at its front.
// So S is built leftwards at the end of the text's own buffer (past m, grown when
// needed), and an occurrence either lies wholly in original[0, m), found by one
// backward pass over the original, or crosses into S, in which case it starts within
// k-1 characters of m and is found by matching the short window around m after each
// replacement.
class WholeWords
{
public:
    WholeWords(const QString &keyword, const QString &replacement)
        : key(reinterpret_cast<const ushort *>(keyword.constData()))
        , k(keyword.size())
        , rep(reinterpret_cast<const ushort *>(replacement.constData()))
        , r(replacement.size())
        , matcher(keyword, Qt::CaseSensitive)
        , fail(size_t(k), 0)
    {
        for (int i = 1, j = 0; i < k; ++i) {
            while (j > 0 && key[i] != key[j])
                j = fail[size_t(j - 1)];
            if (key[i] == key[j])
                ++j;
            fail[size_t(i)] = j;
        }
    }

    QString run(QString input, int *count);

private:
    int lastInOriginal(int limit);
    void begin();
    void prepend(const ushort *from, qint64 length, qint64 newM);
    void findCrossing();
    QString finish();

    const ushort *key;
    const int k;
    const ushort *rep;
    const int r;
    const QStringMatcher matcher;
    std::vector<int> fail;

    QString text;
    const ushort *orig = nullptr; // the untouched original[0, m), at the start of buf
    int n = 0;
    int scanned = 0; // occurrences starting at or after this are in found
    std::vector<int> found;
    std::vector<int> crossing;
    QVarLengthArray<ushort, 64> window;

    ushort *buf = nullptr;
    qint64 cap = 0;
    qint64 w = 0; // S is buf[w, cap)
    qint64 m = 0;
};

QString WholeWords::run(QString input, int *count)
{
    text = std::move(input);
    n = text.size();
    if (n < k)
        return text;
    orig = reinterpret_cast<const ushort *>(text.constData());
    scanned = n - k + 1;
    m = n;
    bool started = false;
    int from = n - 1;
    for (;;) {
        int p;
        if (!crossing.empty()) {
            p = crossing.back();
            crossing.pop_back();
        } else {
            const qint64 limit = std::min<qint64>(from, m - k);
            if (limit < 0)
                break;
            p = lastInOriginal(int(limit));
            if (p < 0)
                break;
        }
        const qint64 end = qint64(p) + k;
        bool edgesFree = p == 0 || !joined(orig[p - 1], key[0]);
        if (edgesFree && end < m + (cap - w)) {
            const ushort next = end < m ? orig[end] : buf[w + end - m];
            edgesFree = !joined(next, key[k - 1]);
        }
        if (edgesFree) {
            if (!started) {
                begin();
                started = true;
            }
            if (end <= m)
                prepend(orig + end, m - end, p);
            else
                w += end - m;
            prepend(rep, r, p);
            m = p;
            ++*count;
            findCrossing();
        }
        if (p == 0)
            break;
        from = p - 1;
    }
    return started ? finish() : std::move(text);
}

// The last occurrence in the original text starting at or before limit; limit never
// grows between calls, so the text is searched forwards one chunk at a time from the end.
int WholeWords::lastInOriginal(int limit)
{
    constexpr int Chunk = 16384;
    for (;;) {
        while (!found.empty() && found.back() > limit)
            found.pop_back();
        if (!found.empty())
            return found.back();
        const int hi = std::min(scanned, limit + 1);
        if (hi <= 0)
            return -1;
        const int lo = std::max(0, hi - Chunk);
        const QChar *s = reinterpret_cast<const QChar *>(orig);
        const int end = hi - 1 + k;
        for (int p = matcher.indexIn(s, end, lo); p >= 0; p = matcher.indexIn(s, end, p + 1))
            found.push_back(p);
        scanned = lo;
    }
}

void WholeWords::begin()
{
    // A longer replacement needs room past the text; asking for it now costs one
    // allocation (and the copy of a shared text) instead of a later regrowth.
    const qint64 slack = qint64(n) / 8 + r;
    if (r > k && (!text.isDetached() || text.capacity() - n < slack))
        text.reserve(int(std::min(MaxChars, n + slack)));
    text.data(); // detach, if shared, before taking the spare capacity
    text.resize(text.capacity());
    buf = reinterpret_cast<ushort *>(text.data());
    orig = buf;
    cap = text.size();
    w = cap;
}

void WholeWords::prepend(const ushort *from, qint64 length, qint64 newM)
{
    if (length == 0)
        return;
    if (w - length < newM) {
        // from may be the original's tail, in the buffer that is about to move.
        const qint64 fromOffset = from - buf;
        const bool inside = fromOffset >= 0 && fromOffset < cap;
        const qint64 size = cap - w;
        const qint64 needed = newM + size + length;
        if (needed > MaxChars)
            throw std::bad_alloc();
        const qint64 grown = std::min(MaxChars, std::max(cap + cap / 2, needed + needed / 4));
        text.resize(int(grown));
        buf = reinterpret_cast<ushort *>(text.data());
        orig = buf;
        std::memmove(buf + grown - size, buf + w, size_t(size) * sizeof(ushort));
        if (inside)
            from = buf + fromOffset;
        cap = grown;
        w = grown - size;
    }
    w -= length;
    std::memmove(buf + w, from, size_t(length) * sizeof(ushort));
}

// Occurrences that start in original[m-k+1, m) and run on into S.
void WholeWords::findCrossing()
{
    crossing.clear();
    const qint64 first = std::max<qint64>(0, m - k + 1);
    const int left = int(m - first);
    const int right = int(std::min<qint64>(cap - w, k - 1));
    if (left == 0 || left + right < k)
        return;
    window.resize(left + right);
    std::memcpy(window.data(), orig + first, size_t(left) * sizeof(ushort));
    std::memcpy(window.data() + left, buf + w, size_t(right) * sizeof(ushort));
    int j = 0;
    for (int i = 0; i < left + right; ++i) {
        while (j > 0 && window[i] != key[j])
            j = fail[size_t(j - 1)];
        if (window[i] == key[j])
            ++j;
        if (j == k) {
            crossing.push_back(int(first) + i - k + 1);
            j = fail[size_t(j - 1)];
        }
    }
}

QString WholeWords::finish()
{
    const qint64 size = cap - w;
    std::memmove(buf + m, buf + w, size_t(size) * sizeof(ushort));
    text.resize(int(m + size));
    return std::move(text);
}

// Up to this many pairs are applied one full pass each; a longer list goes through
// PairChain, whose one scan for all keywords costs about as much as eight passes.
constexpr int DirectPairs = 8;

std::vector<ushort> unitsOf(const QString &s)
{
    const ushort *u = s.utf16();
    return std::vector<ushort>(u, u + s.size());
}

QString applyChain(const QString &text, const ReplaceSettings &settings,
    const ReplacePairs &replacePairs, QVector<int> *counts, std::vector<TextEdit> *edits)
{
    std::vector<UnitPair<ushort>> pairs;
    for (const ReplacePair &pair : replacePairs) {
        UnitPair<ushort> units;
        if (!pair.first.isEmpty()) {
            units.key = unitsOf(pair.first);
            units.rep = unitsOf(pair.second);
        }
        pairs.push_back(std::move(units));
    }
    const PairChain<ushort> chain(std::move(pairs), settings.wholeWord());
    QString out;
    out.reserve(text.size() + text.size() / 16);
    std::vector<qsizetype> made;
    chain.run(
        text.utf16(), text.size(),
        [&out](const ushort *u, qsizetype n) {
            if (out.size() + n > MaxChars)
                throw std::bad_alloc();
            out.append(reinterpret_cast<const QChar *>(u), int(n));
        },
        &made, edits);
    if (counts) {
        for (size_t i = 0; i < made.size(); ++i)
            (*counts)[int(i)] = int(made[i]);
    }
    return out;
}

} // namespace

QString applyPairs(QString text, const ReplaceSettings &settings, const ReplacePairs &pairs,
    QVector<int> *counts, PairEdits *edits)
{
    if (counts)
        counts->fill(0, pairs.size());
    std::vector<TextEdit> total;
    const int active = int(std::count_if(pairs.cbegin(), pairs.cend(),
        [](const ReplacePair &pair) { return !pair.first.isEmpty(); }));
    if (settings.ordinary() && (active > DirectPairs || (edits && active > 0))) {
        text = applyChain(text, settings, pairs, counts, edits ? &total : nullptr);
    } else {
        std::vector<TextEdit> step;
        for (int i = 0; i < pairs.size(); ++i) {
            const ReplacePair &pair = pairs.at(i);
            if (pair.first.isEmpty())
                continue;
            int count = 0;
            if (settings.regularExpressions()) {
                step.clear();
                text = replaceRegExp(std::move(text), pair.first, pair.second,
                    settings.extendedReplacement, &count, edits ? &step : nullptr);
                if (edits)
                    composeEdits(&total, step);
            } else if (settings.wholeWord()) {
                text = WholeWords(pair.first, pair.second).run(std::move(text), &count);
            } else {
                text = replaceOrdinary(std::move(text), pair.first, pair.second, &count);
            }
            if (counts)
                (*counts)[i] = count;
        }
    }
    if (edits) {
        edits->complete = qsizetype(total.size()) <= edits->limit;
        if (!edits->complete)
            total.resize(size_t(std::max<qsizetype>(0, edits->limit)));
        edits->edits = std::move(total);
    }
    return text;
}
