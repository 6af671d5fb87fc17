#include "app/mainwindow.h"
#include "app/translations.h"
#include "engine/appinfo.h"

#include <QApplication>
#include <QLocale>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    initApplicationInfo(app);
    installQtTranslations(app, QLocale::system());
    auto *window = new MainWindow;
    window->openPaths(QCoreApplication::arguments().mid(1));
    window->show();
    QMetaObject::invokeMethod(window, &MainWindow::offerUndoOfInterruptedRun, Qt::QueuedConnection);
    const int code = app.exec();
    delete window;
    return code;
}
