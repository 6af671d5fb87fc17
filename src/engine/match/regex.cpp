#include "engine/match/regex.h"

#include "engine/base/hexdigit.h"

#define PCRE2_CODE_UNIT_WIDTH 0
#include <pcre2.h>

#include <QHash>

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {

// A word character of the old dialect: letters, digits, marks and '_'. PCRE2's \w
// leaves out the marks.
const QString WordClass = QStringLiteral("\\p{L}\\p{N}\\p{M}_");

// The old tables no longer had U+180E as a space; PCRE2's \s still takes it.
const QString NotSpaceClass = QStringLiteral("\\S\\x{180e}");

bool isOctal(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('7');
}

QString codePoint(uint c)
{
    return QStringLiteral("\\x{%1}").arg(c, 0, 16);
}

// Escapes whose letter PCRE2 gives a meaning the old dialect did not know (there they
// stood for the letter itself): new syntax, passed on.
bool newEscape(QChar c)
{
    return QStringLiteral("AzZGKRXNhHVpPQEegkoc").contains(c);
}

// Letters with the same meaning in both dialects.
bool sharedEscape(QChar c)
{
    return QStringLiteral("afnrtdD").contains(c);
}

// One item of a character class: its text in PCRE2's syntax and, when it stands for
// one character, that character.
struct ClassItem
{
    QString text;
    int from = 0;
    int character = -1;
    // For \W and \S: the set whose complement the item stands for.
    QString complementOf;
};

class Translator
{
public:
    // lookaheadGroups: groups inside a lookahead capture, as in PCRE2; in the old dialect
    // they did not, and took no number.
    Translator(const QString &pattern, bool lookaheadGroups)
        : in(pattern)
        , n(pattern.size())
        , lookaheadGroups(lookaheadGroups)
    {
        countGroups();
    }

    RegexTranslation run(std::vector<int> *origins);

private:
    void put(const QString &text, int at)
    {
        out += text;
        origin.insert(origin.end(), size_t(text.size()), at);
    }
    void countGroups();
    bool capturingAt(int k) const;
    bool lookaheadAt(int k) const;
    void escape();
    // Reads one escape at i (the backslash) inside or outside a class; outside also
    // handles what exists only there.
    ClassItem classEscape();
    void characterClass();
    bool quantifier();
    void copyBraces();

    const QString &in;
    const int n;
    const bool lookaheadGroups;
    int i = 0;
    int groups = 0;
    QString out;
    std::vector<int> origin;
    RegexTranslation t;
    bool lastWasGroup = false;
    int quantifiers = 0;
    // Groups opened before each open parenthesis, and the first group inside the
    // parenthesis closed last.
    std::vector<int> open;
    int opened = 0;
    int closedFrom = 0;
    std::vector<int> lookaheads; // depths of the open lookaheads
    bool closedLookahead = false;
    std::vector<bool> repeated; // groups under a quantifier
    std::vector<int> references;
};

// Whether the parenthesis at k opens a capturing group, a named one included.
bool Translator::capturingAt(int k) const
{
    if (k + 1 >= n || in.at(k + 1) != QLatin1Char('?'))
        return true;
    return k + 3 < n
        && (in.at(k + 2) == QLatin1Char('P') || in.at(k + 2) == QLatin1Char('\'')
            || (in.at(k + 2) == QLatin1Char('<') && in.at(k + 3) != QLatin1Char('=')
                && in.at(k + 3) != QLatin1Char('!')));
}

bool Translator::lookaheadAt(int k) const
{
    return k + 2 < n && in.at(k + 1) == QLatin1Char('?')
        && (in.at(k + 2) == QLatin1Char('=') || in.at(k + 2) == QLatin1Char('!'));
}

// Capturing groups, named ones included, so that \N knows whether group N exists.
void Translator::countGroups()
{
    bool inClass = false;
    std::vector<bool> inLookahead; // for each open parenthesis
    for (int k = 0; k < n; ++k) {
        const QChar c = in.at(k);
        if (c == QLatin1Char('\\')) {
            ++k;
        } else if (inClass) {
            if (c == QLatin1Char(']'))
                inClass = false;
        } else if (c == QLatin1Char('[')) {
            inClass = true;
            if (k + 1 < n && in.at(k + 1) == QLatin1Char('^'))
                ++k;
            if (k + 1 < n && in.at(k + 1) == QLatin1Char(']'))
                ++k;
        } else if (c == QLatin1Char('(')) {
            const bool inside = !inLookahead.empty() && inLookahead.back();
            if (capturingAt(k) && (lookaheadGroups || !inside))
                ++groups;
            inLookahead.push_back(inside || lookaheadAt(k));
        } else if (c == QLatin1Char(')') && !inLookahead.empty()) {
            inLookahead.pop_back();
        }
    }
}

void Translator::copyBraces()
{
    const int close = in.indexOf(QLatin1Char('}'), i);
    const int end = close < 0 ? n : close + 1;
    put(in.mid(i, end - i), i);
    i = end;
}

ClassItem Translator::classEscape()
{
    const int at = i;
    ClassItem item;
    item.from = at;
    if (i + 1 >= n) {
        item.text = QStringLiteral("\\");
        ++i;
        return item;
    }
    const QChar c = in.at(i + 1);
    i += 2;
    const ushort u = c.unicode();
    if (u == 'x') {
        if (i < n && in.at(i) == QLatin1Char('{')) {
            t.newSyntax = true;
            const int close = in.indexOf(QLatin1Char('}'), i);
            const int end = close < 0 ? n : close + 1;
            item.text = QStringLiteral("\\x") + in.mid(i, end - i);
            i = end;
            return item;
        }
        uint value = 0;
        for (int k = 0; k < 4 && i < n && hexDigitValue(in.at(i)) >= 0; ++k, ++i)
            value = value * 16 + uint(hexDigitValue(in.at(i)));
        item.character = int(value);
        item.text = codePoint(value);
        return item;
    }
    if (u == '0') {
        uint value = 0;
        for (int k = 0; k < 3 && i < n && isOctal(in.at(i)); ++k, ++i)
            value = value * 8 + (in.at(i).unicode() - '0');
        item.character = int(value);
        item.text = codePoint(value);
        return item;
    }
    if (u == 'v') {
        item.character = 0x0B;
        item.text = codePoint(0x0B);
        return item;
    }
    if (u == 'w') {
        item.text = WordClass;
        return item;
    }
    if (u == 'W') {
        item.complementOf = WordClass;
        return item;
    }
    if (u == 's') {
        item.complementOf = NotSpaceClass;
        return item;
    }
    if (u == 'S') {
        item.text = NotSpaceClass;
        return item;
    }
    if (c.isLetter() && u < 128) {
        if (sharedEscape(c) || u == 'b' || u == 'B') {
            item.text = QStringLiteral("\\") + c;
            return item;
        }
        if (newEscape(c)) {
            t.newSyntax = true;
            item.text = QStringLiteral("\\") + c;
            if (i < n && in.at(i) == QLatin1Char('{')) {
                const int close = in.indexOf(QLatin1Char('}'), i);
                const int end = close < 0 ? n : close + 1;
                item.text += in.mid(i, end - i);
                i = end;
            }
            return item;
        }
        // Any other letter stood for itself.
        item.character = u;
        item.text = c;
        return item;
    }
    if (c.isHighSurrogate() && i < n && in.at(i).isLowSurrogate()) {
        item.character = int(QChar::surrogateToUcs4(c, in.at(i)));
        item.text = in.mid(i - 1, 2);
        ++i;
        return item;
    }
    item.character = u;
    item.text = c.isLetterOrNumber() ? QString(c) : QStringLiteral("\\") + c;
    return item;
}

void Translator::escape()
{
    const int at = i;
    if (i + 1 < n) {
        const QChar c = in.at(i + 1);
        const ushort u = c.unicode();
        if (u >= '1' && u <= '9') {
            int end = i + 1;
            while (end < n && in.at(end).isDigit() && in.at(end).unicode() < 128)
                ++end;
            const int number = in.mid(i + 1, end - i - 1).toInt();
            i = end;
            if (number <= groups) {
                t.backReferences = true;
                t.greedyIsLongest = false;
                references.push_back(number);
                // A group that comes later in the pattern matched nothing.
                if (number > opened)
                    put(QStringLiteral("(?(%1)\\g{%1}|)").arg(number), at);
                else
                    put(QStringLiteral("\\g{%1}").arg(number), at);
            } else {
                // A reference to a group the pattern does not have matched nothing.
                put(QStringLiteral("(?:)"), at);
            }
            lastWasGroup = false;
            return;
        }
        if (u == 'b' || u == 'B') {
            i += 2;
            const QString w = QStringLiteral("[%1]").arg(WordClass);
            put(u == 'b' ? QStringLiteral("(?:(?<=%1)(?!%1)|(?<!%1)(?=%1))").arg(w)
                         : QStringLiteral("(?:(?<=%1)(?=%1)|(?<!%1)(?!%1))").arg(w),
                at);
            lastWasGroup = false;
            return;
        }
        if (u == 'Q') {
            t.newSyntax = true;
            const int close = in.indexOf(QLatin1String("\\E"), i + 2);
            const int end = close < 0 ? n : close + 2;
            put(in.mid(i, end - i), at);
            i = end;
            lastWasGroup = false;
            return;
        }
    }
    ClassItem item = classEscape();
    if (!item.complementOf.isEmpty())
        item.text = QStringLiteral("[^%1]").arg(item.complementOf);
    else if (item.text == WordClass || item.text == NotSpaceClass)
        item.text = QStringLiteral("[%1]").arg(item.text);
    put(item.text, at);
    lastWasGroup = false;
}

void Translator::characterClass()
{
    const int at = i;
    ++i;
    bool negated = false;
    if (i < n && in.at(i) == QLatin1Char('^')) {
        negated = true;
        ++i;
    }
    std::vector<ClassItem> items;
    bool first = true;
    while (i < n && (first || in.at(i) != QLatin1Char(']'))) {
        first = false;
        const QChar c = in.at(i);
        if (c == QLatin1Char('\\')) {
            items.push_back(classEscape());
        } else if (c == QLatin1Char('[') && i + 1 < n && in.at(i + 1) == QLatin1Char(':')) {
            // A POSIX class, which the old dialect refused.
            t.newSyntax = true;
            const int close = in.indexOf(QLatin1String(":]"), i + 2);
            const int end = close < 0 ? n : close + 2;
            items.push_back({in.mid(i, end - i), i, -1, QString()});
            i = end;
        } else {
            ClassItem item;
            item.from = i;
            if (c.isHighSurrogate() && i + 1 < n && in.at(i + 1).isLowSurrogate()) {
                item.character = int(QChar::surrogateToUcs4(c, in.at(i + 1)));
                item.text = in.mid(i, 2);
                i += 2;
            } else {
                item.character = c.unicode();
                item.text
                    = QStringLiteral("[]\\^-").contains(c) ? QStringLiteral("\\") + c : QString(c);
                ++i;
            }
            // An unescaped '-' between two characters makes a range.
            if (c == QLatin1Char('-'))
                item.character = -2;
            items.push_back(item);
        }
    }
    if (i >= n) {
        // Unterminated: PCRE2 says so, at the same place.
        put(in.mid(at), at);
        i = n;
        return;
    }
    ++i;

    QString inner;
    QStringList complements;
    for (size_t k = 0; k < items.size(); ++k) {
        const ClassItem &item = items[k];
        if (!item.complementOf.isEmpty()) {
            complements.append(item.complementOf);
            continue;
        }
        if (item.character == -2 && k > 0 && k + 1 < items.size() && items[k - 1].character >= 0
            && items[k + 1].character >= 0) {
            // The old dialect took a range written backwards as the same range forwards.
            const ClassItem &low = items[k - 1];
            const ClassItem &high = items[k + 1];
            inner.chop(low.text.size());
            if (low.character <= high.character)
                inner += low.text + QLatin1Char('-') + high.text;
            else
                inner += high.text + QLatin1Char('-') + low.text;
            ++k;
            continue;
        }
        inner += item.text;
    }
    // \W and \S name sets wider than PCRE2's complements: a class holding them becomes
    // a union of classes, or, negated, an intersection.
    QString text;
    if (complements.isEmpty()) {
        text = QStringLiteral("[%1%2]").arg(negated ? QStringLiteral("^") : QString(), inner);
    } else if (!negated) {
        QStringList options;
        if (!inner.isEmpty())
            options.append(QStringLiteral("[%1]").arg(inner));
        for (const QString &set : complements)
            options.append(QStringLiteral("[^%1]").arg(set));
        text = QStringLiteral("(?:%1)").arg(options.join(QLatin1Char('|')));
    } else {
        if (!inner.isEmpty())
            text = QStringLiteral("(?![%1])").arg(inner);
        for (int k = 0; k + 1 < complements.size(); ++k)
            text += QStringLiteral("(?=[%1])").arg(complements.at(k));
        text = QStringLiteral("(?:%1[%2])").arg(text, complements.last());
    }
    put(text, at);
    lastWasGroup = false;
}

// A quantifier at i, translated; false when there is none.
bool Translator::quantifier()
{
    const int at = i;
    const QChar c = in.at(i);
    if (c == QLatin1Char('{')) {
        int k = i + 1;
        int digitsBefore = 0;
        while (k < n && in.at(k).unicode() >= '0' && in.at(k).unicode() <= '9')
            ++k, ++digitsBefore;
        bool comma = false;
        int digitsAfter = 0;
        if (k < n && in.at(k) == QLatin1Char(',')) {
            comma = true;
            ++k;
            while (k < n && in.at(k).unicode() >= '0' && in.at(k).unicode() <= '9')
                ++k, ++digitsAfter;
        }
        if (k >= n || in.at(k) != QLatin1Char('}') || (!comma && digitsBefore == 0))
            return false;
        QString text = in.mid(i, k + 1 - i);
        if (digitsBefore == 0)
            text.insert(1, QLatin1Char('0'));
        put(text, at);
        i = k + 1;
    } else if (c == QLatin1Char('*') || c == QLatin1Char('+') || c == QLatin1Char('?')) {
        put(QString(c), at);
        ++i;
    } else {
        return false;
    }
    // With one quantifier the first match by priority is the longest, and its groups
    // can be cut up one way only; with a quantified group or a second quantifier not.
    if (lastWasGroup || ++quantifiers > 1)
        t.greedyIsLongest = false;
    if (lastWasGroup && closedLookahead && !t.refused)
        t.refused = true;
    if (lastWasGroup) {
        repeated.resize(size_t(std::max(groups, opened) + 1), false);
        for (int g = closedFrom + 1; g <= opened; ++g)
            repeated[size_t(g)] = true;
    }
    lastWasGroup = false;
    if (i < n && (in.at(i) == QLatin1Char('?') || in.at(i) == QLatin1Char('+'))) {
        // Lazy and possessive quantifiers are new.
        t.newSyntax = true;
        put(QString(in.at(i)), i);
        ++i;
    }
    return true;
}

RegexTranslation Translator::run(std::vector<int> *origins)
{
    while (i < n) {
        const QChar c = in.at(i);
        switch (c.unicode()) {
        case '\\':
            escape();
            break;
        case '[':
            characterClass();
            break;
        case '(': {
            lastWasGroup = false;
            open.push_back(opened);
            const bool hidden = !lookaheadGroups && !lookaheads.empty();
            if (capturingAt(i) && !hidden)
                ++opened;
            if (i + 1 < n && in.at(i + 1) == QLatin1Char('?')) {
                const QChar kind = i + 2 < n ? in.at(i + 2) : QChar();
                if (kind == QLatin1Char(':')) {
                    put(QStringLiteral("(?:"), i);
                    i += 3;
                } else if (kind == QLatin1Char('=') || kind == QLatin1Char('!')) {
                    t.greedyIsLongest = false;
                    t.lookahead = true;
                    lookaheads.push_back(int(open.size()));
                    put(in.mid(i, 3), i);
                    i += 3;
                } else if (kind == QLatin1Char('#')) {
                    t.newSyntax = true;
                    const int close = in.indexOf(QLatin1Char(')'), i);
                    const int end = close < 0 ? n : close + 1;
                    put(in.mid(i, end - i), i);
                    i = end;
                } else {
                    t.newSyntax = true;
                    put(QStringLiteral("(?"), i);
                    i += 2;
                }
            } else {
                put(hidden ? QStringLiteral("(?:") : QStringLiteral("("), i);
                ++i;
            }
            break;
        }
        case ')':
            put(QStringLiteral(")"), i);
            ++i;
            lastWasGroup = true;
            closedFrom = open.empty() ? opened : open.back();
            closedLookahead = !lookaheads.empty() && lookaheads.back() == int(open.size());
            if (closedLookahead)
                lookaheads.pop_back();
            if (!open.empty())
                open.pop_back();
            break;
        case '|':
            t.greedyIsLongest = false;
            put(QStringLiteral("|"), i);
            ++i;
            lastWasGroup = false;
            break;
        case '{':
        case '*':
        case '+':
        case '?':
            if (!quantifier()) {
                put(QString(c), i);
                ++i;
                lastWasGroup = false;
            }
            break;
        case '^':
        case '$':
            // The old dialect let an anchor be quantified; PCRE2 quantifies only a group.
            if (i + 1 < n && QStringLiteral("*+?{").contains(in.at(i + 1)))
                put(QStringLiteral("(?:%1)").arg(c), i);
            else
                put(QString(c), i);
            ++i;
            lastWasGroup = false;
            break;
        default:
            put(QString(c), i);
            ++i;
            lastWasGroup = false;
            break;
        }
    }
    for (const int number : references) {
        if (!t.newSyntax && !t.refused && size_t(number) < repeated.size()
            && repeated[size_t(number)]) {
            t.refused = true;
            t.repeatedReference = number;
        }
    }
    t.pcre = out;
    if (origins) {
        *origins = origin;
        origins->push_back(n);
    }
    return t;
}

// The Chinese for PCRE2's most common complaints; others are shown as PCRE2 words them.
QString chineseError(int code)
{
    switch (code) {
    case PCRE2_ERROR_END_BACKSLASH:
        return QStringLiteral("末尾是单独的 \\");
    case PCRE2_ERROR_QUANTIFIER_OUT_OF_ORDER:
        return QStringLiteral("重复次数 {} 中的数字顺序颠倒");
    case PCRE2_ERROR_MISSING_SQUARE_BRACKET:
        return QStringLiteral("字符集缺少结尾的 ]");
    case PCRE2_ERROR_CLASS_RANGE_ORDER:
        return QStringLiteral("字符集中的范围顺序颠倒");
    case PCRE2_ERROR_QUANTIFIER_INVALID:
        return QStringLiteral("重复符号前面没有可重复的内容");
    case PCRE2_ERROR_MISSING_CLOSING_PARENTHESIS:
        return QStringLiteral("缺少右括号 )");
    case PCRE2_ERROR_UNMATCHED_CLOSING_PARENTHESIS:
        return QStringLiteral("多余的右括号 )");
    case PCRE2_ERROR_BAD_SUBPATTERN_REFERENCE:
        return QStringLiteral("引用了不存在的分组");
    case PCRE2_ERROR_LOOKBEHIND_NOT_FIXED_LENGTH:
        return QStringLiteral("向后查找（lookbehind）的长度必须固定");
    case PCRE2_ERROR_UNKNOWN_POSIX_CLASS:
        return QStringLiteral("未知的 POSIX 字符类");
    case PCRE2_ERROR_DUPLICATE_SUBPATTERN_NAME:
        return QStringLiteral("分组名称重复");
    case PCRE2_ERROR_NO_SURROGATES_IN_UTF16:
    case PCRE2_ERROR_UTF_IS_DISABLED:
        return QStringLiteral("无效的字符编码值");
    case PCRE2_ERROR_CODE_POINT_TOO_BIG:
        return QStringLiteral("字符编码值太大");
    case PCRE2_ERROR_UNKNOWN_ESCAPE:
        return QStringLiteral("无法识别的转义序列");
    case PCRE2_ERROR_BACKSLASH_C_CALLER_DISABLED:
        return QStringLiteral("不支持 \\C");
    default:
        return QString();
    }
}

// Per width: PCRE2's functions under one name each.
template<typename Unit>
struct Api;

template<>
struct Api<char>
{
    using Code = pcre2_code_8;
    using Data = pcre2_match_data_8;
    using Context = pcre2_match_context_8;
    using Stack = pcre2_jit_stack_8;
    using Block = pcre2_callout_block_8;
    using Subject = PCRE2_SPTR8;
    static constexpr uint32_t Extra = 0;
    static Code *compile(const QString &pattern, uint32_t options, int *error, PCRE2_SIZE *offset)
    {
        const QByteArray utf8 = pattern.toUtf8();
        return pcre2_compile_8(reinterpret_cast<PCRE2_SPTR8>(utf8.constData()),
            PCRE2_SIZE(utf8.size()), options, error, offset, nullptr);
    }
    static int jitCompile(Code *c) { return pcre2_jit_compile_8(c, PCRE2_JIT_COMPLETE); }
    static void free(Code *c) { pcre2_code_free_8(c); }
    static int captures(const Code *c)
    {
        uint32_t count = 0;
        pcre2_pattern_info_8(c, PCRE2_INFO_CAPTURECOUNT, &count);
        return int(count);
    }
    static Data *data(uint32_t pairs) { return pcre2_match_data_create_8(pairs, nullptr); }
    static void freeData(Data *d) { pcre2_match_data_free_8(d); }
    static PCRE2_SIZE *ovector(Data *d) { return pcre2_get_ovector_pointer_8(d); }
    static Context *context() { return pcre2_match_context_create_8(nullptr); }
    static Stack *stack(size_t most) { return pcre2_jit_stack_create_8(32 * 1024, most, nullptr); }
    static void assign(Context *c, Stack *s) { pcre2_jit_stack_assign_8(c, nullptr, s); }
    static void limit(Context *c, uint32_t n) { pcre2_set_match_limit_8(c, n); }
    static void depth(Context *c, uint32_t n) { pcre2_set_depth_limit_8(c, n); }
    static void callout(Context *c, int (*f)(Block *, void *), void *data)
    {
        pcre2_set_callout_8(c, f, data);
    }
    static int match(const Code *code, const char *s, qsizetype n, qsizetype start,
        uint32_t options, Data *d, Context *c)
    {
        return pcre2_match_8(code, reinterpret_cast<PCRE2_SPTR8>(s), PCRE2_SIZE(n),
            PCRE2_SIZE(start), options | PCRE2_NO_UTF_CHECK, d, c);
    }
    static int jitMatch(
        const Code *code, const char *s, qsizetype n, qsizetype start, Data *d, Context *c)
    {
        return pcre2_jit_match_8(code, reinterpret_cast<PCRE2_SPTR8>(s), PCRE2_SIZE(n),
            PCRE2_SIZE(start), PCRE2_NO_UTF_CHECK, d, c);
    }
    static int dfa(const Code *code, const char *s, qsizetype n, qsizetype start, Data *d,
        Context *c, int *work, size_t size)
    {
        return pcre2_dfa_match_8(code, reinterpret_cast<PCRE2_SPTR8>(s), PCRE2_SIZE(n),
            PCRE2_SIZE(start), PCRE2_ANCHORED | PCRE2_NO_UTF_CHECK, d, c, work, size);
    }
    static qsizetype nextCharacter(const char *s, qsizetype n, qsizetype at)
    {
        ++at;
        while (at < n && (uchar(s[at]) & 0xC0) == 0x80)
            ++at;
        return at;
    }
    static QString toQString(const char *s, qsizetype n) { return QString::fromUtf8(s, int(n)); }
    // The caller has checked the bytes.
    static const char *matchable(const char *s, qsizetype, std::vector<char> *) { return s; }
    static std::vector<char> fromQString(const QString &s)
    {
        const QByteArray b = s.toUtf8();
        return std::vector<char>(b.constBegin(), b.constEnd());
    }
};

template<>
struct Api<char16_t>
{
    using Code = pcre2_code_16;
    using Data = pcre2_match_data_16;
    using Context = pcre2_match_context_16;
    using Stack = pcre2_jit_stack_16;
    using Block = pcre2_callout_block_16;
    static constexpr uint32_t Extra = 0;
    static Code *compile(const QString &pattern, uint32_t options, int *error, PCRE2_SIZE *offset)
    {
        return pcre2_compile_16(reinterpret_cast<PCRE2_SPTR16>(pattern.utf16()),
            PCRE2_SIZE(pattern.size()), options, error, offset, nullptr);
    }
    static int jitCompile(Code *c) { return pcre2_jit_compile_16(c, PCRE2_JIT_COMPLETE); }
    static void free(Code *c) { pcre2_code_free_16(c); }
    static int captures(const Code *c)
    {
        uint32_t count = 0;
        pcre2_pattern_info_16(c, PCRE2_INFO_CAPTURECOUNT, &count);
        return int(count);
    }
    static Data *data(uint32_t pairs) { return pcre2_match_data_create_16(pairs, nullptr); }
    static void freeData(Data *d) { pcre2_match_data_free_16(d); }
    static PCRE2_SIZE *ovector(Data *d) { return pcre2_get_ovector_pointer_16(d); }
    static Context *context() { return pcre2_match_context_create_16(nullptr); }
    static Stack *stack(size_t most) { return pcre2_jit_stack_create_16(32 * 1024, most, nullptr); }
    static void assign(Context *c, Stack *s) { pcre2_jit_stack_assign_16(c, nullptr, s); }
    static void limit(Context *c, uint32_t n) { pcre2_set_match_limit_16(c, n); }
    static void depth(Context *c, uint32_t n) { pcre2_set_depth_limit_16(c, n); }
    static void callout(Context *c, int (*f)(Block *, void *), void *data)
    {
        pcre2_set_callout_16(c, f, data);
    }
    static int match(const Code *code, const char16_t *s, qsizetype n, qsizetype start,
        uint32_t options, Data *d, Context *c)
    {
        return pcre2_match_16(code, reinterpret_cast<PCRE2_SPTR16>(s), PCRE2_SIZE(n),
            PCRE2_SIZE(start), options | PCRE2_NO_UTF_CHECK, d, c);
    }
    static int jitMatch(
        const Code *code, const char16_t *s, qsizetype n, qsizetype start, Data *d, Context *c)
    {
        return pcre2_jit_match_16(code, reinterpret_cast<PCRE2_SPTR16>(s), PCRE2_SIZE(n),
            PCRE2_SIZE(start), PCRE2_NO_UTF_CHECK, d, c);
    }
    static int dfa(const Code *code, const char16_t *s, qsizetype n, qsizetype start, Data *d,
        Context *c, int *work, size_t size)
    {
        return pcre2_dfa_match_16(code, reinterpret_cast<PCRE2_SPTR16>(s), PCRE2_SIZE(n),
            PCRE2_SIZE(start), PCRE2_ANCHORED | PCRE2_NO_UTF_CHECK, d, c, work, size);
    }
    static qsizetype nextCharacter(const char16_t *s, qsizetype n, qsizetype at)
    {
        if (QChar::isHighSurrogate(s[at]) && at + 1 < n && QChar::isLowSurrogate(s[at + 1]))
            return at + 2;
        return at + 1;
    }
    // Decoded text may hold half a surrogate pair, which PCRE2 refuses to look at; it
    // matches what a replacement character would, as the old engine took it for a
    // character of its own, and the text's own unit is what gets copied.
    static const char16_t *matchable(const char16_t *s, qsizetype n, std::vector<char16_t> *copy)
    {
        for (qsizetype i = 0; i < n; ++i) {
            if (!QChar::isSurrogate(s[i]))
                continue;
            if (QChar::isHighSurrogate(s[i]) && i + 1 < n && QChar::isLowSurrogate(s[i + 1])) {
                ++i;
                continue;
            }
            if (copy->empty())
                copy->assign(s, s + n);
            (*copy)[size_t(i)] = 0xFFFD;
        }
        return copy->empty() ? s : copy->data();
    }
    static QString toQString(const char16_t *s, qsizetype n)
    {
        return QString(reinterpret_cast<const QChar *>(s), int(n));
    }
    static std::vector<char16_t> fromQString(const QString &s)
    {
        const char16_t *u = reinterpret_cast<const char16_t *>(s.utf16());
        return std::vector<char16_t>(u, u + s.size());
    }
};

// A runaway match stops here; a file whose matches need more is failed, not left to run.
constexpr uint32_t MatchLimit = 100'000'000;
constexpr uint32_t DepthLimit = 1'000'000;
constexpr size_t JitStackMost = 16 * 1024 * 1024;
constexpr size_t DfaWorkspace = 8192;

// The compiled forms of one pattern at one width: the pattern itself, and for old
// patterns whose first match may not be the longest, the same pattern followed by a
// callout, which lets a match be held to a chosen end.
template<typename Unit>
struct Compiled
{
    using A = Api<Unit>;
    typename A::Code *code = nullptr;
    typename A::Code *held = nullptr;
    bool jit = false;
    bool heldJit = false;

    ~Compiled()
    {
        if (code)
            A::free(code);
        if (held)
            A::free(held);
    }
};

// Not one of PCRE2's error codes: the translation's own refusal.
constexpr int RefusedCode = -100000;

constexpr uint32_t CompileOptions
    = PCRE2_UTF | PCRE2_UCP | PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY | PCRE2_NEVER_BACKSLASH_C;

// A pattern is new when it uses syntax the old dialect refused, wherever that comes.
RegexTranslation translate(const QString &pattern, std::vector<int> *origins)
{
    const RegexTranslation old = Translator(pattern, false).run(origins);
    return old.newSyntax ? Translator(pattern, true).run(origins) : old;
}

} // namespace

