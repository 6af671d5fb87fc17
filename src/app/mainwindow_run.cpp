// The replace run of MainWindow: the window's input turned into a job, and the run's
// progress and results shown as they come.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/previewdialog.h"
#include "app/resultsdialog.h"

#include <QEventLoop>
#include <QFutureWatcher>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTextBlock>
#include <QtConcurrent>

namespace {

// Black on the failure red, white on the loss blue: both above 4.5:1.
QColor readableOn(const QColor &background)
{
    return background == QColor(Qt::blue) ? QColor(Qt::white) : QColor(Qt::black);
}

} // namespace

void MainWindow::setReplaceEnabled(bool on)
{
    // Setting the button's text replaces its shortcut with the text's mnemonic.
    if (on)
        ui->pushButton_replace->setShortcut(
            QKeySequence(QStringLiteral("CTRL+SHIFT+H"), QKeySequence::PortableText));
    ui->pushButton_replace->setEnabled(on);
    ui->pushButton_preview->setEnabled(on);
    ui->pushButton_ClearAll->setEnabled(on);
}

// While workers are out, the lists must not change under them: a result is
// reported by its index, and clearing would reset the tallies the run counts on.
void MainWindow::setListsEditable(bool on)
{
    const QList<QWidget *> widgets = {
        ui->pushButton_list1_Add,
        ui->pushButton_list1_Adds,
        ui->pushButton_list1_Remove,
        ui->pushButton_list1_Import,
        ui->pushButton_list1_Clear,
        ui->pushButton_list2_Add,
        ui->pushButton_list2_Adds,
        ui->pushButton_list2_RemoveRow,
        ui->pushButton_list2_RemoveColumn,
        ui->pushButton_list2_Import,
        ui->pushButton_list2_Clear,
        ui->comboBox_coder,
    };
    for (QWidget *widget : widgets)
        widget->setEnabled(on);
    for (QAction *action : {ui->action_Add, ui->action_Adds, ui->action_Import, ui->action_Clear})
        action->setEnabled(on);
}

ModeOneList MainWindow::modeOneInput() const
{
    return {
        list1Paths.paths(), editorLines(ui->plainTextEdit_s1), editorLines(ui->plainTextEdit_s2)};
}

ModeTwoList MainWindow::modeTwoInput() const
{
    const QTableWidget *table = ui->tableWidget_list2;
    ModeTwoList list;
    list.paths = list2Paths.paths();
    for (int row = 0; row < table->rowCount() - 1; ++row) {
        QStringList cells;
        for (int column = 0; column < table->columnCount(); ++column) {
            const QTableWidgetItem *item = table->item(row, column);
            cells.append(item ? item->data(Qt::DisplayRole).toString() : QString());
        }
        list.rows.append(cells);
    }
    return list;
}

void MainWindow::refuseRun(const Refusal &refusal)
{
    emit stateChangedSignals(refusal.state);
    if (refusal.state == 51)
        QMessageBox::warning(this, refusal.title, refusal.text, QMessageBox::Ok);
    if (refusal.kind == Refusal::EmptyList)
        ui->pushButton_replace->setText(QStringLiteral("开始替换(CTRL+SHIFT+H)"));
    setReplaceEnabled(true);
    if (refusal.kind == Refusal::EmptyKeyword && refusal.line >= 0)
        showEmptyKeyword(refusal.line);
}

// The status line alone does not say which line it means: the cursor goes there.
void MainWindow::showEmptyKeyword(int line)
{
    if (ui->tabWidget_1->currentIndex() == 0) {
        QPlainTextEdit *editor = ui->plainTextEdit_s1;
        const QTextBlock block = editor->document()->findBlockByNumber(line);
        if (!block.isValid())
            return;
        QTextCursor cursor(block);
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        editor->setTextCursor(cursor);
        editor->setFocus();
        editor->ensureCursorVisible();
        return;
    }
    QTableWidget *table = ui->tableWidget_list2;
    if (line >= table->rowCount())
        return;
    table->setCurrentCell(line, 0, QItemSelectionModel::ClearAndSelect);
    table->scrollTo(table->model()->index(line, 0));
    table->setFocus();
}

