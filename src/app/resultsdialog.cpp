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

#include <QtConcurrent>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <set>
#include <tuple>
#include <utility>

namespace {

enum Column { PathColumn, StateColumn, CountColumn, EncodingColumn, ReasonColumn, ColumnCount };

// From this many rows on, a sort runs on a worker while the view goes on answering.
constexpr int SortAsideFrom = 50000;

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

QString cellText(const FileJob &file, const FileOutcome &outcome, int column)
{
    switch (column) {
    case PathColumn:
        return file.path;
    case StateColumn:
        return ResultsDialog::stateText(outcome.state);
    case CountColumn:
        return QString::number(replacements(outcome));
    case EncodingColumn:
        return outcome.encoding.name();
    default:
        return outcome.state == SUCCESS ? QString()
                                        : reasonText(outcome.reason, outcome.encoding.name());
    }
}

// What a sort reads: its own share of the run's files and outcomes, so that it can go on
// while the run is let go.
struct SortSource
{
    QVector<FileJob> files;
    std::shared_ptr<const RunControl> outcomes;
};

// Each file's place among the texts of a column that has few of them: the outcomes that
// give one text (state, reason, encoding) have it made once, not once per file.
std::vector<int> textRanks(const SortSource &source, int column)
{
    using Shape = std::tuple<int, int, const void *>;
    std::map<Shape, int> shapes;
    QStringList texts;
    std::vector<int> keys(size_t(source.files.size()));
    for (int file = 0; file < source.files.size(); ++file) {
        const FileOutcome outcome = source.outcomes->outcome(file);
        const Shape shape {outcome.state, int(outcome.reason), outcome.encoding.codec()};
        auto it = shapes.find(shape);
        if (it == shapes.end()) {
            it = shapes.emplace(shape, texts.size()).first;
            texts.append(cellText(source.files.at(file), outcome, column));
        }
        keys[size_t(file)] = it->second;
    }
    std::vector<int> byText(size_t(texts.size()));
    std::iota(byText.begin(), byText.end(), 0);
    std::sort(byText.begin(), byText.end(), [&texts](int a, int b) { return texts[a] < texts[b]; });
    std::vector<int> rank(byText.size());
    for (size_t at = 0; at < byText.size(); ++at)
        rank[size_t(byText[at])] = at > 0 && texts[byText[at]] == texts[byText[at - 1]]
            ? rank[size_t(byText[at - 1])]
            : int(at);
    for (int &key : keys)
        key = rank[size_t(key)];
    return keys;
}

// order, sorted by column as a stable sort does it: files that tie keep their order.
QVector<int> sortedOrder(
    const SortSource &source, QVector<int> order, int column, Qt::SortOrder direction)
{
    const auto sortBy = [&order, direction](auto &&less) {
        if (direction == Qt::AscendingOrder)
            std::stable_sort(order.begin(), order.end(), less);
        else
            std::stable_sort(
                order.begin(), order.end(), [&less](int a, int b) { return less(b, a); });
    };
    if (column == PathColumn) {
        const QVector<FileJob> &files = source.files;
        sortBy([&files](int a, int b) { return files.at(a).path < files.at(b).path; });
    } else if (column == CountColumn) {
        std::vector<qint64> counts(size_t(source.files.size()));
        for (int file = 0; file < source.files.size(); ++file)
            counts[size_t(file)] = replacements(source.outcomes->outcome(file));
        sortBy([&counts](int a, int b) { return counts[size_t(a)] < counts[size_t(b)]; });
    } else {
        const std::vector<int> ranks = textRanks(source, column);
        sortBy([&ranks](int a, int b) { return ranks[size_t(a)] < ranks[size_t(b)]; });
    }
    return order;
}

// Failed and lost files first, then the rest, each group by path. A scan lists most
// folders in that order already, which a check finds in one pass.
QVector<int> startOrder(const SortSource &source)
{
    const QVector<FileJob> &files = source.files;
    QVector<int> order(files.size());
    std::iota(order.begin(), order.end(), 0);
    const RunControl &outcomes = *source.outcomes;
    const auto split = std::stable_partition(order.begin(), order.end(),
        [&outcomes](int file) { return needsALook(outcomes.state(file)); });
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

} // namespace

// The run's files in the order the view shows them; the texts are made as they are shown.
class ResultsModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    // A long list shows in the job's order until the order it starts in, returned, is
    // made aside; a short one starts in that order.
    std::function<QVector<int>()> setRun(const ReplaceRun *run)
    {
        beginResetModel();
        if (m_run)
            disconnect(m_run, nullptr, this, nullptr);
        m_run = run;
        m_order.clear();
        std::function<QVector<int>()> ordering;
        if (run) {
            connect(run, &QObject::destroyed, this, [this] { setRun(nullptr); });
            const SortSource source {run->files(), run->sharedOutcomes()};
            if (source.files.size() < SortAsideFrom) {
                m_order = startOrder(source);
            } else {
                m_order.resize(source.files.size());
                std::iota(m_order.begin(), m_order.end(), 0);
                ordering = [source] {
                    return startOrder(source);
                };
            }
        }
        endResetModel();
        return ordering;
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
        if (index.column() == PathColumn)
            return path(index.row());
        const int file = m_order.at(index.row());
        return cellText(m_run->files().at(file), m_run->outcome(file), index.column());
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        static const QStringList labels {QStringLiteral("文件"), QStringLiteral("结果"),
            QStringLiteral("替换次数"), QStringLiteral("编码"), QStringLiteral("原因")};
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return labels.value(section);
        return QAbstractTableModel::headerData(section, orientation, role);
    }

