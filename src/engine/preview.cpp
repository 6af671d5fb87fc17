#include "engine/preview.h"

#include "engine/durable/safefile.h"
#include "engine/match/regex.h"
#include "engine/pairs.h"
#include "engine/text/textformat.h"

#include <algorithm>
#include <new>

namespace {

// Where each line of a text starts; line i runs up to the break before line i + 1.
class LineIndex
{
public:
    explicit LineIndex(const QString &text)
        : m_text(text)
    {
        m_starts.append(0);
        for (int i = 0; i < text.size(); ++i) {
            if (text.at(i) == QLatin1Char('\n'))
                m_starts.append(i + 1);
        }
    }

    int lineOf(qsizetype position) const
    {
        return int(std::upper_bound(m_starts.cbegin(), m_starts.cend(), position)
                   - m_starts.cbegin())
            - 1;
    }
    int start(int line) const { return m_starts.at(line); }
    // The end of the line's text, before its break ("\r\n" of a kept mixed file too).
    int end(int line) const
    {
        int end = line + 1 < m_starts.size() ? m_starts.at(line + 1) - 1 : m_text.size();
        if (end > start(line) && m_text.at(end - 1) == QLatin1Char('\r'))
            --end;
        return end;
    }

private:
    const QString &m_text;
    QVector<int> m_starts;
};

// The lines an edit's range touches; an empty range at a line's start touches that line.
std::pair<int, int> linesOf(const LineIndex &lines, qsizetype from, qsizetype length)
{
    const int first = lines.lineOf(from);
    const int last = length > 0 ? lines.lineOf(from + length - 1) : first;
    return {first, std::max(first, last)};
}

} // namespace

namespace {

// A file read and decoded as a run reads it, and what it needs to replace in the text.
struct ReadFile
{
    Reason reason = Reason::None;
    QByteArray bytes;
    std::optional<Digest> digest;
    QString text;
    TextFormat format;
};

ReadFile readAsARun(const QString &path, const ReplacePairs &pairs, const RunOptions &options)
{
    ReadFile read;
    SafeFile file;
    read.reason = file.open(path);
    if (read.reason == Reason::None)
        read.reason = file.readAll(&read.bytes);
    read.digest = file.readDigest();
    if (read.reason != Reason::None)
        return read;
    const ReplaceSettings &settings = options.settings;
    read.reason
        = decodeText(read.bytes, settings.encoding, settings.keepFormat, &read.text, &read.format);
    if (read.reason == Reason::EncodingUncertain && keepsAnyAsciiReading(settings, pairs))
        read.reason = Reason::None;
    if (read.reason != Reason::None)
        read.text.clear();
    return read;
}

} // namespace

FilePreview previewFile(
    const QString &path, const ReplacePairs &pairs, const RunOptions &options, int limit)
{
    FilePreview preview;
    try {
        ReadFile read = readAsARun(path, pairs, options);
        preview.reason = read.reason;
        preview.encoding = read.format.encoding;
        preview.read = read.digest;
        if (preview.reason != Reason::None)
            return preview;
        preview.before = std::move(read.text);
        preview.edits.limit = limit;
        preview.after
            = applyPairs(preview.before, options.settings, pairs, nullptr, &preview.edits);
    } catch (const std::bad_alloc &) {
        preview = FilePreview();
        preview.reason = Reason::TooLarge;
    } catch (const RegexTooComplex &) {
        preview = FilePreview();
        preview.reason = Reason::RegexTooComplex;
    }
    return preview;
}

FileRewrite rewriteFile(const QString &path, const ReplacePairs &pairs, const RunOptions &options)
{
    FileRewrite rewrite;
    try {
        ReadFile read = readAsARun(path, pairs, options);
        rewrite.reason = read.reason;
        rewrite.before = std::move(read.bytes);
        if (rewrite.reason != Reason::None)
            return rewrite;
        QVector<int> counts;
        const ReplaceSettings &settings = options.settings;
        const QString text = applyPairs(std::move(read.text), settings, pairs, &counts);
        if (settings.keepFormat
            && std::all_of(counts.cbegin(), counts.cend(), [](int n) { return n == 0; })) {
            rewrite.after = rewrite.before;
            return rewrite;
        }
        rewrite.reason
            = encodeText(text, writtenFormat(read.format, settings.encoding, settings.keepFormat),
                settings.keepFormat, [&rewrite](const char *data, qint64 size) {
                    rewrite.after.append(data, int(size));
                    return true;
                });
    } catch (const std::bad_alloc &) {
        rewrite = FileRewrite();
        rewrite.reason = Reason::TooLarge;
    } catch (const RegexTooComplex &) {
        rewrite = FileRewrite();
        rewrite.reason = Reason::RegexTooComplex;
    }
    return rewrite;
}

QVector<ChangedLines> changedLines(const FilePreview &preview, int maxEntries)
{
    QVector<ChangedLines> entries;
    const LineIndex before(preview.before);
    const LineIndex after(preview.after);
    int lastBefore = -1;
    int lastAfter = -1;
    for (const TextEdit &edit : preview.edits.edits) {
        const auto [b0, b1] = linesOf(before, edit.before, edit.beforeLength);
        const auto [a0, a1] = linesOf(after, edit.after, edit.afterLength);
        // An edit on a line of the entry before, on either side, belongs to it.
        if (entries.isEmpty() || (b0 > lastBefore && a0 > lastAfter)) {
            if (entries.size() == maxEntries)
                break;
            ChangedLines entry;
            entry.beforeLine = b0 + 1;
            entry.afterLine = a0 + 1;
            entries.append(entry);
        }
        ChangedLines &entry = entries.last();
        lastBefore = std::max(lastBefore, b1);
        lastAfter = std::max(lastAfter, a1);
        const int beforeStart = before.start(entry.beforeLine - 1);
        const int afterStart = after.start(entry.afterLine - 1);
        entry.beforeText = preview.before.mid(beforeStart, before.end(lastBefore) - beforeStart);
        entry.afterText = preview.after.mid(afterStart, after.end(lastAfter) - afterStart);
        entry.beforeSpans.append({int(edit.before) - beforeStart, int(edit.beforeLength)});
        entry.afterSpans.append({int(edit.after) - afterStart, int(edit.afterLength)});
    }
    return entries;
}
