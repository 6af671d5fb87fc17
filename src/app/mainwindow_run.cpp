// The replace run of MainWindow: the window's input turned into a job, and the run's
// progress and results shown as they come.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QMessageBox>

void MainWindow::setReplaceEnabled(bool on)
{
    // Setting the button's text replaces its shortcut with the text's mnemonic.
    if (on)
        ui->pushButton_replace->setShortcut(
            QKeySequence(QStringLiteral("CTRL+SHIFT+H"), QKeySequence::PortableText));
    ui->pushButton_replace->setEnabled(on);
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
}

void MainWindow::on_pushButton_replace_clicked()
{
    emit stateChangedSignals(49);
    resetCounters();
    setReplaceEnabled(false);
    const QString separator = ui->lineEdit_Separator->text();
    runMode = ui->tabWidget_1->currentIndex();
    if (runMode != 0 && runMode != 1) {
        setReplaceEnabled(true);
        return;
    }
    RunOptions options;
    options.ordinary = ui->radioButton_ordinary->isChecked();
    options.full = options.ordinary && ui->checkBox_full->isChecked();
    options.encoding = encoding;
    const Job job = runMode == 0 ? buildModeOneJob(modeOneInput(), separator, !options.ordinary)
                                 : buildModeTwoJob(modeTwoInput(), separator, !options.ordinary);
    if (job.isRefused())
        return refuseRun(job.refusal);

    delete finishedRun;
    run = new ReplaceRun(job, options, this);
    tally.expected = job.files.size();
    setListsEditable(false);
    connect(run, &ReplaceRun::fileDone, this,
        [this](int index, STATE state) { repDone(nullptr, state, index); });
    connect(run, &ReplaceRun::progressed, this, &MainWindow::showRunProgress);
    connect(run, &ReplaceRun::finished, this, &MainWindow::endRun);
    run->start();
    if (run)
        showRunProgress();
}

// Colours the file's row; the run counts.
void MainWindow::repDone(Rep * /*rep*/, STATE state, int index)
{
    const QColor colour = state == FAIL ? Qt::red : state == LOST ? Qt::blue : QColor();
    if (!colour.isValid())
        return;
    if (runMode == 0) {
        if (QTableWidgetItem *item = ui->tableWidget_list1->item(index, 0))
            item->setBackground(QBrush(colour, Qt::SolidPattern));
    } else {
        markList2Column(index, colour);
    }
}

void MainWindow::showRunProgress()
{
    const ReplaceRun *current = lastRun();
    if (!current)
        return;
    tally = current->tally();
    // Until the first failure or loss its label keeps the plain text of the reset.
    successLabel->setText(QStringLiteral(" 成功(%1)").arg(tally.success));
    if (tally.fail > 0)
        failLabel->setText(QStringLiteral(" <font color='red'>失败(%1)</font>").arg(tally.fail));
    if (tally.lost > 0)
        lostLabel->setText(QStringLiteral(" <font color='blue'>丢失(%1)</font>").arg(tally.lost));
    if (tally.isComplete())
        stateLabel->setText(QStringLiteral("文件替换处理全部完成!"));
    else
        stateLabel->setText(
            QStringLiteral("文件替换处理中...已完成[%1/%2]").arg(tally.done).arg(tally.expected));
}

void MainWindow::endRun()
{
    finishedRun = run;
    run = nullptr;
    showRunProgress();
    setListsEditable(true);
    setReplaceEnabled(true);
}

// A mode-two file is a column: its header turns the colour in bold, and its
// replacement cells get the colour as background.
void MainWindow::markList2Column(int index, const QColor &color)
{
    QTableWidget *table = ui->tableWidget_list2;
    const int column = index + 1;
    if (column >= table->columnCount())
        return;
    if (QTableWidgetItem *header = table->horizontalHeaderItem(column)) {
        header->setForeground(color);
        QFont font = header->font();
        font.setBold(true);
        header->setFont(font);
    }
    const QSignalBlocker blocker(table);
    for (int row = 0; row < table->rowCount() - 1; ++row) {
        QTableWidgetItem *item = table->item(row, column);
        if (!item) {
            item = new QTableWidgetItem;
            table->setItem(row, column, item);
        }
        item->setBackground(QBrush(color, Qt::SolidPattern));
    }
    table->viewport()->update();
}
