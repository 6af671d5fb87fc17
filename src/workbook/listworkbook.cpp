#include "workbook/listworkbook.h"

#include "workbook/workbook.h"

#include <QFile>
#include <QFileInfo>

const QString modeOneFilesSheet = QStringLiteral("易换方式一_文件列表");
const QString modeOneKeywordsSheet = QStringLiteral("易换方式一_关键字列表");
const QString modeOneKeywordHeader = QStringLiteral("被替换关键字:");
const QString modeOneReplacementHeader = QStringLiteral("欲替换为:");
const QString modeOneDefaultFileName = QStringLiteral("易换方式一文件列表.xlsx");
const QString modeTwoSheet = QStringLiteral("易换方式二_替换文件列表");
const QString modeTwoCornerHeader = QStringLiteral("关键字或位置");
const QString modeTwoDefaultFileName = QStringLiteral("易换方式二替换列表.xlsx");
const QString optionsSheet = QStringLiteral("选项");

namespace {

bool failed(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

QString tooLarge(int rows, int columns)
{
    return QStringLiteral("The list does not fit in a workbook sheet (%1 rows, %2 columns; "
                          "at most %3 rows and %4 columns).")
        .arg(rows)
        .arg(columns)
        .arg(Workbook::maxRows)
        .arg(Workbook::maxColumns);
}

// Lists written on Windows may carry doubled backslashes; both forms mean one separator.
QString normalizedPath(QString path)
{
    path.replace(QLatin1String("\\\\"), QLatin1String("\\"));
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return path;
}

bool writeColumn(Workbook &book, int firstRow, int column, const QStringList &values)
{
    for (int i = 0; i < values.size(); ++i) {
        if (!book.setCell(firstRow + i, column, values.at(i)))
            return false;
    }
    return true;
}

bool refused(
    ListReadError *error, ListReadError::Kind kind, const QString &text, const QString &english)
{
    if (error)
        *error = {kind, text, english};
    return false;
}

std::optional<Workbook> load(QIODevice *device, ListReadError *error = nullptr)
{
    Workbook book;
    QString why;
    if (!book.load(device, &why)) {
        refused(error, ListReadError::Unreadable,
            QStringLiteral("不是可以读取的 .xlsx 工作簿（%1）").arg(why),
            QStringLiteral("not a readable .xlsx workbook: %1").arg(why));
        return std::nullopt;
    }
    return book;
}

std::optional<Workbook> load(const QString &path, ListReadError *error = nullptr)
{
    if (!QFileInfo(path).isFile()) {
        refused(error, ListReadError::Missing, QStringLiteral("文件不存在"),
            QStringLiteral("no such file"));
        return std::nullopt;
    }
    QFile file(path);
    return load(&file, error);
}

// The sheets of the mode asked for, or what the workbook is instead.
bool hasSheets(const QStringList &names, const QStringList &wanted, ListReadError *error)
{
    const bool modeOne = names.contains(modeOneFilesSheet) && names.contains(modeOneKeywordsSheet);
    const bool modeTwo = names.contains(modeTwoSheet);
    const bool wantsModeOne = wanted.contains(modeOneFilesSheet);
    if (wantsModeOne && !modeOne && modeTwo)
        return refused(error, ListReadError::OtherMode,
            QStringLiteral("这是方式二的替换列表，请在方式二中导入"),
            QStringLiteral("this is a mode-two list; import it in mode two"));
    if (!wantsModeOne && !modeTwo && modeOne)
        return refused(error, ListReadError::OtherMode,
            QStringLiteral("这是方式一的文件列表，请在方式一中导入"),
            QStringLiteral("this is a mode-one list; import it in mode one"));
    for (const QString &sheet : wanted) {
        if (!names.contains(sheet))
            return refused(error, ListReadError::MissingSheet,
                QStringLiteral("缺少工作表“%1”").arg(sheet),
                QStringLiteral("the sheet \"%1\" is missing").arg(sheet));
    }
    return true;
}

ListReadError tooLargeToImport()
{
    return {ListReadError::TooLarge,
        QStringLiteral("列表太大，超过 %1 个单元格").arg(Workbook::maxCells),
        QStringLiteral("the list is larger than %1 cells").arg(Workbook::maxCells)};
}

// The mode-two sheet with its header row, as the reader and the window take it.
qint64 gridCells(int keywords, int columns)
{
    return (qint64(keywords) + 1) * columns;
}

bool breaksLine(const QString &text)
{
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))
        || text.contains(QChar::ParagraphSeparator);
}

