#pragma once

#include "engine/rep.h"

#include <QString>
#include <QStringList>
#include <QVector>

enum class CliEncoding { Utf8, Ansi };

struct CliOptions
{
    QString listPath;
    QString keywordsPath;
    QString replacementsPath;
    QStringList paths;
    bool recursive = false;
    CliEncoding encoding = CliEncoding::Utf8;
    QString separator = QStringLiteral("|");
    bool ordinary = true;
    bool full = false;
    bool dryRun = false;
};

enum class CliCommand { Run, Help, Version };

// arguments includes the program name, as QCoreApplication::arguments() gives it.
// On bad usage returns false with a message for the user in error.
bool parseCliArguments(
    const QStringList &arguments, CliCommand *command, CliOptions *options, QString *error);

QString cliHelpText();

// What the window would run after its lists and editors were filled the same way.
struct CliJob
{
    QStringList paths;
    // A single entry shared by every file (mode one), or one entry per file (mode two).
    QVector<ReplacePairs> pairs;
    bool ordinary = true;
    bool full = false;

    RepOptions optionsFor(int index) const;
};

// Reads the workbook or the keyword files and collects the files. Returns false, with a
// message in error, for every input the window would refuse to run; nothing is written.
bool buildCliJob(const CliOptions &options, CliJob *job, QString *error);

// The lines of a keywords or replacements file: line breaks are "\n" with any "\r" dropped,
// and the line break that ends the file does not start another, empty, line.
QStringList listFileLines(QString text);

// The lines an editor shows after plain text was put into it.
QStringList editorBlocks(const QString &text);

// The window's refusal for a mode-one editor pair, or an empty string when it would run.
QString modeOneRefusal(const QStringList &keywordLines, const QStringList &replacementLines);
