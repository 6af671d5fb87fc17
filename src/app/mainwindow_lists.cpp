// The file-list slots of MainWindow: the mode-one list and the mode-two table.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/fileitem.h"
#include "app/settings.h"
#include "app/spreadsheettext.h"
#include "files/containingfolder.h"
#include "files/dirscan.h"
#include "files/namemasks.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCursor>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QGridLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <QtConcurrent>

#include <algorithm>
#include <set>

namespace {

// A long list is filled a slice at a time, each slice without a signal per row and
// repainted once, so that the window keeps painting and the bar shows how far it got.
constexpr int kSlice = 4096;

template<typename Fill>
void fillInSlices(int count, QAbstractItemModel *model, QWidget *viewport, QProgressBar *bar,
    bool showProgress, Fill fill)
{
    if (showProgress) {
        bar->setRange(0, count);
        bar->setValue(0);
        bar->show();
    }
    for (int first = 0; first < count; first += kSlice) {
        const int end = std::min(count, first + kSlice);
        {
            const QSignalBlocker blocker(model);
            for (int i = first; i < end; ++i)
                fill(i);
        }
        viewport->update();
        if (showProgress) {
            bar->setValue(end);
            // The list must not change under the loop: only painting and timers go on.
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        }
    }
}

const QString kCheck = QStringLiteral("check");

std::set<int> selectedRows(const QTableWidget *table)
{
    std::set<int> rows;
    for (const QModelIndex &index : table->selectionModel()->selectedIndexes())
        rows.insert(index.row());
    return rows;
}

std::set<int> selectedColumns(const QTableWidget *table)
{
    std::set<int> columns;
    for (const QModelIndex &index : table->selectionModel()->selectedIndexes())
        columns.insert(index.column());
    return columns;
}

QString withReason(const QString &path, const QTableWidgetItem *item)
{
    const QString reason = item ? item->data(Qt::UserRole).toString() : QString();
    return reason.isEmpty() ? path : path + QLatin1Char('\n') + reason;
}

void openFolderOf(const QString &path)
{
    const QString folder = containingFolder(path);
    if (!folder.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

} // namespace

bool MainWindow::containsFile(const PathList &list, const QString &path)
{
    if (!list.contains(path))
        return false;
    emit stateChangedSignals(13);
    return true;
}

// The scan runs on a thread of its own while the window goes on answering: the busy bar
// moves and the stop button ends the scan, which then adds nothing.
void MainWindow::scanDirectory(const QString &dirPath, PathList &list, bool noRecursion)
{
    if (addStop)
        return;
    PathList scanned = list;
    int duplicates = 0;
    QFutureWatcher<void> watcher;
    QEventLoop loop;
    connect(&watcher, &QFutureWatcher<void>::finished, &loop, &QEventLoop::quit);
    QTimer busy;
    busy.setSingleShot(true);
    connect(&busy, &QTimer::timeout, progressBar, [this] {
        progressBar->setRange(0, 0);
        progressBar->show();
    });
    const NameMasks masks(NameMasks::split(ui->lineEdit_include->text()),
        NameMasks::split(ui->lineEdit_exclude->text()));
    int masked = 0;
    watcher.setFuture(QtConcurrent::run([&] {
        masked = scanTextFiles(
            dirPath, scanned, noRecursion, [&duplicates] { ++duplicates; }, masks, &addStop);
    }));
    busy.start(300);
    // Also after a quick scan: the watcher tells of its end through the loop, after any
    // input that came first, such as a click on the stop button.
    loop.exec();
    if (!isRunning())
        progressBar->hide();
    if (addStop)
        return;
    list = std::move(scanned);
    maskedOut += masked;
    for (int i = 0; i < duplicates; ++i)
        emit stateChangedSignals(13);
}

void MainWindow::beginAdding()
{
    adding = true;
    addStop = false;
    list1BeforeAdding = list1Paths;
    list2BeforeAdding = list2Paths;
    setListsEditable(false);
    setReplaceEnabled(false);
    ui->pushButton_stop->setEnabled(true);
}

bool MainWindow::endAdding()
{
    adding = false;
    ui->pushButton_stop->setEnabled(false);
    setListsEditable(true);
    setReplaceEnabled(true);
    const bool stopped = addStop.exchange(false);
    if (stopped) {
        list1Paths = std::move(list1BeforeAdding);
        list2Paths = std::move(list2BeforeAdding);
        maskedOut = 0;
        emit stateChangedSignals(3);
        emit fileNumChangedSignals();
    }
    list1BeforeAdding.clear();
    list2BeforeAdding.clear();
    if (closeWhenStopped)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    return !stopped;
}

// After folders were added, the status line also tells how many files the masks left out.
void MainWindow::tellMaskedOut()
{
    if (maskedOut > 0)
        stateLabel->setText(
            stateLabel->text() + QStringLiteral("（包含/排除略过了 %1 个文件）").arg(maskedOut));
    maskedOut = 0;
}

void MainWindow::addDirFiles1(const QString &dirPath)
{
    const int flag = settingToInt(readSetting(settingsPath, kCheck, QStringLiteral("c1"), {}));
    scanDirectory(dirPath, list1Paths, flag == 0);
}

void MainWindow::addDirFiles2(const QString &dirPath)
{
    const int flag = settingToInt(readSetting(settingsPath, kCheck, QStringLiteral("c2"), {}));
    scanDirectory(dirPath, list2Paths, flag == 0);
}

void MainWindow::refreshList1()
{
    fillList1Table();
    emit stateChangedSignals(2);
    tellMaskedOut();
    emit fileNumChangedSignals();
}

void MainWindow::fillList1Table()
{
    QTableWidget *table = ui->tableWidget_list1;
    const int rows = list1Paths.size();
    const bool inSlices = rows > kSlice;
    table->setRowCount(rows);
    markedRows.clear();
    fillInSlices(rows, table->model(), table->viewport(), progressBar, inSlices,
        [&](int i) { table->setItem(i, 0, new FileItem(list1Paths.at(i))); });
    if (inSlices && !isRunning())
        progressBar->hide();
    table->resizeColumnToContents(0);
}

void MainWindow::refreshList2Columns()
{
    fillList2Header();
    emit stateChangedSignals(2);
    tellMaskedOut();
    emit fileNumChangedSignals();
}

// A long list is labelled a slice at a time, each slice without a signal per label. Its
// columns are not sized to their contents: the header would measure every column again
// for each one labelled, and once more whenever one changed, a 300,000-file list froze the
// window for seconds at each. They share one width instead, the widest name's.
void MainWindow::fillList2Header()
{
    QTableWidget *table = ui->tableWidget_list2;
    QHeaderView *header = table->horizontalHeader();
    const int files = list2Paths.size();
    if (files <= kSlice) {
        table->setColumnCount(files + 1);
        QStringList labels {QStringLiteral("关键字")};
        for (const QString &path : list2Paths.paths())
            labels.append(path.mid(FileItem::nameStart(path)));
        table->setHorizontalHeaderLabels(labels);
        header->setSectionResizeMode(QHeaderView::ResizeToContents);
        return;
    }
    header->setSectionResizeMode(QHeaderView::Interactive);
    table->setColumnCount(files + 1);
    const QFontMetrics metrics(header->font());
    QString widest;
    int widestAdvance = -1;
    fillInSlices(files, table->model(), header->viewport(), progressBar, true, [&](int i) {
        const QString &path = list2Paths.at(i);
        const QString name = path.mid(FileItem::nameStart(path));
        // Labelled before the table holds it: a label changed in place is looked for
        // among all the others.
        table->setHorizontalHeaderItem(i + 1, new QTableWidgetItem(name));
        if (const int advance = metrics.horizontalAdvance(name); advance > widestAdvance) {
            widestAdvance = advance;
            widest = name;
        }
    });
    if (!isRunning())
        progressBar->hide();
    QStyleOptionHeader option;
    option.initFrom(header);
    option.text = widest;
    header->setDefaultSectionSize(
        header->style()->sizeFromContents(QStyle::CT_HeaderSection, &option, {}, header).width());
    header->resizeSection(0, header->sectionSizeHint(0));
}

QStringList MainWindow::chooseFiles()
{
    QFileDialog dialog(this, QString(), QString(), QString());
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setWindowTitle(QStringLiteral("选择纯文本文档:"));
    dialog.setDirectory(QStringLiteral("."));
    dialog.setNameFilter(QStringLiteral("文本文件(*.txt);;网页文件(*.html);;CSS文件(*.css);;"
                                        "XML文件(*.xml);;JavaScript文件(*.js);;所有文件(*.*)"));
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

// Qt's own directory dialog, so that several folders can be chosen and the
// include-subdirectories box can sit inside it.
bool MainWindow::chooseDirectories(const QString &flagKey, QStringList *dirs)
{
    QFileDialog dialog(this, QString(), QString(), QString());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setWindowTitle(QStringLiteral("选择文本文档所在目录:"));
    dialog.setDirectory(QStringLiteral("."));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);

    if (auto *listView = dialog.findChild<QListView *>(QStringLiteral("listView")))
        listView->setSelectionMode(QAbstractItemView::ExtendedSelection);

    auto *subdirs = new QCheckBox(QStringLiteral("包含子目录文件"), &dialog);
    subdirs->setChecked(settingToInt(readSetting(settingsPath, kCheck, flagKey, {})) != 0);
    if (auto *grid = qobject_cast<QGridLayout *>(dialog.layout()))
        grid->addWidget(subdirs, 4, 0, 1, 5);

    if (dialog.exec() != QDialog::Accepted)
        return false;
    writeSetting(settingsPath, kCheck, flagKey,
        subdirs->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    *dirs = dialog.selectedFiles();
    return true;
}

void MainWindow::addChosenFiles(PathList &list, void (MainWindow::*refresh)())
{
    emit stateChangedSignals(9);
    const QStringList files = chooseFiles();
    if (files.isEmpty()) {
        emit stateChangedSignals(11);
        return;
    }
    for (const QString &path : files) {
        if (!containsFile(list, path))
            list.append(path);
    }
    (this->*refresh)();
    emit stateChangedSignals(10);
    emit fileNumChangedSignals();
}

void MainWindow::addChosenDirectories(const QString &flagKey,
    void (MainWindow::*addDirFiles)(const QString &), void (MainWindow::*refresh)())
{
    emit stateChangedSignals(1);
    QStringList dirs;
    if (!chooseDirectories(flagKey, &dirs)) {
        emit stateChangedSignals(3);
        return;
    }
    if (dirs.isEmpty())
        return;
    beginAdding();
    for (const QString &dir : qAsConst(dirs))
        (this->*addDirFiles)(dir);
    if (endAdding())
        (this->*refresh)();
}

void MainWindow::on_pushButton_list1_Add_clicked()
{
    addChosenFiles(list1Paths, &MainWindow::refreshList1);
}

void MainWindow::on_pushButton_list1_Adds_clicked()
{
    addChosenDirectories(
        QStringLiteral("c1"), &MainWindow::addDirFiles1, &MainWindow::refreshList1);
}

void MainWindow::on_pushButton_list1_Remove_clicked()
{
    emit stateChangedSignals(17);
    const std::set<int> rows = selectedRows(ui->tableWidget_list1);
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        if (*it >= 0 && *it < list1Paths.size())
            list1Paths.removeAt(*it);
    }
    ui->tableWidget_list1->clearSelection();
    refreshList1();
    emit stateChangedSignals(18);
    emit fileNumChangedSignals();
}

void MainWindow::on_pushButton_list1_Clear_clicked()
{
    ui->tableWidget_list1->setRowCount(0);
    list1Paths.clear();
    emit stateChangedSignals(41);
    resetCounters();
    // The count must not go on showing the files just cleared.
    emit fileNumChangedSignals();
}

void MainWindow::on_pushButton_ClearAll_clicked()
{
    resetCounters();
    if (ui->tabWidget_1->currentIndex() != 0) {
        on_pushButton_list2_Clear_clicked();
        return;
    }
    on_pushButton_list1_Clear_clicked();
    on_pushButton_keyClear_clicked();
}

// A row the last run failed or lost tells why under its path.
void MainWindow::on_tableWidget_list1_cellEntered(int row, int column)
{
    const QString tip = listTip(ui->tableWidget_list1, row, column);
    if (!tip.isEmpty())
        QToolTip::showText(QCursor::pos(), tip);
}

// The file a cell stands for, with the reason the last run left it alone; empty for a
// cell that stands for no file.
QString MainWindow::listTip(const QTableWidget *table, int row, int column) const
{
    if (table == ui->tableWidget_list1) {
        if (row < 0 || row >= list1Paths.size())
            return QString();
        return withReason(list1Paths.at(row), table->item(row, 0));
    }
    if (column <= 0 || column - 1 >= list2Paths.size())
        return QString();
    return withReason(list2Paths.at(column - 1), table->horizontalHeaderItem(column));
}

// Resting the pointer asks the view for its cell's own tip, which the cells do not hold;
// unanswered, the view would hide the tip that entering the cell has just shown.
bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        for (QTableWidget *table : {ui->tableWidget_list1, ui->tableWidget_list2}) {
            if (watched != table->viewport())
                continue;
            const auto *help = static_cast<QHelpEvent *>(event);
            const QModelIndex index = table->indexAt(help->pos());
            const QString tip = listTip(table, index.row(), index.column());
            if (tip.isEmpty())
                break;
            QToolTip::showText(help->globalPos(), tip, table->viewport());
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::openList1Folder()
{
    const int row = ui->tableWidget_list1->currentRow();
    if (row >= 0 && row < list1Paths.size())
        openFolderOf(list1Paths.at(row));
}

void MainWindow::on_pushButton_list2_Add_clicked()
{
    addChosenFiles(list2Paths, &MainWindow::refreshList2Columns);
}

void MainWindow::on_pushButton_list2_Adds_clicked()
{
    addChosenDirectories(
        QStringLiteral("c2"), &MainWindow::addDirFiles2, &MainWindow::refreshList2Columns);
}

void MainWindow::on_pushButton_list2_RemoveRow_clicked()
{
    emit stateChangedSignals(17);
    QTableWidget *table = ui->tableWidget_list2;
    const std::set<int> rows = selectedRows(table);
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        if (*it < table->rowCount() - 1)
            table->removeRow(*it);
    }
    table->clearSelection();
    emit stateChangedSignals(18);
    emit fileNumChangedSignals();
}

void MainWindow::on_pushButton_list2_RemoveColumn_clicked()
{
    emit stateChangedSignals(17);
    QTableWidget *table = ui->tableWidget_list2;
    const std::set<int> columns = selectedColumns(table);
    for (auto it = columns.rbegin(); it != columns.rend(); ++it) {
        const int i = *it - 1;
        if (i >= 0 && i < list2Paths.size()) {
            list2Paths.removeAt(i);
            table->removeColumn(*it);
        }
    }
    table->clearSelection();
    refreshList2Columns();
    emit stateChangedSignals(18);
    emit fileNumChangedSignals();
}

void MainWindow::on_pushButton_list2_Clear_clicked()
{
    QTableWidget *table = ui->tableWidget_list2;
    table->setRowCount(1);
    table->setColumnCount(1);
    table->setItem(0, 0, new QTableWidgetItem);
    list2Paths.clear();
    emit stateChangedSignals(41);
    resetCounters();
    emit fileNumChangedSignals();
}

void MainWindow::on_tableWidget_list2_itemChanged(QTableWidgetItem *item)
{
    if (item->data(Qt::DisplayRole).toString().isEmpty())
        return;

    QTableWidget *table = ui->tableWidget_list2;
    const int row = item->row();
    if (row > 0) {
        const QTableWidgetItem *above = table->item(row - 1, 0);
        if (!above || above->data(Qt::DisplayRole).toString().isEmpty()) {
            QMessageBox::warning(this, QStringLiteral("警告"),
                QStringLiteral("上一条[被替换关键字]为空,请补充!"), QMessageBox::Ok);
            item->setData(Qt::DisplayRole, QString());
            return;
        }
    }

    if (row == table->rowCount() - 1) {
        table->insertRow(table->rowCount());
        const int last = table->rowCount() - 1;
        for (int column = 0; column < table->columnCount(); ++column)
            table->setItem(last, column, new QTableWidgetItem);
    }
}

void MainWindow::on_tableWidget_list2_cellEntered(int row, int column)
{
    const QString tip = listTip(ui->tableWidget_list2, row, column);
    if (!tip.isEmpty())
        QToolTip::showText(QCursor::pos(), tip);
}

void MainWindow::openList2Folder()
{
    const int column = ui->tableWidget_list2->currentColumn();
    if (column > 0 && column - 1 < list2Paths.size())
        openFolderOf(list2Paths.at(column - 1));
}

void MainWindow::openPaths(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    ui->tabWidget_1->setCurrentIndex(0);
    beginAdding();
    for (const QString &argument : paths) {
        const QFileInfo info(argument);
        if (info.isDir())
            addDirFiles1(info.absoluteFilePath());
        else if (info.isFile() && !containsFile(list1Paths, info.absoluteFilePath()))
            list1Paths.append(info.absoluteFilePath());
    }
    if (endAdding())
        refreshList1();
}

// Rows and columns copied from a spreadsheet land from the current cell on: keyword rows
// are added as needed, file columns are not.
void MainWindow::pasteIntoList2()
{
    QTableWidget *table = ui->tableWidget_list2;
    if (isRunning() || table->currentRow() < 0 || table->currentColumn() < 0)
        return;
    const QVector<QStringList> rows = parseSpreadsheetText(QApplication::clipboard()->text());
    if (rows.isEmpty())
        return;
    const int top = table->currentRow();
    const int left = table->currentColumn();
    {
        // Cell by cell the item check would stop at every row whose keyword is still to come.
        const QSignalBlocker blocker(table);
        if (top + rows.size() > table->rowCount())
            table->setRowCount(top + rows.size());
        for (int r = 0; r < rows.size(); ++r) {
            for (int c = 0; c < rows.at(r).size() && left + c < table->columnCount(); ++c)
                table->setItem(top + r, left + c, new QTableWidgetItem(rows.at(r).at(c)));
        }
        const int last = table->rowCount() - 1;
        bool lastUsed = false;
        for (int column = 0; column < table->columnCount(); ++column) {
            const QTableWidgetItem *item = table->item(last, column);
            lastUsed = lastUsed || (item && !item->text().isEmpty());
        }
        if (lastUsed)
            table->setRowCount(last + 2);
        for (int row = 0; row < table->rowCount(); ++row) {
            for (int column = 0; column < table->columnCount(); ++column) {
                if (!table->item(row, column))
                    table->setItem(row, column, new QTableWidgetItem);
            }
        }
    }
    table->viewport()->update();
}