void MainWindow::on_pushButton_replace_clicked()
{
    startRun(RunKind::Replace);
}

void MainWindow::on_pushButton_preview_clicked()
{
    startRun(RunKind::Preview);
}

void MainWindow::on_pushButton_stop_clicked()
{
    if (run)
        run->cancel();
    else if (adding)
        addStop = true;
}

ReplaceSettings MainWindow::replaceSettings() const
{
    ReplaceSettings settings;
    settings.match = ReplaceSettings::matchOf(
        ui->radioButton_ordinary->isChecked(), ui->checkBox_full->isChecked());
    settings.encoding = encoding;
    settings.keepFormat = ui->checkBox_keepFormat->isChecked();
    settings.ignoreCase = ui->checkBox_ignoreCase->isChecked();
    settings.extendedReplacement = ui->checkBox_extendedReplace->isChecked();
    return settings;
}

// A preview goes through the same checks and workers as a run, writing nothing.
void MainWindow::startRun(RunKind kind, const QSet<QString> &leftOut,
    const QVector<std::shared_ptr<const FileChoice>> &previewed)
{
    if (isRunning())
        return;
    runKind = kind;
    if (kind == RunKind::Replace) {
        emit stateChangedSignals(49);
        resetCounters();
    } else {
        emit stateChangedSignals(65);
    }
    setReplaceEnabled(false);
    const QString separator = ui->lineEdit_Separator->text();
    const int mode = ui->tabWidget_1->currentIndex();
    if (mode != 0 && mode != 1) {
        setReplaceEnabled(true);
        return;
    }
    RunOptions options;
    options.settings = replaceSettings();
    options.settings.dryRun = kind == RunKind::Preview;
    options.workersGiveWay = true;
    const bool regex = options.settings.regularExpressions();
    // The lists are read here; the job is made from them beside the window.
    const ModeOneList one = mode == 0 ? modeOneInput() : ModeOneList();
    const ModeTwoList two = mode == 1 ? modeTwoInput() : ModeTwoList();
    Job job;
    lookAtFiles(int(one.paths.size() + two.paths.size()), [&] {
        job = mode == 0 ? buildModeOneJob(one, separator, regex)
                        : buildModeTwoJob(two, separator, regex);
    });
    if (job.isRefused())
        return refuseRun(job.refusal);
    // The lists could not change while the preview was open: its files are the job's.
    if (!previewed.isEmpty() && previewed.size() == job.files.size()) {
        for (int i = 0; i < job.files.size(); ++i)
            job.files[i].choice = previewed.at(i);
    }
    QVector<int> rows;
    if (!leftOut.isEmpty()) {
        QVector<FileJob> chosen;
        for (int i = 0; i < job.files.size(); ++i) {
            if (leftOut.contains(job.files.at(i).path))
                continue;
            chosen.append(job.files.at(i));
            rows.append(i);
        }
        job.files = chosen;
        if (job.files.isEmpty()) {
            emit stateChangedSignals(51);
            setReplaceEnabled(true);
            return;
        }
    }

    if (kind == RunKind::Replace) {
        bool keepJournal = true;
        if (!askJournal(job, &keepJournal)) {
            emit stateChangedSignals(51);
            setReplaceEnabled(true);
            return;
        }
        options.journal = keepJournal;
        options.journalCap = journalCapBytes();
        options.runsKept = runsKept();
        options.journalEndsAside = job.files.size() >= LongList;
        runMode = mode;
        runRows = rows;
    }
    run = new ReplaceRun(job, options, this);
    if (kind == RunKind::Replace) {
        if (!prepareUndo(options.journal)) {
            delete run;
            emit stateChangedSignals(51);
            setReplaceEnabled(true);
            return;
        }
        delete finishedRun;
    }
    if (kind == RunKind::Replace) {
        tally.expected = job.files.size();
        clearList1Marks();
        markReasons.clear();
    }
    setListsEditable(false);
    ui->pushButton_stop->setEnabled(true);
    progressBar->setRange(0, qMax(1, job.files.size()));
    progressBar->setValue(0);
    progressBar->show();
    if (kind == RunKind::Replace)
        connect(run, &ReplaceRun::fileDone, this,
            [this](int index, STATE state) { repDone(nullptr, state, index); });
    connect(run, &ReplaceRun::progressed, this, &MainWindow::showRunProgress);
    connect(run, &ReplaceRun::finished, this, &MainWindow::endRun);
    // What interrupted runs left is put right before the files are looked at.
    run->prepareJournal();
    ReplaceRun *starting = run;
    lookAtFiles(job.files.size(), [starting] { starting->survey(); });
    run->start();
    if (run)
        showRunProgress();
}

