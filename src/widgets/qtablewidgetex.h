#pragma once

#include <QTableWidget>

// A table that reports which mouse button was pressed, released or double-clicked.
class QTableWidgetEx : public QTableWidget
{
    Q_OBJECT

public:
    explicit QTableWidgetEx(QWidget *parent = nullptr);

signals:
    void mouseLeftReleased();
    void mouseRightReleased();
    void mouseLeftPressd();
    void mouseRightPressd();
    void mouseLeftDoubled();
    void mouseRightDoubled();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
};
