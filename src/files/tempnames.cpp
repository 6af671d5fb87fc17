#include "files/tempnames.h"

namespace {

const QLatin1String Marker(".yihuan-");
const QLatin1String Suffix(".tmp");
constexpr int UniqueLength = 6;

bool isUniquePart(QStringView part)
{
    if (part.size() != UniqueLength)
        return false;
    for (const QChar c : part) {
        if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
                || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))))
            return false;
    }
    return true;
}

} // namespace

QString tempFileName(const QString &originalName, const QString &unique)
{
    return QLatin1Char('.') + originalName + Marker + unique.left(UniqueLength) + Suffix;
}

bool isTempFileName(const QString &fileName)
{
    const int minimum = 1 + 1 + Marker.size() + UniqueLength + Suffix.size();
    if (fileName.size() < minimum || !fileName.startsWith(QLatin1Char('.'))
        || !fileName.endsWith(Suffix))
        return false;
    const int uniqueAt = fileName.size() - Suffix.size() - UniqueLength;
    const int markerAt = uniqueAt - Marker.size();
    return QStringView(fileName).mid(markerAt, Marker.size()) == Marker
        && isUniquePart(QStringView(fileName).mid(uniqueAt, UniqueLength));
}