void MainWindow::lookAtFiles(int files, const std::function<void()> &work)
{
    // A short list is looked at before a frame could be missed.
    if (files < LongList) {
        work();
        return;
    }
    QFutureWatcher<void> watcher;
    QEventLoop loop;
    connect(&watcher, &QFutureWatcher<void>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(QtConcurrent::run(work));
    if (!watcher.isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
}

// Colours the file's row and keeps the reason for its tooltip; the run counts. Rows marked
// alike share their brushes and their reason's text: a million of them hold no copies.
void MainWindow::repDone(Rep * /*rep*/, STATE state, int index)
{
    if (state != FAIL && state != LOST)
        return;
    static const QBrush failed(Qt::red, Qt::SolidPattern);
    static const QBrush lost(Qt::blue, Qt::SolidPattern);
    static const QBrush onFailed(readableOn(Qt::red));
    static const QBrush onLost(readableOn(Qt::blue));
    const FileOutcome outcome = run->outcome(index);
    const auto kind
        = qMakePair(int(outcome.reason), static_cast<const void *>(outcome.encoding.codec()));
    auto reason = markReasons.constFind(kind);
    if (reason == markReasons.cend())
        reason = markReasons.insert(kind, reasonText(outcome.reason, outcome.encoding.name()));
    const int row = runRows.isEmpty() ? index : runRows.value(index, -1);
    if (runMode == 0) {
        QTableWidget *table = ui->tableWidget_list1;
        if (QTableWidgetItem *item = table->item(row, 0)) {
            // A signal per change would have the view handle each row on its own; one
            // repaint of what is visible covers every row marked in this pass.
            const QSignalBlocker blocker(table->model());
            item->setBackground(state == FAIL ? failed : lost);
            item->setForeground(state == FAIL ? onFailed : onLost);
            item->setData(Qt::UserRole, reason.value());
            markedRows.append(row);
        }
        table->viewport()->update();
    } else {
        markList2Column(row, state == FAIL ? Qt::red : Qt::blue, reason.value());
    }
}

void MainWindow::showRunProgress()
{
    const ReplaceRun *current = run ? run.data() : nullptr;
    if (current)
        progressBar->setValue(current->tally().done);
    if (current && runKind == RunKind::Preview) {
        stateLabel->setText(QStringLiteral("预览中...已完成[%1/%2]")
                                .arg(current->tally().done)
                                .arg(current->tally().expected));
        return;
    }
    if (!current)
        current = finishedRun;
    if (!current)
        return;
    tally = current->tally();
    // Until the first failure or loss its label keeps the plain text of the reset.
    successLabel->setText(QStringLiteral(" 成功(%1)").arg(tally.success));
    if (tally.fail > 0)
        failLabel->setText(QStringLiteral(" <font color='red'>失败(%1)</font>").arg(tally.fail));
    if (tally.lost > 0)
        lostLabel->setText(QStringLiteral(" <font color='blue'>丢失(%1)</font>").arg(tally.lost));
    skippedLabel->setText(QStringLiteral(" 跳过(%1)").arg(tally.skipped));
    if (!tally.isComplete())
        stateLabel->setText(
            QStringLiteral("文件替换处理中...已完成[%1/%2]").arg(tally.done).arg(tally.expected));
    else if (current->wasCancelled())
        showState(52);
    else
        stateLabel->setText(QStringLiteral("文件替换处理全部完成!"));
    // Until it is undone or discarded, an interrupted run is mentioned at every run.
    if (const int kept = current->recovery().interruptedRuns; kept > 0)
        stateLabel->setText(stateLabel->text()
            + QStringLiteral("（另有 %1 次被中断的替换可以撤销或丢弃）").arg(kept));
}

void MainWindow::endRun()
{
    ReplaceRun *ended = run;
    run = nullptr;
    progressBar->hide();
    ui->pushButton_stop->setEnabled(false);
    setListsEditable(true);
    setReplaceEnabled(true);
    if (runKind == RunKind::Replace) {
        finishedRun = ended;
        showRunProgress();
        ui->action_Undo->setEnabled(ended->options().journal && !ended->journalFailed());
    } else {
        emit stateChangedSignals(ended->wasCancelled() ? 67 : 66);
    }
    if (closeWhenStopped) {
        close();
        return;
    }
    if (runKind == RunKind::Replace)
        showResults();
    else if (ended->wasCancelled())
        ended->deleteLater();
    else
        // Out of the run's own signal before a dialog's event loop starts.
        QMetaObject::invokeMethod(
            this, [this, ended] { showPreview(ended); }, Qt::QueuedConnection);
}

// After a run with files left alone, they are listed with their reasons; after a clean
// run nothing pops up.
void MainWindow::showResults()
{
    ui->action_Results->setEnabled(finishedRun);
    if (!finishedRun)
        return;
    const RunTally &last = finishedRun->tally();
    if (last.fail + last.lost + last.skipped > 0)
        on_action_Results_triggered();
    else if (resultsView)
        resultsView->close();
}

// The preview's own dialog; its start button runs the same input for real. The lists
// cannot change while it is open.
void MainWindow::showPreview(ReplaceRun *preview)
{
    bool start = false;
    QSet<QString> leftOut;
    QVector<std::shared_ptr<const FileChoice>> chosen;
    {
        PreviewDialog dialog(*preview, this);
        start = dialog.exec() == QDialog::Accepted;
        leftOut = dialog.leftOut();
        chosen = dialog.choices();
    }
    delete preview;
    if (start)
        startRun(RunKind::Replace, leftOut, chosen);
}

void MainWindow::on_action_Results_triggered()
{
    if (!finishedRun)
        return;
    if (!resultsView)
        resultsView = new ResultsDialog(this);
    const RunTally &last = finishedRun->tally();
    resultsView->setResults(QStringLiteral("成功 %1，失败 %2，丢失 %3，跳过 %4")
                                .arg(last.success)
                                .arg(last.fail)
                                .arg(last.lost)
                                .arg(last.skipped),
        finishedRun.data());
    resultsView->show();
    resultsView->raise();
}

// The colours of the run before would tell of files this run has not reached yet.
void MainWindow::clearList1Marks()
{
    QTableWidget *table = ui->tableWidget_list1;
    {
        const QSignalBlocker blocker(table->model());
        for (const int row : qAsConst(markedRows)) {
            if (QTableWidgetItem *item = table->item(row, 0)) {
                item->setBackground(QBrush());
                item->setForeground(QBrush());
                item->setData(Qt::UserRole, QVariant());
            }
        }
    }
    markedRows.clear();
    table->viewport()->update();
}

// A mode-two file is a column: its header turns the colour in bold, and its
// replacement cells get the colour as background.
void MainWindow::markList2Column(int index, const QColor &color, const QString &reason)
{
    QTableWidget *table = ui->tableWidget_list2;
    const int column = index + 1;
    if (column >= table->columnCount())
        return;
    // Changed in its place, a label is looked for among all the others at each change;
    // taken out, it is changed on its own.
    if (QTableWidgetItem *header = table->takeHorizontalHeaderItem(column)) {
        header->setForeground(color);
        QFont font = header->font();
        font.setBold(true);
        header->setFont(font);
        header->setData(Qt::UserRole, reason);
        table->setHorizontalHeaderItem(column, header);
    }
    const QSignalBlocker blocker(table);
    for (int row = 0; row < table->rowCount() - 1; ++row) {
        QTableWidgetItem *item = table->item(row, column);
        if (!item) {
            item = new QTableWidgetItem;
            table->setItem(row, column, item);
        }
        item->setBackground(QBrush(color, Qt::SolidPattern));
        item->setForeground(readableOn(color));
    }
    table->viewport()->update();
}
