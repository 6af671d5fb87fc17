#include "engine/transform.h"

#include "engine/replacer.h"

#include <QRegExp>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace {

// The most characters a QString can hold.
constexpr qint64 MaxChars = (std::numeric_limits<int>::max() - 64) / 2;

// Mirrors QString::replace(const QRegExp &, const QString &) — the same back-reference
// parsing, caret handling and step over empty matches — but builds the result in one
// pass instead of editing in place, which is quadratic with back-references. Matching
// always sees the original text, so a \b right after a replacement looks at what was
// there before rather than at the replacement.
QString replaceRegExp(QString text, const QString &pattern, Qt::CaseSensitivity cs,
    const QString &after, int *count, std::vector<TextEdit> *edits)
{
    QRegExp rx(pattern, cs, QRegExp::RegExp);
    if (!rx.isValid())
        return text;

    struct BackRef
    {
        int pos;
        int len;
        int no;
    };
    QVarLengthArray<BackRef, 8> refs;
    const int captures = rx.captureCount();
    const QChar *a = after.constData();
    const int al = after.size();
    if (captures > 0) {
        for (int i = 0; i < al - 1; ++i) {
            if (a[i] != QLatin1Char('\\'))
                continue;
            int no = a[i + 1].digitValue();
            if (no <= 0 || no > captures)
                continue;
            BackRef ref {i, 2, no};
            if (i < al - 2) {
                const int second = a[i + 2].digitValue();
                if (second != -1 && no * 10 + second <= captures) {
                    ref.no = no * 10 + second;
                    ++ref.len;
                }
            }
            refs.append(ref);
        }
    }

    const int n = text.size();
    const QChar *s = text.constData();
    QString out;
    bool matched = false;
    int copied = 0;
    int index = 0;
    QRegExp::CaretMode caret = QRegExp::CaretAtZero;
    while (index <= n) {
        const int pos = rx.indexIn(text, index, caret);
        if (pos < 0)
            break;
        const int length = rx.matchedLength();
        if (!matched) {
            out.reserve(n);
            matched = true;
        }
        out.append(s + copied, pos - copied);
        const int at = out.size();
        if (refs.isEmpty()) {
            out.append(after);
        } else {
            int from = 0;
            for (const BackRef &ref : refs) {
                out.append(a + from, ref.pos - from);
                out.append(rx.cap(ref.no));
                from = ref.pos + ref.len;
            }
            out.append(a + from, al - from);
        }
        if (out.size() > MaxChars)
            throw std::bad_alloc();
        if (edits)
            edits->push_back({pos, length, at, out.size() - at});
        copied = pos + length;
        index = copied + (length == 0 ? 1 : 0);
        caret = QRegExp::CaretWontMatch;
        ++*count;
    }
    if (!matched)
        return text;
    out.append(s + copied, n - copied);
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
            text = replaceRegExp(std::move(text), pair.first,
                settings.ignoreCase ? Qt::CaseInsensitive : Qt::CaseSensitive, pair.second, &count,
                edits ? &step : nullptr);
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
