#pragma once

#include "engine/durable/undo.h"
#include "engine/job.h"
#include "engine/rep.h"
#include "engine/run.h"
#include "files/pathlist.h"

#include <QHash>
#include <QMainWindow>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <functional>

class QLabel;
class QProgressBar;
class QTableWidget;
class QTableWidgetItem;
class ResultsDialog;
struct ListReadError;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // A run killed before it finished can be undone: asks whether to, once the window is up.
    void offerUndoOfInterruptedRun();

    // Files and folders handed to the program at start ("open with"): files join the
    // mode-one list as the add-files dialog takes them, folders are scanned as the
    // add-folder button scans them.
    void openPaths(const QStringList &paths);

    bool importList1Workbook(const QString &path);
    bool importList2Workbook(const QString &path);

    const QStringList &list1() const { return list1Paths.paths(); }
    const QStringList &list2() const { return list2Paths.paths(); }
    bool isRunning() const { return !run.isNull(); }
    // A folder scan or the filling of the list it found is under way.
    bool isAdding() const { return adding; }
    // What the encoding box stands for; runs read and write files in it.
    const TextEncoding &fileEncoding() const { return encoding; }
    // The run in progress, or the last one; null before the first.
    const ReplaceRun *lastRun() const { return run ? run.data() : finishedRun.data(); }

signals:
    void fileNumChangedSignals();
    void stateChangedSignals(int stateCode);

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_pushButton_list1_Add_clicked();
    void on_pushButton_list1_Adds_clicked();
    void on_pushButton_list1_Remove_clicked();
    void on_pushButton_list1_Save_clicked();
    void on_pushButton_list1_Import_clicked();
    void on_pushButton_list1_Clear_clicked();
    void on_pushButton_keyClear_clicked();
    void on_tableWidget_list2_itemChanged(QTableWidgetItem *item);
    void on_pushButton_list2_Add_clicked();
    void on_pushButton_list2_Adds_clicked();
    void on_pushButton_list2_RemoveRow_clicked();
    void on_pushButton_list2_RemoveColumn_clicked();
    void on_pushButton_list2_Save_clicked();
    void on_pushButton_list2_Import_clicked();
    void on_pushButton_list2_Clear_clicked();
    void on_pushButton_ClearAll_clicked();
    void on_pushButton_replace_clicked();
    void on_tableWidget_list1_cellEntered(int row, int column);
    void on_tableWidget_list2_cellEntered(int row, int column);
    void on_comboBox_coder_currentIndexChanged(int index);
    void on_tabWidget_1_currentChanged(int index);
    void on_action_Adds_triggered();
    void on_action_Add_triggered();
    void on_action_Save_triggered();
    void on_action_Import_triggered();
    void on_action_Clear_triggered();
    void on_action_Quit_triggered();
    void on_action_P_triggered();
    void on_action_triggered();
    void on_radioButton_ordinary_toggled(bool checked);
    void on_pushButton_preview_clicked();
    void on_pushButton_stop_clicked();
    void on_action_Results_triggered();
    void on_action_Undo_triggered();
    void on_action_JournalCap_triggered();
    void on_action_History_triggered();
    void on_action_RunsKept_triggered();