RegexTranslation translateRegex(const QString &pattern)
{
    return translate(pattern, nullptr);
}

class RegexPattern::Private
{
public:
    RegexTranslation translation;
    std::vector<int> origins;
    int errorCode = 0;
    int errorOffset = 0;
    int captures = 0;
    uint32_t caseless = 0;
    Compiled<char> narrow;
    Compiled<char16_t> wide;

    template<typename Unit>
    const Compiled<Unit> &compiled() const;

    // Written in the old dialect, the pattern runs by its rules.
    bool oldRules() const { return !translation.newSyntax; }

    template<typename Unit>
    bool build(Compiled<Unit> *c)
    {
        using A = Api<Unit>;
        PCRE2_SIZE offset = 0;
        const uint32_t start = translation.lookahead ? PCRE2_NO_START_OPTIMIZE : 0;
        c->code = A::compile(
            translation.pcre, CompileOptions | A::Extra | caseless | start, &errorCode, &offset);
        if (!c->code) {
            errorOffset = origins[std::min(size_t(offset), origins.size() - 1)];
            return false;
        }
        c->jit = A::jitCompile(c->code) == 0;
        if (oldRules() && !translation.greedyIsLongest) {
            int ignored = 0;
            // Every way of matching has to reach the callout.
            c->held = A::compile(QStringLiteral("(?:%1)(?C1)").arg(translation.pcre),
                CompileOptions | A::Extra | caseless | PCRE2_NO_AUTO_POSSESS
                    | PCRE2_NO_START_OPTIMIZE | PCRE2_NO_DOTSTAR_ANCHOR,
                &ignored, &offset);
            c->heldJit = c->held && A::jitCompile(c->held) == 0;
        }
        return true;
    }
};

