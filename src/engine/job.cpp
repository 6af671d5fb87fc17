#include "engine/job.h"

#include "engine/match/regex.h"
#include "engine/pairs.h"
#include "files/pathlist.h"

#include <QSet>

namespace {

Job refused(Refusal::Kind kind, int state, const char *title, const char *text, const char *english)
{
    Job job;
    job.refusal = {
        kind, state, QString::fromUtf8(title), QString::fromUtf8(text), QString::fromUtf8(english)};
    return job;
}

Job emptyList()
{
    return refused(Refusal::EmptyList, 51, "警告", "纯文本文件列表为空,请添加纯文本文件到列表!",
        "no files to process");
}

Job emptyKeyword(int line)
{
    Job job = refused(Refusal::EmptyKeyword, 50, "", "发现被替换关键字有[空]行,请检查!",
        "a keyword line is empty");
    job.refusal.line = line;
    return job;
}

Job refusedPattern(const QString &pattern, const RegexPattern &rx)
{
    Job job;
    job.refusal = {Refusal::InvalidPattern, 51, QStringLiteral("警告"),
        QStringLiteral("正则表达式【%1】有误：%2，请检查!").arg(pattern, rx.errorText()),
        QStringLiteral("invalid regular expression \"%1\": %2")
            .arg(pattern, rx.errorTextEnglish())};
    return job;
}

Job refusedNul()
{
    return refused(Refusal::NulCharacter, 51, "警告",
        "【被替换关键字】或【欲替换为】含有空字符(NUL)，请检查!",
        "a keyword or replacement holds a NUL character");
}

bool holdsNul(const QString &text)
{
    return text.contains(QChar(0));
}

// Each distinct keyword and replacement is looked at once, however many files share it.
Job checkPairs(Job job, bool regularExpressions)
{
    QSet<QString> seen;
    for (const FileJob &file : qAsConst(job.files)) {
        for (const ReplacePair &pair : file.pairs) {
            if (holdsNul(pair.second))
                return refusedNul();
            if (seen.contains(pair.first))
                continue;
            seen.insert(pair.first);
            if (holdsNul(pair.first))
                return refusedNul();
            if (regularExpressions) {
                const RegexPattern rx(pair.first);
                if (!rx.isValid())
                    return refusedPattern(pair.first, rx);
            }
        }
    }
    return job;
}

// An editor always holds at least one line, if only an empty one.
QStringList editorLines(const QStringList &lines)
{
    return lines.isEmpty() ? QStringList {QString()} : lines;
}

} // namespace

void dropDuplicatePaths(ModeOneList *list)
{
    list->paths = PathList(list->paths).paths();
}

void dropDuplicatePaths(ModeTwoList *list)
{
    PathList kept;
    QVector<int> columns {0};
    for (int i = 0; i < list->paths.size(); ++i) {
        if (kept.append(list->paths.at(i)))
            columns.append(i + 1);
    }
    if (kept.size() == list->paths.size())
        return;
    list->paths = kept.paths();
    for (QStringList &row : list->rows) {
        QStringList cells;
        for (const int column : qAsConst(columns))
            cells.append(row.value(column));
        row = cells;
    }
}

Job buildModeOneJob(const ModeOneList &list, const QString &separator, bool regularExpressions)
{
    if (list.paths.isEmpty())
        return emptyList();
    const QStringList keys = editorLines(list.keywordLines);
    const QStringList replacements = editorLines(list.replacementLines);
    if (keys.size() < replacements.size())
        return refused(Refusal::LineCountMismatch, 51, "警告",
            "【被替换关键字】与【欲替换为】内容条目数量不一致，请检查!",
            "more replacement lines than keyword lines");
    // The editor's text starts with two line breaks.
    if (keys.size() >= 3 && keys.at(0).isEmpty() && keys.at(1).isEmpty())
        return refused(Refusal::LeadingEmptyLines, 51, "警告", "【被替换关键字】存在空行，请检查!",
            "the keywords start with empty lines");
    if (keys.size() == 1 && keys.at(0).isEmpty())
        return refused(
            Refusal::NoKeywords, 51, "警告!", "无【被替换关键字】内容，请填写!", "no keywords");
    for (int line = 0; line < keys.size(); ++line) {
        if (keys.at(line).isEmpty())
            return emptyKeyword(line);
    }

    const ReplacePairs pairs = buildModeOnePairs(keys, replacements, separator);
    Job job;
    job.files.reserve(list.paths.size());
    for (const QString &path : list.paths)
        job.files.append({path, pairs});
    return checkPairs(std::move(job), regularExpressions);
}

Job buildModeTwoJob(const ModeTwoList &list, const QString &separator, bool regularExpressions)
{
    if (list.paths.isEmpty())
        return emptyList();
    QStringList keywordCells;
    for (int row = 0; row < list.rows.size(); ++row) {
        if (list.rows.at(row).value(0).isEmpty())
            return emptyKeyword(row);
        keywordCells.append(list.rows.at(row).value(0));
    }

    Job job;
    job.perName = true;
    job.files.reserve(list.paths.size());
    for (int file = 0; file < list.paths.size(); ++file) {
        QStringList replacements;
        for (const QStringList &row : list.rows)
            replacements.append(row.value(file + 1));
        job.files.append(
            {list.paths.at(file), buildModeTwoPairs(keywordCells, replacements, separator)});
    }
    return checkPairs(std::move(job), regularExpressions);
}
