#pragma once

#include <QTableWidgetItem>

// A table cell holding a count: right-aligned, and sorted by its number, not its text.
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
