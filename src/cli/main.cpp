#include "cli/clirunner.h"
#include "engine/appinfo.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    initApplicationInfo(app);
    return runCli(QCoreApplication::arguments());
}
