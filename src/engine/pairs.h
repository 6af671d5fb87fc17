#pragma once

#include "engine/match/replacesettings.h"

#include <QString>
#include <QStringList>

// Keyword line j, split at the separator, pairs each non-empty part with
// replacement line j ("" when there is none). Parts are taken as they are, untrimmed.
ReplacePairs buildModeOnePairs(
    const QStringList &keywordLines, const QStringList &replacementLines, const QString &separator);

// One file's column of the table: keyword cell r, split like a mode-one line, pairs
// each non-empty part with that file's replacement cell r ("" when missing).
ReplacePairs buildModeTwoPairs(
    const QStringList &keywordCells, const QStringList &replacementCells, const QString &separator);

// Plain ASCII keywords matched as text, with plain ASCII replacements: they change only
// ASCII bytes, and every other byte comes back as it was in any ASCII-compatible reading.
// Such a run may go on in an encoding that detection was not sure of.
bool keepsAnyAsciiReading(const ReplaceSettings &settings, const ReplacePairs &pairs);
