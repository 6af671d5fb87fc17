#include "engine/appinfo.h"

#include "engine/version.h"

#include <QCoreApplication>

void initApplicationInfo(QCoreApplication &app)
{
    app.setApplicationName(QStringLiteral("yihuan"));
    app.setApplicationVersion(programVersion());
}

QString programVersion()
{
    return QStringLiteral(YIHUAN_VERSION);
}
