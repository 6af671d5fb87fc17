// Files, folders and list workbooks dropped onto the main window.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "files/filenames.h"
#include "files/textfiletype.h"
#include "workbook/listworkbook.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    const QMimeData *data = event->mimeData();
    if (data->urls().isEmpty())
        return;
    // A run reports its results by list position: the lists stay as they are until it ends.
    if (!data->hasFormat(QStringLiteral("text/uri-list")) || isRunning() || adding) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || isRunning() || adding)
        return;

    if (urls.size() == 1) {
        const QString path = localPathFromUrl(urls.first());
        const PathKind kind = classifyPath(path);
        if (kind == PathKind::Unsupported) {
            emit stateChangedSignals(58);
            return;
        }
        if (kind == PathKind::ListWorkbook) {
            const QString baseName = QFileInfo(path).baseName();
            if (baseName == QFileInfo(modeOneDefaultFileName).baseName()) {
                ui->tabWidget_1->setCurrentIndex(0);
                importList1Workbook(path);
            } else if (baseName == QFileInfo(modeTwoDefaultFileName).baseName()) {
                ui->tabWidget_1->setCurrentIndex(1);
                importList2Workbook(path);
            }
            emit fileNumChangedSignals();
            return;
        }
    }

    const bool firstTab = ui->tabWidget_1->currentIndex() == 0;
    PathList &target = firstTab ? list1Paths : list2Paths;
    beginAdding();
    for (const QUrl &url : urls) {
        const QString path = localPathFromUrl(url);
        switch (classifyPath(path)) {
        case PathKind::TextFile:
            emit stateChangedSignals(target.append(path) ? 10 : 13);
            break;
        case PathKind::Directory:
            if (firstTab)
                addDirFiles1(path);
            else
                addDirFiles2(path);
            break;
        default:
            emit stateChangedSignals(58);
            break;
        }
    }
    if (!endAdding())
        return;

    if (firstTab)
        refreshList1();
    else
        refreshList2Columns();
    emit fileNumChangedSignals();
}