// The names and values the options sheet holds: a stored format, listed in the help.
const QString encodingKey = QStringLiteral("encoding");
const QString regexKey = QStringLiteral("regex");
const QString wholeWordKey = QStringLiteral("whole-word");
const QString keepFormatKey = QStringLiteral("keep-format");
const QString ignoreCaseKey = QStringLiteral("ignore-case");
const QString extendedReplacementKey = QStringLiteral("extended-replacement");
const QString separatorKey = QStringLiteral("separator");

void writeOptions(Workbook &book, const ListOptions &options)
{
    if (options.isEmpty())
        return;
    book.addSheet(optionsSheet);
    int row = 0;
    const auto put = [&](const QString &name, const QString &value) {
        ++row;
        book.setCell(row, 1, name);
        book.setCell(row, 2, value);
    };
    const auto flag = [](bool on) {
        return on ? QStringLiteral("1") : QStringLiteral("0");
    };
    if (options.encoding)
        put(encodingKey, *options.encoding);
    if (options.regex)
        put(regexKey, flag(*options.regex));
    if (options.wholeWord)
        put(wholeWordKey, flag(*options.wholeWord));
    if (options.keepFormat)
        put(keepFormatKey, flag(*options.keepFormat));
    if (options.ignoreCase)
        put(ignoreCaseKey, flag(*options.ignoreCase));
    if (options.extendedReplacement)
        put(extendedReplacementKey, flag(*options.extendedReplacement));
    if (options.separator)
        put(separatorKey, *options.separator);
}

// Unknown names and values that are no flag are passed over: a newer writer may know more.
ListOptions readOptions(Workbook &book)
{
    ListOptions options;
    if (!book.sheetNames().contains(optionsSheet))
        return options;
    book.selectSheet(optionsSheet);
    const Workbook::Range range = book.usedRange();
    const int rows = range.isEmpty() ? 0 : range.lastRow;
    const auto flag = [](const QString &value) -> std::optional<bool> {
        if (value == QLatin1String("1"))
            return true;
        if (value == QLatin1String("0"))
            return false;
        return std::nullopt;
    };
    for (int row = 1; row <= rows; ++row) {
        const QString name = book.cell(row, 1).trimmed();
        // An empty value is not stored at all: a named row without one holds "".
        const QString value = book.cell(row, 2);
        if (name == encodingKey && !value.isEmpty())
            options.encoding = value;
        else if (name == regexKey)
            options.regex = flag(value);
        else if (name == wholeWordKey)
            options.wholeWord = flag(value);
        else if (name == keepFormatKey)
            options.keepFormat = flag(value);
        else if (name == ignoreCaseKey)
            options.ignoreCase = flag(value);
        else if (name == extendedReplacementKey)
            options.extendedReplacement = flag(value);
        else if (name == separatorKey)
            options.separator = value;
    }
    return options;
}

} // namespace

bool writeModeOneWorkbook(const QString &path, const ModeOneList &list, QString *error)
{
    const int rows
        = qMax(list.paths.size(), qMax(list.keywordLines.size(), list.replacementLines.size()) + 1);
    if (rows > Workbook::maxRows)
        return failed(error, tooLarge(rows, 2));
    Workbook book;
    book.addSheet(modeOneFilesSheet);
    writeColumn(book, 1, 1, list.paths);
    book.addSheet(modeOneKeywordsSheet);
    book.setCell(1, 1, modeOneKeywordHeader);
    book.setCell(1, 2, modeOneReplacementHeader);
    writeColumn(book, 2, 1, list.keywordLines);
    writeColumn(book, 2, 2, list.replacementLines);
    writeOptions(book, list.options);
    return book.save(path, error);
}

