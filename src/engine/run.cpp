#include "engine/run.h"

#include "engine/base/workerthreads.h"
#include "engine/detectedroutes.h"
#include "engine/durable/journal.h"
#include "engine/durable/nativefile.h"
#include "engine/durable/pausepoint.h"
#include "engine/durable/safefile.h"
#include "engine/filechoice.h"
#include "engine/match/utf8replace.h"
#include "files/filenames.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <tuple>

#include <sys/stat.h>

namespace {

constexpr int ProgressInterval = 100; // ms

struct Named
{
    quint64 device;
    quint64 inode;
    int index;

    bool operator<(const Named &other) const
    {
        return std::tie(device, inode, index) < std::tie(other.device, other.inode, other.index);
    }
};

} // namespace

// What survey() found: the files refused before any worker starts, the others by their
// identity on disk.
struct ReplaceRun::Survey
{
    struct Refused
    {
        int index;
        STATE state;
        Reason reason;
    };
    std::vector<Refused> refused;
    // Sorted by identity: each file's names come together, in list order.
    std::vector<Named> named;
    QVector<QByteArray> folders;
    qint64 largest = 0;
};

// A few pool threads that take the run's files in turn. One task and one queued call
// per file made threads wait on each other more than on the disk, and the tasks waiting
// in the pool took most of a large run's memory; finished files now reach the run in
// batches, with one call for whatever finished since it last looked.
struct ReplaceRun::Lanes
{
    std::vector<int> order;
    std::atomic<size_t> next {0};
    QVector<FileJob> files;
    ReplaceSettings settings;
    QHash<const void *, std::shared_ptr<const Utf8Replace>> bytePaths;
    QHash<const void *, std::shared_ptr<const DetectedRoutes>> detectedRoutes;
    QHash<int, std::shared_ptr<const FileChoice>> choices;
    std::shared_ptr<RunControl> control;
    int niceness = KeepPriority; // the workers' priority

    QMutex mutex; // guards the fields below
    std::vector<int> done;
    ReplaceRun *receiver = nullptr; // null once the run is gone

    void work()
    {
        giveWay(niceness);
        for (;;) {
            const size_t at = next.fetch_add(1, std::memory_order_relaxed);
            // A stopped run takes back every file no worker holds.
            if (at >= order.size() || control->isStopped())
                return;
            const int index = order[at];
            const FileJob &file = files.at(index);
            Rep rep(file.path, settings, file.pairs, index);
            rep.setControl(control);
            rep.setBytePath(bytePaths.value(file.pairs.constData()));
            rep.setDetectedRoutes(detectedRoutes.value(file.pairs.constData()));
            rep.setChoice(choices.value(index, file.choice));
            rep.replaceFile();
            QMutexLocker locker(&mutex);
            done.push_back(index);
            if (done.size() == 1 && receiver) {
                ReplaceRun *run = receiver;
                QMetaObject::invokeMethod(
                    run, [run] { run->doneArrived(); }, Qt::QueuedConnection);
            }
        }
    }
};

ReplaceRun::ReplaceRun(const Job &job, const RunOptions &options, QObject *parent)
    : QObject(parent)
    , m_job(job)
    , m_options(options)
    , m_reported(size_t(job.files.size()), false)
    , m_control(std::make_shared<RunControl>(
          job.files.size(), [&job](int index) { return job.files.at(index).pairs.size(); }))
    , m_made(QDateTime::currentMSecsSinceEpoch())
{
    m_tally.expected = job.files.size();
    m_progressTimer.setSingleShot(true);
    connect(&m_progressTimer, &QTimer::timeout, this, &ReplaceRun::reportProgress);
    m_takeTimer.setSingleShot(true);
    connect(&m_takeTimer, &QTimer::timeout, this, &ReplaceRun::takeDone);
}

// Workers still out (abandoned in a runaway expression) report to nobody.
ReplaceRun::~ReplaceRun()
{
    // The journal must end before the process does: a run whose journal never ended would
    // be taken for an interrupted one.
    if (m_journalEnd.joinable())
        m_journalEnd.join();
    m_control->stop();
    if (m_lanes) {
        QMutexLocker locker(&m_lanes->mutex);
        m_lanes->receiver = nullptr;
    }
}

