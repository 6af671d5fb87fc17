#include "app/previewdialog.h"

#include "app/countitem.h"

#include "app/resultsdialog.h"
#include "engine/preview.h"
#include "engine/run.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

enum Column { PathColumn, CountColumn, EncodingColumn, StateColumn, ColumnCount };
enum ChangeColumn { LineColumn, BeforeColumn, AfterColumn };

const QColor RemovedMark(255, 205, 205);
const QColor AddedMark(190, 240, 190);
const QColor LeftOutMark(222, 222, 222);

// A huge file shows its first changes only.
constexpr int MaxEdits = 300;

// Platforms without a theme (offscreen, a bare X server) answer the fixed font with the
// ordinary one.
QString fixedPitchFamily()
{
    static const QString family = [] {
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        if (!QFontInfo(font).fixedPitch()) {
            font.setFamily(QStringLiteral("monospace"));
            font.setStyleHint(QFont::TypeWriter);
        }
        return QFontInfo(font).family();
    }();
    return family;
}

// A change's text on one line of the list: its breaks shown, a long one cut short.
QString oneLine(const QString &text)
{
    constexpr int MaxShown = 60;
    QString shown = text.left(MaxShown + 1);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\u21b5"));
    shown.replace(QLatin1Char('\n'), QChar(0x21b5));
    shown.replace(QLatin1Char('\r'), QChar(0x21b5));
    if (shown.size() > MaxShown)
        shown = shown.left(MaxShown) + QChar(0x2026);
    return shown;
}

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
    , m_table(new QTableWidget(0, ColumnCount, this))
    , m_changeList(new QTreeWidget(this))
    , m_before(new QPlainTextEdit(this))
    , m_after(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("previewView"));
    setWindowTitle(QStringLiteral("替换预览"));
    resize(980, 640);

    m_table->setObjectName(QStringLiteral("previewTable"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("文件"), QStringLiteral("替换次数"),
        QStringLiteral("编码"), QStringLiteral("结果")});
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
        path->setFlags(path->flags() | Qt::ItemIsUserCheckable);
        path->setCheckState(Qt::Checked);
        path->setToolTip(run.files().at(i).path);
        const qint64 total = totalOf(outcome.counts);
        QString state = ResultsDialog::stateText(outcome.state);
        if (outcome.state != SUCCESS)
            state += QStringLiteral("：") + reasonText(outcome.reason, outcome.encoding.name());
        m_table->setItem(i, PathColumn, path);
        m_table->setItem(i, CountColumn, new CountItem(total));
        m_table->setItem(i, EncodingColumn, new QTableWidgetItem(outcome.encoding.name()));
        m_table->setItem(i, StateColumn, new QTableWidgetItem(state));
        if (total > 0)
            ++changed;
        replacements += total;
    }
    m_table->horizontalHeader()->setSortIndicator(PathColumn, Qt::AscendingOrder);
    m_table->setSortingEnabled(true);
    m_table->resizeColumnToContents(PathColumn);
    m_summaryText = QStringLiteral("将改动 %1 个文件，共 %2 处替换；%3 个文件将失败，%4 个丢失。"
                                   "预览不会写入任何文件。")
                        .arg(changed)
                        .arg(replacements)
                        .arg(run.tally().fail)
                        .arg(run.tally().lost);
    m_summary->setText(m_summaryText);

    for (QPlainTextEdit *edit : {m_before, m_after}) {
        edit->setReadOnly(true);
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    }
    m_before->setObjectName(QStringLiteral("previewBefore"));
    m_after->setObjectName(QStringLiteral("previewAfter"));

    auto *sides = new QSplitter(Qt::Horizontal, this);
    for (const auto &[title, view] :
        {std::pair<const char *, QPlainTextEdit *> {"替换前", m_before},
            std::pair<const char *, QPlainTextEdit *> {"替换后", m_after}}) {
        auto *side = new QWidget(sides);
        auto *sideLayout = new QVBoxLayout(side);
        sideLayout->setContentsMargins(0, 0, 0, 0);
        sideLayout->addWidget(new QLabel(QString::fromUtf8(title), side));
        sideLayout->addWidget(view);
        sides->addWidget(side);
    }
    m_changeList->setObjectName(QStringLiteral("previewChanges"));
    m_changeList->setRootIsDecorated(false);
    m_changeList->setUniformRowHeights(true);
    m_changeList->setHeaderLabels({QStringLiteral("改动（取消勾选则保留原文）"),
        QStringLiteral("替换前"), QStringLiteral("替换后")});
    m_changeList->setColumnWidth(LineColumn, 220);
    m_changeList->setColumnWidth(BeforeColumn, 320);
    connect(m_changeList, &QTreeWidget::itemChanged, this, &PreviewDialog::changeToggled);
    connect(m_changeList, &QTreeWidget::currentItemChanged, this,
        [this](QTreeWidgetItem *item) { goToChange(m_changeList->indexOfTopLevelItem(item)); });

    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(m_table);
    split->addWidget(m_changeList);
    split->addWidget(sides);
    split->setSizes({180, 150, 260});

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

    // The first file that would change is shown at once.
    for (int row = 0; row < m_table->rowCount(); ++row) {
        if (m_table->item(row, CountColumn)->data(Qt::UserRole).toLongLong() > 0) {
            m_table->setCurrentCell(row, PathColumn);
            break;
        }
    }
}