template<>
const Compiled<char> &RegexPattern::Private::compiled<char>() const
{
    return narrow;
}

template<>
const Compiled<char16_t> &RegexPattern::Private::compiled<char16_t>() const
{
    return wide;
}

RegexPattern::RegexPattern(const QString &pattern, bool caseless)
    : d(std::make_unique<Private>())
{
    d->caseless = caseless ? PCRE2_CASELESS : 0;
    d->translation = translate(pattern, &d->origins);
    if (d->translation.refused)
        d->errorCode = RefusedCode;
    else if (d->build(&d->wide) && d->build(&d->narrow))
        d->captures = Api<char16_t>::captures(d->wide.code);
}

RegexPattern::~RegexPattern() = default;

bool RegexPattern::isValid() const
{
    return d->wide.code && d->narrow.code;
}

QString RegexPattern::errorTextEnglish() const
{
    if (isValid())
        return QString();
    if (d->errorCode == RefusedCode && d->translation.repeatedReference > 0)
        return QStringLiteral("\\%1 refers to a repeated group, which can no longer match as it "
                              "did; rewrite the pattern")
            .arg(d->translation.repeatedReference);
    if (d->errorCode == RefusedCode)
        return QStringLiteral("a repeated lookahead is no longer supported; remove its repetition");
    PCRE2_UCHAR16 buffer[256];
    const int length = pcre2_get_error_message_16(d->errorCode, buffer, 256);
    const QString message
        = QString::fromUtf16(reinterpret_cast<const char16_t *>(buffer), std::max(length, 0));
    return QStringLiteral("%1 at character %2").arg(message).arg(d->errorOffset + 1);
}

