#include "files/textfiletype.h"

#include <QMimeDatabase>
#include <QMimeType>

bool isTextMimeType(const QMimeType &type)
{
    return type.name().startsWith(QLatin1String("text/"))
        || type.inherits(QStringLiteral("text/plain"));
}

PathKind classifyPath(const QString &localPath)
{
    const QMimeType type = QMimeDatabase().mimeTypeForFile(localPath, QMimeDatabase::MatchDefault);
    if (isTextMimeType(type))
        return PathKind::TextFile;
    const QString name = type.name();
    if (name == QLatin1String("inode/directory"))
        return PathKind::Directory;
    if (name == QLatin1String("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"))
        return PathKind::ListWorkbook;
    return PathKind::Unsupported;
}
