#include "app/previewdialog.h"

#include "app/resultsdialog.h"
#include "engine/run.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column { PathColumn, CountColumn, StateColumn };

// Sorts numerically where the text is a count.
class CountItem : public QTableWidgetItem
{
public:
    explicit CountItem(qint64 count)
        : QTableWidgetItem(QString::number(count))
    {
        setData(Qt::UserRole, count);
        setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }

    bool operator<(const QTableWidgetItem &other) const override
    {
        return data(Qt::UserRole).toLongLong() < other.data(Qt::UserRole).toLongLong();
    }
};

qint64 totalOf(const QVector<int> &counts)
{
    qint64 total = 0;
    for (const int count : counts)
        total += count;
    return total;
}

} // namespace

PreviewDialog::PreviewDialog(const ReplaceRun &run, QWidget *parent)
    : QDialog(parent)
    , m_run(run)
    , m_summary(new QLabel(this))
    , m_table(new QTableWidget(0, 3, this))
    , m_before(new QPlainTextEdit(this))
    , m_after(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("previewView"));
    setWindowTitle(QStringLiteral("替换预览"));
    resize(980, 640);

    m_table->setObjectName(QStringLiteral("previewTable"));
    m_table->setHorizontalHeaderLabels(
        {QStringLiteral("文件"), QStringLiteral("替换次数"), QStringLiteral("结果")});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);

    int changed = 0;
    qint64 replacements = 0;
    m_table->setRowCount(run.files().size());
    for (int i = 0; i < run.files().size(); ++i) {
        const FileOutcome &outcome = run.outcome(i);
        auto *path = new QTableWidgetItem(run.files().at(i).path);
        path->setData(Qt::UserRole, i);
        path->setToolTip(run.files().at(i).path);
        const qint64 total = totalOf(outcome.counts);
        QString state = ResultsDialog::stateText(outcome.state);
        if (outcome.state != SUCCESS)
            state += QStringLiteral("：") + reasonText(outcome.reason, outcome.encoding.name());
        m_table->setItem(i, PathColumn, path);
        m_table->setItem(i, CountColumn, new CountItem(total));
        m_table->setItem(i, StateColumn, new QTableWidgetItem(state));
        if (total > 0)
            ++changed;
        replacements += total;
    }
    m_table->setSortingEnabled(true);
    m_table->resizeColumnToContents(PathColumn);
    m_summary->setText(QStringLiteral("将改动 %1 个文件，共 %2 处替换；%3 个文件将失败，%4 个丢失。"
                                      "预览不会写入任何文件。")
                           .arg(changed)
                           .arg(replacements)
                           .arg(run.tally().fail)
                           .arg(run.tally().lost));

    for (QPlainTextEdit *edit : {m_before, m_after}) {
        edit->setReadOnly(true);
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    }
    m_before->setObjectName(QStringLiteral("previewBefore"));
    m_after->setObjectName(QStringLiteral("previewAfter"));

    auto *sides = new QSplitter(Qt::Horizontal, this);
    sides->addWidget(m_before);
    sides->addWidget(m_after);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(m_table);
    split->addWidget(sides);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton *start
        = buttons->addButton(QStringLiteral("开始替换"), QDialogButtonBox::AcceptRole);
    start->setObjectName(QStringLiteral("startButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &PreviewDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &PreviewDialog::reject);
    connect(m_table, &QTableWidget::currentCellChanged, this, [this](int row) { showFile(row); });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(split);
    layout->addWidget(buttons);
}

void PreviewDialog::showFile(int row)
{
    m_before->clear();
    m_after->clear();
    if (row < 0)
        return;
    Q_UNUSED(m_run)
}