QString RegexPattern::errorText() const
{
    if (isValid())
        return QString();
    if (d->errorCode == RefusedCode && d->translation.repeatedReference > 0)
        return QStringLiteral("\\%1 引用的分组带有重复次数，已无法按以前的方式匹配，请改写表达式")
            .arg(d->translation.repeatedReference);
    if (d->errorCode == RefusedCode)
        return QStringLiteral("不再支持重复的向前查找（lookahead），请去掉它后面的重复次数");
    QString message = chineseError(d->errorCode);
    if (message.isEmpty()) {
        PCRE2_UCHAR16 buffer[256];
        const int length = pcre2_get_error_message_16(d->errorCode, buffer, 256);
        message
            = QString::fromUtf16(reinterpret_cast<const char16_t *>(buffer), std::max(length, 0));
    }
    return QStringLiteral("第 %1 个字符处%2").arg(d->errorOffset + 1).arg(message);
}

int RegexPattern::captureCount() const
{
    return d->captures;
}

int RegexPattern::groupNumber(const QString &name) const
{
    if (!d->wide.code)
        return -1;
    const int number = pcre2_substring_number_from_name_16(
        d->wide.code, reinterpret_cast<PCRE2_SPTR16>(name.utf16()));
    return number > 0 ? number : -1;
}

