#include "engine/text/textencoding.h"

#include <QTextCodec>
#include <QVector>

#include <array>

#ifdef Q_OS_UNIX
#include <langinfo.h>
#include <locale.h>
#endif

namespace {

enum class Kind { Codec, SystemCodePage, Automatic };

struct Choice
{
    const char *name; // in UTF-8
    Kind kind;
    const char *codec;
};

// The combo box's order; settings hold indexes into it.
constexpr Choice Choices[] = {
    {"UTF-8", Kind::Codec, "UTF-8"},
    {"ANSI", Kind::SystemCodePage, nullptr},
    {"GB18030", Kind::Codec, "GB18030"},
    {"Big5", Kind::Codec, "Big5"},
    {"Shift_JIS", Kind::Codec, "Shift_JIS"},
    // Qt's EUC-KR is Windows' code page 949, a superset: names it "windows-949".
    {"EUC-KR", Kind::Codec, "EUC-KR"},
    {"UTF-16LE", Kind::Codec, "UTF-16LE"},
    {"UTF-16BE", Kind::Codec, "UTF-16BE"},
    {"Windows-1252", Kind::Codec, "windows-1252"},
    {"自动检测", Kind::Automatic, nullptr},
};

struct Alias
{
    const char *name;
    const char *codec;
};

// Names that would otherwise reach a codec other than the one users mean: files
// labelled GB2312 are GBK in practice, and UTF-16/UTF-32 without an order would
// follow the host's.
constexpr Alias Aliases[] = {
    {"UTF8", "UTF-8"},
    {"GB2312", "GBK"},
    {"UTF-16", "UTF-16LE"},
    {"UTF-32", "UTF-32LE"},
};

// Looking a codec up by name takes a lock all threads share: every file of a run asks.
QTextCodec *utf8Codec()
{
    static QTextCodec *const codec = QTextCodec::codecForName("UTF-8");
    return codec;
}

// The codec of each choice, null for those that name none.
QTextCodec *choiceCodec(int index)
{
    static const std::array<QTextCodec *, std::size(Choices)> codecs = [] {
        std::array<QTextCodec *, std::size(Choices)> found {};
        for (size_t i = 0; i < found.size(); ++i) {
            if (Choices[i].kind == Kind::Codec)
                found[i] = QTextCodec::codecForName(Choices[i].codec);
        }
        return found;
    }();
    return codecs[size_t(index)];
}

// Qt 5 answers UTF-8 for the locale even under zh_CN.GBK, so the locale's own
// character map is asked. A locale of its own keeps the process's locale untouched.
QTextCodec *localeCharacterMap()
{
#ifdef Q_OS_UNIX
    const locale_t locale = ::newlocale(LC_CTYPE_MASK, "", locale_t(0));
    if (locale == locale_t(0))
        return nullptr;
    const QByteArray codeset = ::nl_langinfo_l(CODESET, locale);
    ::freelocale(locale);
    if (codeset.isEmpty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII"
        || codeset == "US-ASCII")
        return nullptr;
    return QTextCodec::codecForName(codeset);
#else
    return QTextCodec::codecForLocale();
#endif
}

} // namespace

TextEncoding::TextEncoding()
    : m_codec(utf8Codec())
{
}

TextEncoding::TextEncoding(QTextCodec *codec)
    : m_codec(codec)
{
}

TextEncoding TextEncoding::utf8()
{
    return TextEncoding();
}

TextEncoding TextEncoding::systemCodePage()
{
    QTextCodec *codec = localeCharacterMap();
    return codec ? TextEncoding(codec) : TextEncoding();
}

TextEncoding TextEncoding::automatic()
{
    return TextEncoding(nullptr);
}

std::optional<TextEncoding> TextEncoding::fromName(const QString &name)
{
    const QString wanted = name.trimmed();
    if (wanted.isEmpty())
        return std::nullopt;
    if (wanted.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0)
        return automatic();
    static const QStringList names = choiceNames();
    for (int i = 0; i < names.size(); ++i) {
        if (wanted.compare(names.at(i), Qt::CaseInsensitive) == 0)
            return fromChoice(i);
    }
    QByteArray codecName = wanted.toLatin1();
    for (const Alias &alias : Aliases) {
        if (codecName.compare(alias.name, Qt::CaseInsensitive) == 0)
            codecName = alias.codec;
    }
    if (QTextCodec *codec = QTextCodec::codecForName(codecName))
        return TextEncoding(codec);
    return std::nullopt;
}

QStringList TextEncoding::choiceNames()
{
    QStringList names;
    for (const Choice &choice : Choices)
        names.append(QString::fromUtf8(choice.name));
    return names;
}

std::optional<TextEncoding> TextEncoding::fromChoice(int index)
{
    if (index < 0 || index >= int(std::size(Choices)))
        return std::nullopt;
    const Choice &choice = Choices[index];
    switch (choice.kind) {
    case Kind::SystemCodePage:
        return systemCodePage();
    case Kind::Automatic:
        return automatic();
    case Kind::Codec:
        break;
    }
    if (QTextCodec *codec = choiceCodec(index))
        return TextEncoding(codec);
    return std::nullopt;
}

bool TextEncoding::isOffered() const
{
    // Asked per file of an automatic run; the locale's character map is read once.
    static const QVector<QTextCodec *> offered = [] {
        QVector<QTextCodec *> codecs;
        for (int i = 0; i < int(std::size(Choices)); ++i) {
            const std::optional<TextEncoding> choice = fromChoice(i);
            if (choice && !choice->isAutomatic())
                codecs.append(choice->codec());
        }
        return codecs;
    }();
    return m_codec && offered.contains(m_codec);
}

bool TextEncoding::isWide() const
{
    if (!m_codec)
        return false;
    switch (m_codec->mibEnum()) {
    case 1013: // UTF-16BE
    case 1014: // UTF-16LE
    case 1015: // UTF-16
    case 1017: // UTF-32
    case 1018: // UTF-32BE
    case 1019: // UTF-32LE
        return true;
    default:
        return false;
    }
}

QString TextEncoding::name() const
{
    for (int i = 0; i < int(std::size(Choices)); ++i) {
        const bool same = m_codec ? choiceCodec(i) == m_codec : Choices[i].kind == Kind::Automatic;
        if (same)
            return QString::fromUtf8(Choices[i].name);
    }
    return QString::fromLatin1(m_codec->name());
}
