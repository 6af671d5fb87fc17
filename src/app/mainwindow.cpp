#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/about.h"
#include "app/settings.h"
#include "app/statecodes.h"
#include "engine/appinfo.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QStandardPaths>

#include <cstdlib>

namespace {
const QString kSet = QStringLiteral("set");
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    appVersion = QCoreApplication::applicationVersion();
    if (appVersion.isEmpty())
        appVersion = programVersion();
    settingsFolder = QStringLiteral("qhyPz_") + appVersion;
    settingsPath = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QLatin1Char('/') + settingsFolder + QStringLiteral("/qhyPz");

    ui->setupUi(this);
    showMaximized();
    setWindowTitle(QStringLiteral("青禾纯文本批量替换 V") + appVersion
        + QStringLiteral(" BY 青禾软件开发工作室 QQ/VX：") + authorContact());

    registerRepMetaTypes();
    restoreSettings();

    // A view learns which cell the pointer entered from its viewport's mouse moves, which
    // arrive without a button held only when the viewport itself tracks the mouse.
    ui->tableWidget_list1->viewport()->setMouseTracking(true);
    ui->tableWidget_list2->viewport()->setMouseTracking(true);
    ui->tableWidget_list1->viewport()->installEventFilter(this);
    ui->tableWidget_list2->viewport()->installEventFilter(this);

    connect(ui->tableWidget_list1, &QTableWidgetEx::mouseLeftDoubled, this,
        &MainWindow::openList1Folder);
    connect(ui->tableWidget_list2, &QTableWidgetEx::mouseLeftDoubled, this,
        &MainWindow::openList2Folder);
    auto *paste = new QAction(ui->tableWidget_list2);
    paste->setShortcut(QKeySequence::Paste);
    paste->setShortcutContext(Qt::WidgetShortcut);
    ui->tableWidget_list2->addAction(paste);
    connect(paste, &QAction::triggered, this, &MainWindow::pasteIntoList2);

    ui->pushButton_list1_Adds->setToolTip(QStringLiteral("Ctrl+P"));
    ui->pushButton_list2_Adds->setToolTip(QStringLiteral("Ctrl+P"));
    ui->pushButton_list1_Add->setToolTip(QStringLiteral("Ctrl+F"));
    ui->pushButton_list2_Add->setToolTip(QStringLiteral("Ctrl+F"));
    ui->pushButton_list1_Save->setToolTip(QStringLiteral("Ctrl+S"));
    ui->pushButton_list2_Save->setToolTip(QStringLiteral("Ctrl+S"));
    ui->pushButton_list1_Import->setToolTip(QStringLiteral("Ctrl+I"));
    ui->pushButton_list2_Import->setToolTip(QStringLiteral("Ctrl+I"));
    ui->pushButton_list1_Clear->setToolTip(QStringLiteral("Ctrl+Del"));
    ui->pushButton_list2_Clear->setToolTip(QStringLiteral("Ctrl+Del"));

    QTableWidget *list1 = ui->tableWidget_list1;
    list1->setRowCount(0);
    list1->setColumnCount(1);
    list1->setHorizontalHeaderLabels({QStringLiteral("文件名")});
    list1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list1->setShowGrid(true);
    // Sized to its names once per refresh: sizing itself to its contents, the header would
    // measure the rows again for every row filled or coloured.
    list1->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);

    QTableWidget *list2 = ui->tableWidget_list2;
    list2->setRowCount(1);
    list2->setColumnCount(1);
    list2->setHorizontalHeaderLabels({QStringLiteral("关键字")});
    list2->setShowGrid(true);
    list2->setItem(0, 0, new QTableWidgetItem);
    list2->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);

    fileNumLabel = new QLabel(QStringLiteral(" 文件(0)"), this);
    successLabel = new QLabel(this);
    failLabel = new QLabel(this);
    lostLabel = new QLabel(this);
    stateLabel = new QLabel(QStringLiteral(" 就绪★★★处理之前请自行对文件进行备份★★★"), this);
    statusBar()->addWidget(fileNumLabel, 0);
    statusBar()->addWidget(successLabel, 0);
    statusBar()->addWidget(failLabel, 0);
    statusBar()->addWidget(lostLabel, 0);
    skippedLabel = new QLabel(this);
    statusBar()->addWidget(skippedLabel, 0);
    statusBar()->addWidget(stateLabel, -1);
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setMaximumWidth(200);
    progressBar->hide();
    statusBar()->addPermanentWidget(progressBar);
    resetCounters();

    connect(this, &MainWindow::fileNumChangedSignals, this, &MainWindow::refreshFileNum,
        Qt::DirectConnection);
    connect(this, &MainWindow::stateChangedSignals, this, &MainWindow::showState);
}

