#pragma once

#include "engine/match/transform.h"
#include "engine/run.h"

#include <QString>
#include <QVector>

#include <optional>

// A file as a run would change it: its text before and after, and the spans that change,
// which the engine reports rather than a diff of two texts finding them.
struct FilePreview
{
    Reason reason = Reason::None;
    TextEncoding encoding;
    QString before;
    QString after;
    PairEdits edits;
    // Of the bytes read: the run started from the preview checks that they are still these.
    std::optional<Digest> read;
};

// Reads and replaces exactly as a run with these options would, writing nothing. Keeps at
// most limit edits; edits.complete says whether there were more.
FilePreview previewFile(
    const QString &path, const ReplacePairs &pairs, const RunOptions &options, int limit = 300);

// A file's bytes now, and the bytes a run with these options would write in their place
// (the same where it would not write the file at all).
struct FileRewrite
{
    Reason reason = Reason::None;
    QByteArray before;
    QByteArray after;
};

FileRewrite rewriteFile(const QString &path, const ReplacePairs &pairs, const RunOptions &options);

// Lines that change, as a window or a terminal shows them: consecutive lines of the
// original and of the result, numbered from 1, with the changed spans of each side
// relative to the start of its text.
struct ChangedLines
{
    struct Span
    {
        int start;
        int length;
    };

    int beforeLine = 0;
    QString beforeText;
    QVector<Span> beforeSpans;
    int afterLine = 0;
    QString afterText;
    QVector<Span> afterSpans;
};

// The preview's edits grouped by the lines they touch, in order; edits that share a line
// share an entry. At most maxEntries entries.
QVector<ChangedLines> changedLines(const FilePreview &preview, int maxEntries);