std::shared_ptr<const RegexPattern> threadPattern(const QString &pattern, bool caseless)
{
    thread_local QHash<QPair<QString, bool>, std::shared_ptr<const RegexPattern>> patterns;
    const QPair<QString, bool> key(pattern, caseless);
    auto it = patterns.find(key);
    if (it != patterns.end())
        return *it;
    if (patterns.size() >= 256)
        patterns.clear();
    return *patterns.insert(key, std::make_shared<const RegexPattern>(pattern, caseless));
}

RegexReplacement::RegexReplacement(
    const QString &replacement, const RegexPattern &pattern, bool extended)
{
    const int captures = pattern.captureCount();
    const QChar *a = replacement.constData();
    const int n = replacement.size();
    QString literal;
    const auto flush = [&] {
        if (!literal.isEmpty())
            m_pieces.push_back({Piece::Literal, literal, 0});
        literal.clear();
    };
    const auto add = [&](Piece::Kind kind, int group) {
        flush();
        m_pieces.push_back({kind, QString(), group});
        m_literal = false;
    };
    for (int i = 0; i < n; ++i) {
        if (a[i] != QLatin1Char('\\') || i + 1 >= n) {
            if (extended && a[i] == QLatin1Char('$') && i + 1 < n && a[i + 1] == QLatin1Char('{')) {
                const int close = replacement.indexOf(QLatin1Char('}'), i + 2);
                if (close > 0) {
                    const int group = pattern.groupNumber(replacement.mid(i + 2, close - i - 2));
                    if (group > 0) {
                        add(Piece::Group, group);
                        i = close;
                        continue;
                    }
                }
            }
            literal += a[i];
            continue;
        }
        const int no = a[i + 1].digitValue();
        if (no > 0 && no <= captures) {
            int group = no;
            int length = 2;
            if (i + 2 < n) {
                const int second = a[i + 2].digitValue();
                if (second != -1 && no * 10 + second <= captures) {
                    group = no * 10 + second;
                    ++length;
                }
            }
            add(Piece::Group, group);
            i += length - 1;
            continue;
        }
        if (extended) {
            const QChar c = a[i + 1];
            if (c == QLatin1Char('\\')) {
                literal += c;
                ++i;
                continue;
            }
            if (c == QLatin1Char('U') || c == QLatin1Char('L') || c == QLatin1Char('E')) {
                add(c == QLatin1Char('U')       ? Piece::Upper
                        : c == QLatin1Char('L') ? Piece::Lower
                                                : Piece::EndCase,
                    0);
                ++i;
                continue;
            }
        }
        literal += a[i];
    }
    flush();
}

