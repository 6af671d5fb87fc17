#pragma once

#include "engine/match/textedit.h"
#include "engine/match/unitbuffer.h"
#include "engine/match/unitsearch.h"

#include <algorithm>
#include <cstring>
#include <vector>

// Whole-word replacement of one pair, defined by a right-to-left scan over the text as
// it is being edited: take the last occurrence starting at or before the search start,
// replace it when neither edge is joined to a neighbouring word character, and search
// again from one character to its left. The edited text is always
//     original[0, m) + S
// where S, everything from the last replacement on, is only ever changed at its front.
// So S is built leftwards at the end of the text's own buffer (past m, grown when
// needed), and an occurrence either lies wholly in original[0, m), found by one
// backward pass over the original, or crosses into S, in which case it starts within
// k-1 units of m and is found by matching the short window around m after each
// replacement.
template<typename Unit, typename Chars = UnitChars<Unit>, typename Buffer = UnitBuffer<Unit>>
class WholeWordScan
{
public:
    // With foldCase, key is already folded and the text is matched as folded.
    WholeWordScan(const Unit *key, qsizetype k, const Unit *rep, qsizetype r, Chars chars = Chars(),
        bool foldCase = false)
        : key(key)
        , k(k)
        , rep(rep)
        , r(r)
        , chars(std::move(chars))
        , keyFirst(this->chars.first(key, k))
        , keyLast(this->chars.last(key, k))
        , fail(size_t(k), 0)
        , foldCase(foldCase)
    {
        for (qsizetype i = 1, j = 0; i < k; ++i) {
            while (j > 0 && key[i] != key[j])
                j = fail[size_t(j - 1)];
            if (key[i] == key[j])
                ++j;
            fail[size_t(i)] = j;
        }
    }

    // Replaces in text[start, size()), which afterwards holds the result. Returns the
    // count; edits, when given, receive the changes relative to start.
    qsizetype run(Buffer &text, qsizetype start, std::vector<TextEdit> *edits);

private:
    struct Pending
    {
        qsizetype before;
        qsizetype beforeLength;
        qsizetype endFromEnd; // of its result range, counted back from the text's end
        qsizetype afterLength;
    };

    const Unit *origin() const { return buffer->data() + base; }
    // The original as it is matched.
    const Unit *searched() const { return foldCase ? folded.data() : origin(); }
    const Unit *s() const { return buffer->data() + base + w; }
    qsizetype sLength() const { return cap - w; }
    qsizetype lastInOriginal(qsizetype limit);
    void prepend(const Unit *from, qsizetype length, qsizetype newM);
    void findCrossing();
    void note(qsizetype p);

    const Unit *key;
    const qsizetype k;
    const Unit *rep;
    const qsizetype r;
    Chars chars;
    const int keyFirst;
    const int keyLast;
    std::vector<qsizetype> fail;
    const bool foldCase;
    std::vector<Unit> folded;

    Buffer *buffer = nullptr;
    qsizetype base = 0;
    qsizetype n = 0;
    qsizetype scanned = 0; // occurrences starting at or after this are in found
    std::vector<qsizetype> found;
    std::vector<qsizetype> crossing;
    std::vector<Unit> window;
    std::vector<Pending> pending;
    bool recording = false;

    qsizetype cap = 0; // S is buffer[base + w, base + cap)
    qsizetype w = 0;
    qsizetype m = 0;
};

template<typename Unit, typename Chars, typename Buffer>
qsizetype WholeWordScan<Unit, Chars, Buffer>::run(
    Buffer &text, qsizetype start, std::vector<TextEdit> *edits)
{
    buffer = &text;
    base = start;
    n = text.size() - start;
    recording = edits != nullptr;
    found.clear();
    crossing.clear();
    pending.clear();
    if (edits)
        edits->clear();
    if (n < k || k == 0)
        return 0;
    chars.prepare(origin(), n);
    if (foldCase) {
        folded.resize(size_t(n));
        chars.fold(origin(), n, folded.data());
    }
    scanned = n - k + 1;
    m = n;
    cap = 0;
    w = 0;
    qsizetype count = 0;
    bool started = false;
    qsizetype from = n - 1;
    for (;;) {
        qsizetype p;
        if (!crossing.empty()) {
            p = crossing.back();
            crossing.pop_back();
        } else {
            const qsizetype limit = std::min(from, m - k);
            if (limit < 0)
                break;
            p = lastInOriginal(limit);
            if (p < 0)
                break;
        }
        const qsizetype end = p + k;
        bool edgesFree = p == 0 || keyFirst == 0 || chars.before(origin(), p) != keyFirst;
        if (edgesFree && keyLast != 0 && end < m + sLength()) {
            const int next = end < m ? chars.at(origin() + end, m - end)
                                     : chars.at(s() + (end - m), sLength() - (end - m));
            edgesFree = next != keyLast;
        }
        if (edgesFree) {
            if (!started) {
                // A longer replacement needs room past the text; asking for it now costs
                // one allocation instead of a later regrowth.
                const qsizetype slack = r > k ? n / 8 + r : 0;
                text.reserve(base + n + slack);
                cap = text.capacity() - base;
                w = cap;
                started = true;
            }
            if (recording)
                note(p);
            if (end <= m)
                prepend(origin() + end, m - end, p);
            else
                w += end - m;
            prepend(rep, r, p);
            m = p;
            ++count;
            findCrossing();
        }
        if (p == 0)
            break;
        from = p - 1;
    }
    if (!started)
        return 0;
    const qsizetype size = sLength();
    Unit *d = text.data() + base;
    std::memmove(d + m, d + w, size_t(size) * sizeof(Unit));
    text.resize(base + m + size);
    if (edits) {
        const qsizetype total = m + size;
        for (auto e = pending.crbegin(); e != pending.crend(); ++e)
            edits->push_back({e->before, e->beforeLength, total - e->endFromEnd - e->afterLength,
                e->afterLength});
    }
    return count;
}

