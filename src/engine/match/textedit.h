#pragma once

#include <QtGlobal>

#include <vector>

// One change from an original text to its result: the original's units
// [before, before + beforeLength) became the result's [after, after + afterLength).
struct TextEdit
{
    qsizetype before = 0;
    qsizetype beforeLength = 0;
    qsizetype after = 0;
    qsizetype afterLength = 0;

    bool operator==(const TextEdit &o) const
    {
        return before == o.before && beforeLength == o.beforeLength && after == o.after
            && afterLength == o.afterLength;
    }
};

// Folds the edits of one more step into edits from the original: total maps the
// original to the text the step started from, step maps that text on (both sorted,
// none overlapping). Edits that overlap, or an insertion strictly inside an earlier
// edit, become one.
void composeEdits(std::vector<TextEdit> *total, const std::vector<TextEdit> &step);
