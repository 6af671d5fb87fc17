#include "files/containingfolder.h"

QString containingFolder(const QString &path)
{
    QString folder = path;
    folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return folder.left(folder.lastIndexOf(QLatin1Char('/')) + 1);
}
