#pragma once

#include "engine/text/textencoding.h"

#include <QPair>
#include <QString>
#include <QVector>

using ReplacePair = QPair<QString, QString>;
using ReplacePairs = QVector<ReplacePair>;

// How keywords are found in the text.
enum class MatchMode {
    Plain,
    WholeWord, // plain text not joined to a word character on either side
    RegularExpression,
};

// How a run replaces, the same for all of its files. The window or the command line
// builds it once; the run, the preview and every worker read it as it was given.
struct ReplaceSettings
{
    MatchMode match = MatchMode::Plain;
    TextEncoding encoding;
    // Each file keeps its line breaks, byte-order mark and encoding, and one in which
    // nothing was replaced is not written at all.
    bool keepFormat = false;
    // Goes through everything but the write, keeping the counts.
    bool dryRun = false;
    // A dry run also keeps the text it would write.
    bool keepText = false;
    // Keywords match text that differs from them only in case (Unicode simple case
    // folding), for every match mode.
    bool ignoreCase = false;
    // Replacements of regular expressions also take ${name}, \U…\E, \L…\E and \\.
    bool extendedReplacement = false;

    // The window's radio buttons, its settings file and list workbooks keep the match as
    // two flags ("ordinary" and "full"); whole word is only ever a kind of ordinary match.
    static MatchMode matchOf(bool ordinary, bool wholeWord)
    {
        if (!ordinary)
            return MatchMode::RegularExpression;
        return wholeWord ? MatchMode::WholeWord : MatchMode::Plain;
    }
    bool ordinary() const { return match != MatchMode::RegularExpression; }
    bool wholeWord() const { return match == MatchMode::WholeWord; }
    bool regularExpressions() const { return match == MatchMode::RegularExpression; }
};

// The worker's options as callers from outside this program still build them: the
// settings and one file's pairs, the match as its two flags.
struct RepOptions
{
    bool ordinary = true;
    bool full = false; // whole word; only read when ordinary is true
    ReplacePairs pairs;
    TextEncoding encoding;
    bool dryRun = false;
    bool keepText = false;
    bool keepFormat = false;

    ReplaceSettings settings() const
    {
        ReplaceSettings s;
        s.match = ReplaceSettings::matchOf(ordinary, full);
        s.encoding = encoding;
        s.keepFormat = keepFormat;
        s.dryRun = dryRun;
        s.keepText = keepText;
        return s;
    }
};