void ReplaceRun::start()
{
    if (m_started)
        return;
    m_started = true;
    registerRepMetaTypes();
    m_sinceProgress.start();
    prepareJournal();

    if (!m_survey)
        survey();
    const std::unique_ptr<Survey> found = std::move(m_survey);
    for (const Survey::Refused &refusal : found->refused) {
        FileOutcome refused;
        refused.state = refusal.state;
        refused.reason = refusal.reason;
        m_control->release(refusal.index);
        record(refusal.index, &refused);
    }
    std::vector<Named> &named = found->named;
    std::vector<int> starting;
    starting.reserve(named.size());
    for (size_t at = 0; at < named.size(); ++at) {
        const Named &name = named[at];
        const bool first
            = at == 0 || named[at - 1].device != name.device || named[at - 1].inode != name.inode;
        if (first)
            starting.push_back(name.index);
        else if (m_job.perName)
            m_next.insert(named[at - 1].index, name.index);
        else {
            m_followers[starting.back()].append(name.index);
            shareChoice(starting.back(), name.index);
        }
    }
    std::vector<Named>().swap(named);
    std::sort(starting.begin(), starting.end());
    if (Journal *journal = m_control->journal())
        journal->recordFolders(found->folders);
    sizeWorkerPool(found->largest);
    startLanes(std::move(starting));
    finishIfComplete();
}

void ReplaceRun::survey()
{
    auto found = std::make_unique<Survey>();
    found->named.reserve(size_t(m_job.files.size()));
    QSet<QByteArray> folders;
    QByteArray lastFolder;
    for (int index = 0; index < m_job.files.size(); ++index) {
        const QString &path = m_job.files.at(index).path;
        Survey::Refused refused {index, FAIL, Reason::None};
        // Encoded, such a name would be another file's.
        if (!isEncodableFileName(path))
            refused.reason = Reason::NameNotEncodable;
        // Not a regular file when the run starts: lost, as the window has always had it.
        struct stat info;
        const QByteArray native = QFile::encodeName(path);
        if (refused.reason == Reason::None) {
            const bool exists = ::stat(native.constData(), &info) == 0;
            if (!exists || !S_ISREG(info.st_mode)) {
                refused.state = LOST;
                refused.reason = exists ? Reason::NotRegular : Reason::NotFound;
            }
        }
        if (refused.reason != Reason::None) {
            found->refused.push_back(refused);
            continue;
        }
        found->largest = std::max<qint64>(found->largest, info.st_size);
        const QByteArray folder = splitNativePath(native).folder;
        if (folder != lastFolder) {
            folders.insert(folder);
            lastFolder = folder;
        }
        found->named.push_back({quint64(info.st_dev), quint64(info.st_ino), index});
    }
    std::sort(found->named.begin(), found->named.end());
    found->folders = QVector<QByteArray>(folders.cbegin(), folders.cend());
    m_survey = std::move(found);
}

void ReplaceRun::startLanes(std::vector<int> order)
{
    if (order.empty())
        return;
    m_lanes = std::make_shared<Lanes>();
    m_lanes->files = m_job.files;
    m_lanes->settings = m_options.settings;
    m_lanes->choices = m_sharedChoices;
    m_lanes->control = m_control;
    m_lanes->receiver = this;
    if (m_options.workersGiveWay)
        m_lanes->niceness = givingWayNiceness();
    for (const int index : order) {
        const ReplacePairs &pairs = m_job.files.at(index).pairs;
        if (!m_lanes->bytePaths.contains(pairs.constData())) {
            m_lanes->bytePaths.insert(pairs.constData(), bytePathFor(pairs));
            m_lanes->detectedRoutes.insert(pairs.constData(), detectedRoutesFor(pairs));
        }
    }
    m_lanes->order = std::move(order);
    const int lanes = int(std::min<size_t>(
        size_t(std::max(1, workerPool()->maxThreadCount())), m_lanes->order.size()));
    for (int lane = 0; lane < lanes; ++lane) {
        // No future: Qt 6 warns of a QtConcurrent::run result left unused.
        workerPool()->start([lanes = m_lanes] { lanes->work(); });
    }
}

// Taken as soon as they came, files finished one at a time woke the caller's thread once
// each: 300,000 small files cost a window ten seconds of its thread in wake-ups alone.
// What finishes within a pass waits for the next one together.
void ReplaceRun::doneArrived()
{
    constexpr int TakeEveryMs = 15;
    if (m_takeTimer.isActive())
        return;
    const qint64 since = m_sinceTaken.isValid() ? m_sinceTaken.elapsed() : TakeEveryMs;
    if (since >= TakeEveryMs)
        takeDone();
    else
        m_takeTimer.start(int(TakeEveryMs - since));
}

