#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class QIODevice;

// The two list layouts exchanged as .xlsx "list workbooks": mode one keeps the files and
// the keyword/replacement pairs on separate sheets; mode two is a grid of keywords (rows)
// by files (columns).

struct ModeOneList
{
    QStringList paths;
    QStringList keywordLines;
    QStringList replacementLines;
};

struct ModeTwoList
{
    QStringList paths;
    // rows[r][0] is the keyword, rows[r][c] its replacement in paths[c - 1]; a shorter row
    // means empty replacements for the remaining files.
    QVector<QStringList> rows;
};

extern const QString modeOneFilesSheet;
extern const QString modeOneKeywordsSheet;
extern const QString modeOneKeywordHeader;
extern const QString modeOneReplacementHeader;
extern const QString modeOneDefaultFileName;
extern const QString modeTwoSheet;
extern const QString modeTwoCornerHeader;
extern const QString modeTwoDefaultFileName;

bool writeModeOneWorkbook(const QString &path, const ModeOneList &list, QString *error = nullptr);
bool writeModeTwoWorkbook(const QString &path, const ModeTwoList &list, QString *error = nullptr);

// nullopt when the file is missing, unreadable or not a list workbook of that mode, or
// when it holds more than Workbook::maxCells cells or Workbook::maxTextBytes of text; a
// mode-two sheet counts as its whole grid of keywords by files, with the header row and
// the empty cells. Paths come back with "/" separators; the keyword lists end at the first
// empty keyword. The writers refuse lists that would be read back as too large.
std::optional<ModeOneList> readModeOneWorkbook(const QString &path);
std::optional<ModeTwoList> readModeTwoWorkbook(const QString &path);
std::optional<ModeOneList> readModeOneWorkbook(QIODevice *device);
std::optional<ModeTwoList> readModeTwoWorkbook(QIODevice *device);