MainWindow::~MainWindow()
{
    saveSettings();
    delete ui;
}

void MainWindow::restoreSettings()
{
    ui->tabWidget_1->setCurrentIndex(
        settingToInt(readSetting(settingsPath, kSet, QStringLiteral("way"), QStringLiteral("0"))));
    ui->comboBox_coder->setCurrentIndex(settingToInt(
        readSetting(settingsPath, kSet, QStringLiteral("coder"), QStringLiteral("0"))));
    applyEncoding(ui->comboBox_coder->currentIndex());
    ui->lineEdit_Separator->setText(
        readSetting(settingsPath, kSet, QStringLiteral("separator"), QStringLiteral("|")));
    if (settingToInt(
            readSetting(settingsPath, kSet, QStringLiteral("ordinary"), QStringLiteral("1")))) {
        ui->radioButton_ordinary->setChecked(true);
        ui->checkBox_full->setChecked(settingToInt(
            readSetting(settingsPath, kSet, QStringLiteral("full"), QStringLiteral("0"))));
    } else {
        ui->radioButton_regular->setChecked(true);
    }
    ui->checkBox_keepFormat->setChecked(settingToInt(
        readSetting(settingsPath, kSet, QStringLiteral("keepFormat"), QStringLiteral("0"))));
    ui->checkBox_ignoreCase->setChecked(settingToInt(
        readSetting(settingsPath, kSet, QStringLiteral("ignoreCase"), QStringLiteral("0"))));
    ui->checkBox_extendedReplace->setChecked(settingToInt(
        readSetting(settingsPath, kSet, QStringLiteral("extendedReplace"), QStringLiteral("0"))));
    ui->lineEdit_include->setText(readSetting(settingsPath, kSet, QStringLiteral("include"), {}));
    ui->lineEdit_exclude->setText(readSetting(settingsPath, kSet, QStringLiteral("exclude"), {}));
}

void MainWindow::saveSettings()
{
    const auto flag = [](bool on) {
        return on ? QStringLiteral("1") : QStringLiteral("0");
    };
    writeSetting(settingsPath, kSet, QStringLiteral("way"),
        QString::number(ui->tabWidget_1->currentIndex()));
    writeSetting(settingsPath, kSet, QStringLiteral("coder"),
        QString::number(ui->comboBox_coder->currentIndex()));
    writeSetting(settingsPath, kSet, QStringLiteral("separator"), ui->lineEdit_Separator->text());
    writeSetting(settingsPath, kSet, QStringLiteral("ordinary"),
        flag(ui->radioButton_ordinary->isChecked()));
    writeSetting(settingsPath, kSet, QStringLiteral("full"), flag(ui->checkBox_full->isChecked()));
    writeSetting(settingsPath, kSet, QStringLiteral("keepFormat"),
        flag(ui->checkBox_keepFormat->isChecked()));
    writeSetting(settingsPath, kSet, QStringLiteral("ignoreCase"),
        flag(ui->checkBox_ignoreCase->isChecked()));
    writeSetting(settingsPath, kSet, QStringLiteral("extendedReplace"),
        flag(ui->checkBox_extendedReplace->isChecked()));
    writeSetting(settingsPath, kSet, QStringLiteral("include"), ui->lineEdit_include->text());
    writeSetting(settingsPath, kSet, QStringLiteral("exclude"), ui->lineEdit_exclude->text());
}

