#include "engine/base/reason.h"

namespace {

struct Wording
{
    Reason reason;
    const char *chinese;
    const char *english;
};

// One row per reason; %1 is the encoding's name.
constexpr Wording Table[] = {
    {Reason::None, "", ""},
    {Reason::NotFound, "文件不存在", "no such file"},
    {Reason::NotRegular, "不是普通文件", "not a regular file"},
    {Reason::ReadOnly, "文件只读", "read-only"},
    {Reason::Unreadable, "无法读取", "cannot be read"},
    {Reason::Binary, "二进制文件", "binary file"},
    {Reason::InvalidEncoding, "不是有效的 %1 文本", "not valid %1"},
    {Reason::EncodingNotRecognised, "无法识别文件编码", "encoding not recognised"},
    {Reason::Unencodable, "替换结果含有 %1 无法表示的字符", "result not encodable in %1"},
    {Reason::TooLarge, "文件太大", "too large"},
    {Reason::WriteFailed, "写入失败或磁盘已满", "write failed or disk full"},
    {Reason::FolderNotWritable, "所在目录不可写", "folder not writable"},
    {Reason::ChangedDuringRun, "替换期间文件被其他程序改动", "changed during the run"},
    {Reason::NameNotEncodable, "文件名在系统编码中无效",
        "file name not valid in the system encoding"},
    {Reason::Stopped, "替换已停止，未处理", "not processed: the run was stopped"},
    {Reason::RegexTooSlow, "正则表达式匹配耗时过长，已放弃", "regular expression took too long"},
    {Reason::UntrustedLink, "符号链接属于其他用户，未跟随",
        "symbolic link of another user, not followed"},
    {Reason::EncodingUncertain, "编码无法确定", "encoding uncertain"},
    {Reason::ChangedSincePreview, "预览之后文件被其他程序改动", "changed since the preview"},
    {Reason::RegexTooComplex, "正则表达式过于复杂", "regular expression too complex"},
};

const Wording &wordingOf(Reason reason)
{
    for (const Wording &row : Table) {
        if (row.reason == reason)
            return row;
    }
    return Table[0];
}

QString fill(const char *text, const QString &encoding)
{
    const QString wording = QString::fromUtf8(text);
    return wording.contains(QLatin1String("%1"))
        ? wording.arg(encoding.isEmpty() ? QStringLiteral("UTF-8") : encoding)
        : wording;
}

} // namespace

QString reasonText(Reason reason, const QString &encoding)
{
    return fill(wordingOf(reason).chinese, encoding);
}

QString reasonTextEnglish(Reason reason, const QString &encoding)
{
    return fill(wordingOf(reason).english, encoding);
}

QString reasonTextBoth(Reason reason, const QString &encoding)
{
    if (reason == Reason::None)
        return QString();
    return reasonText(reason, encoding) + QStringLiteral(" (") + reasonTextEnglish(reason, encoding)
        + QLatin1Char(')');
}
