#pragma once

#include "engine/match/replacesettings.h"
#include "engine/match/textedit.h"

#include <QString>
#include <QVector>

#include <vector>

// What a preview shows of a file: the spans that changed, without diffing two texts.
struct PairEdits
{
    qsizetype limit = 500; // the most edits kept
    // Sorted, none overlapping, original positions to result positions; a replacement
    // that rewrote text an earlier pair inserted is part of the same edit.
    std::vector<TextEdit> edits;
    bool complete = true; // false when there were more edits than limit
};

// Applies the pairs in list order, each to the text the previous ones left.
// Pairs with an empty keyword are skipped. When counts is given it receives one
// entry per pair: how many replacements that pair made; edits, when given, the
// changes from text to the result.
QString applyPairs(QString text, const ReplaceSettings &settings, const ReplacePairs &pairs,
    QVector<int> *counts = nullptr, PairEdits *edits = nullptr);