void MainWindow::on_radioButton_ordinary_toggled(bool checked)
{
    ui->checkBox_full->setEnabled(checked);
    // Only replacements of regular expressions have a syntax; the choice stays as it was.
    ui->checkBox_extendedReplace->setEnabled(!checked);
    if (checked) {
        ui->checkBox_full->setChecked(settingToInt(
            readSetting(settingsPath, kSet, QStringLiteral("full"), QStringLiteral("0"))));
    } else {
        writeSetting(settingsPath, kSet, QStringLiteral("full"),
            ui->checkBox_full->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
        ui->checkBox_full->setChecked(false);
    }
}

void MainWindow::showState(int stateCode)
{
    stateLabel->setText(stateMessage(stateCode));
}

void MainWindow::resetCounters()
{
    tally = RunTally();
    skippedLabel->setText(QStringLiteral(" 跳过(0)"));
    successLabel->setText(QStringLiteral(" 成功(0)"));
    failLabel->setText(QStringLiteral(" 失败(0)"));
    lostLabel->setText(QStringLiteral(" 丢失(0)"));
}

void MainWindow::refreshFileNum()
{
    switch (ui->tabWidget_1->currentIndex()) {
    case 0:
        fileNumLabel->setText(QStringLiteral(" 文件(%1)").arg(list1Paths.size()));
        break;
    case 1:
        fileNumLabel->setText(QStringLiteral(" 文件(%1)").arg(list2Paths.size()));
        break;
    default:
        break;
    }
}

// The box lists the engine's choices in their order, so its index is the choice. A box
// without a current item means the system's code page, as a fresh install always did.
void MainWindow::applyEncoding(int index)
{
    encoding = TextEncoding::fromChoice(index).value_or(TextEncoding::systemCodePage());
}

// By index: Qt 6 has no currentIndexChanged(QString) to bind a text slot to.
void MainWindow::on_comboBox_coder_currentIndexChanged(int index)
{
    applyEncoding(index);
}

void MainWindow::on_tabWidget_1_currentChanged(int /*index*/)
{
    emit fileNumChangedSignals();
}

void MainWindow::on_pushButton_keyClear_clicked()
{
    ui->plainTextEdit_s1->clear();
    ui->plainTextEdit_s2->clear();
    emit stateChangedSignals(41);
}

void MainWindow::dispatchByTab(void (MainWindow::*modeOne)(), void (MainWindow::*modeTwo)())
{
    switch (ui->tabWidget_1->currentIndex()) {
    case 0:
        (this->*modeOne)();
        break;
    case 1:
        (this->*modeTwo)();
        break;
    default:
        break;
    }
}

// The menu changes no list while a run is out; the list buttons are disabled then,
// but a disabled action can still be triggered from code.
void MainWindow::on_action_Adds_triggered()
{
    if (!isRunning())
        dispatchByTab(&MainWindow::on_pushButton_list1_Adds_clicked,
            &MainWindow::on_pushButton_list2_Adds_clicked);
}

void MainWindow::on_action_Add_triggered()
{
    if (!isRunning())
        dispatchByTab(&MainWindow::on_pushButton_list1_Add_clicked,
            &MainWindow::on_pushButton_list2_Add_clicked);
}

void MainWindow::on_action_Save_triggered()
{
    dispatchByTab(&MainWindow::on_pushButton_list1_Save_clicked,
        &MainWindow::on_pushButton_list2_Save_clicked);
}

void MainWindow::on_action_Import_triggered()
{
    if (!isRunning())
        dispatchByTab(&MainWindow::on_pushButton_list1_Import_clicked,
            &MainWindow::on_pushButton_list2_Import_clicked);
}

void MainWindow::on_action_Clear_triggered()
{
    if (!isRunning())
        dispatchByTab(&MainWindow::on_pushButton_list1_Clear_clicked,
            &MainWindow::on_pushButton_list2_Clear_clicked);
}

// Leaves without the destructor on purpose: options changed in this session are not saved.
// A run is stopped first and its writes in progress are waited for: the process never
// ends in the middle of a write.
void MainWindow::on_action_Quit_triggered()
{
    if (run) {
        QEventLoop stopped;
        connect(run, &ReplaceRun::finished, &stopped, &QEventLoop::quit);
        run->cancel();
        if (run && !run->isFinished())
            stopped.exec();
    }
    std::exit(0);
}

// Closing during a run asks first; on yes the run stops, the writes in progress end,
// and then the window closes.
void MainWindow::closeEvent(QCloseEvent *event)
{
    // A scan is stopped without asking: it has changed nothing yet.
    if (adding) {
        event->ignore();
        closeWhenStopped = true;
        addStop = true;
        return;
    }
    if (!run) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    // Every file is done and the journal is ending: nothing is left to stop, only to
    // wait for.
    if (closeWhenStopped || run->tally().isComplete()) {
        closeWhenStopped = true;
        return;
    }
    const auto answer = QMessageBox::question(this, QStringLiteral("正在替换"),
        QStringLiteral("替换还没有完成。要停止替换并关闭窗口吗？\n"
                       "正在写入的文件会先写完，尚未开始的文件保持原样。"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    // The run may have ended while the question was open: then nothing is left to wait for.
    if (!run) {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return;
    }
    closeWhenStopped = true;
    run->cancel();
}

void MainWindow::on_action_P_triggered()
{
    QMessageBox::information(this, QStringLiteral("关于易换"),
        QStringLiteral("提供建议、意见 或定做软件。\n请联系作者QQ/VX:") + authorContact());
}

void MainWindow::on_action_triggered()
{
    QDesktopServices::openUrl(helpPageUrl());
}
