#include "engine/pairs.h"

#include "engine/match/utf8replace.h"

#include <algorithm>

namespace {

ReplacePairs buildPairs(
    const QStringList &keywords, const QStringList &replacements, const QString &separator)
{
    ReplacePairs pairs;
    for (int i = 0; i < keywords.size(); ++i) {
        const QString replacement = replacements.value(i);
        // An empty separator splits between every character: each one is a keyword.
        const QStringList parts
            = keywords.at(i).split(separator, Qt::KeepEmptyParts, Qt::CaseSensitive);
        for (const QString &part : parts) {
            if (!part.isEmpty())
                pairs.append(ReplacePair(part, replacement));
        }
    }
    return pairs;
}

} // namespace

ReplacePairs buildModeOnePairs(
    const QStringList &keywordLines, const QStringList &replacementLines, const QString &separator)
{
    return buildPairs(keywordLines, replacementLines, separator);
}

ReplacePairs buildModeTwoPairs(
    const QStringList &keywordCells, const QStringList &replacementCells, const QString &separator)
{
    return buildPairs(keywordCells, replacementCells, separator);
}

bool keepsAnyAsciiReading(const ReplaceSettings &settings, const ReplacePairs &pairs)
{
    const auto ascii = [](const QString &text) {
        return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
    };
    return settings.ordinary()
        && std::all_of(pairs.cbegin(), pairs.cend(), [&](const ReplacePair &pair) {
               return ascii(pair.first) && ascii(pair.second)
                   && (!settings.ignoreCase || foldsFromAsciiOnly(pair.first));
           });
}