    // A sort that can run on any thread: what it needs goes with it. Empty without a run.
    std::function<QVector<int>()> sorting(int column, Qt::SortOrder order) const
    {
        if (!m_run || column < 0 || column >= ColumnCount)
            return {};
        const SortSource source {m_run->files(), m_run->sharedOutcomes()};
        return [source, rows = m_order, column, order] {
            return sortedOrder(source, rows, column, order);
        };
    }

    // The view clears its selection first: a million persistent indexes are not moved.
    void setOrder(const QVector<int> &order)
    {
        if (order.size() != m_order.size())
            return;
        emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        m_order = order;
        emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    }

    void sort(int column, Qt::SortOrder order) override
    {
        if (const auto sorted = sorting(column, order))
            setOrder(sorted());
    }

private:
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
    connect(header, &QHeaderView::sortIndicatorChanged, this, &ResultsDialog::sortBy);
    connect(&m_sorting, &QFutureWatcher<QVector<int>>::finished, this, [this] {
        // The rows it ordered may have been replaced meanwhile, and a sort replaced by
        // another may still tell of its end.
        if (!m_sorting.isFinished() || !std::exchange(m_sortPending, false))
            return;
        m_table->selectionModel()->clear();
        m_model->setOrder(m_sorting.result());
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
    m_sortPending = false;
    m_summary->setText(summary);
    {
        const QSignalBlocker blocker(m_table->horizontalHeader());
        m_table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    }
    if (const auto ordering = m_model->setRun(run)) {
        m_sortPending = true;
        m_sorting.setFuture(QtConcurrent::run(ordering));
    }
    for (const int column : {PathColumn, StateColumn, CountColumn, EncodingColumn})
        m_table->resizeColumnToContents(column);
}

// A long list sorts on a worker: the view keeps the order it has until the new one is
// ready, and a sort asked for meanwhile replaces it.
void ResultsDialog::sortBy(int column, Qt::SortOrder order)
{
    if (column < 0)
        return;
    m_sortPending = false;
    const auto sorting = m_model->sorting(column, order);
    if (!sorting)
        return;
    if (m_model->rowCount() < SortAsideFrom) {
        m_table->selectionModel()->clear();
        m_model->setOrder(sorting());
        return;
    }
    m_sortPending = true;
    m_sorting.setFuture(QtConcurrent::run(sorting));
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
