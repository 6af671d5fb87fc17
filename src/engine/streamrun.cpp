#include "engine/streamrun.h"

#include "engine/base/workerthreads.h"
#include "engine/detectedroutes.h"
#include "engine/durable/contenthash.h"
#include "engine/durable/nativefile.h"
#include "engine/match/utf8replace.h"
#include "files/dirscan.h"
#include "files/filenames.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSemaphore>
#include <QSet>
#include <QThreadPool>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>

#include <sys/stat.h>

namespace {

constexpr int ProgressInterval = 100; // ms
// Files found and not yet taken by a worker: enough to keep them busy while the scan
// reads a folder, few enough to cost nothing.
constexpr size_t QueueLimit = 2048;
// Files found and not yet told in list order: room enough for a slow file to be passed by
// the others for a while, and a bound on what waits for it.
constexpr qint64 WindowLimit = 4096;

quint64 pathPrint(const QByteArray &native)
{
    return Digest::of(native.constData(), native.size()).high;
}

// The files seen, by identity: 24 bytes a file at most twice over, where a hash of
// QString paths costs a hundred and more.
class IdentityTable
{
public:
    struct Entry
    {
        quint64 inode = 0;
        quint64 print = 0; // of the first name's path
        quint32 device = 0; // the device's place in m_devices
        qint32 index = -1; // -1: empty
    };

    // The entry of this file, or a new one holding index and print when there is none.
    const Entry &findOrAdd(quint64 device, quint64 inode, qint32 index, quint64 print)
    {
        if ((m_used + 1) * 5 > m_entries.size() * 3)
            grow();
        const quint32 id = deviceId(device);
        size_t at = slotOf(id, inode);
        while (m_entries[at].index >= 0) {
            if (m_entries[at].inode == inode && m_entries[at].device == id)
                return m_entries[at];
            at = (at + 1) & (m_entries.size() - 1);
        }
        m_entries[at] = {inode, print, id, index};
        ++m_used;
        return m_entries[at];
    }

private:
    quint32 deviceId(quint64 device)
    {
        const auto found = std::find(m_devices.cbegin(), m_devices.cend(), device);
        if (found != m_devices.cend())
            return quint32(found - m_devices.cbegin());
        m_devices.push_back(device);
        return quint32(m_devices.size() - 1);
    }

    size_t slotOf(quint32 device, quint64 inode) const
    {
        quint64 h = (inode ^ (quint64(device) << 48)) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
        return size_t(h) & (m_entries.size() - 1);
    }

    void grow()
    {
        std::vector<Entry> old;
        old.swap(m_entries);
        m_entries.assign(std::max<size_t>(1024, old.size() * 2), Entry());
        for (const Entry &entry : old) {
            if (entry.index < 0)
                continue;
            size_t at = slotOf(entry.device, entry.inode);
            while (m_entries[at].index >= 0)
                at = (at + 1) & (m_entries.size() - 1);
            m_entries[at] = entry;
        }
    }

    std::vector<Entry> m_entries;
    size_t m_used = 0;
    std::vector<quint64> m_devices;
};

// Every path of the source in list order, files as given and folders scanned, each
// string once at most per argument (the caller tells repeats apart); false from take or a
// set stop ends it. A file given as such comes with what the system said of it, so that
// the caller need not ask again; one found in a folder, or that could not be looked at,
// with nullptr.
void forEachPath(const StreamSource &source, const std::atomic_bool &stop,
    const std::function<void(const QString &, const struct stat *)> &take)
{
    for (const QString &path : source.paths) {
        if (stop.load(std::memory_order_relaxed))
            return;
        struct stat info;
        const bool known = ::stat(QFile::encodeName(path).constData(), &info) == 0;
        if (!known || !S_ISDIR(info.st_mode)) {
            if (!isRunTempFile(path))
                take(path, known ? &info : nullptr);
            continue;
        }
        scanTextFiles(
            path, !source.recursive, source.masks,
            [&](const QString &file) {
                if (!source.leaveOut || !source.leaveOut(file))
                    take(file, nullptr);
            },
            &stop);
    }
}

} // namespace

// What the scan and the workers share. Workers take files in small batches and hand
// back what they finished when they come for more: one lock a file made threads wait
// on each other more than on the disk.
struct StreamRun::Shared
{
    struct Item
    {
        qint64 index;
        QString path;
        qint64 size;
    };

    std::shared_ptr<RunControl> control;
    ReplaceSettings settings;
    ReplacePairs pairs;
    std::shared_ptr<const Utf8Replace> bytePath;
    std::shared_ptr<const DetectedRoutes> detectedRoutes;
    int lanes = 1;

