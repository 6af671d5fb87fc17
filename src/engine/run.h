#pragma once

#include "engine/durable/undo.h"
#include "engine/job.h"
#include "engine/match/replacesettings.h"
#include "engine/rep.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <memory>
#include <thread>
#include <vector>

class DetectedRoutes;
class Utf8Replace;

struct RunOptions
{
    // Handed to every worker as it is.
    ReplaceSettings settings;
    // Keeps every replaced file's original for undo; without, the last run's journal
    // goes too, so that undo never reaches past this run (an interrupted run's stays),
    // and a file overwritten in place is still copied to the journal until it is written.
    bool journal = true;
    // The bytes of copies the journal may hold (files it cannot keep by a link); negative
    // for no limit.
    qint64 journalCap = -1;
    // How many runs the journal's history keeps, this one included.
    int runsKept = 10;
    // When the user asked for the run (ms since the epoch; 0: when the run was made). Runs
    // that finished after it ran alongside this one: their journals stay.
    qint64 requestedAt = 0;
    // The journal ends (its last records, older runs set aside) on a thread of its own,
    // and finished() follows from the event loop once it has; without, the last file to
    // report ends it on the run's thread. For a caller that must go on answering.
    bool journalEndsAside = false;
    // The workers run below the priority of the thread that starts the run, so that it
    // goes on answering while they keep every core busy. Against other programs they lose
    // share too, so a run with no one waiting on its thread leaves this off.
    bool workersGiveWay = false;
};

struct RunTally
{
    int expected = 0;
    int done = 0;
    int success = 0;
    int fail = 0;
    int lost = 0;
    int skipped = 0;

    bool isComplete() const { return done >= expected; }
    // Counts one more file done in state; a state that is none of the others was skipped.
    void add(STATE state)
    {
        ++done;
        switch (state) {
        case SUCCESS:
            ++success;
            break;
        case FAIL:
            ++fail;
            break;
        case LOST:
            ++lost;
            break;
        default:
            ++skipped;
            break;
        }
    }
};

// One replace run over a job: a worker per file on the worker pool, every file's outcome
// kept, progress told as it goes. The window's start button and the command line both
// drive it.
class ReplaceRun : public QObject
{
    Q_OBJECT

public:
    ReplaceRun(const Job &job, const RunOptions &options, QObject *parent = nullptr);
    ~ReplaceRun() override;

    // Puts right what interrupted runs left (see recoverInterruptedRuns()) and creates this
    // run's journal, before any file is written. Call it before start() to learn whether
    // the run can be undone: false, with the journal folder and the system's reason in
    // error, when its journal cannot be made. The run may then still go on, without undo,
    // or be dropped without having written anything. start() calls it when the caller did
    // not, and goes on without undo on failure.
    bool prepareJournal(QString *error = nullptr);
    // What prepareJournal() put right, to tell the user.
    const Recovery &recovery() const { return m_recovery; }

    // Looks at every file of the job as start() needs it, a stat each. It may run on
    // another thread, after prepareJournal() and before start(), which then takes what it
    // found instead of looking again: a long list need not hold up the caller's thread.
    // It touches nothing else of the run.
    void survey();

    // A path that is not a regular file now is lost at once: its fileDone arrives before
    // start() returns, and so does finished() when every file is lost.
    void start();

    // No file starts after this; a file not yet being written is left alone and counts
    // as skipped; a file being written finishes. finished() follows once the last write
    // is done (and the journal has ended), which may be before cancel() returns.
    void cancel();

    // Every file has reported and the journal has ended: another run or an undo may go.
    bool isFinished() const { return m_finished; }
    // Files replaced without their original kept: beyond the cap, or the journal's disk full.
    int notUndoable() const;
    // The journal could not be started: the run went on without undo.
    bool journalFailed() const { return m_journalFailed; }
    bool wasCancelled() const { return m_control->isStopped(); }
    const RunTally &tally() const { return m_tally; }
    const QVector<FileJob> &files() const { return m_job.files; }
    // Kept by the run alone, compactly: read it here rather than keeping a copy.
    FileOutcome outcome(int index) const { return m_control->outcome(index); }
    STATE state(int index) const { return m_control->state(index); }
    // The same outcomes for a reader on another thread, which may outlive the run.
    std::shared_ptr<const RunControl> sharedOutcomes() const { return m_control; }
    const RunOptions &options() const { return m_options; }

signals:
    void fileDone(int index, STATE state);
    // The tally has moved on: at most about ten times a second while files come in, and
    // once more just before finished().
    void progressed();
    void finished();

private:
    struct Lanes;
    struct Survey;

    void workerDone(Rep *rep, STATE state, int index);
    void doneArrived();
    void takeDone();
    // A later name of one file reads what the name before it wrote, not what the
    // preview read.
    void startWorker(int index, bool afterAnotherName = false);
    void startLanes(std::vector<int> order);
    void shareChoice(int first, int follower);
    void sizeWorkerPool(qint64 largestFile) const;
    // outcome: null when the worker has stored it already.
    void record(int index, const FileOutcome *outcome);
    void reportProgress();
    void finishIfComplete();
    void end();
    std::shared_ptr<const Utf8Replace> bytePathFor(const ReplacePairs &pairs);
    // For an automatic run: the byte routes of the code pages its files turn out to have.
    std::shared_ptr<const DetectedRoutes> detectedRoutesFor(const ReplacePairs &pairs);

    const Job m_job;
    const RunOptions m_options;
    std::vector<bool> m_reported;
    RunTally m_tally;
    std::shared_ptr<RunControl> m_control;
    std::shared_ptr<Lanes> m_lanes;
    // Files the lanes finished that are not told yet, from m_takenAt on.
    std::vector<int> m_taken;
    size_t m_takenAt = 0;
    QElapsedTimer m_sinceTaken;
    QTimer m_takeTimer;
    bool m_started = false;
    bool m_ending = false;
    bool m_finished = false;
    std::thread m_journalEnd;
    QElapsedTimer m_sinceProgress;
    QTimer m_progressTimer;
    QHash<const void *, std::shared_ptr<const Utf8Replace>> m_bytePaths;
    QHash<const void *, std::shared_ptr<const DetectedRoutes>> m_detectedRoutes;
    // One file under several names: the names that share the first one's result (mode
    // one), or the name that goes next once it is done (mode two).
    QHash<int, QVector<int>> m_followers;
    QHash<int, int> m_next;
    // A first name's choice joined with its followers' (mode one).
    QHash<int, std::shared_ptr<const FileChoice>> m_sharedChoices;
    const qint64 m_made;
    bool m_journalPrepared = false;
    bool m_journalFailed = false;
    Recovery m_recovery;
    std::unique_ptr<Survey> m_survey;
};
