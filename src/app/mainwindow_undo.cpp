// Undoing the last run from its journal, and what the journal may cost.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/historydialog.h"
#include "app/settings.h"
#include "engine/durable/journal.h"
#include "engine/durable/undo.h"

#include <QEventLoop>
#include <QFutureWatcher>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QtConcurrent>

namespace {

const QString kSet = QStringLiteral("set");
const QString kJournalCap = QStringLiteral("journalCap");
const QString kRunsKept = QStringLiteral("runsKept");
constexpr int DefaultJournalCapMB = 1024;
constexpr int MaxRunsKept = 1000;

QString undoSummary(const UndoResult &result)
{
    QStringList lines {QStringLiteral("已恢复 %1 个文件。").arg(result.restored)};
    if (result.alreadyOriginal > 0)
        lines.append(QStringLiteral("%1 个文件本来就是原样。").arg(result.alreadyOriginal));
    if (result.changedSince > 0)
        lines.append(
            QStringLiteral("%1 个文件在替换之后又被改动过，保持不动：").arg(result.changedSince));
    for (const UndoResult::File &file : result.files) {
        if (file.outcome == UndoResult::Outcome::ChangedSince && lines.size() < 20)
            lines.append(QStringLiteral("    ") + file.path);
    }
    if (result.missing > 0)
        lines.append(QStringLiteral("%1 个文件已不存在。").arg(result.missing));
    if (result.failed > 0)
        lines.append(
            QStringLiteral("%1 个文件未能恢复，可以稍后再试一次撤销。").arg(result.failed));
    return lines.join(QLatin1Char('\n'));
}

} // namespace

qint64 MainWindow::journalCapBytes() const
{
    const int megabytes = settingToInt(
        readSetting(settingsPath, kSet, kJournalCap, QString::number(DefaultJournalCapMB)));
    return qint64(qMax(0, megabytes)) << 20;
}

int MainWindow::runsKept() const
{
    const int runs = settingToInt(
        readSetting(settingsPath, kSet, kRunsKept, QString::number(Journal::DefaultRunsKept)));
    return qBound(1, runs, MaxRunsKept);
}

void MainWindow::on_action_RunsKept_triggered()
{
    bool ok = false;
    const int runs = QInputDialog::getInt(this, QStringLiteral("保留替换次数"),
        QStringLiteral("撤销日志保留最近几次替换，都可以撤销（在撤销空间上限之内；"
                       "超出时先丢弃最早的）："),
        runsKept(), 1, MaxRunsKept, 1, &ok);
    if (ok)
        writeSetting(settingsPath, kSet, kRunsKept, QString::number(runs));
}

void MainWindow::on_action_History_triggered()
{
    HistoryDialog dialog(this);
    connect(&dialog, &HistoryDialog::undoRequested, &dialog, [this, &dialog](int number) {
        undoRunNow(number, &dialog);
        dialog.refresh();
    });
    dialog.exec();
}

void MainWindow::on_action_JournalCap_triggered()
{
    bool ok = false;
    const int megabytes = QInputDialog::getInt(this, QStringLiteral("撤销空间上限"),
        QStringLiteral("为了能撤销，替换前会保存文件原来的内容。与文件在同一磁盘时几乎不占空间；"
                       "在其他磁盘上的文件需要复制。\n复制最多可占用的空间 (MB)："),
        int(journalCapBytes() >> 20), 0, 1 << 20, 64, &ok);
    if (ok)
        writeSetting(settingsPath, kSet, kJournalCap, QString::number(megabytes));
}

