// Draws the views the README and the help page show, from a window driven as a user would
// drive it, on files made for the purpose. Not a test: `make screenshots` runs it.
//
//   yihuan-screenshots HELP_FOLDER [README_FOLDER]
#include "app/mainwindow.h"
#include "app/translations.h"
#include "droppaths.h"
#include "engine/appinfo.h"
#include "engine/durable/journal.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

namespace {

QString folder;
QString readmeFolder;
QTemporaryDir files(QDir::tempPath() + QStringLiteral("/易换示例-XXXXXX"));

QString makeFile(const QString &name, const QByteArray &content)
{
    const QString path = files.filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return path;
}

void save(QWidget *widget, const QString &name, const QString &into = folder)
{
    const QString path = into + QLatin1Char('/') + name;
    if (!widget->grab().save(path))
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
    else
        std::printf("wrote %s\n", qPrintable(path));
}

QWidget *visible(const char *name)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String(name) && widget->isVisible())
            return widget;
    }
    return nullptr;
}

// Calls then once the named window has shown up and painted.
void whenShown(const char *name, const std::function<void(QWidget *)> &then)
{
    QTimer::singleShot(300, qApp, [name, then] {
        if (QWidget *widget = visible(name))
            then(widget);
        else
            whenShown(name, then);
    });
}

QStringList sampleFiles()
{
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    const QStringList paths {
        makeFile(QStringLiteral("配置/app.conf"),
            "# 北京办公室\nserver=beijing.example.com\ncity=北京\nbackup=上海\n"),
        makeFile(QStringLiteral("字幕/第一集.srt"),
            "1\n00:00:01,000 --> 00:00:03,000\n欢迎来到北京\n\n2\n00:00:04,000 --> "
            "00:00:06,000\n北京的秋天很美\n"),
        makeFile(QStringLiteral("网页/index.html"),
            "<title>北京分公司</title>\n<p>地址：北京市朝阳区</p>\n<p>电话：010-12345678</p>\n"),
        makeFile(QStringLiteral("旧文档/说明.txt"), gbk->fromUnicode(QStringLiteral("北京总部\n"))),
        makeFile(QStringLiteral("数据/readonly.csv"), "城市,人口\n北京,2189\n"),
        makeFile(QStringLiteral("数据/image.txt"), QByteArray("\x89PNG\r\n\x1a\n\0\0\0", 12)),
    };
    QFile::setPermissions(paths.at(4), QFile::ReadOwner | QFile::ReadGroup);
    return paths;
}

// The README's mode-two table after a run: one file read-only (red), one gone (blue).
void showModeTwo(MainWindow &window)
{
    const QStringList paths {
        makeFile(QStringLiteral("合同/合同A.txt"), "甲方：{客户}\n金额：{金额}\n"),
        makeFile(QStringLiteral("合同/合同B.txt"), "甲方：{客户}\n金额：{金额}\n"),
        makeFile(QStringLiteral("合同/合同C.txt"), "甲方：{客户}\n金额：{金额}\n"),
    };
    QFile::setPermissions(paths.at(1), QFile::ReadOwner | QFile::ReadGroup);
    window.findChild<QTabWidget *>(QStringLiteral("tabWidget_1"))->setCurrentIndex(1);
    dropPaths(&window, paths);
    QFile::remove(paths.at(2));
    auto *table = window.findChild<QTableWidget *>(QStringLiteral("tableWidget_list2"));
    const QStringList rows[] = {
        {QStringLiteral("{客户}"), QStringLiteral("北京某某公司"), QStringLiteral("上海某某公司"),
            QStringLiteral("广州某某公司")},
        {QStringLiteral("{金额}"), QStringLiteral("12,000 元"), QStringLiteral("8,500 元"),
            QString()},
    };
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < rows[row].size(); ++column)
            table->setItem(row, column, new QTableWidgetItem(rows[row].at(column)));
    }
    window.findChild<QPushButton *>(QStringLiteral("pushButton_replace"))->click();
}

// Closes the message box that shows up over a dialog, once it does.
void closeBoxOver(QWidget *dialog, const std::function<void()> &then)
{
    QTimer::singleShot(300, qApp, [dialog, then] {
        QWidget *box = QApplication::activeModalWidget();
        if (!box || box == dialog)
            return closeBoxOver(dialog, then);
        box->close();
        QTimer::singleShot(300, qApp, then);
    });
}

// The history after both runs, the older one undone from its own button.
void showHistory(MainWindow &window)
{
    whenShown("HistoryDialog", [](QWidget *history) {
        closeBoxOver(history, [history] {
            save(history, QStringLiteral("screenshot-history.png"));
            history->close();
            qApp->quit();
        });
        history->findChild<QPushButton *>(QStringLiteral("pushButton_undoRun2"))->click();
    });
    window.findChild<QAction *>(QStringLiteral("action_History"))->trigger();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    initApplicationInfo(app);
    installQtTranslations(app, QLocale(QLocale::Chinese, QLocale::China));
    QStandardPaths::setTestModeEnabled(true);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    folder = QString::fromLocal8Bit(argv[1]);
    readmeFolder = argc > 2 ? QString::fromLocal8Bit(argv[2]) : folder;
    QDir().mkpath(folder);
    // The history shows this program's runs only.
    QDir(Journal::location()).removeRecursively();

    MainWindow window;
    window.resize(1100, 700);
    window.showNormal();
    window.openPaths(sampleFiles());
    window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s1"))
        ->setPlainText(QStringLiteral("北京|beijing\n办公室"));
    window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s2"))
        ->setPlainText(QStringLiteral("杭州\n工作室"));

    // The preview with the first file's changes, the server's name unchecked, then the
    // run from its button, then the results view with the files left alone.
    whenShown("previewView", [&window](QWidget *preview) {
        auto *table = preview->findChild<QTableWidget *>(QStringLiteral("previewTable"));
        table->sortItems(1, Qt::DescendingOrder);
        table->setCurrentCell(0, 0);
        auto *changes = preview->findChild<QTreeWidget *>(QStringLiteral("previewChanges"));
        for (int i = 0; i < changes->topLevelItemCount(); ++i) {
            QTreeWidgetItem *change = changes->topLevelItem(i);
            if (change->text(1) == QLatin1String("beijing")) {
                change->setCheckState(0, Qt::Unchecked);
                changes->setCurrentItem(change);
            }
        }
        QTimer::singleShot(300, qApp, [&window, preview] {
            save(preview, QStringLiteral("screenshot-preview.png"));
            preview->findChild<QAbstractButton *>(QStringLiteral("startButton"))->click();
            whenShown("resultsView", [&window](QWidget *results) {
                results->resize(900, 300);
                QTimer::singleShot(300, qApp, [&window, results] {
                    save(results, QStringLiteral("screenshot-results.png"));
                    results->close();
                    showModeTwo(window);
                    whenShown("resultsView", [&window](QWidget *modeTwoResults) {
                        modeTwoResults->close();
                        QTimer::singleShot(300, qApp, [&window] {
                            save(&window, QStringLiteral("screenshot-mode2.png"), readmeFolder);
                            showHistory(window);
                        });
                    });
                });
            });
        });
    });
    QTimer::singleShot(500, &window, [&window] {
        window.findChild<QPushButton *>(QStringLiteral("pushButton_preview"))->click();
    });
    return app.exec();
}
