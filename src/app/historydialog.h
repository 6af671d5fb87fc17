#pragma once

#include <QDialog>

class QLabel;
class QTableWidget;

// The runs the journal keeps, newest first, each with its own undo button. Undoing is
// the window's business: the dialog only asks for it, and is told to read the journal
// again afterwards.
class HistoryDialog : public QDialog
{
    Q_OBJECT

public:
    explicit HistoryDialog(QWidget *parent = nullptr);

    // Reads the journal's history again.
    void refresh();
    QTableWidget *table() const { return m_table; }

signals:
    // number: the run's place in the history, 1 being the newest.
    void undoRequested(int number);

private:
    QTableWidget *m_table;
    QLabel *m_summary;
};
