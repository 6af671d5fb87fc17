#pragma once

#include "engine/rep.h"

#include <QDialog>
#include <QFutureWatcher>
#include <QPointer>
#include <QVector>

class QLabel;
class QTableView;
class ReplaceRun;
class ResultsModel;

// Every file of a run, those that failed or went missing first: sortable, copyable as
// tab-separated text, and each file's folder a button away. It reads the run's own
// outcomes, so a million files cost the view an index each, and it empties when the run
// is gone.
class ResultsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ResultsDialog(QWidget *parent = nullptr);

    void setResults(const QString &summary, const ReplaceRun *run);
    QTableView *table() const { return m_table; }

    static QString stateText(STATE state);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void copyRows(bool selectedOnly);
    void openFolder();
    void sortBy(int column, Qt::SortOrder order);

    QLabel *m_summary;
    QTableView *m_table;
    ResultsModel *m_model;
    QFutureWatcher<QVector<int>> m_sorting;
    // A sort is under way for the rows now shown; the last one asked for lands.
    bool m_sortPending = false;
};
