#include "widgets/codeeditor.h"

#include <QPainter>
#include <QTextBlock>

QStringList editorLines(const QPlainTextEdit *editor)
{
    QStringList lines;
    for (QTextBlock block = editor->document()->begin(); block.isValid(); block = block.next())
        lines.append(block.text());
    return lines;
}

CodeEditor::CodeEditor(QWidget *parent)
    : QPlainTextEdit(parent)
    , numberArea(new LineNumberArea(this))
{
    connect(this, &CodeEditor::blockCountChanged, this, &CodeEditor::updateLineNumberAreaWidth);
    connect(this, &CodeEditor::updateRequest, this, &CodeEditor::updateLineNumberArea);
    connect(this, &CodeEditor::cursorPositionChanged, this, &CodeEditor::highlightCurrentLine);

    updateLineNumberAreaWidth(0);
    highlightCurrentLine();
}

int CodeEditor::numberAreaWidth()
{
    int digits = 1;
    int n = qMax(1, blockCount());
    while (n >= 10) {
        n /= 10;
        ++digits;
    }
    return 3 + digits * QFontMetrics(font()).horizontalAdvance(QChar('9'));
}

void CodeEditor::updateLineNumberAreaWidth(int /*newBlockCount*/)
{
    setViewportMargins(numberAreaWidth(), 0, 0, 0);
}

void CodeEditor::updateLineNumberArea(const QRect &rect, int dy)
{
    if (dy)
        numberArea->scroll(0, dy);
    else
        numberArea->update(0, rect.y(), numberArea->width(), rect.height());

    if (rect.contains(viewport()->rect()))
        updateLineNumberAreaWidth(0);
}

void CodeEditor::resizeEvent(QResizeEvent *event)
{
    QPlainTextEdit::resizeEvent(event);

    const QRect cr = contentsRect();
    numberArea->setGeometry(QRect(cr.left(), cr.top(), numberAreaWidth(), cr.height()));
}

void CodeEditor::highlightCurrentLine()
{
    QList<QTextEdit::ExtraSelection> extraSelections;

    if (!isReadOnly()) {
        QTextEdit::ExtraSelection selection;
        selection.format.setBackground(QBrush(QColor(Qt::gray), Qt::SolidPattern));
        selection.format.setProperty(QTextFormat::FullWidthSelection, true);
        selection.cursor = textCursor();
        selection.cursor.clearSelection();
        extraSelections.append(selection);
    }

    setExtraSelections(extraSelections);
}

void CodeEditor::paintNumberArea(QPaintEvent *event)
{
    QPainter painter(numberArea);
    painter.fillRect(event->rect(), Qt::lightGray);

    QTextBlock block = firstVisibleBlock();
    int blockNumber = block.blockNumber();
    int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
    int bottom = top + qRound(blockBoundingRect(block).height());

    while (block.isValid() && top <= event->rect().bottom()) {
        if (block.isVisible() && bottom >= event->rect().top()) {
            painter.setPen(Qt::black);
            painter.drawText(0, top, numberArea->width(), fontMetrics().height(), Qt::AlignRight,
                QString::number(blockNumber + 1));
        }

        block = block.next();
        top = bottom;
        bottom = top + qRound(blockBoundingRect(block).height());
        ++blockNumber;
    }
}

LineNumberArea::LineNumberArea(CodeEditor *editor)
    : QWidget(editor)
    , editor(editor)
{
}

QSize LineNumberArea::sizeHint() const
{
    return QSize(editor->numberAreaWidth(), 0);
}

void LineNumberArea::paintEvent(QPaintEvent *event)
{
    editor->paintNumberArea(event);
}
