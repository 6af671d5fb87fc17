#include "engine/match/textedit.h"

void composeEdits(std::vector<TextEdit> *total, const std::vector<TextEdit> &step)
{
    if (step.empty())
        return;
    const std::vector<TextEdit> &e = *total;
    std::vector<TextEdit> out;
    out.reserve(e.size() + step.size());
    qsizetype earlierShift = 0; // of total's edits passed, in the middle text
    qsizetype stepShift = 0; // of step's edits passed
    size_t i = 0;
    size_t j = 0;
    while (i < e.size() || j < step.size()) {
        if (j == step.size() || (i < e.size() && e[i].after + e[i].afterLength <= step[j].before)) {
            TextEdit moved = e[i++];
            earlierShift += moved.afterLength - moved.beforeLength;
            moved.after += stepShift;
            out.push_back(moved);
            continue;
        }
        qsizetype start = step[j].before;
        qsizetype end = start + step[j].beforeLength;
        qsizetype stepDelta = step[j].afterLength - step[j].beforeLength;
        qsizetype earlierDelta = 0;
        ++j;
        for (;;) {
            if (i < e.size() && e[i].after < end) {
                start = std::min(start, e[i].after);
                end = std::max(end, e[i].after + e[i].afterLength);
                earlierDelta += e[i].afterLength - e[i].beforeLength;
                ++i;
            } else if (j < step.size() && step[j].before < end) {
                end = std::max(end, step[j].before + step[j].beforeLength);
                stepDelta += step[j].afterLength - step[j].beforeLength;
                ++j;
            } else {
                break;
            }
        }
        const qsizetype originalStart = start - earlierShift;
        const qsizetype originalEnd = end - earlierShift - earlierDelta;
        out.push_back({originalStart, originalEnd - originalStart, start + stepShift,
            end - start + stepDelta});
        earlierShift += earlierDelta;
        stepShift += stepDelta;
    }
    *total = std::move(out);
}
