#pragma once

#include "engine/job.h"

#include <QString>

#include <optional>

class QIODevice;

// The two list layouts exchanged as .xlsx "list workbooks": mode one keeps the files and
// the keyword/replacement pairs on separate sheets; mode two is a grid of keywords (rows)
// by files (columns).

extern const QString modeOneFilesSheet;
extern const QString modeOneKeywordsSheet;
extern const QString modeOneKeywordHeader;
extern const QString modeOneReplacementHeader;
extern const QString modeOneDefaultFileName;
extern const QString modeTwoSheet;
extern const QString modeTwoCornerHeader;
extern const QString modeTwoDefaultFileName;
// The sheet that keeps a list's options, one per row: name, value. Readers that do not
// know it leave it alone.
extern const QString optionsSheet;

bool writeModeOneWorkbook(const QString &path, const ModeOneList &list, QString *error = nullptr);
bool writeModeTwoWorkbook(const QString &path, const ModeTwoList &list, QString *error = nullptr);

// nullopt when the file is missing, unreadable or not a list workbook of that mode, or
// when it holds more than Workbook::maxCells cells or Workbook::maxTextBytes of text; a
// mode-two sheet counts as its whole grid of keywords by files, with the header row and
// the empty cells. Paths come back with "/" separators; the keyword lists end at the first
// empty keyword. The writers refuse lists that would be read back as too large.
// Why a file is not a list workbook of the mode asked for: in Chinese for the window, in
// English for the command line to print beside it.
struct ListReadError
{
    enum Kind {
        None,
        Missing, // no such file
        Unreadable, // not a readable .xlsx workbook
        OtherMode, // a list workbook of the other mode
        MissingSheet, // a workbook, but not a list workbook
        TooLarge,
    };

    Kind kind = None;
    QString text;
    QString english;
};

std::optional<ModeOneList> readModeOneWorkbook(const QString &path, ListReadError *error = nullptr);
std::optional<ModeTwoList> readModeTwoWorkbook(const QString &path, ListReadError *error = nullptr);
std::optional<ModeOneList> readModeOneWorkbook(QIODevice *device);
std::optional<ModeTwoList> readModeTwoWorkbook(QIODevice *device);
