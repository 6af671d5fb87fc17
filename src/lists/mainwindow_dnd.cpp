// Files, folders and list workbooks dropped onto the main window.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "lists/filenames.h"
#include "lists/textfiletype.h"
#include "workbook/listworkbook.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QSet>

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    const QMimeData *data = event->mimeData();
    if (data->urls().isEmpty())
        return;
    // A run reports its results by list position: the lists stay as they are until it ends.
    if (!data->hasFormat(QStringLiteral("text/uri-list")) || running) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || running)
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
    QStringList &target = firstTab ? list1Paths : list2Paths;
    // A drop of thousands of files must not test each against the whole list.
    QSet<QString> listed(target.cbegin(), target.cend());
    for (const QUrl &url : urls) {
        const QString path = localPathFromUrl(url);
        switch (classifyPath(path)) {
        case PathKind::TextFile:
            if (listed.contains(path)) {
                emit stateChangedSignals(13);
            } else {
                target.append(path);
                listed.insert(path);
                emit stateChangedSignals(10);
            }
            break;
        case PathKind::Directory:
            if (firstTab)
                addDirFiles1(path);
            else
                addDirFiles2(path);
            listed = QSet<QString>(target.cbegin(), target.cend());
            break;
        default:
            emit stateChangedSignals(58);
            break;
        }
    }

    if (firstTab)
        refreshList1();
    else
        refreshList2Columns();
    emit fileNumChangedSignals();
}
