#include "files/textfiletype.h"

#include "files/filenames.h"
#include "files/mimetypecache.h"

#include <QFileInfo>
#include <QMimeType>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

bool isTextMimeType(const QMimeType &type)
{
    return type.name().startsWith(QLatin1String("text/"))
        || type.inherits(QStringLiteral("text/plain"));
}

PathKind classifyPath(const QString &localPath)
{
    if (isRunTempFile(localPath))
        return PathKind::Unsupported;
#ifdef Q_OS_UNIX
    struct stat info;
    if (::stat(encodeFileName(localPath).constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return PathKind::Directory;
        if (!S_ISREG(info.st_mode))
            return PathKind::Unsupported;
    }
#else
    if (QFileInfo(localPath).isDir())
        return PathKind::Directory;
#endif
    // A drop of thousands of files asks once per kind of name.
    thread_local MimeTypeCache types;
    if (types.isTextFile(localPath))
        return PathKind::TextFile;
    if (types.typeOfFile(localPath).name()
        == QLatin1String("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"))
        return PathKind::ListWorkbook;
    return PathKind::Unsupported;
}
