#include "app/spreadsheettext.h"

QVector<QStringList> parseSpreadsheetText(const QString &text)
{
    QVector<QStringList> rows;
    QStringList row;
    QString cell;
    const int n = text.size();
    int i = 0;
    bool cellStarted = false;
    const auto endRow = [&] {
        row.append(cell);
        rows.append(row);
        row.clear();
        cell.clear();
        cellStarted = false;
    };
    while (i < n) {
        const QChar c = text.at(i);
        if (!cellStarted && c == QLatin1Char('"')) {
            // A quoted cell: everything up to the lone closing quote.
            for (++i; i < n; ++i) {
                if (text.at(i) != QLatin1Char('"')) {
                    cell.append(text.at(i));
                } else if (i + 1 < n && text.at(i + 1) == QLatin1Char('"')) {
                    cell.append(QLatin1Char('"'));
                    ++i;
                } else {
                    ++i;
                    break;
                }
            }
            cellStarted = true;
            continue;
        }
        if (c == QLatin1Char('\t')) {
            row.append(cell);
            cell.clear();
            cellStarted = false;
        } else if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
            if (c == QLatin1Char('\r') && i + 1 < n && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            endRow();
        } else {
            cell.append(c);
            cellStarted = true;
        }
        ++i;
    }
    if (cellStarted || !row.isEmpty() || !cell.isEmpty())
        endRow();
    return rows;
}
