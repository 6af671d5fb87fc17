#include "app/about.h"

#include "app/buildinfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QUrl helpPageUrl()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    const QStringList candidates = {
        appDir + QStringLiteral("/../share/yihuan/help"),
        QStringLiteral(YIHUAN_HELP_INSTALL_DIR),
        QStringLiteral(YIHUAN_HELP_SOURCE_DIR),
    };
    for (const QString &dir : candidates) {
        const QFileInfo page(dir + QStringLiteral("/index.html"));
        if (page.isFile())
            return QUrl::fromLocalFile(page.absoluteFilePath());
    }
    return QUrl::fromLocalFile(QDir::cleanPath(candidates.last() + QStringLiteral("/index.html")));
}

QString authorContact()
{
    return QString::fromUtf8(YIHUAN_AUTHOR_CONTACT);
}
