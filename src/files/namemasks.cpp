#include "files/namemasks.h"

#include "files/filenames.h"

#ifdef Q_OS_UNIX
#include <fnmatch.h>
#else
#include <QRegularExpression>
#endif

namespace {

QVector<QByteArray> nativeMasks(const QStringList &masks)
{
    QVector<QByteArray> native;
    for (const QString &mask : masks)
        native.append(encodeFileName(mask));
    return native;
}

bool matchesAny(const QVector<QByteArray> &masks, const QByteArray &name)
{
    for (const QByteArray &mask : masks) {
#ifdef Q_OS_UNIX
        // No flags: a '/' cannot be in a name, and hidden names never reach a scan.
        if (::fnmatch(mask.constData(), name.constData(), 0) == 0)
            return true;
#else
        const QRegularExpression pattern(
            QRegularExpression::wildcardToRegularExpression(QString::fromUtf8(mask)));
        if (pattern.match(QString::fromUtf8(name)).hasMatch())
            return true;
#endif
    }
    return false;
}

} // namespace

NameMasks::NameMasks(const QStringList &include, const QStringList &exclude)
    : m_include(nativeMasks(include))
    , m_exclude(nativeMasks(exclude))
{
}

QStringList NameMasks::split(const QString &text)
{
    QStringList masks;
    for (const QString &part : text.split(QLatin1Char(';'))) {
        const QString mask = part.trimmed();
        if (!mask.isEmpty())
            masks.append(mask);
    }
    return masks;
}

QString NameMasks::unbalanced(const QStringList &masks)
{
    for (const QString &mask : masks) {
        for (int i = 0; i < mask.size(); ++i) {
            if (mask.at(i) == QLatin1Char('\\')) {
                ++i;
                continue;
            }
            if (mask.at(i) != QLatin1Char('['))
                continue;
            // A ']' right after "[", "[!" or "[^" is a member, not the end.
            int j = i + 1;
            if (j < mask.size()
                && (mask.at(j) == QLatin1Char('!') || mask.at(j) == QLatin1Char('^')))
                ++j;
            if (j < mask.size() && mask.at(j) == QLatin1Char(']'))
                ++j;
            const int close = mask.indexOf(QLatin1Char(']'), j);
            if (close < 0)
                return mask;
            i = close;
        }
    }
    return QString();
}

bool NameMasks::takesFile(const QByteArray &name) const
{
    if (matchesAny(m_exclude, name))
        return false;
    return m_include.isEmpty() || matchesAny(m_include, name);
}

bool NameMasks::entersFolder(const QByteArray &name) const
{
    return !matchesAny(m_exclude, name);
}
