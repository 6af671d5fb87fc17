#include "files/filenames.h"

#include "files/tempnames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextCodec>
#include <QUrl>

namespace {

constexpr ushort escapeBase = 0xdc00;

bool isEscape(const QString &text, int i)
{
    const ushort u = text.at(i).unicode();
    return u >= 0xdc80 && u <= 0xdcff && (i == 0 || !text.at(i - 1).isHighSurrogate());
}

bool isAscii(const QByteArray &raw)
{
    for (const char c : raw) {
        if (uchar(c) >= 0x80)
            return false;
    }
    return true;
}

// Length of the well-formed UTF-8 sequence at p (shortest form, no surrogates, at most
// U+10FFFF), or 0.
int utf8SequenceLength(const uchar *p, const uchar *end)
{
    const uchar lead = *p;
    if (lead < 0x80)
        return 1;
    int length = 0;
    uchar low = 0x80;
    uchar high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    } else {
        return 0;
    }
    if (end - p < length || p[1] < low || p[1] > high)
        return 0;
    for (int k = 2; k < length; ++k) {
        if (p[k] < 0x80 || p[k] > 0xbf)
            return 0;
    }
    return length;
}

QString escaped(uchar byte)
{
    return QChar(ushort(escapeBase + byte));
}

QString decodeUtf8Escaping(const QByteArray &raw)
{
    QString text;
    text.reserve(raw.size());
    const auto *p = reinterpret_cast<const uchar *>(raw.constData());
    const auto *end = p + raw.size();
    while (p < end) {
        const int length = utf8SequenceLength(p, end);
        if (length == 0) {
            text += escaped(*p++);
            continue;
        }
        text += QString::fromUtf8(reinterpret_cast<const char *>(p), length);
        p += length;
    }
    return text;
}

// Under another locale encoding: each path component that does not round-trip keeps all
// its non-ASCII bytes as escapes.
QString decodeComponentsEscaping(const QByteArray &raw)
{
    QStringList components;
    for (const QByteArray &component : raw.split('/')) {
        const QString name = QFile::decodeName(component);
        if (QFile::encodeName(name) == component) {
            components.append(name);
            continue;
        }
        QString text;
        for (const char c : component)
            text += uchar(c) < 0x80 ? QString(QLatin1Char(c)) : escaped(uchar(c));
        components.append(text);
    }
    return components.join(QLatin1Char('/'));
}

} // namespace

QString decodeFileName(const QByteArray &raw)
{
    if (isAscii(raw))
        return QString::fromLatin1(raw);
    const QString name = QFile::decodeName(raw);
    if (QFile::encodeName(name) == raw)
        return name;
    if (QTextCodec::codecForLocale()->mibEnum() == 106)
        return decodeUtf8Escaping(raw);
    return decodeComponentsEscaping(raw);
}

QByteArray encodeFileName(const QString &path)
{
    QByteArray raw;
    int runStart = 0;
    for (int i = 0; i < path.size(); ++i) {
        if (!isEscape(path, i))
            continue;
        raw += QFile::encodeName(path.mid(runStart, i - runStart));
        raw += char(path.at(i).unicode() - escapeBase);
        runStart = i + 1;
    }
    if (runStart == 0)
        return QFile::encodeName(path);
    return raw + QFile::encodeName(path.mid(runStart));
}

bool isEncodableFileName(const QString &path)
{
    return QFile::decodeName(QFile::encodeName(path)) == path;
}

QString localPathFromUrl(const QUrl &url)
{
    if (!url.isLocalFile())
        return QString();
    const QByteArray raw = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (QString::fromUtf8(raw).toUtf8() == raw)
        return url.toLocalFile();
    const QString host = url.host();
    const QString path = decodeFileName(raw);
    return host.isEmpty() ? path : QLatin1String("//") + host + path;
}

QStringList argumentsFromArgv(int argc, const char *const *argv)
{
#ifdef Q_OS_WIN
    // Windows hands programs UTF-16 arguments, which QCoreApplication reads.
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    return QCoreApplication::arguments();
#else
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(decodeFileName(QByteArray(argv[i])));
    return arguments;
#endif
}

bool isRunTempFile(const QString &path)
{
    const QString normalized = QDir::fromNativeSeparators(path);
    return isTempFileName(normalized.mid(normalized.lastIndexOf(QLatin1Char('/')) + 1));
}
