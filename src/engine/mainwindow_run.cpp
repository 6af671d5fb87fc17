// The replace run of MainWindow: checks, one worker per file, and the tallies.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "engine/pairs.h"

#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

namespace {

QString cellText(const QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    return item ? item->text() : QString();
}

} // namespace

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

void MainWindow::on_pushButton_replace_clicked()
{
    emit stateChangedSignals(49);
    resetCounters();
    setReplaceEnabled(false);
    const QString separator = ui->lineEdit_Separator->text();
    runMode = ui->tabWidget_1->currentIndex();

    const auto refuse = [this](const QString &title, const QString &text) {
        emit stateChangedSignals(51);
        QMessageBox::warning(this, title, text, QMessageBox::Ok);
        setReplaceEnabled(true);
    };
    const auto refuseEmptyList = [this, &refuse] {
        emit stateChangedSignals(51);
        QMessageBox::warning(this, QStringLiteral("警告"),
            QStringLiteral("纯文本文件列表为空,请添加纯文本文件到列表!"), QMessageBox::Ok);
        ui->pushButton_replace->setText(QStringLiteral("开始替换(CTRL+SHIFT+H)"));
        setReplaceEnabled(true);
    };
    const auto refuseEmptyKeyword = [this] {
        emit stateChangedSignals(50);
        setReplaceEnabled(true);
    };

    RepOptions options;
    options.ordinary = ui->radioButton_ordinary->isChecked();
    if (options.ordinary)
        options.full = ui->checkBox_full->isChecked();

    QVector<ReplacePairs> pairsPerFile;
    QStringList paths;

    if (runMode == 0) {
        if (list1Paths.isEmpty())
            return refuseEmptyList();
        const CodeEditor *keys = ui->plainTextEdit_s1;
        if (keys->blockCount() < ui->plainTextEdit_s2->blockCount())
            return refuse(QStringLiteral("警告"),
                QStringLiteral("【被替换关键字】与【欲替换为】内容条目数量不一致，请检查!"));
        const QString keyText = keys->toPlainText();
        if (keyText.startsWith(QStringLiteral("\n\n")))
            return refuse(
                QStringLiteral("警告"), QStringLiteral("【被替换关键字】存在空行，请检查!"));
        if (keyText.isEmpty())
            return refuse(
                QStringLiteral("警告!"), QStringLiteral("无【被替换关键字】内容，请填写!"));
        expectedCount = list1Paths.size();
        const QStringList keyLines = editorLines(keys);
        for (const QString &line : keyLines) {
            if (line.isEmpty())
                return refuseEmptyKeyword();
        }
        options.pairs = buildModeOnePairs(keyLines, editorLines(ui->plainTextEdit_s2), separator);
        paths = list1Paths;
    } else if (runMode == 1) {
        if (list2Paths.isEmpty())
            return refuseEmptyList();
        expectedCount = list2Paths.size();
        const QTableWidget *table = ui->tableWidget_list2;
        QStringList keywordCells;
        for (int row = 0; row < table->rowCount() - 1; ++row) {
            const QString keyword = cellText(table, row, 0);
            if (keyword.isEmpty())
                return refuseEmptyKeyword();
            keywordCells.append(keyword);
        }
        for (int file = 0; file < expectedCount; ++file) {
            QStringList replacements;
            for (int row = 0; row < keywordCells.size(); ++row)
                replacements.append(cellText(table, row, file + 1));
            pairsPerFile.append(buildModeTwoPairs(keywordCells, replacements, separator));
        }
        paths = list2Paths;
    } else {
        setReplaceEnabled(true);
        return;
    }

    running = true;
    setListsEditable(false);
    for (int index = 0; index < paths.size(); ++index) {
        if (runMode == 1)
            options.pairs = pairsPerFile.at(index);
        const QString &path = paths.at(index);
        if (!QFileInfo(path).isFile()) {
            repDone(nullptr, LOST, index);
            continue;
        }
        auto *rep = new Rep(path, options, index, nullptr);
        connect(rep, &Rep::done, this, &MainWindow::repDone);
        startRep(rep);
    }
    if (running)
        showRunProgress();
}

void MainWindow::repDone(Rep * /*rep*/, STATE state, int index)
{
    ++doneCount;
    switch (state) {
    case SUCCESS:
        ++successCount;
        break;
    case FAIL:
        ++failCount;
        if (runMode == 0) {
            if (QTableWidgetItem *item = ui->tableWidget_list1->item(index, 0))
                item->setBackground(QBrush(Qt::red, Qt::SolidPattern));
        } else {
            markList2Column(index, Qt::red);
        }
        break;
    case LOST:
        ++lostCount;
        if (runMode == 0) {
            if (QTableWidgetItem *item = ui->tableWidget_list1->item(index, 0))
                item->setBackground(QBrush(Qt::blue, Qt::SolidPattern));
        } else {
            markList2Column(index, Qt::blue);
        }
        break;
    }

    if (doneCount >= expectedCount) {
        showRunProgress();
        running = false;
        setListsEditable(true);
        setReplaceEnabled(true);
    } else if (!progressPending) {
        // Thousands of results can arrive between two paints; the labels are set once
        // for all that the event loop delivers in one pass.
        progressPending = true;
        QTimer::singleShot(0, this, &MainWindow::showRunProgress);
    }
}

void MainWindow::showRunProgress()
{
    progressPending = false;
    // Until the first failure or loss its label keeps the plain text of the reset.
    successLabel->setText(QStringLiteral(" 成功(%1)").arg(successCount));
    if (failCount > 0)
        failLabel->setText(QStringLiteral(" <font color='red'>失败(%1)</font>").arg(failCount));
    if (lostCount > 0)
        lostLabel->setText(QStringLiteral(" <font color='blue'>丢失(%1)</font>").arg(lostCount));
    if (doneCount >= expectedCount)
        stateLabel->setText(QStringLiteral("文件替换处理全部完成!"));
    else if (running)
        stateLabel->setText(
            QStringLiteral("文件替换处理中...已完成[%1/%2]").arg(doneCount).arg(expectedCount));
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