namespace {

// One thread's matching memory for one width, kept for the thread's life.
template<typename Unit>
struct ThreadMemory
{
    using A = Api<Unit>;
    typename A::Data *data = nullptr;
    uint32_t pairs = 0;
    typename A::Context *context = nullptr;
    typename A::Stack *stack = nullptr;
    typename A::Data *spare = nullptr;
    uint32_t sparePairs = 0;
    std::vector<int> workspace;

    ThreadMemory()
    {
        context = A::context();
        stack = A::stack(JitStackMost);
        A::assign(context, stack);
        A::limit(context, MatchLimit);
        A::depth(context, DepthLimit);
    }

    typename A::Data *dataFor(int captures)
    {
        const uint32_t wanted = uint32_t(captures + 1);
        if (pairs < wanted) {
            if (data)
                A::freeData(data);
            data = A::data(std::max<uint32_t>(wanted, 16));
            pairs = std::max<uint32_t>(wanted, 16);
        }
        return data;
    }

    // For the searches that must not overwrite the match found.
    typename A::Data *spareFor(int captures)
    {
        const uint32_t wanted = uint32_t(captures + 1);
        if (sparePairs < wanted) {
            if (spare)
                A::freeData(spare);
            spare = A::data(std::max<uint32_t>(wanted, 16));
            sparePairs = std::max<uint32_t>(wanted, 16);
        }
        return spare;
    }
};

template<typename Unit>
ThreadMemory<Unit> &threadMemory()
{
    // Freed with the thread; the pool's threads live as long as the program.
    thread_local ThreadMemory<Unit> memory;
    return memory;
}

[[noreturn]] void tooComplex()
{
    throw RegexTooComplex();
}

bool tooComplexError(int rc)
{
    return rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT
        || rc == PCRE2_ERROR_HEAPLIMIT || rc == PCRE2_ERROR_JIT_STACKLIMIT
        || rc == PCRE2_ERROR_DFA_WSSIZE || rc == PCRE2_ERROR_DFA_RECURSE;
}

// The best way of matching found so far, by the old dialect's rule: the longest match,
// then the longest first group (the earlier of two as long), the second, and so on.
struct Hold
{
    qsizetype end = -1;
    int captures = 0;
    std::vector<PCRE2_SIZE> best; // pairs, the whole match's first
    // Set for UTF-8, whose lengths are counted in UTF-16 units, as the old engine and
    // the decoding route count them: a character beyond the plane counts twice.
    const char *utf8 = nullptr;

