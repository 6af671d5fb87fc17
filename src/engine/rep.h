#pragma once

#include "engine/base/reason.h"
#include "engine/durable/contenthash.h"
#include "engine/match/replacesettings.h"
#include "engine/match/utf8replace.h"
#include "engine/text/textencoding.h"
#include "engine/text/utf8encoder.h"

#include <QHash>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class BufferPool;
class DetectedRoutes;
struct FileChoice;
class Journal;
class QThreadPool;
class SafeFile;
class SyncGroup;
struct TextFormat;

// Result of one file of a run. SKIPPED: the run was stopped before the file was written.
enum STATE { SUCCESS = 0, FAIL = 1, LOST = 2, SKIPPED = 3 };
Q_DECLARE_METATYPE(STATE)

// What became of one file, beyond its STATE.
struct FileOutcome
{
    STATE state = SUCCESS;
    Reason reason = Reason::None;
    // The encoding the file was read in, or the one it was not valid in: for automatic
    // detection the one detected, also where it was not sure (EncodingUncertain), and
    // automatic itself for a file never read.
    TextEncoding encoding;
    // Replacements per pair, in pair order; empty for a file left alone.
    QVector<int> counts;
    // The text a dry run would write, when asked for; empty otherwise.
    QString text;
    // Of the bytes read, once they were all read: what a preview read.
    std::optional<Digest> read;
};

// What a run shares with its workers. It lets the run stop them at any moment without a
// file ever being cut off mid-write: a worker that has not begun writing gives way, one
// that has finishes its write. And it holds each worker's outcome, which the run reads
// once it hears of it: the worker itself may be gone by then.
class RunControl
{
public:
    // pairsOf(index): how many pairs file index has, so that its counts have a place
    // kept for them from the start.
    explicit RunControl(int files, const std::function<int(int)> &pairsOf = {});
    ~RunControl();

    // Where the workers keep the originals of the files they replace; none for a run
    // without undo.
    void setJournal(std::shared_ptr<Journal> journal);
    Journal *journal() const { return m_journal.get(); }
    // The syncs the workers share; none for a dry run.
    SyncGroup *syncGroup() const { return m_syncGroup.get(); }
    // The byte route's memory, lent to one worker at a time.
    BufferPool *bufferPool() const { return m_bufferPool.get(); }
    // Frees that memory once the run is over, whoever keeps the run to show its outcomes.
    void releaseBuffers();

    // Written by the file's worker before it reports; workers write different files at
    // the same time.
    void setOutcome(int index, const FileOutcome &outcome);
    // Read once the worker has reported.
    FileOutcome outcome(int index) const;
    STATE state(int index) const { return STATE(m_outcomes[size_t(index)].state); }

    // False once the run has let go of this file: the worker leaves it alone.
    bool begin(int index);
    // True also for a worker that has begun already: it goes on to the end.
    bool beginWriting(int index);
    // False when the run took the file back first: the run has told its outcome already.
    bool finish(int index);
    // For a worker whose begin() failed: false when the run took the file back, as above.
    bool giveUp(int index);

    // Makes index ready for the next file: for a run whose workers each keep one index
    // for file after file.
    void requeue(int index) { m_phases[size_t(index)] = Queued; }

    // Takes back the file unless its worker is writing; true when it was taken back.
    bool release(int index);
    void stop() { m_stopped = true; }
    bool isStopped() const { return m_stopped; }

private:
    enum Phase : unsigned char { Queued, Working, Writing, Finished, Released };

    // A file's outcome in a few bytes: a million of them fit in a run's memory. What does
    // not fit (a dry run's text, a preview's digest, counts of another length) goes to
    // m_unusual.
    struct Compact
    {
        TextEncoding encoding;
        unsigned char state = SUCCESS;
        unsigned char reason = 0;
        bool counted = false; // counts has the file's place in m_counts
    };
    int *countsOf(int index);
    const int *countsOf(int index) const;
    int pairsOf(int index) const;