private:
    // status bar and settings
    void showState(int stateCode);
    void resetCounters();
    void refreshFileNum();
    void applyEncoding(int index);
    TextEncoding encoding;
    void restoreSettings();
    void saveSettings();

    // file lists
    bool containsFile(const PathList &list, const QString &path);
    void scanDirectory(const QString &dirPath, PathList &list, bool noRecursion);
    void tellMaskedOut();
    // Around an operation that scans folders: the lists and the run wait, the stop button
    // ends the scan. endAdding() puts the lists back as beginAdding() found them when the
    // scan was stopped, reports it and returns false.
    void beginAdding();
    bool endAdding();
    void addDirFiles1(const QString &dirPath);
    void addDirFiles2(const QString &dirPath);
    void refreshList1();
    void fillList1Table();
    void refreshList2Columns();
    void fillList2Header();
    QString listTip(const QTableWidget *table, int row, int column) const;
    void openList1Folder();
    void openList2Folder();
    void pasteIntoList2();
    QStringList chooseFiles();
    void addChosenFiles(PathList &list, void (MainWindow::*refresh)());
    void addChosenDirectories(const QString &flagKey,
        void (MainWindow::*addDirFiles)(const QString &), void (MainWindow::*refresh)());
    void dispatchByTab(void (MainWindow::*modeOne)(), void (MainWindow::*modeTwo)());
    bool chooseDirectories(const QString &flagKey, QStringList *dirs);

    // the lists as a job's input, for runs and exports
    ModeOneList modeOneInput() const;
    ModeTwoList modeTwoInput() const;
    // The options a list workbook keeps beside the list.
    ListOptions listOptions() const;
    void applyListOptions(const ListOptions &options);

    // replace run
    enum class RunKind { Replace, Preview };
    // What the option row says, as a run takes it.
    ReplaceSettings replaceSettings() const;
    // leftOut: files of the lists this run is not to touch (unchecked in the preview);
    // previewed: for a run from the preview, what it read of each file of the lists and
    // the changes unchecked there.
    void startRun(RunKind kind, const QSet<QString> &leftOut = {},
        const QVector<std::shared_ptr<const FileChoice>> &previewed = {});
    void repDone(Rep *rep, STATE state, int index);
    void setReplaceEnabled(bool on);
    void refuseRun(const Refusal &refusal);
    void showEmptyKeyword(int line);
    void showRunProgress();
    void endRun();
    void setListsEditable(bool on);
    void clearList1Marks();
    // From this many files on, a run looks at them and ends its journal on workers.
    static constexpr int LongList = 4096;
    // Runs work that looks at each of files files on the disk: for a long list on a worker,
    // the window painting meanwhile but taking no input.
    void lookAtFiles(int files, const std::function<void()> &work);
    void markList2Column(int index, const QColor &color, const QString &reason);
    void showResults();
    qint64 journalCapBytes() const;
    int runsKept() const;
    bool askJournal(const Job &job, bool *keepJournal);
    bool prepareUndo(bool wanted);
    void tellRecovery(const Recovery &recovery);
    void undoLastRunNow();
    // number: a run of the history, 1 the newest; 0 for the run plain undo takes.
    // parent: what the summary is shown over.
    void undoRunNow(int number, QWidget *parent);
    void refuseImport(const QString &path, const ListReadError &error);
    void showPreview(ReplaceRun *preview);

    Ui::MainWindow *ui;
    QString appVersion;
    QString settingsFolder;
    QString settingsPath;
    PathList list1Paths;
    PathList list2Paths;
    // Files the include and exclude masks left out of the folders added since it was told.
    int maskedOut = 0;
    bool adding = false;
    // Set by the stop button; the scanning worker reads it.
    std::atomic_bool addStop {false};
    PathList list1BeforeAdding;
    PathList list2BeforeAdding;
    // Rows of the mode-one list the last run coloured.
    QVector<int> markedRows;
    // The texts of the reasons the run's rows were marked for, by reason and encoding.
    QHash<QPair<int, const void *>, QString> markReasons;

    // The counters of the last run; the run itself keeps them while it goes.
    RunTally tally;
    int runMode = 0;
    // The list row (mode one) or file column (mode two) of each file of the run, when the
    // run leaves some of the list's files out; empty when it takes them all.
    QVector<int> runRows;
    RunKind runKind = RunKind::Replace;
    QPointer<ReplaceRun> run;
    QPointer<ReplaceRun> finishedRun;
    QPointer<ResultsDialog> resultsView;
    // A close asked for while files were being written waits for them.
    bool closeWhenStopped = false;

    QLabel *fileNumLabel = nullptr;
    QLabel *successLabel = nullptr;
    QLabel *failLabel = nullptr;
    QLabel *lostLabel = nullptr;
    QLabel *skippedLabel = nullptr;
    QLabel *stateLabel = nullptr;
    QProgressBar *progressBar = nullptr;
};
