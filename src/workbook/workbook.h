#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class QIODevice;

// A spreadsheet workbook reduced to what the list import and export need: named sheets of
// text cells. Loading understands .xlsx files from the usual spreadsheet programs; saving
// writes a fresh .xlsx with libxlsxwriter. Rows and columns are 1-based throughout.
//
// Loading refuses (returns false, leaves an empty workbook, never crashes) anything that is
// not a well-formed workbook: not a zip, no workbook part, malformed or DTD-carrying XML, a
// sheet or relationship that points nowhere, a cell reference beyond 1,048,576 rows or
// 16,384 columns, a shared-string index that does not exist, a damaged or encrypted zip
// entry, a part that inflates past maxPartSize (or all parts together past maxLoadSize),
// or more cells, shared strings or cell text than maxCells and maxTextBytes allow.
class Workbook
{
public:
    struct Range
    {
        int firstRow = 0;
        int lastRow = 0;
        int firstColumn = 0;
        int lastColumn = 0;

        bool isEmpty() const { return lastRow == 0; }
    };

    static constexpr int maxRows = 1048576;
    static constexpr int maxColumns = 16384;
    // Counted in code points, as libxlsxwriter counts them.
    static constexpr int maxCellLength = 32767;
    static constexpr qint64 maxPartSize = 64 * 1024 * 1024;
    static constexpr qint64 maxLoadSize = 256 * 1024 * 1024;
    // A few kilobytes of zip can describe millions of cells, and one long shared string
    // can fill any number of them. The largest real lists (a folder scan of tens of
    // thousands of files, a grid of a few hundred files by a few hundred keywords) stay
    // far below these; the window spends a table item or an editor line on every cell, and
    // joins the text into documents, so these bound what an import can cost it.
    static constexpr int maxCells = 500000;
    // Text of the stored cells as held in memory (UTF-16), counted once per cell.
    static constexpr qint64 maxTextBytes = 256 * 1024 * 1024;

    // Starts a new workbook; loads path when it exists. Returns false (with a message in
    // *error) only when an existing file could not be loaded.
    bool open(const QString &path, QString *error = nullptr);
    // Loads a workbook from a device, read from its start; false (with a message in
    // *error) when it holds no workbook that can be loaded.
    bool load(QIODevice *device, QString *error = nullptr);

    QStringList sheetNames() const;
    bool selectSheet(const QString &name);
    Range usedRange() const;
    // Empty text for a cell that holds nothing or lies outside the sheet.
    QString cell(int row, int column) const;
    // The current sheet's cells that hold text, in no particular order.
    void forEachCell(
        const std::function<void(int row, int column, const QString &text)> &visit) const;

    // The new sheet becomes the current one. Refuses names a workbook cannot hold.
    bool addSheet(const QString &name);
    // Writing empty text clears the cell.
    bool setCell(int row, int column, const QString &text);
    // Replaces path only once the whole workbook has been written; on failure any existing
    // file at path is left as it was.
    bool save(const QString &path, QString *error = nullptr) const;

private:
    struct Sheet
    {
        QString name;
        QHash<quint64, QString> cells;
    };

    QVector<Sheet> m_sheets;
    int m_current = -1;
};
