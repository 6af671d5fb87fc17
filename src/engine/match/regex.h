#pragma once

#include "engine/match/textedit.h"

#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

// Keyword patterns in the program's own dialect, run on PCRE2 with its JIT.
//
//   const RegexPattern pattern(QStringLiteral("[\\x4E00-\\x9FA5]+"));
//   const RegexReplacement replacement(QStringLiteral("<\\1>"), pattern, false);
//   regexReplace<char16_t>(pattern, replacement, text, n, sink);
//
// Patterns saved by earlier versions keep their meaning: four-digit \xhhhh, \0ooo octal,
// {,n}, a '.' that takes line breaks, a '$' only at the very end, \w taking marks, and
// the longest match at the leftmost place. A pattern that uses syntax the old dialect
// refused (lookbehind, lazy quantifiers, named groups, inline flags...) is new and runs
// with PCRE2's own rules: the first match by priority.

// Thrown from regexReplace when a match runs into PCRE2's limits.
class RegexTooComplex : public std::runtime_error
{
public:
    RegexTooComplex()
        : std::runtime_error("regular expression too complex")
    {
    }
};

// The pattern in PCRE2's syntax and how it has to run. Exposed for tests.
struct RegexTranslation
{
    QString pcre;
    // Written with syntax the old dialect refused: first match by priority.
    bool newSyntax = false;
    // The first match by priority is always the longest one as well.
    bool greedyIsLongest = true;
    bool backReferences = false;
    // PCRE2 10.42 takes a character a lookahead requires for one the match must consume
    // and passes over matches that begin with it: (?=a)a*a misses "a".
    bool lookahead = false;
    // A form of the old dialect PCRE2 cannot be made to run as it ran: a quantified
    // lookahead, or a back reference to a quantified group (repeatedReference, its
    // number), whose capture the old engine chose in a way of its own.
    bool refused = false;
    int repeatedReference = 0;
};
RegexTranslation translateRegex(const QString &pattern);

// A compiled pattern, for UTF-8 bytes and for UTF-16 text. Compiled once per run and
// shared by every thread: each thread matches with memory of its own.
class RegexPattern
{
public:
    // caseless: letters match either case (the old engine's case-insensitive matching).
    explicit RegexPattern(const QString &pattern, bool caseless = false);
    ~RegexPattern();
    RegexPattern(const RegexPattern &) = delete;
    RegexPattern &operator=(const RegexPattern &) = delete;

    bool isValid() const;
    // PCRE2's message and the offset in the pattern as typed, in Chinese or in English.
    QString errorText() const;
    QString errorTextEnglish() const;
    int captureCount() const;
    // The number of the group called name, or -1.
    int groupNumber(const QString &name) const;

    class Private;
    const Private *impl() const { return d.get(); }

private:
    std::unique_ptr<Private> d;
};

// The calling thread's compiled copy of a pattern, compiled on first use and kept for the
// files that follow.
std::shared_ptr<const RegexPattern> threadPattern(const QString &pattern, bool caseless = false);

// What replaces each match. By default '\' followed by digits names a group, as it always
// has (two digits where the pattern has that many groups), and everything else is
// literal, so C:\Users\Lee stays as typed. The extended syntax adds ${name}, \U…\E and
// \L…\E for case, and \\ for one backslash.
class RegexReplacement
{
public:
    RegexReplacement(const QString &replacement, const RegexPattern &pattern, bool extended);

    struct Piece
    {
        enum Kind { Literal, Group, Upper, Lower, EndCase };
        Kind kind = Literal;
        QString text;
        int group = 0;
    };
    const std::vector<Piece> &pieces() const { return m_pieces; }
    bool isLiteral() const { return m_literal; }

private:
    std::vector<Piece> m_pieces;
    bool m_literal = true;
};

template<typename Unit>
using UnitSink = std::function<void(const Unit *data, qsizetype size)>;

// Replaces every match of pattern in text [0, n) (valid UTF-8 for char, UTF-16 for
// char16_t), handing the result to sink in pieces; returns the count of replacements and,
// when edits is given, where they are. Throws RegexTooComplex.
template<typename Unit>
qsizetype regexReplace(const RegexPattern &pattern, const RegexReplacement &replacement,
    const Unit *text, qsizetype n, const UnitSink<Unit> &sink,
    std::vector<TextEdit> *edits = nullptr);

extern template qsizetype regexReplace<char>(const RegexPattern &, const RegexReplacement &,
    const char *, qsizetype, const UnitSink<char> &, std::vector<TextEdit> *);
extern template qsizetype regexReplace<char16_t>(const RegexPattern &, const RegexReplacement &,
    const char16_t *, qsizetype, const UnitSink<char16_t> &, std::vector<TextEdit> *);
