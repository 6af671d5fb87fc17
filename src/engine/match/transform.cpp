#include "engine/match/transform.h"

#include "engine/match/regex.h"
#include "engine/match/replacer.h"

#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace {

// The most characters a QString can hold.
constexpr qint64 MaxChars = (std::numeric_limits<int>::max() - 64) / 2;

// Matching always sees the original text, so a \b right after a replacement looks at
// what was there before rather than at the replacement.
QString replaceRegExp(QString text, const QString &pattern, bool caseless, const QString &after,
    bool extended, int *count, std::vector<TextEdit> *edits)
{
    const std::shared_ptr<const RegexPattern> rx = threadPattern(pattern, caseless);
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

std::vector<UnitPair<ushort>> unitPairsOf(const ReplacePairs &pairs)
{
    std::vector<UnitPair<ushort>> units(size_t(pairs.size()));
    for (int i = 0; i < pairs.size(); ++i) {
        const ReplacePair &pair = pairs.at(i);
        if (pair.first.isEmpty())
            continue;
        units[size_t(i)].key.assign(pair.first.utf16(), pair.first.utf16() + pair.first.size());
        units[size_t(i)].rep.assign(pair.second.utf16(), pair.second.utf16() + pair.second.size());
    }
    return units;
}

} // namespace

QString applyPairs(QString text, const ReplaceSettings &settings, const ReplacePairs &pairs,
    QVector<int> *counts, PairEdits *edits)
{
    if (counts)
        counts->fill(0, pairs.size());
    std::vector<TextEdit> total;
    if (settings.ordinary()) {
        const Replacer<ushort> replacer(
            unitPairsOf(pairs), settings.wholeWord(), UnitChars<ushort>(), settings.ignoreCase);
        QStringUnits units(std::move(text));
        QStringUnits spare;
        std::vector<qsizetype> made;
        replacer.run(&units, &spare, &made, edits ? &total : nullptr);
        text = units.take();
        if (counts) {
            for (size_t i = 0; i < made.size(); ++i)
                (*counts)[int(i)]
                    = int(std::min<qsizetype>(made[i], std::numeric_limits<int>::max()));
        }
    } else {
        std::vector<TextEdit> step;
        for (int i = 0; i < pairs.size(); ++i) {
            const ReplacePair &pair = pairs.at(i);
            if (pair.first.isEmpty())
                continue;
            int count = 0;
            step.clear();
            text = replaceRegExp(std::move(text), pair.first, settings.ignoreCase, pair.second,
                settings.extendedReplacement, &count, edits ? &step : nullptr);
            if (edits)
                composeEdits(&total, step);
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
