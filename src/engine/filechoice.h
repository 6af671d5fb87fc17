#pragma once

#include "engine/durable/contenthash.h"
#include "engine/match/replacesettings.h"
#include "engine/match/textedit.h"

#include <QString>
#include <QVector>

#include <optional>
#include <vector>

// What a person chose of a file in the preview, for the run started from there. The run
// writes the file only while it holds the very bytes the preview read, and leaves the
// changes the person unchecked as they were; every other change it makes in full.
struct FileChoice
{
    // The digest of the bytes the preview read; none where it could not read the file.
    std::optional<Digest> read;
    // Off for a later name of one file in mode two: it reads what the name before wrote.
    bool checkRead = true;
    // The changes to leave out, as the preview's edits have them: sorted, none overlapping.
    std::vector<TextEdit> leftOut;
};

// The edits of a preview a person can choose among: those that change the text (pairs
// that put back what an earlier one replaced leave an edit that changes nothing).
std::vector<TextEdit> choosableChanges(
    const QString &before, const QString &after, const std::vector<TextEdit> &edits);

// Puts the original text of the leftOut changes back into result; edits are all the
// changes from original to result. False, leaving result alone, when a change to leave
// out is not one of them: the text is then not the one the preview showed.
bool leaveOut(const QString &original, QString *result, const std::vector<TextEdit> &edits,
    const std::vector<TextEdit> &leftOut);

// Takes off counts the replacements that made the leftOut changes, as the pairs make
// them in each change's original text on its own.
void uncount(const QString &original, const std::vector<TextEdit> &leftOut,
    const ReplaceSettings &settings, const ReplacePairs &pairs, QVector<int> *counts);
