#pragma once

#include "engine/job.h"
#include "engine/match/replacesettings.h"
#include "engine/streamrun.h"
#include "engine/text/textencoding.h"

#include <QSet>
#include <QString>
#include <QStringList>

struct CliOptions
{
    QString listPath;
    QString keywordsPath;
    QString replacementsPath;
    QStringList paths;
    bool recursive = false;
    // Name masks for folder scans, already split at ';'.
    QStringList include;
    QStringList exclude;
    // The command line's encoding is UTF-8 unless told otherwise.
    ReplaceSettings settings;
    QString separator = QStringLiteral("|");
    bool verbose = false;
    // With dryRun: a unified diff of every file that would change on standard output,
    // the report on standard error.
    bool diff = false;
    bool journal = true;
    qint64 journalCap = qint64(1024) << 20;
    int runsKept = 10;
    // With CliCommand::UndoRun: the run's number in the history, 1 being the newest.
    int undoRun = 0;
    // The job options the command line states, by their long names ("encoding",
    // "regex", "ignore-case"...): a list workbook's own options give way to them.
    QSet<QString> given;
};

enum class CliCommand { Run, Undo, UndoRun, History, DiscardInterrupted, Help, Version };

// arguments includes the program name, as QCoreApplication::arguments() gives it.
// On bad usage returns false with a message for the user in error.
bool parseCliArguments(
    const QStringList &arguments, CliCommand *command, CliOptions *options, QString *error);

QString cliHelpText();

// Reads the list workbook into the job the window would run after importing it. A refused
// job comes back refused; false, with a message in error, when the job cannot be read at
// all. The workbook's options fill in those the command line did not state.
bool buildCliJob(CliOptions *options, Job *job, QString *error);

// For a run of keyword files that streams its files: the job's pairs (on a stand-in
// file, to be refused as a whole job would be for its keywords) and where its files come
// from. False, with a message in error, when the keyword files cannot be read.
bool buildCliStream(const CliOptions &options, Job *pairs, StreamSource *source, QString *error);

// The lines of a keywords or replacements file: line breaks are "\n" with any "\r" dropped,
// and the line break that ends the file does not start another, empty, line.
QStringList listFileLines(QString text);