// Workers quicker than the caller's thread would have it take their whole lead at once:
// what is not told within a slice is told from the next event loop pass.
void ReplaceRun::takeDone()
{
    constexpr int SliceMs = 20;
    m_sinceTaken.start();
    if (m_taken.empty()) {
        QMutexLocker locker(&m_lanes->mutex);
        m_taken.swap(m_lanes->done);
        m_takenAt = 0;
    }
    QElapsedTimer slice;
    slice.start();
    while (m_takenAt < m_taken.size()) {
        workerDone(nullptr, SUCCESS, m_taken[m_takenAt++]);
        if (m_takenAt % 64 == 0 && slice.elapsed() >= SliceMs)
            break;
    }
    if (m_takenAt < m_taken.size()) {
        QMetaObject::invokeMethod(this, &ReplaceRun::takeDone, Qt::QueuedConnection);
        return;
    }
    m_taken.clear();
    // Files done meanwhile posted no call of their own: the lanes' list was not empty.
    QMutexLocker locker(&m_lanes->mutex);
    if (!m_lanes->done.empty())
        QMetaObject::invokeMethod(this, &ReplaceRun::doneArrived, Qt::QueuedConnection);
}

void ReplaceRun::sizeWorkerPool(qint64 largestFile) const
{
    // A window's workers stay few enough to give way.
    const bool tiny = largestFile <= TinyFile && !m_options.workersGiveWay;
    workerPool()->setMaxThreadCount(tiny ? tinyFileWorkers() : workerThreadsFor(largestFile));
}

bool ReplaceRun::prepareJournal(QString *error)
{
    if (m_journalPrepared)
        return !m_journalFailed;
    m_journalPrepared = true;
    m_recovery = recoverInterruptedRuns();
    if (m_options.settings.dryRun)
        return true;
    const Journal::Mode mode = m_options.journal ? Journal::Mode::Undo : Journal::Mode::InPlaceOnly;
    auto journal = std::make_shared<Journal>(m_options.journalCap, mode);
    journal->setRequestedAt(m_options.requestedAt > 0 ? m_options.requestedAt : m_made);
    journal->setRunsKept(m_options.runsKept);
    QString why;
    if (!journal->start(&why)) {
        Journal::discardLastRun();
        // Without undo, a file overwritten in place is then kept in memory only.
        m_journalFailed = m_options.journal;
        if (error)
            *error = why;
        return false;
    }
    m_control->setJournal(std::move(journal));
    return true;
}

int ReplaceRun::notUndoable() const
{
    return m_control->journal() ? m_control->journal()->notKept() : 0;
}

// The preview showed the same changes under every name of the file; one unchecked under
// any of them stays unchecked in the one write.
void ReplaceRun::shareChoice(int first, int follower)
{
    const std::shared_ptr<const FileChoice> &theirs = m_job.files.at(follower).choice;
    if (!theirs || theirs->leftOut.empty())
        return;
    const std::shared_ptr<const FileChoice> mine
        = m_sharedChoices.value(first, m_job.files.at(first).choice);
    auto shared = std::make_shared<FileChoice>(mine ? *mine : *theirs);
    shared->leftOut.insert(shared->leftOut.end(), theirs->leftOut.cbegin(), theirs->leftOut.cend());
    std::sort(shared->leftOut.begin(), shared->leftOut.end(),
        [](const TextEdit &a, const TextEdit &b) { return a.before < b.before; });
    shared->leftOut.erase(
        std::unique(shared->leftOut.begin(), shared->leftOut.end()), shared->leftOut.end());
    m_sharedChoices.insert(first, std::move(shared));
}

void ReplaceRun::startWorker(int index, bool afterAnotherName)
{
    const FileJob &file = m_job.files.at(index);
    const std::shared_ptr<const FileChoice> choice = m_sharedChoices.value(index, file.choice);
    auto *rep = new Rep(file.path, m_options.settings, file.pairs, index);
    rep->setControl(m_control);
    rep->setBytePath(bytePathFor(file.pairs));
    rep->setDetectedRoutes(detectedRoutesFor(file.pairs));
    if (choice && afterAnotherName) {
        auto later = std::make_shared<FileChoice>(*choice);
        later->checkRead = false;
        rep->setChoice(std::move(later));
    } else {
        rep->setChoice(choice);
    }
    connect(rep, &Rep::done, this, &ReplaceRun::workerDone);
    startRep(rep);
}

