#include "app/mainwindow.h"
#include "engine/appinfo.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    initApplicationInfo(app);
    auto *window = new MainWindow;
    window->show();
    const int code = app.exec();
    delete window;
    return code;
}
