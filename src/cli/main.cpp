#include "app/appinfo.h"
#include "cli/clirunner.h"
#include "cli/heaptuning.h"
#include "lists/filenames.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    tuneHeapForWholeFiles();
    QCoreApplication app(argc, argv);
    initApplicationInfo(app);
    // Named files keep bytes the locale cannot decode, instead of turning into other names.
    return runCli(argumentsFromArgv(argc, argv));
}
