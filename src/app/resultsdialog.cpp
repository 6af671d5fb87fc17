#include "app/resultsdialog.h"

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
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <numeric>
#include <set>

namespace {

enum Column { PathColumn, StateColumn, CountColumn, EncodingColumn, ReasonColumn, ColumnCount };

bool needsALook(STATE state)
{
    return state == FAIL || state == LOST;
}

qint64 replacements(const FileOutcome &outcome)
{
    qint64 count = 0;
    for (const int n : outcome.counts)
        count += n;
    return count;
}

QString reasonOf(const FileOutcome &outcome)
{
    return outcome.state == SUCCESS ? QString()
                                    : reasonText(outcome.reason, outcome.encoding.name());
}

} // namespace

// The run's files in the order the view shows them; the texts are made as they are shown.
class ResultsModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setRun(const ReplaceRun *run)
    {
        beginResetModel();
        if (m_run)
            disconnect(m_run, nullptr, this, nullptr);
        m_run = run;
        m_order.clear();
        if (run) {
            connect(run, &QObject::destroyed, this, [this] { setRun(nullptr); });
            m_order = startOrder(*run);
        }
        endResetModel();
    }

    QString path(int row) const { return m_run->files().at(m_order.at(row)).path; }

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : m_order.size();
    }
    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : ColumnCount;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || !m_run)
            return {};
        if (role == Qt::TextAlignmentRole && index.column() == CountColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        if (role == Qt::ToolTipRole && index.column() == PathColumn)
            return path(index.row());
        if (role != Qt::DisplayRole)
            return {};
        return text(m_order.at(index.row()), index.column());
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        static const QStringList labels {QStringLiteral("文件"), QStringLiteral("结果"),
            QStringLiteral("替换次数"), QStringLiteral("编码"), QStringLiteral("原因")};
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return labels.value(section);
        return QAbstractTableModel::headerData(section, orientation, role);
    }

    // The view clears its selection first: a million persistent indexes are not moved.
    void sort(int column, Qt::SortOrder order) override
    {
        if (!m_run || column < 0 || column >= ColumnCount)
            return;
        const auto ordered = [order](auto &&less) {
            return [order, less](int a, int b) {
                return order == Qt::AscendingOrder ? less(a, b) : less(b, a);
            };
        };
        emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        if (column == PathColumn) {
            const QVector<FileJob> &files = m_run->files();
            std::stable_sort(m_order.begin(), m_order.end(),
                ordered([&files](int a, int b) { return files.at(a).path < files.at(b).path; }));
        } else if (column == CountColumn) {
            QVector<qint64> counts(m_run->files().size());
            for (const int file : qAsConst(m_order))
                counts[file] = replacements(m_run->outcome(file));
            std::stable_sort(m_order.begin(), m_order.end(),
                ordered([&counts](int a, int b) { return counts.at(a) < counts.at(b); }));
        } else {
            QVector<QString> texts(m_run->files().size());
            for (const int file : qAsConst(m_order))
                texts[file] = text(file, column);
            std::stable_sort(m_order.begin(), m_order.end(),
                ordered([&texts](int a, int b) { return texts.at(a) < texts.at(b); }));
        }
        emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    }

private:
    QString text(int file, int column) const
    {
        if (column == PathColumn)
            return m_run->files().at(file).path;
        const FileOutcome outcome = m_run->outcome(file);
        switch (column) {
        case StateColumn:
            return ResultsDialog::stateText(outcome.state);
        case CountColumn:
            return QString::number(replacements(outcome));
        case EncodingColumn:
            return outcome.encoding.name();
        default:
            return reasonOf(outcome);
        }
    }

    // Failed and lost files first, then the rest, each group by path. A scan lists most
    // folders in that order already, which a check finds in one pass.
    static QVector<int> startOrder(const ReplaceRun &run)
    {
        const QVector<FileJob> &files = run.files();
        QVector<int> order(files.size());
        std::iota(order.begin(), order.end(), 0);
        const auto split = std::stable_partition(order.begin(), order.end(),
            [&run](int file) { return needsALook(run.outcome(file).state); });
        const auto byPath = [&files](int a, int b) {
            return files.at(a).path < files.at(b).path;
        };
        for (const auto &group :
            {std::make_pair(order.begin(), split), std::make_pair(split, order.end())}) {
            if (!std::is_sorted(group.first, group.second, byPath))
                std::stable_sort(group.first, group.second, byPath);
        }
        return order;
    }

    QPointer<const ReplaceRun> m_run;
    QVector<int> m_order;
};

ResultsDialog::ResultsDialog(QWidget *parent)
    : QDialog(parent)
    , m_summary(new QLabel(this))
    , m_table(new QTableView(this))
    , m_model(new ResultsModel(this))
{
    setObjectName(QStringLiteral("resultsView"));
    setWindowTitle(QStringLiteral("替换结果"));
    resize(820, 420);

    m_table->setObjectName(QStringLiteral("resultsTable"));
    m_table->setModel(m_model);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    // The rows start in an order no single column gives (problems first), so the table
    // sorts only when a header is clicked, never on its own.
    QHeaderView *header = m_table->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    connect(header, &QHeaderView::sortIndicatorChanged, m_table,
        [this](int column, Qt::SortOrder order) {
            if (column < 0)
                return;
            m_table->selectionModel()->clear();
            m_model->sort(column, order);
        });
    // Rows of one height need no measuring, however many there are.
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
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
    connect(m_table, &QTableView::doubleClicked, this, &ResultsDialog::openFolder);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(m_table);
    layout->addWidget(buttons);
}

void ResultsDialog::setResults(const QString &summary, const ReplaceRun *run)
{
    m_summary->setText(summary);
    {
        const QSignalBlocker blocker(m_table->horizontalHeader());
        m_table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    }
    m_model->setRun(run);
    for (const int column : {PathColumn, StateColumn, CountColumn, EncodingColumn})
        m_table->resizeColumnToContents(column);
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
        for (int row = 0; row < m_model->rowCount(); ++row)
            rows.insert(row);
    }
    QStringList lines;
    lines.reserve(int(rows.size()));
    for (const int row : rows) {
        QStringList cells;
        for (int column = 0; column < ColumnCount; ++column)
            cells.append(m_model->index(row, column).data().toString());
        lines.append(cells.join(QLatin1Char('\t')));
    }
    QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void ResultsDialog::openFolder()
{
    const int row = m_table->currentIndex().row();
    if (row < 0 || row >= m_model->rowCount())
        return;
    const QString folder = containingFolder(m_model->path(row));
    if (!folder.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}
