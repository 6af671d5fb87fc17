#pragma once

#include "engine/rep.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <optional>

// The options a list was made with, kept beside it in a list workbook so that the list
// runs again as it ran. Each is absent where the workbook does not say.
struct ListOptions
{
    std::optional<QString> encoding; // one of TextEncoding::choiceNames()
    std::optional<bool> regex;
    std::optional<bool> wholeWord;
    std::optional<bool> keepFormat;
    std::optional<bool> ignoreCase;
    // Absent in lists written before the syntax existed, which meant it off.
    std::optional<bool> extendedReplacement;
    std::optional<QString> separator;

    bool isEmpty() const
    {
        return !encoding && !regex && !wholeWord && !keepFormat && !ignoreCase
            && !extendedReplacement && !separator;
    }
};

// Mode one's input as the window's editors hold it and a list workbook stores it: the
// files, and one entry per editor line (an empty editor holds one empty line).
struct ModeOneList
{
    QStringList paths;
    QStringList keywordLines;
    QStringList replacementLines;
    ListOptions options;
};

// Mode two's input: rows[r][0] is keyword cell r, rows[r][c] its replacement in
// paths[c - 1]; a shorter row means empty replacements for the remaining files. The
// table's last row, where new keywords are typed, is not part of it.
struct ModeTwoList
{
    QStringList paths;
    QVector<QStringList> rows;
    ListOptions options;
};

// Why a run must not start, worded as the window warns and the command line prints.
struct Refusal
{
    enum Kind {
        None,
        EmptyList,
        LineCountMismatch,
        LeadingEmptyLines,
        NoKeywords,
        EmptyKeyword,
        InvalidPattern,
        NulCharacter,
    };

    Kind kind = None;
    // The status the window shows: 51 after a warning box, 50 without one.
    int state = 0;
    QString title;
    QString text;
    QString english;
    // The keyword line (mode one) or table row (mode two) at fault, from 0; -1 for none.
    int line = -1;
};

struct FileJob
{
    QString path;
    ReplacePairs pairs;
    // For a run started from the preview: what it showed of the file, and what was chosen.
    std::shared_ptr<const FileChoice> choice;
};

// A run's work: one pair list per file in list order, or the refusal that stops it.
struct Job
{
    Refusal refusal;
    QVector<FileJob> files;
    // Mode two's rule for one file listed under several names (links): each name's
    // pairs apply, in list order. Otherwise such a file is replaced once.
    bool perName = false;

    bool isRefused() const { return refusal.kind != Refusal::None; }
};

// Keeps the first of each listed path; in mode two a later column naming a path already
// listed goes with all its cells.
void dropDuplicatePaths(ModeOneList *list);
void dropDuplicatePaths(ModeTwoList *list);

// With regularExpressions, every keyword must be a valid expression; in any mode no
// keyword or replacement may hold a NUL character, which would turn the file binary.
Job buildModeOneJob(const ModeOneList &list, const QString &separator, bool regularExpressions);
Job buildModeTwoJob(const ModeTwoList &list, const QString &separator, bool regularExpressions);