    qsizetype length(PCRE2_SIZE from, PCRE2_SIZE to) const
    {
        if (!utf8)
            return qsizetype(to - from);
        qsizetype units = 0;
        for (PCRE2_SIZE k = from; k < to; ++k) {
            const uchar b = uchar(utf8[k]);
            units += (b & 0xC0) != 0x80 ? 1 + (b >= 0xF0) : 0;
        }
        return units;
    }

    bool better(qsizetype at, const PCRE2_SIZE *offsets, uint32_t top) const
    {
        if (at != end)
            return at > end;
        for (int g = 1; g <= captures; ++g) {
            const bool set = uint32_t(g) < top && offsets[2 * g] != PCRE2_UNSET;
            const qsizetype length = set ? this->length(offsets[2 * g], offsets[2 * g + 1]) : -1;
            const qsizetype bestLength = best[size_t(2 * g)] != PCRE2_UNSET
                ? this->length(best[size_t(2 * g)], best[size_t(2 * g + 1)])
                : -1;
            if (length != bestLength)
                return length > bestLength;
            if (set && offsets[2 * g] != best[size_t(2 * g)])
                return offsets[2 * g] < best[size_t(2 * g)];
        }
        return false;
    }
};

template<typename Block>
int seekBest(Block *block, void *data)
{
    auto *hold = static_cast<Hold *>(data);
    const qsizetype at = qsizetype(block->current_position);
    if (hold->better(at, block->offset_vector, block->capture_top)) {
        hold->end = at;
        for (int g = 1; g <= hold->captures; ++g) {
            const bool set = uint32_t(g) < block->capture_top;
            hold->best[size_t(2 * g)] = set ? block->offset_vector[2 * g] : PCRE2_UNSET;
            hold->best[size_t(2 * g + 1)] = set ? block->offset_vector[2 * g + 1] : PCRE2_UNSET;
        }
    }
    return 1; // keep backtracking: every way of matching is weighed
}

// Appends text to out, in the given case.
template<typename Unit>
void appendCased(std::vector<Unit> *out, const Unit *p, qsizetype n, int mode)
{
    if (mode == 0) {
        out->insert(out->end(), p, p + n);
        return;
    }
    const QString text = Api<Unit>::toQString(p, n);
    const std::vector<Unit> cased
        = Api<Unit>::fromQString(mode > 0 ? text.toUpper() : text.toLower());
    out->insert(out->end(), cased.begin(), cased.end());
}

// Hands pieces on to a sink, joining each to the one before where it follows it in
// memory: text kept around a match, or a group taken back as it stood, goes on as one
// piece, not one per match.
template<typename Unit>
class Joiner
{
public:
    explicit Joiner(const UnitSink<Unit> &sink)
        : sink(sink)
    {
    }
    void operator()(const Unit *p, qsizetype n)
    {
        if (n <= 0)
            return;
        if (size > 0 && at + size == p) {
            size += n;
            return;
        }
        flush();
        at = p;
        size = n;
    }
    void flush()
    {
        if (size > 0)
            sink(at, size);
        size = 0;
    }

private:
    const UnitSink<Unit> &sink;
    const Unit *at = nullptr;
    qsizetype size = 0;
};

} // namespace

