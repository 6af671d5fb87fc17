// libFuzzer target for workbook loading and the list readers of both modes. An input that
// starts like a zip is used as the file itself; any other input is a list of zip members
// ("==> name" on a line of its own, then the member's bytes), zipped here so that mutations
// reach the XML instead of dying on a checksum. Whatever loads must also survive a save and
// load back to the same cells; a list must read as the grid walk over every cell would read
// it, within the budget.

#include "workbook/listworkbook.h"
#include "workbook/workbook.h"

#include <QBuffer>
#include <QByteArray>
#include <QTemporaryDir>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>

#include <cstdint>
#include <cstdlib>

namespace {

bool writeMembers(QIODevice *device, const QByteArray &input)
{
    QuaZip zip(device);
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

bool breaksLine(const QString &text)
{
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))
        || text.contains(QChar::ParagraphSeparator);
}

void checkModeOne(const QByteArray &workbook)
{
    QBuffer device;
    device.setData(workbook);
    const std::optional<ModeOneList> list = readModeOneWorkbook(&device);
    if (!list)
        return;
    if (list->keywordLines.size() != list->replacementLines.size())
        abort();
    for (const QString &path : list->paths) {
        if (path.isEmpty() || path.contains(QLatin1Char('\\')))
            abort();
    }
    for (int i = 0; i < list->keywordLines.size(); ++i) {
        if (list->keywordLines.at(i).isEmpty() || breaksLine(list->keywordLines.at(i))
            || breaksLine(list->replacementLines.at(i)))
            abort();
    }
}

// The mode-two list as a walk over every cell of the grid finds it, the way the reader
// once did; nullopt when that grid is larger than the budget.
std::optional<ModeTwoList> walkModeTwoGrid(Workbook &book)
{
    ModeTwoList list;
    book.selectSheet(modeTwoSheet);
    const Workbook::Range range = book.usedRange();
    if (range.isEmpty())
        return list;
    const int w = range.lastColumn - range.firstColumn;
    const int h = range.lastRow - range.firstRow;
    for (int column = 2; column <= w + 1; ++column) {
        const QString s = book.cell(1, column);
        if (s.isEmpty())
            break;
        list.paths.append(QString(s)
                              .replace(QLatin1String("\\\\"), QLatin1String("\\"))
                              .replace(QLatin1Char('\\'), QLatin1Char('/')));
    }
    int keywords = 0;
    while (keywords <= h && !book.cell(keywords + 2, 1).isEmpty())
        ++keywords;
    if ((qint64(keywords) + 1) * (list.paths.size() + 1) > Workbook::maxCells)
        return std::nullopt;
    for (int k = 0; k < keywords; ++k) {
        QStringList cells;
        for (int c = 0; c <= list.paths.size(); ++c)
            cells.append(book.cell(k + 2, c + 1));
        list.rows.append(cells);
    }
    return list;
}

void checkModeTwo(const QByteArray &workbook, Workbook &book)
{
    QBuffer device;
    device.setData(workbook);
    const std::optional<ModeTwoList> list = readModeTwoWorkbook(&device);
    if (!book.sheetNames().contains(modeTwoSheet)) {
        if (list)
            abort();
        return;
    }
    const std::optional<ModeTwoList> walked = walkModeTwoGrid(book);
    if (bool(list) != bool(walked))
        abort();
    if (list && (list->paths != walked->paths || list->rows != walked->rows))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    QBuffer zipped;
    if (input.startsWith("PK")) {
        zipped.setData(input);
    } else if (!writeMembers(&zipped, input)) {
        return 0;
    }
    const QByteArray workbook = zipped.data();

    Workbook book;
    {
        QBuffer device;
        device.setData(workbook);
        if (!book.load(&device)) {
            QBuffer again;
            again.setData(workbook);
            if (readModeOneWorkbook(&again) || readModeTwoWorkbook(&again))
                abort();
            return 0;
        }
    }
    checkModeOne(workbook);
    checkModeTwo(workbook, book);

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
