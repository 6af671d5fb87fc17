#include "cli/clirunner.h"
#include "cli/heaptuning.h"
#include "engine/appinfo.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    tuneHeapForWholeFiles();
    QCoreApplication app(argc, argv);
    initApplicationInfo(app);
    return runCli(QCoreApplication::arguments());
}
