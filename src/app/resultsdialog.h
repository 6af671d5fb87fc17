#pragma once

#include "engine/rep.h"

#include <QDialog>
#include <QVector>

class QLabel;
class QTableWidget;
class ReplaceRun;

// One file that a run did not rewrite, and why.
struct ResultRow
{
    QString path;
    STATE state = FAIL;
    QString reason;
};

// The files of a run that failed, went missing or were skipped: sortable, copyable as
// tab-separated text, and each file's folder a button away.
class ResultsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ResultsDialog(QWidget *parent = nullptr);

    void setResults(const QString &summary, const QVector<ResultRow> &rows);
    QTableWidget *table() const { return m_table; }

    // The rows of a run worth a look: every file that was not rewritten.
    static QVector<ResultRow> problemsOf(const ReplaceRun &run);
    static QString stateText(STATE state);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void copyRows(bool selectedOnly);
    void openFolder();

    QLabel *m_summary;
    QTableWidget *m_table;
};