// One byte route per distinct pair list: mode one shares a single list among all files.
std::shared_ptr<const Utf8Replace> ReplaceRun::bytePathFor(const ReplacePairs &pairs)
{
    const ReplaceSettings &settings = m_options.settings;
    if (settings.keepText || !Utf8Replace::handles(settings, pairs))
        return nullptr;
    const void *key = pairs.constData();
    auto it = m_bytePaths.find(key);
    if (it == m_bytePaths.end()) {
        const LineBreakMode mode
            = settings.keepFormat ? LineBreakMode::KeepFormat : LineBreakMode::Windows;
        it = m_bytePaths.insert(key, std::make_shared<const Utf8Replace>(settings, pairs, mode));
    }
    return it.value();
}

std::shared_ptr<const DetectedRoutes> ReplaceRun::detectedRoutesFor(const ReplacePairs &pairs)
{
    const ReplaceSettings &settings = m_options.settings;
    if (!settings.encoding.isAutomatic() || !bytePathFor(pairs))
        return nullptr;
    const void *key = pairs.constData();
    auto it = m_detectedRoutes.find(key);
    if (it == m_detectedRoutes.end()) {
        const LineBreakMode mode
            = settings.keepFormat ? LineBreakMode::KeepFormat : LineBreakMode::Windows;
        it = m_detectedRoutes.insert(
            key, std::make_shared<const DetectedRoutes>(settings, pairs, mode));
    }
    return it.value();
}

void ReplaceRun::cancel()
{
    if (!m_started || m_ending)
        return;
    m_control->stop();
    FileOutcome skipped;
    skipped.state = SKIPPED;
    skipped.reason = Reason::Stopped;
    QSet<int> following;
    for (const QVector<int> &names : qAsConst(m_followers)) {
        for (const int index : names)
            following.insert(index);
    }
    for (int index = 0; index < m_job.files.size(); ++index) {
        // Another name of the same file shares that name's outcome, written or not.
        if (following.contains(index))
            continue;
        if (!m_reported[size_t(index)] && m_control->release(index)) {
            record(index, &skipped);
            for (const int name : m_followers.value(index))
                record(name, &skipped);
        }
    }
    finishIfComplete();
}

void ReplaceRun::workerDone(Rep * /*rep*/, STATE /*state*/, int index)
{
    if (m_finished || m_reported[size_t(index)])
        return;
    record(index, nullptr);
    const auto followers = m_followers.constFind(index);
    if (followers != m_followers.cend()) {
        const FileOutcome outcome = m_control->outcome(index);
        for (const int name : followers.value())
            record(name, &outcome);
    }
    const int next = m_next.value(index, -1);
    if (next >= 0 && !m_reported[size_t(next)])
        startWorker(next, true);
    finishIfComplete();
}

void ReplaceRun::record(int index, const FileOutcome *outcome)
{
    if (outcome)
        m_control->setOutcome(index, *outcome);
    const STATE state = outcome ? outcome->state : m_control->state(index);
    m_reported[size_t(index)] = true;
    m_tally.add(state);
    emit fileDone(index, state);
    if (m_sinceProgress.elapsed() >= ProgressInterval)
        reportProgress();
    else if (!m_progressTimer.isActive())
        m_progressTimer.start(ProgressInterval - int(m_sinceProgress.elapsed()));
}

void ReplaceRun::reportProgress()
{
    m_progressTimer.stop();
    m_sinceProgress.restart();
    emit progressed();
}

void ReplaceRun::finishIfComplete()
{
    if (m_ending || !m_tally.isComplete())
        return;
    m_ending = true;
    m_control->releaseBuffers();
    Journal *journal = m_control->journal();
    if (journal && m_options.journalEndsAside) {
        // Joined before the run goes, which drops the call it posted.
        m_journalEnd = std::thread([this, control = m_control] {
            pausePoint("journal-end");
            control->journal()->finish();
            QMetaObject::invokeMethod(this, &ReplaceRun::end, Qt::QueuedConnection);
        });
        return;
    }
    if (journal)
        journal->finish();
    end();
}

void ReplaceRun::end()
{
    m_finished = true;
    reportProgress();
    emit finished();
}
