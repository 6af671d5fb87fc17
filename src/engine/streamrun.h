#pragma once

#include "engine/base/reason.h"
#include "engine/durable/journal.h"
#include "engine/durable/undo.h"
#include "engine/rep.h"
#include "engine/run.h"
#include "engine/text/textencoding.h"
#include "files/namemasks.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

// Where a streaming run finds its files: the paths as given, files taken as they stand
// (less a run's leftover temp files), folders scanned for text files as the add-folder
// button scans them. A path listed twice is taken once.
struct StreamSource
{
    QStringList paths; // absolute and clean
    bool recursive = false;
    NameMasks masks;
    // Files found in folders that are not to be taken: the job's own keyword files.
    std::function<bool(const QString &)> leaveOut;
};

// A file as the run found it: one that failed or was lost, or in a dry run any file.
struct StreamFile
{
    qint64 index = 0; // its place in the list
    STATE state = FAIL;
    Reason reason = Reason::None;
    TextEncoding encoding;
    QString path;
    QVector<int> counts; // a dry run's replacements, per pair
};

// A mode one run over files that are found while it goes: the scan hands each file to the
// workers at once, and the run keeps per file only a byte and a fingerprint. A million
// files cost about 50 MB, where a list of them costs a gigabyte and a half. One file under
// several names is replaced once, its other names sharing its outcome.
class StreamRun
{
public:
    StreamRun(ReplacePairs pairs, const RunOptions &options);
    ~StreamRun();
    StreamRun(const StreamRun &) = delete;
    StreamRun &operator=(const StreamRun &) = delete;

    // What the journal would copy for the source's files, told before the run: a scan of
    // its own that keeps nothing but the identities of files needing a copy.
    static Journal::Cost estimate(const StreamSource &source);
    // Whether the source lists a file at all, found or not; stops at the first.
    static bool findsAny(const StreamSource &source);

    struct Progress
    {
        // Once the journal is made, before the first file is written: what it put right of
        // interrupted runs.
        std::function<void(const Recovery &)> begun;
        // Now and then, on the calling thread.
        std::function<void(qint64 done, qint64 found, bool scanDone)> moved;
        // For a dry run, whose report lists every file that would change: each file in
        // list order, on the calling thread, as soon as every file before it is done. The
        // run then holds a few thousand files at most, and problems() stays empty. A run
        // that writes does not call it.
        std::function<void(const StreamFile &)> inOrder;
    };

    // Runs to the end on the calling thread, which scans; stop ends the scan and leaves
    // alone every file no worker is writing. False, with the journal folder and the
    // system's reason in journalError, when the run's journal could not be made although
    // it was asked for: nothing was written then.
    bool run(const StreamSource &source, const std::atomic_bool &stop, const Progress &progress,
        QString *journalError = nullptr);

    const RunTally &tally() const { return m_tally; }
    // Files that failed or were lost, in list order, each name of a file on its own.
    const std::vector<StreamFile> &problems() const { return m_problems; }
    qint64 found() const { return m_found; }
    bool wasCancelled() const { return m_cancelled; }
    int notUndoable() const;
    bool journalFailed() const { return m_journalFailed; }

private:
    struct Shared;

    bool prepareJournal(QString *error);

    const ReplacePairs m_pairs;
    const RunOptions m_options;
    std::shared_ptr<Shared> m_shared;
    std::shared_ptr<Journal> m_journal;
    std::vector<StreamFile> m_problems;
    RunTally m_tally;
    qint64 m_found = 0;
    bool m_cancelled = false;
    bool m_journalFailed = false;
    Recovery m_recovery;
};
