#pragma once

#include <QPlainTextEdit>

class LineNumberArea;

// One entry per text block: the keyword or replacement lines an editor holds.
QStringList editorLines(const QPlainTextEdit *editor);

// A plain-text editor with a line-number gutter and a current-line band.
class CodeEditor : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit CodeEditor(QWidget *parent = nullptr);

    int numberAreaWidth();
    void paintNumberArea(QPaintEvent *event);

protected:
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void highlightCurrentLine();
    void updateLineNumberAreaWidth(int newBlockCount);
    void updateLineNumberArea(const QRect &rect, int dy);

private:
    LineNumberArea *numberArea;
};

class LineNumberArea : public QWidget
{
public:
    explicit LineNumberArea(CodeEditor *editor);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    CodeEditor *editor;
};
