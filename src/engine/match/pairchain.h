#pragma once

#include "engine/match/textedit.h"
#include "engine/match/unitbuffer.h"
#include "engine/match/unitsearch.h"
#include "engine/match/wholewordscan.h"

#include <algorithm>
#include <optional>
#include <vector>

// One pair as code units; an empty key is skipped.
template<typename Unit>
struct UnitPair
{
    std::vector<Unit> key;
    std::vector<Unit> rep;
};

// Calls take(p) for every occurrence of key in s starting on a character, left to
// right and without overlap, until it returns false.
template<typename Unit, typename Starts, typename Take>
void forEachOccurrence(
    const Unit *s, qsizetype n, const std::vector<Unit> &key, Starts starts, Take &&take)
{
    const qsizetype k = qsizetype(key.size());
    for (qsizetype p = findKey(s, n, 0, key.data(), k); p >= 0;
         p = findKey(s, n, p + k, key.data(), k)) {
        while (p >= 0 && !starts(s, p, k))
            p = findKey(s, n, p + 1, key.data(), k);
        if (p < 0 || !take(p))
            break;
    }
}

// Every occurrence of key in s starting on a character, left to right and without
// overlap, replaced by rep and handed to sink(units, count) in order with the text
// between. edits, when given, receive one entry per replacement. folded, when given, is
// s case-folded, searched for a folded key instead of s.
template<typename Unit, typename Sink, typename Starts = typename UnitChars<Unit>::Starts>
qsizetype replaceOrdinaryTo(const Unit *s, qsizetype n, const UnitPair<Unit> &pair, Sink &&sink,
    std::vector<TextEdit> *edits = nullptr, Starts starts = Starts(), const Unit *folded = nullptr)
{
    const qsizetype k = qsizetype(pair.key.size());
    const qsizetype r = qsizetype(pair.rep.size());
    qsizetype count = 0;
    qsizetype read = 0;
    forEachOccurrence(folded ? folded : s, n, pair.key, starts, [&](qsizetype p) {
        sink(s + read, p - read);
        sink(pair.rep.data(), r);
        if (edits)
            edits->push_back({p, k, p + count * (r - k), r});
        read = p + k;
        ++count;
        return true;
    });
    sink(s + read, n - read);
    return count;
}

// Applies a list of pairs in order, each to the text the previous ones left, at a cost
// close to linear in the text however long the list. The text is cut into segments
// after units that no keyword or replacement contains, so no occurrence can ever span
// two segments and each can be edited alone; one scan for all keywords tells which
// segments each pair has to visit, and after a pair has changed a segment only the
// windows around its replacements are searched for the keywords of later pairs.
template<typename Unit, typename Chars = UnitChars<Unit>>
class PairChain
{
public:
    // With foldCase, the keys are already folded and the text is matched as folded.
    PairChain(std::vector<UnitPair<Unit>> pairs, bool wholeWords, Chars chars = Chars(),
        bool foldCase = false)
        : list(std::move(pairs))
        , whole(wholeWords)
        , foldCase(foldCase)
        , chars(std::move(chars))
        , index(keysOf(list), Chars::Utf8)
    {
        static const char separators[] = "\n\r\t ,.;:<>=\"'()[]{}";
        for (const char c : separators) {
            if (c != 0)
                cut[int(c)] = this->chars.standalone(uchar(c));
        }
        for (const UnitPair<Unit> &pair : list) {
            if (pair.key.empty())
                continue;
            for (const auto *side : {&pair.key, &pair.rep}) {
                for (const Unit u : *side) {
                    if (uint(u) < 128)
                        cut[uint(u)] = false;
                }
            }
        }
    }

    int size() const { return int(list.size()); }
    const UnitPair<Unit> &pair(int i) const { return list[size_t(i)]; }
    bool wholeWords() const { return whole; }

    // Hands the result to sink(units, count) in pieces; counts gets one entry per pair,
    // edits (when given) the changes from text to the result.
    template<typename Sink>
    void run(const Unit *text, qsizetype n, Sink &&sink, std::vector<qsizetype> *counts,
        std::vector<TextEdit> *edits = nullptr) const;

private:
    // Segments are at least this long, so that their bookkeeping stays small.
    static constexpr qsizetype MinSegment = 256;

    struct Segment
    {
        qsizetype begin;
        qsizetype length;
        int owned;
    };

    static std::vector<typename KeyIndex<Unit>::Key> keysOf(
        const std::vector<UnitPair<Unit>> &pairs)
    {
        std::vector<typename KeyIndex<Unit>::Key> keys;
        for (size_t i = 0; i < pairs.size(); ++i)
            keys.push_back({pairs[i].key.data(), qsizetype(pairs[i].key.size()), int(i)});
        return keys;
    }

