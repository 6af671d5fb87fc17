#include "engine/unifieddiff.h"

#include <dtl/dtl.hpp>

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

std::vector<std::string> linesOf(const QByteArray &bytes)
{
    std::vector<std::string> lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        end = end < 0 ? bytes.size() : end + 1;
        lines.emplace_back(bytes.constData() + start, size_t(end - start));
        start = end;
    }
    return lines;
}

struct Step
{
    dtl::edit_t type;
    long long before; // 0-based line in before, for a common or deleted line
    long long after; // 0-based line in after, for a common or added line
    const std::string *line;
};

// diff's range: the first line and the count, with an empty range named by the line
// before it.
QByteArray range(long long first, long long count)
{
    return QByteArray::number(count == 0 ? first : first + 1) + ',' + QByteArray::number(count);
}

void appendLine(QByteArray *out, char mark, const std::string &line)
{
    out->append(mark);
    out->append(line.data(), int(line.size()));
    if (line.empty() || line.back() != '\n')
        out->append("\n\\ No newline at end of file\n");
}

// Lines that stay, go and come, in order. The lines both ends share are taken as they
// are; between them the shortest edit is found, unless that could take quadratic time
// (every line of a large file changed, as when its breaks become CR LF): then the
// middle is replaced whole, which patch applies all the same.
std::vector<Step> editSteps(const std::vector<std::string> &a, const std::vector<std::string> &b)
{
    const long long na = qsizetype(a.size());
    const long long nb = qsizetype(b.size());
    long long prefix = 0;
    while (prefix < na && prefix < nb && a[size_t(prefix)] == b[size_t(prefix)])
        ++prefix;
    long long suffix = 0;
    while (suffix < na - prefix && suffix < nb - prefix
        && a[size_t(na - 1 - suffix)] == b[size_t(nb - 1 - suffix)])
        ++suffix;

    std::vector<Step> steps;
    for (long long k = 0; k < prefix; ++k)
        steps.push_back({dtl::SES_COMMON, k, k, &a[size_t(k)]});
    const long long middle = (na - prefix - suffix) + (nb - prefix - suffix);
    std::unordered_map<std::string_view, long long> counts;
    for (long long k = prefix; k < na - suffix; ++k)
        ++counts[a[size_t(k)]];
    long long shared = 0;
    for (long long k = prefix; k < nb - suffix; ++k) {
        auto it = counts.find(b[size_t(k)]);
        if (it != counts.end() && it->second > 0) {
            --it->second;
            ++shared;
        }
    }
    // The edit distance is at least this; Myers' search costs it times the length.
    const long long least = middle - 2 * shared;
    constexpr long long Budget = 200'000'000;
    long long i = prefix;
    long long j = prefix;
    if (least * middle > Budget) {
        while (i < na - suffix) {
            steps.push_back({dtl::SES_DELETE, i, j, &a[size_t(i)]});
            ++i;
        }
        while (j < nb - suffix) {
            steps.push_back({dtl::SES_ADD, i, j, &b[size_t(j)]});
            ++j;
        }
    } else {
        const std::vector<std::string> middleA(a.begin() + prefix, a.end() - suffix);
        const std::vector<std::string> middleB(b.begin() + prefix, b.end() - suffix);
        dtl::Diff<std::string> diff(middleA, middleB);
        diff.compose();
        for (const auto &element : diff.getSes().getSequence()) {
            const dtl::edit_t type = element.second.type;
            const long long ia = i - prefix;
            const long long jb = j - prefix;
            if (type == dtl::SES_ADD) {
                steps.push_back({type, i, j++, &b[size_t(prefix + jb)]});
            } else {
                steps.push_back({type, i++, j, &a[size_t(prefix + ia)]});
                if (type == dtl::SES_COMMON)
                    ++j;
            }
        }
    }
    for (long long k = 0; k < suffix; ++k) {
        steps.push_back({dtl::SES_COMMON, i, j, &a[size_t(i)]});
        ++i;
        ++j;
    }
    return steps;
}

} // namespace

QByteArray unifiedDiff(
    const QByteArray &before, const QByteArray &after, const QByteArray &name, int context)
{
    if (before == after)
        return QByteArray();
    const std::vector<std::string> a = linesOf(before);
    const std::vector<std::string> b = linesOf(after);
    const std::vector<Step> steps = editSteps(a, b);

    QByteArray out = "--- " + name + "\n+++ " + name + '\n';
    const long long n = qsizetype(steps.size());
    long long at = 0;
    while (at < n) {
        while (at < n && steps[size_t(at)].type == dtl::SES_COMMON)
            ++at;
        if (at == n)
            break;
        // A hunk runs from context lines before its first change to context lines after
        // its last, taking in changes whose contexts would touch.
        const long long first = std::max<long long>(0, at - context);
        long long last = at;
        for (long long k = at; k < n; ++k) {
            if (steps[size_t(k)].type != dtl::SES_COMMON)
                last = k;
            else if (k - last > 2 * context)
                break;
        }
        const long long end = std::min(n, last + context + 1);
        long long beforeCount = 0;
        long long afterCount = 0;
        for (long long k = first; k < end; ++k) {
            beforeCount += steps[size_t(k)].type != dtl::SES_ADD;
            afterCount += steps[size_t(k)].type != dtl::SES_DELETE;
        }
        out += "@@ -" + range(steps[size_t(first)].before, beforeCount) + " +"
            + range(steps[size_t(first)].after, afterCount) + " @@\n";
        for (long long k = first; k < end; ++k) {
            const Step &step = steps[size_t(k)];
            appendLine(&out,
                step.type == dtl::SES_ADD          ? '+'
                    : step.type == dtl::SES_DELETE ? '-'
                                                   : ' ',
                *step.line);
        }
        at = end;
    }
    return out;
}
