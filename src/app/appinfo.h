#pragma once

#include <QString>
#include <QUrl>

class QCoreApplication;

// Sets the application name and version that the window and the settings path rely on.
void initApplicationInfo(QCoreApplication &app);

// The installed user guide, or the one in the source tree when running from a build.
QUrl helpPageUrl();

QString authorContact();