    std::mutex mutex; // guards the fields below
    std::condition_variable work; // a file to take, or the queue closed
    std::condition_variable room; // the queue has room, a lane finished files or ended
    std::deque<Item> queue;
    bool closed = false;
    int lanesRunning = 0;
    int idle = 0; // lanes waiting for work
    std::vector<StreamFile> finished;
    // Every file's path and counts are kept, not only a problem's.
    bool keepAll = false;

    // The lanes are as many as tiny files want; larger ones are fewer at once, as many as
    // their size allows, so that memory stays bounded.
    QSemaphore small;
    QSemaphore large;

    QSemaphore *gateFor(qint64 size)
    {
        if (size > SmallFile)
            return &large;
        return size > TinyFile ? &small : nullptr;
    }

    void run(int slot)
    {
        std::vector<Item> batch;
        std::vector<StreamFile> done;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (!done.empty()) {
                    std::move(done.begin(), done.end(), std::back_inserter(finished));
                    done.clear();
                    room.notify_all();
                }
                ++idle;
                work.wait(lock, [this] { return !queue.empty() || closed; });
                --idle;
                if (queue.empty()) {
                    --lanesRunning;
                    room.notify_all();
                    return;
                }
                const size_t take = std::clamp<size_t>(queue.size() / size_t(2 * lanes), 1, 16);
                const bool wasFull = queue.size() >= QueueLimit;
                for (size_t i = 0; i < take; ++i) {
                    batch.push_back(std::move(queue.front()));
                    queue.pop_front();
                }
                if (wasFull)
                    room.notify_all();
            }
            for (Item &item : batch)
                done.push_back(replace(slot, item));
            batch.clear();
        }
    }

    StreamFile replace(int slot, Item &item)
    {
        QSemaphore *const gate = gateFor(item.size);
        if (gate)
            gate->acquire();
        control->requeue(slot);
        Rep rep(item.path, settings, pairs, slot);
        rep.setControl(control);
        rep.setBytePath(bytePath);
        rep.setDetectedRoutes(detectedRoutes);
        rep.replaceFile();
        if (gate)
            gate->release();
        const FileOutcome &outcome = rep.outcome();
        StreamFile done {item.index, outcome.state, outcome.reason, outcome.encoding, {}, {}};
        if (keepAll || outcome.state == FAIL || outcome.state == LOST)
            done.path = std::move(item.path);
        if (keepAll)
            done.counts = outcome.counts;
        return done;
    }
};

StreamRun::StreamRun(ReplacePairs pairs, const RunOptions &options)
    : m_pairs(std::move(pairs))
    , m_options(options)
{
}

// The lanes have all ended before run() returns; the journal's sweep of older runs'
// originals ends here, after the report.
StreamRun::~StreamRun() = default;

int StreamRun::notUndoable() const
{
    return m_journal ? m_journal->notKept() : 0;
}

bool StreamRun::findsAny(const StreamSource &source)
{
    std::atomic_bool found {false};
    forEachPath(source, found, [&found](const QString &, const struct stat *) { found = true; });
    return found;
}

Journal::Cost StreamRun::estimate(const StreamSource &source)
{
    Journal::Estimate estimate;
    IdentityTable seen;
    const std::atomic_bool never {false};
    qint32 count = 0;
    forEachPath(source, never, [&](const QString &path, const struct stat *given) {
        const QByteArray native = QFile::encodeName(path);
        struct stat st;
        if (given)
            st = *given;
        else if (::stat(native.constData(), &st) != 0)
            return;
        if (!S_ISREG(st.st_mode))
            return;
        // One file under several names is kept once.
        if (seen.findOrAdd(quint64(st.st_dev), quint64(st.st_ino), count, 0).index == count) {
            ++count;
            estimate.add(native, st);
        }
    });
    return estimate.cost();
}

bool StreamRun::prepareJournal(QString *error)
{
    m_recovery = recoverInterruptedRuns();
    if (m_options.settings.dryRun)
        return true;
    const Journal::Mode mode = m_options.journal ? Journal::Mode::Undo : Journal::Mode::InPlaceOnly;
    auto journal = std::make_shared<Journal>(m_options.journalCap, mode);
    if (m_options.requestedAt > 0)
        journal->setRequestedAt(m_options.requestedAt);
    journal->setRunsKept(m_options.runsKept);
    QString why;
    if (!journal->start(&why)) {
        Journal::discardLastRun();
        m_journalFailed = m_options.journal;
        if (error)
            *error = why;
        return !m_options.journal;
    }
    m_journal = std::move(journal);
    return true;
}

