#include "app/resultsdialog.h"

#include "app/countitem.h"

#include "engine/run.h"
#include "files/containingfolder.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

namespace {

enum Column { PathColumn, StateColumn, CountColumn, EncodingColumn, ReasonColumn, ColumnCount };

bool needsALook(STATE state)
{
    return state == FAIL || state == LOST;
}

} // namespace

ResultsDialog::ResultsDialog(QWidget *parent)
    : QDialog(parent)
    , m_summary(new QLabel(this))
    , m_table(new QTableWidget(0, ColumnCount, this))
{
    setObjectName(QStringLiteral("resultsView"));
    setWindowTitle(QStringLiteral("替换结果"));
    resize(820, 420);

    m_table->setObjectName(QStringLiteral("resultsTable"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("文件"), QStringLiteral("结果"),
        QStringLiteral("替换次数"), QStringLiteral("编码"), QStringLiteral("原因")});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    // The rows start in an order no single column gives (problems first), so the table
    // sorts only when a header is clicked, never on its own.
    QHeaderView *header = m_table->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    connect(header, &QHeaderView::sortIndicatorChanged, m_table,
        [this](int column, Qt::SortOrder order) {
            if (column >= 0)
                m_table->sortItems(column, order);
        });
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->setSectionResizeMode(PathColumn, QHeaderView::Interactive);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton *copy
        = buttons->addButton(QStringLiteral("复制全部"), QDialogButtonBox::ActionRole);
    copy->setObjectName(QStringLiteral("copyButton"));
    QPushButton *folder
        = buttons->addButton(QStringLiteral("打开所在文件夹"), QDialogButtonBox::ActionRole);
    folder->setObjectName(QStringLiteral("openFolderButton"));
    connect(copy, &QPushButton::clicked, this, [this] { copyRows(false); });
    connect(folder, &QPushButton::clicked, this, &ResultsDialog::openFolder);
    connect(buttons, &QDialogButtonBox::rejected, this, &ResultsDialog::reject);
    connect(m_table, &QTableWidget::cellDoubleClicked, this, &ResultsDialog::openFolder);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(m_table);
    layout->addWidget(buttons);
}

void ResultsDialog::setResults(const QString &summary, const QVector<ResultRow> &rows)
{
    m_summary->setText(summary);
    {
        const QSignalBlocker blocker(m_table->horizontalHeader());
        m_table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    }
    m_table->setUpdatesEnabled(false);
    m_table->setRowCount(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const ResultRow &row = rows.at(i);
        auto *path = new QTableWidgetItem(row.path);
        path->setToolTip(row.path);
        m_table->setItem(i, PathColumn, path);
        m_table->setItem(i, StateColumn, new QTableWidgetItem(stateText(row.state)));
        m_table->setItem(i, CountColumn, new CountItem(row.count));
        m_table->setItem(i, EncodingColumn, new QTableWidgetItem(row.encoding));
        m_table->setItem(i, ReasonColumn, new QTableWidgetItem(row.reason));
    }
    m_table->setUpdatesEnabled(true);
    for (const int column : {PathColumn, StateColumn, CountColumn, EncodingColumn})
        m_table->resizeColumnToContents(column);
}

QVector<ResultRow> ResultsDialog::rowsOf(const ReplaceRun &run)
{
    QVector<ResultRow> rows;
    rows.reserve(run.files().size());
    for (int i = 0; i < run.files().size(); ++i) {
        const FileOutcome &outcome = run.outcome(i);
        qint64 count = 0;
        for (const int n : outcome.counts)
            count += n;
        rows.append({run.files().at(i).path, outcome.state, count, outcome.encoding.name(),
            outcome.state == SUCCESS ? QString()
                                     : reasonText(outcome.reason, outcome.encoding.name())});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ResultRow &a, const ResultRow &b) {
        if (needsALook(a.state) != needsALook(b.state))
            return needsALook(a.state);
        return a.path < b.path;
    });
    return rows;
}

QString ResultsDialog::stateText(STATE state)
{
    switch (state) {
    case SUCCESS:
        return QStringLiteral("成功");
    case FAIL:
        return QStringLiteral("失败");
    case LOST:
        return QStringLiteral("丢失");
    case SKIPPED:
        return QStringLiteral("跳过");
    }
    return QString();
}

void ResultsDialog::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copyRows(true);
        return;
    }
    QDialog::keyPressEvent(event);
}

// Tab-separated, one file a line, as a spreadsheet pastes it.
void ResultsDialog::copyRows(bool selectedOnly)
{
    std::set<int> rows;
    if (selectedOnly) {
        for (const QModelIndex &index : m_table->selectionModel()->selectedIndexes())
            rows.insert(index.row());
    } else {
        for (int row = 0; row < m_table->rowCount(); ++row)
            rows.insert(row);
    }
    QStringList lines;
    for (const int row : rows) {
        QStringList cells;
        for (int column = 0; column < m_table->columnCount(); ++column)
            cells.append(m_table->item(row, column)->text());
        lines.append(cells.join(QLatin1Char('\t')));
    }
    QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void ResultsDialog::openFolder()
{
    const int row = m_table->currentRow();
    if (row < 0)
        return;
    const QString folder = containingFolder(m_table->item(row, PathColumn)->text());
    if (!folder.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}
