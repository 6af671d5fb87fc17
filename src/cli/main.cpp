#include "cli/clirunner.h"
#include "engine/appinfo.h"
#include "files/filenames.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    initApplicationInfo(app);
    // Named files keep bytes the locale cannot decode, instead of turning into other names.
    return runCli(argumentsFromArgv(argc, argv));
}
