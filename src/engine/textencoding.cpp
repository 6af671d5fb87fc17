#include "engine/textencoding.h"

#include <QTextCodec>

#ifdef Q_OS_UNIX
#include <langinfo.h>
#include <locale.h>
#endif

namespace {

QTextCodec *utf8Codec()
{
    return QTextCodec::codecForName("UTF-8");
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

std::optional<TextEncoding> TextEncoding::fromName(const QString &name)
{
    const QString upper = name.trimmed().toUpper();
    if (upper == QLatin1String("ANSI"))
        return systemCodePage();
    if (upper == QLatin1String("UTF8"))
        return utf8();
    if (upper.isEmpty())
        return std::nullopt;
    if (QTextCodec *codec = QTextCodec::codecForName(upper.toLatin1()))
        return TextEncoding(codec);
    return std::nullopt;
}

QString TextEncoding::name() const
{
    return QString::fromLatin1(m_codec->name());
}
