#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <functional>

// What the start of a run or an undo put right of runs that were interrupted.
struct Recovery
{
    // Files an interrupted run (or undo) was overwriting where they stand when it died:
    // torn, put back from the original its journal kept.
    QStringList repaired;
    // Such files that could not be put back; their journals stay for another try.
    QStringList notRepaired;
    // Temp files killed runs left beside the files they were replacing.
    int tempFilesRemoved = 0;
    // Interrupted runs still kept for undo afterwards (see Journal::interruptedRuns()).
    int interruptedRuns = 0;
    // Journals, or parts of them, not trusted and left alone: each with the reason.
    QStringList refused;
};

// Puts right, before any new work, what interrupted runs left: every torn file they were
// overwriting in place comes back from its kept original, and their temp files go. A run
// without undo then loses its journal; one with undo keeps it, undoable, until it is
// undone or discarded (Journal::discardInterruptedRuns()). Runs now in progress, and
// their folders, are left alone. Safe to call at any time, from any thread but one at once
// per process; the window calls it at start-up, a run and an undo call it first.
Recovery recoverInterruptedRuns();

// What undoing the last run did, file by file.
struct UndoResult
{
    enum class Outcome {
        Restored,
        AlreadyOriginal, // never replaced (an interrupted run), or restored before
        ChangedSince, // someone changed it, or replaced its folder, after the run: left alone
        Missing, // gone since the run: left alone
        Failed, // could not be restored; the journal keeps it for another try
    };

    struct File
    {
        QString path;
        QByteArray nativePath;
        Outcome outcome;
    };

    // No run's journal was there to undo, or the run was undone already; the counts are
    // all zero.
    bool nothingToUndo = true;
    // The history holds no run of the number asked for.
    bool noSuchRun = false;
    // The run was killed or crashed before it finished.
    bool runWasInterrupted = false;
    // Told to stop part way: the files not reached stay in the journal for the next undo.
    bool stopped = false;
    int restored = 0;
    int alreadyOriginal = 0;
    int changedSince = 0;
    int missing = 0;
    int failed = 0;
    // Temp files a killed run left beside the files it was replacing.
    int tempFilesRemoved = 0;
    QVector<File> files;
    // Records of the journal that could not be read, each as "manifest:line": a failure,
    // and the journal stays.
    QStringList damaged;
    // What was put right first, before this undo.
    Recovery recovery;

    // Every file is restored or reported: the journal is gone.
    bool complete() const { return !stopped && failed == 0 && damaged.isEmpty(); }
};

// What an undo tells as it goes, on its own threads, one call at a time.
struct UndoProgress
{
    // Once what was put right first and the damaged records are known, before any file.
    std::function<void(const UndoResult &)> begun;
    // Each file's outcome, in the order the run wrote them; UndoResult::files then stays
    // empty.
    std::function<void(const UndoResult::File &)> file;
};

// Puts back, atomically and with its mode, owner, ACL and attributes, every file of the
// last run (Journal::lastRun()) that still holds what the run wrote, and every file a
// killed run was overwriting in place; first, recoverInterruptedRuns(). The run's
// originals go only when every file is restored or reported (complete()): its manifest
// then stays in the history, marked undone, so a second undo finds nothing to do, or
// finishes what the first left.
UndoResult undoLastRun();
// The same, stopping once stop is set (from a signal handler, say): the files in hand are
// finished first, the rest stay in the journal for the next undo. Files are undone on as
// many threads as a run would use, with the run's journal read as a stream.
UndoResult undoLastRunUntil(const std::atomic_bool &stop, const UndoProgress &progress = {});
// The same for run number of the history (Journal::history()), 1 being the newest. A file
// that changed after the run, by a later run too, is left alone and named.
UndoResult undoRunUntil(
    int number, const std::atomic_bool &stop, const UndoProgress &progress = {});
