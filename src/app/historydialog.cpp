#include "app/historydialog.h"

#include "engine/durable/journal.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column { Number, Started, Written, Undoable, State, Action, Columns };

QTableWidgetItem *cell(const QString &text, Qt::Alignment alignment = Qt::AlignLeft)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setTextAlignment(alignment | Qt::AlignVCenter);
    return item;
}

} // namespace

HistoryDialog::HistoryDialog(QWidget *parent)
    : QDialog(parent)
    , m_table(new QTableWidget(this))
    , m_summary(new QLabel(this))
{
    setWindowTitle(QStringLiteral("替换历史"));
    setObjectName(QStringLiteral("HistoryDialog"));
    m_table->setObjectName(QStringLiteral("tableWidget_history"));
    m_table->setColumnCount(Columns);
    m_table->setHorizontalHeaderLabels({QStringLiteral("编号"), QStringLiteral("开始时间"),
        QStringLiteral("写入文件"), QStringLiteral("仍可撤销"), QStringLiteral("状态"), QString()});
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setSectionResizeMode(State, QHeaderView::Stretch);
    m_summary->setWordWrap(true);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(m_table);
    layout->addWidget(buttons);
    resize(640, 360);
    refresh();
}

void HistoryDialog::refresh()
{
    const QVector<HistoryEntry> history = Journal::history();
    m_summary->setText(history.isEmpty()
            ? QStringLiteral("没有保留的替换。")
            : QStringLiteral("保留了最近 %1 次替换，最近的在前。撤销较早的一次时，"
                             "此后又被改动过的文件（包括被以后的替换改动的）保持不动。")
                  .arg(history.size()));
    m_table->setRowCount(0);
    m_table->setRowCount(history.size());
    for (int row = 0; row < history.size(); ++row) {
        const HistoryEntry &entry = history.at(row);
        const int number = row + 1;
        m_table->setItem(row, Number, cell(QString::number(number), Qt::AlignRight));
        m_table->setItem(row, Started,
            cell(QDateTime::fromMSecsSinceEpoch(entry.run.started)
                     .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
        m_table->setItem(row, Written, cell(QString::number(entry.written), Qt::AlignRight));
        m_table->setItem(row, Undoable, cell(QString::number(entry.undoable), Qt::AlignRight));
        m_table->setItem(row, State,
            cell(entry.run.undone             ? QStringLiteral("已撤销")
                    : entry.run.interrupted() ? QStringLiteral("被中断")
                                              : QString()));
        auto *undo = new QPushButton(QStringLiteral("撤销"), m_table);
        undo->setObjectName(QStringLiteral("pushButton_undoRun%1").arg(number));
        undo->setEnabled(!entry.run.undone);
        connect(undo, &QPushButton::clicked, this, [this, number] { emit undoRequested(number); });
        m_table->setCellWidget(row, Action, undo);
    }
}