bool writeModeTwoWorkbook(const QString &path, const ModeTwoList &list, QString *error)
{
    int columns = list.paths.size() + 1;
    for (const QStringList &row : list.rows)
        columns = qMax(columns, int(row.size()));
    const int rows = list.rows.size() + 1;
    if (rows > Workbook::maxRows || columns > Workbook::maxColumns)
        return failed(error, tooLarge(rows, columns));
    if (gridCells(list.rows.size(), columns) > Workbook::maxCells)
        return failed(error,
            QStringLiteral("The list has more cells (%1 keywords by %2 columns) than a list "
                           "workbook may hold (%3).")
                .arg(list.rows.size())
                .arg(columns)
                .arg(Workbook::maxCells));
    Workbook book;
    book.addSheet(modeTwoSheet);
    book.setCell(1, 1, modeTwoCornerHeader);
    for (int j = 0; j < list.paths.size(); ++j)
        book.setCell(1, j + 2, list.paths.at(j));
    for (int r = 0; r < list.rows.size(); ++r) {
        const QStringList &row = list.rows.at(r);
        for (int c = 0; c < row.size(); ++c)
            book.setCell(r + 2, c + 1, row.at(c));
    }
    writeOptions(book, list.options);
    return book.save(path, error);
}

namespace {

std::optional<ModeOneList> readModeOne(std::optional<Workbook> book, ListReadError *error)
{
    if (!book)
        return std::nullopt;
    if (!hasSheets(book->sheetNames(), {modeOneFilesSheet, modeOneKeywordsSheet}, error))
        return std::nullopt;

    ModeOneList list;
    book->selectSheet(modeOneFilesSheet);
    Workbook::Range range = book->usedRange();
    const int n = range.isEmpty() ? 0 : range.lastRow - range.firstRow + 1;
    for (int i = 0; i < n; ++i) {
        const QString s = book->cell(i + 1, 1);
        if (s.isEmpty())
            break;
        list.paths.append(normalizedPath(s));
    }

    book->selectSheet(modeOneKeywordsSheet);
    range = book->usedRange();
    const int m = range.isEmpty() ? 0 : range.lastRow - range.firstRow;
    for (int row = 2; row <= m + 1; ++row) {
        const QString keyword = book->cell(row, 1);
        if (keyword.isEmpty())
            break;
        const QString replacement = book->cell(row, 2);
        // Each cell becomes one editor line; a line break inside one would pair every
        // later keyword with the wrong replacement, so such a row ends the list as an
        // empty keyword does.
        if (breaksLine(keyword) || breaksLine(replacement))
            break;
        list.keywordLines.append(keyword);
        list.replacementLines.append(replacement);
    }
    list.options = readOptions(*book);
    return list;
}

std::optional<ModeTwoList> readModeTwo(std::optional<Workbook> book, ListReadError *error)
{
    if (!book || !hasSheets(book->sheetNames(), {modeTwoSheet}, error))
        return std::nullopt;

    ModeTwoList list;
    book->selectSheet(modeTwoSheet);
    const Workbook::Range range = book->usedRange();
    if (range.isEmpty()) {
        list.options = readOptions(*book);
        return list;
    }
    const int lastPathColumn = range.lastColumn - range.firstColumn + 1;
    const int lastKeywordRow = range.lastRow - range.firstRow + 2;
    for (int column = 2; column <= lastPathColumn; ++column) {
        const QString s = book->cell(1, column);
        if (s.isEmpty())
            break;
        list.paths.append(normalizedPath(s));
    }
    int keywords = 0;
    while (keywords + 2 <= lastKeywordRow && !book->cell(keywords + 2, 1).isEmpty())
        ++keywords;

    // A long row of files and a long column of keywords are small on disk but stand for
    // their product in cells, each of which the window fills.
    const int columns = list.paths.size() + 1;
    if (gridCells(keywords, columns) > Workbook::maxCells) {
        if (error)
            *error = tooLargeToImport();
        return std::nullopt;
    }
    QStringList emptyRow;
    emptyRow.reserve(columns);
    for (int c = 0; c < columns; ++c)
        emptyRow.append(QString());
    list.rows = QVector<QStringList>(keywords, emptyRow);
    book->forEachCell([&](int row, int column, const QString &text) {
        if (row >= 2 && row < keywords + 2 && column <= columns)
            list.rows[row - 2][column - 1] = text;
    });
    list.options = readOptions(*book);
    return list;
}

} // namespace

std::optional<ModeOneList> readModeOneWorkbook(const QString &path, ListReadError *error)
{
    return readModeOne(load(path, error), error);
}

std::optional<ModeOneList> readModeOneWorkbook(QIODevice *device)
{
    return readModeOne(load(device), nullptr);
}

std::optional<ModeTwoList> readModeTwoWorkbook(const QString &path, ListReadError *error)
{
    return readModeTwo(load(path, error), error);
}

std::optional<ModeTwoList> readModeTwoWorkbook(QIODevice *device)
{
    return readModeTwo(load(device), nullptr);
}