    std::vector<Segment> segmentsOf(const Unit *text, qsizetype n) const
    {
        std::vector<Segment> segments;
        segments.reserve(size_t(n / MinSegment + 1));
        qsizetype start = 0;
        while (start < n) {
            qsizetype end = n;
            for (qsizetype i = start + MinSegment - 1; i < n; ++i) {
                if (uint(text[i]) < 128 && cut[uint(text[i])]) {
                    end = i + 1;
                    break;
                }
            }
            segments.push_back({start, end - start, -1});
            start = end;
        }
        return segments;
    }

    // The text as it is matched: itself, or its folding kept in scratch.
    const Unit *matched(const Unit *s, qsizetype n, std::vector<Unit> *scratch) const
    {
        if (!foldCase)
            return s;
        scratch->resize(size_t(n));
        chars.fold(s, n, scratch->data());
        return scratch->data();
    }

    std::vector<UnitPair<Unit>> list;
    bool whole;
    bool foldCase;
    Chars chars;
    KeyIndex<Unit> index;
    bool cut[128] = {};
};

template<typename Unit, typename Chars>
template<typename Sink>
void PairChain<Unit, Chars>::run(const Unit *text, qsizetype n, Sink &&sink,
    std::vector<qsizetype> *counts, std::vector<TextEdit> *edits) const
{
    counts->assign(list.size(), 0);
    std::vector<Segment> segments = segmentsOf(text, n);
    std::vector<std::vector<int>> candidates(list.size());
    const auto note = [&candidates](int pair, int segment) {
        std::vector<int> &c = candidates[size_t(pair)];
        if (c.empty() || c.back() != segment)
            c.push_back(segment);
    };
    std::vector<Unit> scratch;
    const Unit *matchedText = matched(text, n, &scratch);
    for (size_t s = 0; s < segments.size(); ++s) {
        const Segment &g = segments[s];
        index.scan(matchedText + g.begin, g.length, 0, g.length, [&](int id) { note(id, int(s)); });
    }

    std::vector<UnitBuffer<Unit>> owned;
    std::vector<std::vector<TextEdit>> ownedEdits;
    UnitBuffer<Unit> work;
    std::vector<TextEdit> step;
    const qsizetype reach = index.longestKey() - 1;
    for (size_t i = 0; i < list.size(); ++i) {
        std::vector<int> &visit = candidates[i];
        if (visit.empty())
            continue;
        std::sort(visit.begin(), visit.end());
        visit.erase(std::unique(visit.begin(), visit.end()), visit.end());
        const UnitPair<Unit> &p = list[i];
        std::optional<WholeWordScan<Unit, Chars>> scan;
        if (whole)
            scan.emplace(p.key.data(), qsizetype(p.key.size()), p.rep.data(),
                qsizetype(p.rep.size()), chars, foldCase);
        for (const int s : visit) {
            Segment &g = segments[size_t(s)];
            const Unit *current = g.owned < 0 ? text + g.begin : owned[size_t(g.owned)].data();
            const qsizetype length = g.owned < 0 ? g.length : owned[size_t(g.owned)].size();
            step.clear();
            work.clear();
            qsizetype count;
            if (whole) {
                work.append(current, length);
                count = scan->run(work, 0, &step);
            } else {
                count = replaceOrdinaryTo(
                    current, length, p, [&work](const Unit *u, qsizetype c) { work.append(u, c); },
                    &step, chars.starts(), foldCase ? matched(current, length, &scratch) : nullptr);
            }
            if (count == 0)
                continue;
            (*counts)[i] += count;
            if (g.owned < 0) {
                g.owned = int(owned.size());
                owned.emplace_back();
                if (edits)
                    ownedEdits.emplace_back();
            }
            UnitBuffer<Unit> &now = owned[size_t(g.owned)];
            now.swap(work);
            if (edits)
                composeEdits(&ownedEdits[size_t(g.owned)], step);
            const Unit *nowMatched = matched(now.data(), now.size(), &scratch);
            qsizetype searched = 0;
            for (const TextEdit &e : step) {
                const qsizetype from = std::max(searched, e.after - reach);
                const qsizetype to = e.after + e.afterLength;
                if (to <= from)
                    continue;
                index.scan(nowMatched, now.size(), from, to, [&](int id) {
                    if (size_t(id) > i)
                        note(id, s);
                });
                searched = to;
            }
        }
    }

    qsizetype written = 0;
    for (const Segment &g : segments) {
        if (g.owned < 0) {
            sink(text + g.begin, g.length);
            written += g.length;
            continue;
        }
        const UnitBuffer<Unit> &now = owned[size_t(g.owned)];
        if (edits) {
            for (TextEdit e : ownedEdits[size_t(g.owned)]) {
                e.before += g.begin;
                e.after += written;
                edits->push_back(e);
            }
        }
        sink(now.data(), now.size());
        written += now.size();
    }
}