bool StreamRun::run(const StreamSource &source, const std::atomic_bool &stop,
    const Progress &progress, QString *journalError)
{
    registerRepMetaTypes();
    // Lanes for small files from the start, and those that only a run of tiny files
    // needs once the scan has seen it is one: each lane that idles or waits at a gate
    // costs switches between threads, which a run of larger files pays for nothing.
    const int lanes = workerThreadsFor(SmallFile);
    const int mostLanes = tinyFileWorkers();
    qint64 tinyFound = 0;
    bool allLanes = lanes >= mostLanes;
    auto shared = std::make_shared<Shared>();
    m_shared = shared;
    shared->lanes = lanes;
    // Another name of a file shares its outcome only at the end of a run that writes.
    const bool inOrder = progress.inOrder && m_options.settings.dryRun;
    shared->keepAll = inOrder;
    shared->small.release(workerThreadsFor(SmallFile));
    shared->large.release(workerThreadsFor(SmallFile + 1));
    shared->settings = m_options.settings;
    shared->pairs = m_pairs;
    const int pairCount = m_pairs.size();
    shared->control
        = std::make_shared<RunControl>(mostLanes, [pairCount](int) { return pairCount; });
    const LineBreakMode mode
        = m_options.settings.keepFormat ? LineBreakMode::KeepFormat : LineBreakMode::Windows;
    if (!m_options.settings.keepText && Utf8Replace::handles(m_options.settings, m_pairs)) {
        shared->bytePath = std::make_shared<const Utf8Replace>(m_options.settings, m_pairs, mode);
        if (m_options.settings.encoding.isAutomatic())
            shared->detectedRoutes
                = std::make_shared<const DetectedRoutes>(m_options.settings, m_pairs, mode);
    }

    // A byte a file: its state, once it is known.
    std::vector<unsigned char> states;
    constexpr unsigned char Pending = 0xFF;
    struct Follower
    {
        qint64 index;
        qint64 first;
        QString path;
    };
    std::vector<Follower> followers;
    QMultiHash<qint64, quint64> followerPrints; // a first name's other names
    QSet<quint64> lostPrints;
    // Paths listed under their file's identity. A rewritten file has a new identity, and
    // the workers may rewrite a file before the scan meets its path again: only its path
    // then tells that it was listed.
    QSet<quint64> listedPrints;
    IdentityTable seen;
    QSet<QByteArray> folders;
    QByteArray lastFolder;
    bool started = false;
    bool failedToStart = false;
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    qint64 done = 0;

    // Files done out of order wait here for those before them; the first is the next to tell.
    std::deque<std::optional<StreamFile>> window;
    qint64 told = 0;
    const auto take = [&](StreamFile &&file) {
        states[size_t(file.index)] = (unsigned char)file.state;
        ++done;
        if (!inOrder) {
            if (file.state == FAIL || file.state == LOST)
                m_problems.push_back(std::move(file));
            return;
        }
        const size_t at = size_t(file.index - told);
        if (window.size() <= at)
            window.resize(at + 1);
        window[at] = std::move(file);
        while (!window.empty() && window.front()) {
            progress.inOrder(*window.front());
            window.pop_front();
            ++told;
        }
    };
    const auto takeFinished = [&](std::vector<StreamFile> &finished) {
        for (StreamFile &file : finished)
            take(std::move(file));
        finished.clear();
    };
    std::vector<StreamFile> finished;
    const auto drain = [&] {
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            finished.swap(shared->finished);
        }
        takeFinished(finished);
    };
    const auto tell = [&](bool scanDone) {
        if (progress.moved && (scanDone || sinceProgress.elapsed() >= ProgressInterval)) {
            sinceProgress.restart();
            progress.moved(done, m_found, scanDone);
        }
    };
    const auto startWork = [&]() {
        started = true;
        if (!prepareJournal(journalError)) {
            failedToStart = true;
            return false;
        }
        if (m_journal)
            shared->control->setJournal(m_journal);
        if (progress.begun)
            progress.begun(m_recovery);
        workerPool()->setMaxThreadCount(mostLanes);
        shared->lanesRunning = lanes;
        for (int lane = 0; lane < lanes; ++lane)
            workerPool()->start([shared, lane] { shared->run(lane); });
        return true;
    };
    // Nine in ten of the files found so far tiny, and enough of them to fill the lanes.
    const auto addLanesForTiny = [&](qint64 size) {
        if (allLanes || size > TinyFile || ++tinyFound < mostLanes || tinyFound * 10 < m_found * 9)
            return;
        allLanes = true;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->lanes = mostLanes;
            shared->lanesRunning += mostLanes - lanes;
        }
        for (int lane = lanes; lane < mostLanes; ++lane)
            workerPool()->start([shared, lane] { shared->run(lane); });
    };
    const auto settle = [&](qint64 index, STATE state, Reason reason, const QString &path) {
        take({index, state, reason, m_options.settings.encoding, path, {}});
    };
    // The next file found waits while the files told in order lag too far behind.
    const auto makeRoom = [&] {
        while (inOrder && m_found - told >= WindowLimit && !stop.load()) {
            {
                std::unique_lock<std::mutex> lock(shared->mutex);
                shared->room.wait_for(lock, std::chrono::milliseconds(ProgressInterval),
                    [&] { return !shared->finished.empty(); });
                finished.swap(shared->finished);
            }
            takeFinished(finished);
            tell(false);
        }
    };

    std::atomic_bool stopScan {false};
    forEachPath(source, stopScan, [&](const QString &path, const struct stat *given) {
        if (stop.load(std::memory_order_relaxed) || failedToStart) {
            stopScan = true;
            return;
        }
        if (!started && !startWork()) {
            stopScan = true;
            return;
        }
        makeRoom();
        if (stop.load(std::memory_order_relaxed)) {
            stopScan = true;
            return;
        }
        const QByteArray native = QFile::encodeName(path);
        const quint64 print = pathPrint(native);
        struct stat info;
        const bool encodable = isEncodableFileName(path);
        if (given)
            info = *given;
        const bool exists = encodable && (given || ::stat(native.constData(), &info) == 0);
        if (!encodable || !exists || !S_ISREG(info.st_mode)) {
            // A path given twice is listed once.
            if (lostPrints.contains(print))
                return;
            lostPrints.insert(print);
            const qint64 index = m_found++;
            states.push_back(Pending);
            if (!encodable)
                settle(index, FAIL, Reason::NameNotEncodable, path);
            else
                settle(index, LOST, exists ? Reason::NotRegular : Reason::NotFound, path);
            return;
        }
        if (listedPrints.contains(print))
            return;
        const qint64 index = m_found;
        const IdentityTable::Entry &entry
            = seen.findOrAdd(quint64(info.st_dev), quint64(info.st_ino), qint32(index), print);
        if (entry.index != index) {
            // Another name of a file listed already, unless it is the same name again.
            const qint64 first = entry.index;
            if (entry.print == print)
                return;
            if (followerPrints.contains(first, print))
                return;
            followerPrints.insert(first, print);
            // A dry run writes nothing: another name is simply read again.
            if (!m_options.settings.dryRun) {
                ++m_found;
                states.push_back(Pending);
                followers.push_back({index, first, path});
                return;
            }
        }
        listedPrints.insert(print);
        ++m_found;
        states.push_back(Pending);
        if (m_journal) {
            const QByteArray folder = splitNativePath(native).folder;
            if (folder != lastFolder) {
                lastFolder = folder;
                if (!folders.contains(folder)) {
                    folders.insert(folder);
                    m_journal->recordFolders({folder});
                }
            }
        }
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->room.wait(lock, [&] { return shared->queue.size() < QueueLimit; });
            shared->queue.push_back({index, path, qint64(info.st_size)});
            if (shared->idle > 0)
                shared->work.notify_one();
            if (!shared->finished.empty())
                finished.swap(shared->finished);
        }
        addLanesForTiny(info.st_size);
        takeFinished(finished);
        tell(false);
    });

    if (failedToStart)
        return false;
    if (stop.load())
        shared->control->stop();
    {
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->closed = true;
        shared->work.notify_all();
    }
    for (;;) {
        bool ended;
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->room.wait_for(lock, std::chrono::milliseconds(ProgressInterval),
                [&] { return !shared->finished.empty() || shared->lanesRunning == 0; });
            finished.swap(shared->finished);
            ended = shared->lanesRunning == 0;
        }
        takeFinished(finished);
        if (stop.load())
            shared->control->stop();
        if (ended)
            break;
        tell(false);
    }
    drain();
    shared->control->releaseBuffers();
    m_cancelled = shared->control->isStopped();

    // Another name shares its first name's outcome.
    std::sort(m_problems.begin(), m_problems.end(),
        [](const StreamFile &a, const StreamFile &b) { return a.index < b.index; });
    const size_t firstProblems = m_problems.size();
    for (Follower &follower : followers) {
        const unsigned char state = states[size_t(follower.first)];
        states[size_t(follower.index)] = state;
        if (state != FAIL && state != LOST)
            continue;
        const auto at
            = std::lower_bound(m_problems.cbegin(), m_problems.cbegin() + qptrdiff(firstProblems),
                follower.first, [](const StreamFile &p, qint64 index) { return p.index < index; });
        StreamFile problem = *at;
        problem.index = follower.index;
        problem.path = std::move(follower.path);
        m_problems.push_back(std::move(problem));
    }
    std::inplace_merge(m_problems.begin(), m_problems.begin() + qptrdiff(firstProblems),
        m_problems.end(),
        [](const StreamFile &a, const StreamFile &b) { return a.index < b.index; });

    m_tally = RunTally();
    m_tally.expected = int(m_found);
    for (const unsigned char state : states)
        m_tally.add(STATE(state));
    if (m_journal)
        m_journal->finish();
    tell(true);
    return true;
}