template<typename Unit>
qsizetype regexReplace(const RegexPattern &pattern, const RegexReplacement &replacement,
    const Unit *text, qsizetype n, const UnitSink<Unit> &sink, std::vector<TextEdit> *edits)
{
    using A = Api<Unit>;
    const RegexPattern::Private *p = pattern.impl();
    const Compiled<Unit> &c = p->compiled<Unit>();
    if (!c.code) {
        sink(text, n);
        return 0;
    }
    ThreadMemory<Unit> &memory = threadMemory<Unit>();
    typename A::Data *data = memory.dataFor(p->captures);
    PCRE2_SIZE *ov = A::ovector(data);

    struct Encoded
    {
        RegexReplacement::Piece::Kind kind;
        std::vector<Unit> text;
        int group;
    };
    std::vector<Encoded> pieces;
    for (const RegexReplacement::Piece &piece : replacement.pieces()) {
        pieces.push_back({piece.kind, A::fromQString(piece.text), piece.group});
    }
    const bool cased = std::any_of(pieces.cbegin(), pieces.cend(), [](const Encoded &piece) {
        return piece.kind != RegexReplacement::Piece::Literal
            && piece.kind != RegexReplacement::Piece::Group;
    });
    std::vector<Unit> made;
    std::vector<Unit> copy;
    const Unit *const subject = A::matchable(text, n, &copy);

    bool usesGroups = false;
    for (const RegexReplacement::Piece &piece : replacement.pieces())
        usesGroups = usesGroups || piece.kind == RegexReplacement::Piece::Group;
    usesGroups = usesGroups && !p->translation.greedyIsLongest;
    Hold hold;
    hold.captures = p->captures;
    if constexpr (std::is_same_v<Unit, char>)
        hold.utf8 = subject;
    hold.best.assign(size_t(2 * p->captures + 2), PCRE2_UNSET);
    typename A::Data *spare = memory.spareFor(p->captures);
    Joiner<Unit> out(sink);
    qsizetype count = 0;
    qsizetype copied = 0;
    qsizetype start = 0;
    qsizetype written = 0;
    while (start <= n) {
        const int rc = c.jit ? A::jitMatch(c.code, subject, n, start, data, memory.context)
                             : A::match(c.code, subject, n, start, 0, data, memory.context);
        if (rc == PCRE2_ERROR_NOMATCH)
            break;
        if (rc < 0) {
            if (tooComplexError(rc))
                tooComplex();
            break;
        }
        qsizetype from = qsizetype(ov[0]);
        qsizetype to = qsizetype(ov[1]);
        const PCRE2_SIZE *groups = ov;
        if (p->oldRules() && (usesGroups || !p->translation.greedyIsLongest)) {
            // The old dialect took the longest match at the leftmost place and, when the
            // groups could be cut up more than one way, the longest first group, and so on.
            if (usesGroups || p->translation.backReferences) {
                hold.end = -1;
                std::fill(hold.best.begin(), hold.best.end(), PCRE2_UNSET);
                A::callout(memory.context, &seekBest<typename A::Block>, &hold);
                const int found = c.held
                    ? A::match(c.held, subject, n, from, PCRE2_ANCHORED, spare, memory.context)
                    : PCRE2_ERROR_NOMATCH;
                A::callout(memory.context, nullptr, nullptr);
                if (found < 0 && found != PCRE2_ERROR_NOMATCH)
                    tooComplex();
                if (hold.end >= 0) {
                    to = hold.end;
                    groups = hold.best.data();
                }
            } else {
                memory.workspace.resize(DfaWorkspace);
                const int found = A::dfa(c.code, subject, n, from, spare, memory.context,
                    memory.workspace.data(), memory.workspace.size());
                if (found >= 0)
                    to = qsizetype(A::ovector(spare)[1]);
                else if (found != PCRE2_ERROR_NOMATCH)
                    tooComplex();
            }
        }
        out(text + copied, from - copied);
        written += from - copied;
        qsizetype length = 0;
        if (replacement.isLiteral() && !pieces.empty()) {
            out(pieces.front().text.data(), qsizetype(pieces.front().text.size()));
            length = qsizetype(pieces.front().text.size());
        } else if (!cased) {
            // Handed on where they lie: no copy per match.
            for (const Encoded &piece : pieces) {
                const Unit *from = piece.text.data();
                qsizetype size = qsizetype(piece.text.size());
                if (piece.kind == RegexReplacement::Piece::Group) {
                    if (piece.group > p->captures || groups[2 * piece.group] == PCRE2_UNSET)
                        continue;
                    from = text + groups[2 * piece.group];
                    size = qsizetype(groups[2 * piece.group + 1] - groups[2 * piece.group]);
                }
                out(from, size);
                length += size;
            }
        } else {
            made.clear();
            int mode = 0;
            for (const Encoded &piece : pieces) {
                switch (piece.kind) {
                case RegexReplacement::Piece::Literal:
                    appendCased(&made, piece.text.data(), qsizetype(piece.text.size()), mode);
                    break;
                case RegexReplacement::Piece::Group:
                    if (piece.group <= p->captures && groups[2 * piece.group] != PCRE2_UNSET)
                        appendCased(&made, text + groups[2 * piece.group],
                            qsizetype(groups[2 * piece.group + 1] - groups[2 * piece.group]), mode);
                    break;
                case RegexReplacement::Piece::Upper:
                    mode = 1;
                    break;
                case RegexReplacement::Piece::Lower:
                    mode = -1;
                    break;
                case RegexReplacement::Piece::EndCase:
                    mode = 0;
                    break;
                }
            }
            // made is filled again for the next match.
            out.flush();
            sink(made.data(), qsizetype(made.size()));
            length = qsizetype(made.size());
        }
        if (edits)
            edits->push_back({from, to - from, written, length});
        written += length;
        ++count;
        copied = to;
        start = to > from ? to : (to < n ? A::nextCharacter(text, n, to) : n + 1);
    }
    out(text + copied, n - copied);
    out.flush();
    return count;
}

template qsizetype regexReplace<char>(const RegexPattern &, const RegexReplacement &, const char *,
    qsizetype, const UnitSink<char> &, std::vector<TextEdit> *);
template qsizetype regexReplace<char16_t>(const RegexPattern &, const RegexReplacement &,
    const char16_t *, qsizetype, const UnitSink<char16_t> &, std::vector<TextEdit> *);
