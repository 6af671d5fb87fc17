#pragma once

#include "engine/match/pairchain.h"
#include "engine/match/unitbuffer.h"
#include "engine/match/wholewordscan.h"

#include <QString>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

// The one place that applies a list of pairs to a text held as code units, for every
// route: UTF-16 in a QString, and the bytes of UTF-8 or a double-byte code page.
//
//     Replacer<char> replacer(pairs, /*wholeWords=*/false);
//     replacer.run(&text, start, &spare, sink, &counts);
//
// A short list is applied one full pass per pair, each in place where it can be; a long
// one, or one whose edits are wanted, goes through PairChain, whose single scan for all
// keywords costs about as much as eight passes.

// A QString seen as a growable array of UTF-16 units, so that the scans edit the
// decoded text where it lies instead of in a copy.
class QStringUnits
{
public:
    // Takes in the spare room the string has, too.
    explicit QStringUnits(QString text = QString())
        : s(std::move(text))
        , n(s.size())
    {
        if (s.isDetached())
            s.resize(s.capacity());
    }

    ushort *data() { return reinterpret_cast<ushort *>(s.data()); }
    const ushort *data() const { return reinterpret_cast<const ushort *>(s.constData()); }
    qsizetype size() const { return n; }
    qsizetype capacity() const { return s.size(); }

    // Exactly what is asked for, keeping every unit up to the old capacity: the scans
    // keep work past the end.
    void reserve(qsizetype wanted)
    {
        if (wanted <= capacity())
            return;
        if (wanted > MaxUnits)
            throw std::bad_alloc();
        s.reserve(int(wanted));
        s.resize(s.capacity());
    }
    void resize(qsizetype size)
    {
        reserve(size);
        n = size;
    }
    void clear() { n = 0; }
    void append(const ushort *from, qsizetype count)
    {
        if (count <= 0)
            return;
        if (n + count > MaxUnits)
            throw std::bad_alloc();
        if (n + count > capacity())
            reserve(std::min(MaxUnits, std::max(n + count, capacity() + capacity() / 2)));
        std::memcpy(data() + n, from, size_t(count) * sizeof(ushort));
        n += count;
    }
    void swap(QStringUnits &other) noexcept
    {
        s.swap(other.s);
        std::swap(n, other.n);
    }
    QString take()
    {
        s.resize(int(n));
        n = 0;
        return std::move(s);
    }

private:
    // The most units a QString can hold.
    static constexpr qsizetype MaxUnits = (std::numeric_limits<int>::max() - 64) / 2;

    QString s; // all of it in use: its size is the capacity
    qsizetype n;
};

template<typename Unit, typename Chars = UnitChars<Unit>>
class Replacer
{
public:
    // With foldCase, keywords match text that differs from them only in case, as
    // Chars::fold() tells it.
    Replacer(std::vector<UnitPair<Unit>> pairs, bool wholeWords, Chars chars = Chars(),
        bool foldCase = false)
        : chain(foldedKeys(std::move(pairs), chars, foldCase), wholeWords, chars, foldCase)
        , chars(std::move(chars))
        , foldCase(foldCase)
    {
        for (int i = 0; i < chain.size(); ++i) {
            if (!chain.pair(i).key.empty())
                active.push_back(i);
        }
    }

    int size() const { return chain.size(); }
    const UnitPair<Unit> &pair(int i) const { return chain.pair(i); }
    // Whether no pair can ever match.
    bool idle() const { return active.empty(); }

    // Replaces in (*text)[start, size()), which it may overwrite, handing the result to
    // sink(units, count) in pieces. spare is a second buffer it may use. counts gets one
    // entry per pair; edits, when given, the changes from the text to the result.
    template<typename Buffer, typename Sink>
    void run(Buffer *text, qsizetype start, Buffer *spare, Sink &&sink,
        std::vector<qsizetype> *counts, std::vector<TextEdit> *edits = nullptr) const
    {
        counts->assign(size_t(size()), 0);
        if (active.empty()) {
            sink(text->data() + start, text->size() - start);
        } else if (!edits && int(active.size()) <= DirectPairs) {
            direct(text, start, spare, &sink, counts);
        } else {
            chain.run(text->data() + start, text->size() - start, sink, counts, edits);
        }
    }

    // The same, leaving the result in *text.
    template<typename Buffer>
    void run(Buffer *text, Buffer *spare, std::vector<qsizetype> *counts,
        std::vector<TextEdit> *edits = nullptr) const
    {
        counts->assign(size_t(size()), 0);
        if (active.empty())
            return;
        if (!edits && int(active.size()) <= DirectPairs) {
            direct<Buffer, NoSink>(text, 0, spare, nullptr, counts);
            return;
        }
        spare->clear();
        spare->reserve(text->size() + text->size() / 16);
        chain.run(
            text->data(), text->size(),
            [spare](const Unit *u, qsizetype n) { spare->append(u, n); }, counts, edits);
        text->swap(*spare);
    }

private:
    // Up to this many pairs are applied one full pass each.
    static constexpr int DirectPairs = 8;

    struct NoSink
    {
        void operator()(const Unit *, qsizetype) const { }
    };

