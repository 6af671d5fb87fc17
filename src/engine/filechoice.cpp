#include "engine/filechoice.h"

#include "engine/match/transform.h"

#include <algorithm>

std::vector<TextEdit> choosableChanges(
    const QString &before, const QString &after, const std::vector<TextEdit> &edits)
{
    std::vector<TextEdit> changes;
    changes.reserve(edits.size());
    for (const TextEdit &edit : edits) {
        if (edit.beforeLength != edit.afterLength
            || QStringView(before).mid(edit.before, edit.beforeLength)
                != QStringView(after).mid(edit.after, edit.afterLength))
            changes.push_back(edit);
    }
    return changes;
}

bool leaveOut(const QString &original, QString *result, const std::vector<TextEdit> &edits,
    const std::vector<TextEdit> &leftOut)
{
    QString chosen;
    chosen.reserve(result->size());
    qsizetype at = 0;
    size_t next = 0;
    for (const TextEdit &edit : edits) {
        if (next == leftOut.size())
            break;
        if (!(leftOut[next] == edit))
            continue;
        chosen.append(result->constData() + at, int(edit.after - at));
        chosen.append(original.constData() + edit.before, int(edit.beforeLength));
        at = edit.after + edit.afterLength;
        ++next;
    }
    if (next != leftOut.size())
        return false;
    chosen.append(result->constData() + at, int(result->size() - at));
    *result = std::move(chosen);
    return true;
}

void uncount(const QString &original, const std::vector<TextEdit> &leftOut,
    const ReplaceSettings &settings, const ReplacePairs &pairs, QVector<int> *counts)
{
    for (const TextEdit &change : leftOut) {
        QVector<int> made;
        applyPairs(
            original.mid(int(change.before), int(change.beforeLength)), settings, pairs, &made);
        for (int i = 0; i < std::min(made.size(), counts->size()); ++i)
            (*counts)[i] = std::max(0, counts->at(i) - made.at(i));
    }
}
