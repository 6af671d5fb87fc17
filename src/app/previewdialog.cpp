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
#include <QTextCursor>
#include <QVBoxLayout>

namespace {

enum Column { PathColumn, CountColumn, EncodingColumn, StateColumn, ColumnCount };

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

// The lines of one entry, each numbered, with the changed spans marked.
void PreviewDialog::appendLines(QPlainTextEdit *edit, int firstLine, const QString &text,
    const QVector<ChangedLines::Span> &spans, const QColor &mark)
{
    QTextCursor cursor(edit->document());
    cursor.movePosition(QTextCursor::End);
    if (!edit->document()->isEmpty())
        cursor.insertBlock();
    QTextCharFormat plain;
    // Padding spaces are narrower than digits in most fonts: only a fixed pitch keeps
    // the text of line 10 under that of line 9.
    QTextCharFormat number;
    number.setForeground(Qt::darkGray);
    number.setFontFamilies({fixedPitchFamily()});
    number.setFontFixedPitch(true);
    QTextCharFormat marked;
    marked.setBackground(mark);
    const QStringList lines = text.split(QLatin1Char('\n'));
    int offset = 0;
    for (int i = 0; i < lines.size(); ++i) {
        if (i > 0)
            cursor.insertBlock();
        cursor.insertText(QStringLiteral("%1\u2502 ").arg(firstLine + i, 6), number);
        const QString &line = lines.at(i);
        int at = 0;
        for (const ChangedLines::Span &span : spans) {
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
}

void PreviewDialog::showFile(int row)
{
    m_before->clear();
    m_after->clear();
    const QTableWidgetItem *item = row < 0 ? nullptr : m_table->item(row, PathColumn);
    if (!item)
        return;
    const int index = item->data(Qt::UserRole).toInt();
    const FileJob &file = m_run.files().at(index);
    if (m_run.outcome(index).state != SUCCESS)
        return;
    const FilePreview preview = previewFile(file.path, file.pairs, m_run.options(), MaxEdits);
    const QVector<ChangedLines> entries = changedLines(preview, MaxEdits);
    for (const ChangedLines &entry : entries) {
        appendLines(
            m_before, entry.beforeLine, entry.beforeText, entry.beforeSpans, QColor(255, 205, 205));
        appendLines(
            m_after, entry.afterLine, entry.afterText, entry.afterSpans, QColor(190, 240, 190));
    }
    if (!preview.edits.complete || entries.size() == MaxEdits) {
        const QString more = QStringLiteral("…… 只显示前 %1 处改动").arg(entries.size());
        m_before->appendPlainText(more);
        m_after->appendPlainText(more);
    }
    for (QPlainTextEdit *edit : {m_before, m_after})
        edit->moveCursor(QTextCursor::Start);
}
