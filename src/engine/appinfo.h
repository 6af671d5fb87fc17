#pragma once

#include <QString>

class QCoreApplication;

// Sets the application name and version that the window, the settings path and the
// command line rely on.
void initApplicationInfo(QCoreApplication &app);

// The program's version, "5.0.0.2", whatever the application object says.
QString programVersion();
