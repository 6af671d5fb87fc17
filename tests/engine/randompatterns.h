#pragma once

// Random patterns of the old dialect, shared by the tests that hold the engine to the
// old one and the byte route to the decoding route.

#include <QRandomGenerator>
#include <QStringList>

namespace testutil {

// Random pieces of the old dialect, the forms whose meaning differs in PCRE2's among them.
inline QString randomPattern(QRandomGenerator &random)
{
    static const QStringList atoms
        = {"a", "b", "1", " ", "中", "文", "。", ".", "\\d", "\\w", "\\s", "\\W", "\\D", "\\S",
            "\\x4E2D", "\\x0061", "\\x4e", "\\0141", "\\01", "\\v", "\\y", "\\-", "[a-c]", "[^a]",
            "[\\x4E00-\\x9FA5]", "[\\w-]", "[^\\W]", "[\\Wa]", "[c-a]", "[]a]", "[\\d中]", "\\n",
            "(a|ab)", "(b|中)", "(\\d+)", "(a*)", "(?:a|1)", "(a)\\1", "\\b", "\\B", "^", "$",
            "\\2", "x|", "(?=a)", "(?!b)", "(?=\\d+)", "(?!中|文)", "(?=(a|ab))", "(?!(\\d))"};
    static const QStringList quantifiers
        = {"", "", "", "*", "+", "?", "{2}", "{1,2}", "{,2}", "{1,}", "{0}", "{,}"};
    QString pattern;
    const int count = 1 + random.bounded(4);
    for (int i = 0; i < count; ++i)
        pattern += atoms.at(random.bounded(atoms.size()))
            + quantifiers.at(random.bounded(quantifiers.size()));
    return pattern;
}

} // namespace testutil
