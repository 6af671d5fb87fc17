#pragma once

#include "engine/preview.h"

#include <QDialog>
#include <QSet>

class QLabel;
class QPlainTextEdit;
class QTableWidget;
class ReplaceRun;

// What a run would do, file by file: the replacements it would make, the reason for each
// file it would leave alone, and for the chosen file the lines it would change, before and
// after. Nothing is written; accepting the dialog asks for the run itself, over the files
// still checked.
class PreviewDialog : public QDialog
{
    Q_OBJECT

public:
    // run must be a finished dry run and outlive the dialog.
    PreviewDialog(const ReplaceRun &run, QWidget *parent = nullptr);

    QTableWidget *table() const { return m_table; }
    // The files whose check box was cleared: the run that follows leaves them out.
    QSet<QString> leftOut() const;

private:
    void showFile(int row);
    static void appendLines(QPlainTextEdit *edit, int firstLine, const QString &text,
        const QVector<ChangedLines::Span> &spans, const QColor &mark);

    const ReplaceRun &m_run;
    QLabel *m_summary;
    QTableWidget *m_table;
    QPlainTextEdit *m_before;
    QPlainTextEdit *m_after;
};