// Records the replacement about to be made at p; one that reaches into S merges with
// the edits it overlaps there.
template<typename Unit, typename Chars, typename Buffer>
void WholeWordScan<Unit, Chars, Buffer>::note(qsizetype p)
{
    const qsizetype end = p + k;
    const qsizetype size = sLength();
    if (end <= m) {
        pending.push_back({p, k, size + (m - end), r});
        return;
    }
    const qsizetype over = end - m;
    Pending last {};
    while (!pending.empty()) {
        const Pending &front = pending.back();
        const qsizetype offset = size - front.endFromEnd - front.afterLength;
        if (offset > over)
            break;
        last = front;
        pending.pop_back();
    }
    const qsizetype lastOffset = size - last.endFromEnd - last.afterLength;
    const qsizetype beyond = std::max<qsizetype>(0, over - lastOffset - last.afterLength);
    const qsizetype beforeEnd = last.before + last.beforeLength + beyond;
    const qsizetype endFromEnd = std::min(size - over, last.endFromEnd);
    const qsizetype newSize = r + size - over;
    pending.push_back({p, beforeEnd - p, endFromEnd, newSize - endFromEnd});
}

// The last occurrence in the original text starting at or before limit; limit never
// grows between calls, so the text is searched forwards one chunk at a time from the end.
template<typename Unit, typename Chars, typename Buffer>
qsizetype WholeWordScan<Unit, Chars, Buffer>::lastInOriginal(qsizetype limit)
{
    constexpr qsizetype Chunk = 16384;
    for (;;) {
        while (!found.empty() && found.back() > limit)
            found.pop_back();
        if (!found.empty())
            return found.back();
        const qsizetype hi = std::min(scanned, limit + 1);
        if (hi <= 0)
            return -1;
        const qsizetype lo = std::max<qsizetype>(0, hi - Chunk);
        const qsizetype end = hi - 1 + k;
        for (qsizetype p = findKey(searched(), end, lo, key, k); p >= 0;
             p = findKey(searched(), end, p + 1, key, k)) {
            if (chars.startsAt(origin(), p))
                found.push_back(p);
        }
        scanned = lo;
    }
}

template<typename Unit, typename Chars, typename Buffer>
void WholeWordScan<Unit, Chars, Buffer>::prepend(const Unit *from, qsizetype length, qsizetype newM)
{
    if (length == 0)
        return;
    if (w - length < newM) {
        const qsizetype size = sLength();
        const qsizetype needed = newM + size + length;
        // from may point into the buffer (the original's tail): keep its offset.
        const qsizetype fromOffset = from - buffer->data();
        const bool inside = fromOffset >= 0 && fromOffset < buffer->capacity();
        buffer->reserve(base + std::max(cap + cap / 2, needed + needed / 4));
        const qsizetype grown = buffer->capacity() - base;
        Unit *d = buffer->data() + base;
        std::memmove(d + grown - size, d + w, size_t(size) * sizeof(Unit));
        if (inside)
            from = buffer->data() + fromOffset;
        cap = grown;
        w = grown - size;
    }
    w -= length;
    std::memmove(buffer->data() + base + w, from, size_t(length) * sizeof(Unit));
}

// Occurrences that start in original[m-k+1, m) and run on into S.
template<typename Unit, typename Chars, typename Buffer>
void WholeWordScan<Unit, Chars, Buffer>::findCrossing()
{
    crossing.clear();
    const qsizetype first = std::max<qsizetype>(0, m - k + 1);
    const qsizetype left = m - first;
    const qsizetype right = std::min<qsizetype>(sLength(), k - 1);
    if (left == 0 || left + right < k)
        return;
    window.resize(size_t(left + right));
    std::memcpy(window.data(), searched() + first, size_t(left) * sizeof(Unit));
    if (foldCase)
        chars.fold(s(), right, window.data() + left);
    else
        std::memcpy(window.data() + left, s(), size_t(right) * sizeof(Unit));
    qsizetype j = 0;
    for (qsizetype i = 0; i < left + right; ++i) {
        while (j > 0 && window[size_t(i)] != key[j])
            j = fail[size_t(j - 1)];
        if (window[size_t(i)] == key[j])
            ++j;
        if (j == k) {
            if (chars.startsAt(origin(), first + i - k + 1))
                crossing.push_back(first + i - k + 1);
            j = fail[size_t(j - 1)];
        }
    }
}