QSet<QString> PreviewDialog::leftOut() const
{
    QSet<QString> paths;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem *item = m_table->item(row, PathColumn);
        if (item->checkState() != Qt::Checked)
            paths.insert(item->text());
    }
    return paths;
}

// The lines of one entry, each numbered, with the changed spans marked, each in its colour.
int PreviewDialog::appendLines(QPlainTextEdit *edit, int firstLine, const QString &text,
    const QVector<ChangedLines::Span> &spans, const QVector<QColor> &marks)
{
    QTextCursor cursor(edit->document());
    cursor.movePosition(QTextCursor::End);
    if (!edit->document()->isEmpty())
        cursor.insertBlock();
    const int firstBlock = cursor.blockNumber();
    QTextCharFormat plain;
    // Padding spaces are narrower than digits in most fonts: only a fixed pitch keeps
    // the text of line 10 under that of line 9.
    QTextCharFormat number;
    number.setForeground(Qt::darkGray);
    number.setFontFamily(fixedPitchFamily());
    number.setFontFixedPitch(true);
    QTextCharFormat marked;
    const QStringList lines = text.split(QLatin1Char('\n'));
    int offset = 0;
    for (int i = 0; i < lines.size(); ++i) {
        if (i > 0)
            cursor.insertBlock();
        cursor.insertText(QStringLiteral("%1\u2502 ").arg(firstLine + i, 6), number);
        const QString &line = lines.at(i);
        int at = 0;
        for (int s = 0; s < spans.size(); ++s) {
            const ChangedLines::Span &span = spans.at(s);
            marked.setBackground(marks.value(s));
            const int from = qBound(0, span.start - offset, line.size());
            const int to = qBound(0, span.start + span.length - offset, line.size());
            if (to <= at || from >= line.size())
                continue;
            cursor.insertText(line.mid(at, qMax(0, from - at)), plain);
            cursor.insertText(line.mid(qMax(from, at), to - qMax(from, at)), marked);
            at = to;
        }
        cursor.insertText(line.mid(at), plain);
        offset += line.size() + 1;
    }
    return firstBlock;
}

void PreviewDialog::showFile(int row)
{
    m_before->clear();
    m_after->clear();
    {
        const QSignalBlocker blocker(m_changeList);
        m_changeList->clear();
    }
    m_shownIndex = -1;
    m_shown = FilePreview();
    m_changeBlocks.clear();
    const QTableWidgetItem *item = row < 0 ? nullptr : m_table->item(row, PathColumn);
    if (!item)
        return;
    const int index = item->data(Qt::UserRole).toInt();
    const FileJob &file = m_run.files().at(index);
    if (m_run.outcome(index).state != SUCCESS)
        return;
    m_shown = previewFile(file.path, file.pairs, m_run.options(), MaxEdits);
    m_shownIndex = index;
    Changes &changes = m_changes[index];
    if (!changes.shown) {
        changes.shown = m_shown.read;
        changes.changes = choosableChanges(m_shown.before, m_shown.after, m_shown.edits.edits);
        changes.kept.assign(changes.changes.size(), true);
    }
    changes.changed = changes.changed || m_shown.read != m_run.outcome(index).read
        || m_shown.read != changes.shown;
    if (changes.changed) {
        const QString note
            = QStringLiteral("预览之后这个文件被其他程序改动过：开始替换时不会写入它。");
        m_before->setPlainText(note);
        m_after->setPlainText(note);
        return;
    }

    const QSignalBlocker blocker(m_changeList);
    int line = 1;
    qsizetype counted = 0;
    QList<QTreeWidgetItem *> rows;
    for (size_t i = 0; i < changes.changes.size(); ++i) {
        const TextEdit &change = changes.changes[i];
        line += int(std::count(m_shown.before.constData() + counted,
            m_shown.before.constData() + change.before, QLatin1Char('\n')));
        counted = change.before;
        auto *entry = new QTreeWidgetItem;
        entry->setFlags(entry->flags() | Qt::ItemIsUserCheckable);
        entry->setCheckState(LineColumn, changes.kept[i] ? Qt::Checked : Qt::Unchecked);
        entry->setText(LineColumn, QStringLiteral("第 %1 行").arg(line));
        entry->setText(BeforeColumn,
            oneLine(m_shown.before.mid(int(change.before), int(change.beforeLength))));
        entry->setText(
            AfterColumn, oneLine(m_shown.after.mid(int(change.after), int(change.afterLength))));
        rows.append(entry);
    }
    m_changeList->addTopLevelItems(rows);
    showChanges();
}

