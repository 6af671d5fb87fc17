#pragma once

#include "engine/preview.h"

#include "engine/filechoice.h"

#include <QDialog>
#include <QHash>
#include <QSet>

#include <memory>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;
class ReplaceRun;

// What a run would do, file by file: the replacements it would make, the reason for each
// file it would leave alone, and for the chosen file the lines it would change, before and
// after, each change with a check box. Nothing is written; accepting the dialog asks for
// the run itself, over the files still checked, with the changes still checked.
class PreviewDialog : public QDialog
{
    Q_OBJECT

public:
    // run must be a finished dry run and outlive the dialog.
    PreviewDialog(const ReplaceRun &run, QWidget *parent = nullptr);

    QTableWidget *table() const { return m_table; }
    // The files whose check box was cleared: the run that follows leaves them out.
    QSet<QString> leftOut() const;
    // For each of the run's files still checked, what the preview read of it and the
    // changes unchecked; null for a file left out.
    QVector<std::shared_ptr<const FileChoice>> choices() const;

private:
    // The changes of a file once shown, and which of them stay checked.
    struct Changes
    {
        std::optional<Digest> shown;
        // The file no longer holds what the preview's run read.
        bool changed = false;
        std::vector<TextEdit> changes;
        std::vector<bool> kept;
    };

    void showFile(int row);
    void showChanges();
    void changeToggled(QTreeWidgetItem *item);
    void goToChange(int change);
    // Returns the block where the lines begin.
    static int appendLines(QPlainTextEdit *edit, int firstLine, const QString &text,
        const QVector<ChangedLines::Span> &spans, const QVector<QColor> &marks);

    const ReplaceRun &m_run;
    QLabel *m_summary;
    QString m_summaryText;
    QTableWidget *m_table;
    QTreeWidget *m_changeList;
    QPlainTextEdit *m_before;
    QPlainTextEdit *m_after;
    QHash<int, Changes> m_changes; // by the run's file index
    int m_shownIndex = -1;
    FilePreview m_shown;
    // Where each change of the file shown is, in the before and the after pane.
    QVector<QPair<int, int>> m_changeBlocks;
};