    // One full pass per pair; with a sink, the last pass writes there instead of back.
    template<typename Buffer, typename Sink>
    void direct(Buffer *text, qsizetype start, Buffer *spare, Sink *sink,
        std::vector<qsizetype> *counts) const;

    // One ordinary pass over (*text)[start, size()), the result left in *text or, when it
    // has to be built elsewhere, in *spare, swapped in.
    template<typename Buffer>
    qsizetype replaceInBuffer(Buffer *text, qsizetype start, Buffer *spare,
        const UnitPair<Unit> &pair, const Unit *folded) const;

    static std::vector<UnitPair<Unit>> foldedKeys(
        std::vector<UnitPair<Unit>> pairs, const Chars &chars, bool foldCase)
    {
        if (foldCase) {
            for (UnitPair<Unit> &pair : pairs) {
                std::vector<Unit> folded(pair.key.size());
                chars.fold(pair.key.data(), qsizetype(pair.key.size()), folded.data());
                pair.key = std::move(folded);
            }
        }
        return pairs;
    }

    // The text as it is matched: null for itself, or its folding kept in scratch.
    const Unit *matched(const Unit *s, qsizetype n, std::vector<Unit> *scratch) const
    {
        if (!foldCase)
            return nullptr;
        scratch->resize(size_t(n));
        chars.fold(s, n, scratch->data());
        return scratch->data();
    }

    PairChain<Unit, Chars> chain;
    Chars chars;
    bool foldCase;
    std::vector<int> active; // the pairs whose keyword can occur
};

// Implementation details only, past this point.

template<typename Unit, typename Chars>
template<typename Buffer, typename Sink>
void Replacer<Unit, Chars>::direct(
    Buffer *text, qsizetype start, Buffer *spare, Sink *sink, std::vector<qsizetype> *counts) const
{
    std::vector<Unit> scratch;
    for (size_t t = 0; t < active.size(); ++t) {
        const int i = active[t];
        const UnitPair<Unit> &p = chain.pair(i);
        const bool toSink = sink && t + 1 == active.size();
        qsizetype &count = (*counts)[size_t(i)];
        if (chain.wholeWords()) {
            WholeWordScan<Unit, Chars, Buffer> scan(p.key.data(), qsizetype(p.key.size()),
                p.rep.data(), qsizetype(p.rep.size()), chars, foldCase);
            count = scan.run(*text, start, nullptr);
            if (toSink)
                (*sink)(text->data() + start, text->size() - start);
        } else {
            const Unit *s = text->data() + start;
            const qsizetype n = text->size() - start;
            const Unit *folded = matched(s, n, &scratch);
            if (toSink)
                count = replaceOrdinaryTo(s, n, p, *sink, nullptr, chars.starts(), folded);
            else
                count = replaceInBuffer(text, start, spare, p, folded);
        }
    }
}

template<typename Unit, typename Chars>
template<typename Buffer>
qsizetype Replacer<Unit, Chars>::replaceInBuffer(Buffer *text, qsizetype start, Buffer *spare,
    const UnitPair<Unit> &pair, const Unit *folded) const
{
    const qsizetype n = text->size() - start;
    const qsizetype k = qsizetype(pair.key.size());
    const qsizetype r = qsizetype(pair.rep.size());
    if (r <= k) {
        // Never longer: written over the text behind the search.
        Unit *w = text->data() + start;
        const qsizetype count = replaceOrdinaryTo(
            text->data() + start, n, pair,
            [&w](const Unit *u, qsizetype c) {
                // An empty replacement may have no storage at all.
                if (c > 0)
                    std::memmove(w, u, size_t(c) * sizeof(Unit));
                w += c;
            },
            nullptr, chars.starts(), folded);
        text->resize(w - text->data());
        return count;
    }
    // Longer: note where the occurrences are, grow the text and fill it from the end,
    // where the writing never overtakes what is still to be read.
    std::vector<qsizetype> positions;
    const size_t most = std::max<size_t>(4096, size_t(n) / 16);
    bool tooMany = false;
    const Unit *searched = folded ? folded : text->data() + start;
    forEachOccurrence(searched, n, pair.key, chars.starts(), [&](qsizetype p) {
        if (positions.size() == most) {
            tooMany = true;
            return false;
        }
        positions.push_back(p);
        return true;
    });
    if (positions.empty())
        return 0;
    if (tooMany) {
        // So many that their list would cost more than a second text.
        spare->clear();
        spare->reserve(n + n / 8);
        const qsizetype count = replaceOrdinaryTo(
            text->data() + start, n, pair,
            [spare](const Unit *u, qsizetype c) { spare->append(u, c); }, nullptr, chars.starts(),
            folded);
        text->resize(start);
        text->append(spare->data(), spare->size());
        return count;
    }
    const qsizetype size = n + qsizetype(positions.size()) * (r - k);
    text->resize(start + size);
    Unit *d = text->data() + start;
    qsizetype write = size;
    qsizetype readEnd = n;
    for (auto p = positions.crbegin(); p != positions.crend(); ++p) {
        const qsizetype tail = readEnd - (*p + k);
        write -= tail;
        std::memmove(d + write, d + *p + k, size_t(tail) * sizeof(Unit));
        write -= r;
        std::memcpy(d + write, pair.rep.data(), size_t(r) * sizeof(Unit));
        readEnd = *p;
    }
    return qsizetype(positions.size());
}