// The journal keeps a file by linking it where it can, which costs nothing; what has to
// be copied counts against the cap, and a run beyond it may still go on, without undo.
bool MainWindow::askJournal(const Job &job, bool *keepJournal)
{
    Journal::Cost cost;
    lookAtFiles(job.files.size(), [&cost, &job] {
        QStringList paths;
        paths.reserve(job.files.size());
        for (const FileJob &file : job.files)
            paths.append(file.path);
        cost = Journal::estimate(paths);
    });
    const qint64 cap = journalCapBytes();
    *keepJournal = cost.copiedBytes <= cap;
    if (*keepJournal)
        return true;
    const auto answer = QMessageBox::question(this, QStringLiteral("无法撤销"),
        QStringLiteral("为了能撤销这次替换，需要复制保存 %1 个文件的原内容，共 %2 MB，"
                       "超过撤销空间上限 %3 MB。\n\n继续替换，但这次替换将无法撤销？")
            .arg(cost.copies)
            .arg((cost.copiedBytes + (1 << 20) - 1) >> 20)
            .arg(cap >> 20),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return answer == QMessageBox::Yes;
}

void MainWindow::on_action_Undo_triggered()
{
    if (isRunning())
        return;
    const auto answer = QMessageBox::question(this, QStringLiteral("撤销上次替换"),
        QStringLiteral("把上次替换改动过的文件恢复原样？\n替换之后又被改动过的文件会保持不动。"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes)
        undoLastRunNow();
}

void MainWindow::undoLastRunNow()
{
    undoRunNow(0, this);
}

// On a thread of its own, so that the window keeps painting over many files.
void MainWindow::undoRunNow(int number, QWidget *parent)
{
    if (isRunning())
        return;
    emit stateChangedSignals(73);
    setListsEditable(false);
    setReplaceEnabled(false);
    QFutureWatcher<UndoResult> watcher;
    QEventLoop loop;
    connect(&watcher, &QFutureWatcher<UndoResult>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(QtConcurrent::run([number] {
        const std::atomic_bool never {false};
        return number > 0 ? undoRunUntil(number, never) : undoLastRunUntil(never);
    }));
    if (!watcher.isFinished())
        loop.exec();
    const UndoResult result = watcher.result();
    setListsEditable(true);
    setReplaceEnabled(true);
    JournalRun last;
    ui->action_Undo->setEnabled(Journal::lastRun(&last));
    const QString title = number > 0 ? QStringLiteral("撤销第 %1 次替换").arg(number)
                                     : QStringLiteral("撤销上次替换");
    if (result.nothingToUndo || result.noSuchRun) {
        emit stateChangedSignals(75);
        QMessageBox::information(parent, title, QStringLiteral("没有可以撤销的替换。"));
        return;
    }
    emit stateChangedSignals(74);
    QMessageBox::information(parent, title, undoSummary(result));
}

// What recovery put right of interrupted runs, told as it happened.
void MainWindow::tellRecovery(const Recovery &recovery)
{
    const auto listed = [](const QString &intro, const QStringList &paths) {
        QStringList lines {intro};
        for (const QString &path : paths.mid(0, 20))
            lines.append(QStringLiteral("    ") + path);
        if (paths.size() > 20)
            lines.append(QStringLiteral("    ……共 %1 个").arg(paths.size()));
        return lines.join(QLatin1Char('\n'));
    };
    if (!recovery.repaired.isEmpty())
        QMessageBox::information(this, QStringLiteral("已修复"),
            listed(QStringLiteral("被中断的替换只写了一半的文件，已从撤销日志恢复原样："),
                recovery.repaired));
    if (!recovery.notRepaired.isEmpty())
        QMessageBox::warning(this, QStringLiteral("未能修复"),
            listed(
                QStringLiteral("被中断的替换只写了一半的文件未能恢复，撤销日志仍保留它们的原内容，"
                               "下次启动或替换时会再试："),
                recovery.notRepaired));
    if (!recovery.refused.isEmpty())
        QMessageBox::warning(this, QStringLiteral("撤销日志不可信"),
            listed(QStringLiteral("以下撤销日志不属于当前用户或可被他人改写，没有使用："),
                recovery.refused));
}

// Before a run's first write: what interrupted runs left is put right, and the run's
// journal is made. Without one the run could not be undone, which the user decides on.
bool MainWindow::prepareUndo(bool wanted)
{
    QString why;
    const bool made = run->prepareJournal(&why);
    Recovery recovery = run->recovery();
    // A journal folder that cannot be used is the question's subject, not a second box.
    if (!made)
        recovery.refused.clear();
    tellRecovery(recovery);
    if (made || !wanted)
        return true;
    const auto answer = QMessageBox::question(this, QStringLiteral("无法撤销"),
        QStringLiteral("无法建立撤销日志：%1\n\n继续替换，但这次替换将无法撤销？").arg(why),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return answer == QMessageBox::Yes;
}

// A run (or an undo) killed before it finished is put right at the next start: files it
// left half written come back at once, and the run itself is offered for undo. Declined,
// it stays, undoable, until it is undone or discarded.
void MainWindow::offerUndoOfInterruptedRun()
{
    QFutureWatcher<Recovery> watcher;
    QEventLoop loop;
    connect(&watcher, &QFutureWatcher<Recovery>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(QtConcurrent::run(recoverInterruptedRuns));
    if (!watcher.isFinished())
        loop.exec();
    tellRecovery(watcher.result());

    JournalRun last;
    ui->action_Undo->setEnabled(Journal::lastRun(&last));
    const QVector<JournalRun> interrupted = Journal::interruptedRuns();
    if (interrupted.isEmpty())
        return;
    int files = 0;
    for (const JournalRun &kept : interrupted)
        files += kept.records.size();
    QMessageBox box(QMessageBox::Question, QStringLiteral("上次替换被中断"),
        QStringLiteral("有 %1 次替换没有正常结束（%2 个文件已记录）。\n"
                       "撤销：把它改动过的文件恢复原样。\n丢弃：不再保留它的撤销记录。\n"
                       "以后再说：保留，以后仍可撤销。")
            .arg(interrupted.size())
            .arg(files),
        QMessageBox::Yes | QMessageBox::Discard | QMessageBox::No, this);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("撤销"));
    box.button(QMessageBox::Discard)->setText(QStringLiteral("丢弃"));
    box.button(QMessageBox::No)->setText(QStringLiteral("以后再说"));
    box.setDefaultButton(QMessageBox::Yes);
    box.exec();
    switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Yes:
        undoLastRunNow();
        break;
    case QMessageBox::Discard:
        Journal::discardInterruptedRuns();
        ui->action_Undo->setEnabled(Journal::lastRun(&last));
        break;
    default:
        break;
    }
}
