#include "engine/pairs.h"

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