// The panes show what the run would write: an unchecked change keeps its original text,
// greyed on both sides.
void PreviewDialog::showChanges()
{
    m_before->clear();
    m_after->clear();
    m_changeBlocks.clear();
    const Changes &changes = m_changes[m_shownIndex];
    FilePreview chosen;
    chosen.before = m_shown.before;
    chosen.after = m_shown.after;
    std::vector<TextEdit> leftOut;
    qsizetype shift = 0;
    QVector<bool> kept;
    for (size_t i = 0; i < changes.changes.size(); ++i) {
        TextEdit change = changes.changes[i];
        change.after += shift;
        if (!changes.kept[i]) {
            leftOut.push_back(changes.changes[i]);
            shift += change.beforeLength - change.afterLength;
            change.afterLength = change.beforeLength;
        }
        chosen.edits.edits.push_back(change);
        kept.append(changes.kept[i]);
    }
    leaveOut(m_shown.before, &chosen.after, changes.changes, leftOut);
    const QVector<ChangedLines> entries = changedLines(chosen, MaxEdits);
    int next = 0;
    for (const ChangedLines &entry : entries) {
        QVector<QColor> removed;
        QVector<QColor> added;
        for (int s = 0; s < entry.beforeSpans.size(); ++s) {
            removed.append(kept.value(next + s) ? RemovedMark : LeftOutMark);
            added.append(kept.value(next + s) ? AddedMark : LeftOutMark);
        }
        const int beforeBlock
            = appendLines(m_before, entry.beforeLine, entry.beforeText, entry.beforeSpans, removed);
        const int afterBlock
            = appendLines(m_after, entry.afterLine, entry.afterText, entry.afterSpans, added);
        for (int s = 0; s < entry.beforeSpans.size(); ++s)
            m_changeBlocks.append({beforeBlock, afterBlock});
        next += entry.beforeSpans.size();
    }
    if (!m_shown.edits.complete || entries.size() == MaxEdits) {
        const QString more = QStringLiteral("…… 只显示前 %1 处改动").arg(entries.size());
        m_before->appendPlainText(more);
        m_after->appendPlainText(more);
    }
    for (QPlainTextEdit *edit : {m_before, m_after})
        edit->moveCursor(QTextCursor::Start);
}

void PreviewDialog::changeToggled(QTreeWidgetItem *item)
{
    const int change = m_changeList->indexOfTopLevelItem(item);
    auto found = m_changes.find(m_shownIndex);
    if (found == m_changes.end() || change < 0 || size_t(change) >= found->kept.size())
        return;
    const bool kept = item->checkState(LineColumn) == Qt::Checked;
    if (found->kept[size_t(change)] == kept)
        return;
    found->kept[size_t(change)] = kept;
    qint64 unchecked = 0;
    for (const Changes &changes : qAsConst(m_changes))
        unchecked += std::count(changes.kept.cbegin(), changes.kept.cend(), false);
    m_summary->setText(unchecked == 0 ? m_summaryText
                                      : m_summaryText
                + QStringLiteral("已取消勾选 %1 处改动，那里保留原文。").arg(unchecked));
    showChanges();
    goToChange(change);
}

void PreviewDialog::goToChange(int change)
{
    if (change < 0 || change >= m_changeBlocks.size())
        return;
    const auto [beforeBlock, afterBlock] = m_changeBlocks.at(change);
    for (const auto &[edit, block] : {std::pair<QPlainTextEdit *, int> {m_before, beforeBlock},
             std::pair<QPlainTextEdit *, int> {m_after, afterBlock}}) {
        QTextCursor cursor(edit->document()->findBlockByNumber(block));
        edit->setTextCursor(cursor);
        edit->centerCursor();
    }
}

QVector<std::shared_ptr<const FileChoice>> PreviewDialog::choices() const
{
    QVector<std::shared_ptr<const FileChoice>> choices(m_run.files().size());
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem *item = m_table->item(row, PathColumn);
        if (item->checkState() != Qt::Checked)
            continue;
        const int index = item->data(Qt::UserRole).toInt();
        auto choice = std::make_shared<FileChoice>();
        choice->read = m_run.outcome(index).read;
        const auto changes = m_changes.constFind(index);
        if (changes != m_changes.cend() && !changes->changed) {
            for (size_t i = 0; i < changes->changes.size(); ++i) {
                if (!changes->kept[i])
                    choice->leftOut.push_back(changes->changes[i]);
            }
        }
        choices[index] = std::move(choice);
    }
    return choices;
}
