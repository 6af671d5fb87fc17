// libFuzzer target for workbook loading. An input that starts like a zip is used as the file
// itself; any other input is a list of zip members ("==> name" on a line of its own, then
// the member's bytes), zipped here so that mutations reach the XML instead of dying on a
// checksum. Whatever loads must also survive a save and load back to the same cells.

#include "workbook/workbook.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>

#include <cstdint>
#include <cstdlib>

namespace {

bool writeMembers(const QString &path, const QByteArray &input)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    const QByteArray marker = "==> ";
    int at = input.startsWith(marker) ? 0 : input.indexOf('\n' + marker);
    while (at >= 0) {
        if (input.at(at) == '\n')
            ++at;
        const int nameEnd = input.indexOf('\n', at);
        if (nameEnd < 0)
            break;
        const QString name
            = QString::fromUtf8(input.mid(at + marker.size(), nameEnd - at - marker.size()));
        const int next = input.indexOf('\n' + marker, nameEnd);
        const QByteArray data = input.mid(nameEnd + 1, next < 0 ? -1 : next - nameEnd - 1);
        QuaZipFile file(&zip);
        if (name.isEmpty() || !file.open(QIODevice::WriteOnly, QuaZipNewInfo(name)))
            break;
        file.write(data);
        file.close();
        at = next;
    }
    zip.close();
    return true;
}

// Sparse sheets can span the whole grid: past 300 rows (columns) only the first 100 and the
// last one are read.
QVector<int> sample(int first, int last)
{
    QVector<int> indices;
    for (int i = first; i <= last; ++i) {
        if (last - first >= 300 && i == first + 100)
            i = last;
        indices.append(i);
    }
    return indices;
}

QStringList readSheet(const Workbook &book)
{
    QStringList cells;
    const Workbook::Range r = book.usedRange();
    if (r.isEmpty())
        return cells;
    const QVector<int> columns = sample(r.firstColumn, r.lastColumn);
    for (const int row : sample(r.firstRow, r.lastRow)) {
        for (const int column : columns)
            cells.append(book.cell(row, column));
    }
    return cells;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("input.xlsx"));
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    QFile::remove(path);
    if (input.startsWith("PK")) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(input) != input.size())
            return 0;
    } else if (!writeMembers(path, input)) {
        return 0;
    }

    Workbook book;
    if (!book.open(path))
        return 0;
    const QStringList names = book.sheetNames();
    QVector<QStringList> contents;
    for (const QString &name : names) {
        book.selectSheet(name);
        contents.append(readSheet(book));
    }

    const QString copy = dir.filePath(QStringLiteral("copy.xlsx"));
    if (!book.save(copy))
        return 0;
    Workbook reloaded;
    if (!reloaded.open(copy) || reloaded.sheetNames() != names)
        abort();
    for (int i = 0; i < names.size(); ++i) {
        // Duplicate names select the first sheet of that name in both workbooks.
        book.selectSheet(names.at(i));
        reloaded.selectSheet(names.at(i));
        const Workbook::Range a = book.usedRange();
        const Workbook::Range b = reloaded.usedRange();
        if (a.firstRow != b.firstRow || a.lastRow != b.lastRow || a.firstColumn != b.firstColumn
            || a.lastColumn != b.lastColumn || readSheet(book) != readSheet(reloaded))
            abort();
    }
    return 0;
}