    std::atomic<bool> m_stopped {false};
    std::unique_ptr<std::atomic<unsigned char>[]> m_phases;
    std::vector<Compact> m_outcomes;
    std::vector<int> m_counts;
    // Where each file's counts begin; empty when every file has m_stride of them.
    std::vector<qint64> m_countsAt;
    int m_stride = 0;
    mutable QMutex m_unusualMutex;
    QHash<int, FileOutcome> m_unusual;
    std::shared_ptr<Journal> m_journal;
    std::unique_ptr<SyncGroup> m_syncGroup;
    std::unique_ptr<BufferPool> m_bufferPool;
};

// Rewrites one file with an ordered pair list; runs once on a pool thread.
class Rep : public QObject
{
    Q_OBJECT

public:
    Rep(const QString &filePath, const ReplaceSettings &settings, ReplacePairs pairs, int index,
        QObject *parent = nullptr);
    Rep(const QString &filePath, const RepOptions &options, int index, QObject *parent = nullptr);

    void replaceFile();

    // Complete once done() has been emitted.
    const FileOutcome &outcome() const { return result; }

    // Makes the worker answer to its run's stop; without one it always runs to the end.
    void setControl(std::shared_ptr<RunControl> control) { this->control = std::move(control); }
    // Lets the worker replace in a UTF-8 file's bytes, without decoding it.
    void setBytePath(std::shared_ptr<const Utf8Replace> replace) { bytePath = std::move(replace); }
    // Lets an automatic run's worker replace in the bytes of the code pages it detects.
    void setDetectedRoutes(std::shared_ptr<const DetectedRoutes> routes)
    {
        detectedRoutes = std::move(routes);
    }
    // Holds the worker to what the preview showed of the file.
    void setChoice(std::shared_ptr<const FileChoice> choice) { this->choice = std::move(choice); }

signals:
    void done(Rep *rep, STATE state, int index);

private:
    // The route over bytes; a file it does not take is handed on to the text route.
    Reason replaceBytes(SafeFile *file, QByteArray *handOn, bool *handedOn);
    // The route that takes the file a piece at a time, and the encoding it reads;
    // nullptr for one read whole.
    const Utf8Replace *pieceRoute(const SafeFile &file, TextEncoding *encoding) const;
    // startOver: set when an automatic run's guess did not hold, and the file, back at
    // its start with nothing written, is to be read whole.
    Reason replaceInPieces(
        SafeFile *file, const Utf8Replace &route, const TextEncoding &encoding, bool *startOver);
    // An automatic run's file that is not UTF-8, still in the byte buffers.
    Reason replaceDetected(SafeFile *file, qint64 size, QByteArray *handOn, bool *handedOn);
    // Writes what the byte route made, unless it failed or there is nothing to write.
    Reason writeBytes(SafeFile *file, Reason replaced, bool unchanged);
    Reason replaceText(SafeFile *file, QByteArray bytes);
    // The pairs applied to a decoded file, written back as it was read.
    Reason replaceDecoded(SafeFile *file, QString text, TextFormat format);
    Reason write(SafeFile *file, const std::function<Reason(const ByteSink &)> &produce);
    Reason checkRead(const SafeFile &file) const;
    // The pairs applied to text, less the changes the preview's choice leaves out.
    Reason applyChoice(QString *text);
    // Puts what was written in the file's place.
    Reason commit(SafeFile *file);

    QString filePath;
    ReplaceSettings settings;
    ReplacePairs pairs;
    int index;
    FileOutcome result;
    std::shared_ptr<RunControl> control;
    std::shared_ptr<const Utf8Replace> bytePath;
    std::shared_ptr<const DetectedRoutes> detectedRoutes;
    std::shared_ptr<const FileChoice> choice;
    Utf8Replace::Buffers *buffers = nullptr; // while the byte route has the file
};

Q_DECLARE_METATYPE(Rep *)

// Lets done() cross threads: registers STATE (also as "STATE&") and Rep*. Safe to call repeatedly.
void registerRepMetaTypes();

// The pool the workers run on. It is never torn down: a worker caught in a runaway
// regular expression must not keep the program from ending.
QThreadPool *workerPool();

// Runs rep on the worker pool and disposes of it once its done signal has been
// emitted. Receivers must not delete it: a pool thread may still be inside the emission
// when a queued handler runs.
void startRep(Rep *rep);
