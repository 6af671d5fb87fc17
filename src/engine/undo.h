#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// What undoing the last run did, file by file.
struct UndoResult
{
    enum class Outcome {
        Restored,
        AlreadyOriginal, // never replaced (an interrupted run), or restored before
        ChangedSince, // someone changed it after the run: left alone
        Missing, // gone since the run: left alone
        Failed, // could not be restored; the journal keeps it for another try
    };

    struct File
    {
        QString path;
        QByteArray nativePath;
        Outcome outcome;
    };

    // No run's journal was there to undo; the counts are all zero.
    bool nothingToUndo = true;
    // The run was killed or crashed before it finished.
    bool runWasInterrupted = false;
    int restored = 0;
    int alreadyOriginal = 0;
    int changedSince = 0;
    int missing = 0;
    int failed = 0;
    // Temp files a killed run left beside the files it was replacing.
    int tempFilesRemoved = 0;
    QVector<File> files;
};

// Puts back, atomically and with its mode, owner, ACL and attributes, every file of the
// last run that still holds what the run wrote, and every file a killed run was
// overwriting in place. The journal is deleted afterwards (kept if a file failed), so a
// second undo finds nothing to do.
UndoResult undoLastRun();
