// Export and import of the list workbooks of both modes.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "workbook/listworkbook.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {

QString askSavePath(QWidget *parent, const QString &defaultName)
{
    return QFileDialog::getSaveFileName(parent, QStringLiteral("选择保存目录:"),
        QStringLiteral("./") + defaultName, QStringLiteral("XLS表格(*.xlsx)"));
}

QString askOpenPath(QWidget *parent)
{
    return QFileDialog::getOpenFileName(parent, QStringLiteral("选择文件列表E文件:"),
        QStringLiteral("."), QStringLiteral("XLS表格(*.xlsx)"));
}

} // namespace

void MainWindow::on_pushButton_list1_Save_clicked()
{
    emit stateChangedSignals(25);
    const QString path = askSavePath(this, modeOneDefaultFileName);
    if (path.isEmpty()) {
        emit stateChangedSignals(27);
        return;
    }
    ModeOneList list = modeOneInput();
    list.options = listOptions();
    emit stateChangedSignals(writeModeOneWorkbook(path, list) ? 26 : 28);
}

void MainWindow::on_pushButton_list2_Save_clicked()
{
    emit stateChangedSignals(25);
    const QString path = askSavePath(this, modeTwoDefaultFileName);
    if (path.isEmpty()) {
        emit stateChangedSignals(27);
        return;
    }
    ModeTwoList list = modeTwoInput();
    list.options = listOptions();
    emit stateChangedSignals(writeModeTwoWorkbook(path, list) ? 26 : 28);
}

void MainWindow::on_pushButton_list1_Import_clicked()
{
    emit stateChangedSignals(33);
    importList1Workbook(askOpenPath(this));
    emit fileNumChangedSignals();
}

void MainWindow::on_pushButton_list2_Import_clicked()
{
    emit stateChangedSignals(33);
    importList2Workbook(askOpenPath(this));
    emit fileNumChangedSignals();
}

// The status code stays the cryptic one users know; the box says what was wrong.
void MainWindow::refuseImport(const QString &path, const ListReadError &error)
{
    emit stateChangedSignals(36);
    const QString why = isRunning() ? QStringLiteral("替换进行中，列表不能改动") : error.text;
    QMessageBox::warning(this, QStringLiteral("警告"),
        QStringLiteral("无法导入列表 %1：\n%2").arg(QFileInfo(path).fileName(), why),
        QMessageBox::Ok);
}

// The importers clear through the clear-all button, which clears the current
// tab's mode: callers switch to the importer's tab first.
bool MainWindow::importList1Workbook(const QString &path)
{
    if (path.isEmpty()) {
        emit stateChangedSignals(35);
        return false;
    }
    ListReadError error;
    std::optional<ModeOneList> list
        = isRunning() ? std::nullopt : readModeOneWorkbook(path, &error);
    if (!list) {
        refuseImport(path, error);
        return false;
    }

    dropDuplicatePaths(&*list);
    ui->pushButton_ClearAll->click();

    list1Paths = PathList(list->paths);
    fillList1Table();

    // Appending an empty line to an empty editor adds no line, which would pair every
    // later replacement with the keyword above it; set whole texts instead.
    if (!list->keywordLines.isEmpty()) {
        ui->plainTextEdit_s1->setPlainText(list->keywordLines.join(QLatin1Char('\n')));
        ui->plainTextEdit_s2->setPlainText(list->replacementLines.join(QLatin1Char('\n')));
    }
    applyListOptions(list->options);

    emit stateChangedSignals(34);
    return true;
}

bool MainWindow::importList2Workbook(const QString &path)
{
    if (path.isEmpty()) {
        emit stateChangedSignals(35);
        return false;
    }
    ListReadError error;
    std::optional<ModeTwoList> list
        = isRunning() ? std::nullopt : readModeTwoWorkbook(path, &error);
    if (!list) {
        refuseImport(path, error);
        return false;
    }

    dropDuplicatePaths(&*list);
    ui->pushButton_ClearAll->click();

    list2Paths = PathList(list->paths);
    QTableWidget *table = ui->tableWidget_list2;
    table->setColumnCount(list2Paths.size() + 1);
    refreshList2Columns();

    for (int k = 0; k < list->rows.size(); ++k) {
        const QStringList &cells = list->rows.at(k);
        table->setRowCount(table->rowCount() + 1);
        for (int column = 0; column <= list2Paths.size(); ++column)
            table->setItem(k, column, new QTableWidgetItem(cells.value(column)));
    }
    applyListOptions(list->options);

    emit stateChangedSignals(34);
    return true;
}

ListOptions MainWindow::listOptions() const
{
    ListOptions options;
    options.encoding = TextEncoding::choiceNames().value(ui->comboBox_coder->currentIndex());
    options.regex = ui->radioButton_regular->isChecked();
    options.wholeWord = ui->checkBox_full->isChecked();
    options.keepFormat = ui->checkBox_keepFormat->isChecked();
    options.ignoreCase = ui->checkBox_ignoreCase->isChecked();
    options.extendedReplacement = ui->checkBox_extendedReplace->isChecked();
    options.separator = ui->lineEdit_Separator->text();
    return options;
}

// A workbook that does not say leaves the window's own choice as it is, but for the
// replacement syntax.
void MainWindow::applyListOptions(const ListOptions &options)
{
    if (options.encoding) {
        const int index = TextEncoding::choiceNames().indexOf(*options.encoding);
        if (index >= 0)
            ui->comboBox_coder->setCurrentIndex(index);
    }
    if (options.regex)
        (*options.regex ? ui->radioButton_regular : ui->radioButton_ordinary)->setChecked(true);
    if (options.wholeWord && ui->radioButton_ordinary->isChecked())
        ui->checkBox_full->setChecked(*options.wholeWord);
    if (options.keepFormat)
        ui->checkBox_keepFormat->setChecked(*options.keepFormat);
    if (options.ignoreCase)
        ui->checkBox_ignoreCase->setChecked(*options.ignoreCase);
    // A list written without the choice was written before the syntax existed, when a
    // replacement's backslashes were all literal.
    ui->checkBox_extendedReplace->setChecked(options.extendedReplacement.value_or(false));
    if (options.separator)
        ui->lineEdit_Separator->setText(*options.separator);
}
