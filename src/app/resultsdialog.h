#pragma once

#include "engine/rep.h"

#include <QDialog>
#include <QVector>

class QLabel;
class QTableWidget;
class ReplaceRun;

// One file of a run: what became of it, how many replacements it got, the encoding it
// was read or written in, and why it was left alone.
struct ResultRow
{
    QString path;
    STATE state = FAIL;
    qint64 count = 0;
    QString encoding;
    QString reason;
};

// Every file of a run, those that failed or went missing first: sortable, copyable as
// tab-separated text, and each file's folder a button away.
class ResultsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ResultsDialog(QWidget *parent = nullptr);

    void setResults(const QString &summary, const QVector<ResultRow> &rows);
    QTableWidget *table() const { return m_table; }

    // Every file of the run in the order the view starts in: failed and lost files
    // first, then the rest, each group by path.
    static QVector<ResultRow> rowsOf(const ReplaceRun &run);
    static QString stateText(STATE state);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void copyRows(bool selectedOnly);
    void openFolder();

    QLabel *m_summary;
    QTableWidget *m_table;
};
