#pragma once

#include <QStringList>
#include <QVector>

// Cells copied from a spreadsheet: rows end at line breaks, cells at tabs, and a cell in
// double quotes may hold either ("" stands for one quote). The line break that ends the
// text starts no further row.
QVector<QStringList> parseSpreadsheetText(const QString &text);
