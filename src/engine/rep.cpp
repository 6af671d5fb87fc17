#include "engine/rep.h"

#include "engine/detectedroutes.h"
#include "engine/durable/safefile.h"
#include "engine/durable/syncgroup.h"
#include "engine/filechoice.h"
#include "engine/match/regex.h"
#include "engine/match/transform.h"
#include "engine/match/utf8replace.h"
#include "engine/match/utf8scan.h"
#include "engine/pairs.h"
#include "engine/text/encodingdetection.h"
#include "engine/text/textformat.h"

#include <QThreadPool>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

// The byte route's memory, kept from file to file: fresh memory costs more than the
// replacing. Lent out rather than kept per thread, so that a run with more workers than
// large files at once grows no more large buffers than it has large files at once.
class BufferPool
{
public:
    // The smallest that holds size bytes, the one given back last among equals; else the
    // largest, which has the least to grow.
    std::unique_ptr<Utf8Replace::Buffers> take(qint64 size)
    {
        const auto better = [size](qsizetype have, qsizetype best) {
            if ((have >= size) != (best >= size))
                return have >= size;
            return have >= size ? have <= best : have >= best;
        };
        const std::lock_guard<std::mutex> lock(m_mutex);
        auto chosen = m_free.end();
        for (auto it = m_free.begin(); it != m_free.end(); ++it) {
            if (chosen == m_free.end()
                || better((*it)->inputCapacity(), (*chosen)->inputCapacity()))
                chosen = it;
        }
        if (chosen == m_free.end())
            return std::make_unique<Utf8Replace::Buffers>();
        std::unique_ptr<Utf8Replace::Buffers> taken = std::move(*chosen);
        m_free.erase(chosen);
        return taken;
    }

    void give(std::unique_ptr<Utf8Replace::Buffers> buffers)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_closed)
            m_free.push_back(std::move(buffers));
    }

    // Frees what it keeps, and from now on what is given back.
    void close()
    {
        std::vector<std::unique_ptr<Utf8Replace::Buffers>> kept;
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        kept.swap(m_free);
    }

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Utf8Replace::Buffers>> m_free;
    bool m_closed = false;
};

namespace {

// From this size on, a file whose output streams out is read a piece at a time.
constexpr qint64 PiecesFrom = 4 * Utf8Replace::Piece;

// A worker without a run keeps its own memory from file to file.
thread_local Utf8Replace::Buffers ownBuffers;

// The buffers a worker holds for one file.
class BufferLease
{
public:
    BufferLease(BufferPool *pool, qint64 size)
        : m_pool(pool)
        , m_leased(pool ? pool->take(size) : nullptr)
    {
    }
    ~BufferLease()
    {
        if (m_pool)
            m_pool->give(std::move(m_leased));
    }
    BufferLease(const BufferLease &) = delete;
    BufferLease &operator=(const BufferLease &) = delete;

    Utf8Replace::Buffers *get() { return m_pool ? m_leased.get() : &ownBuffers; }

private:
    BufferPool *const m_pool;
    std::unique_ptr<Utf8Replace::Buffers> m_leased;
};

bool nothingReplaced(const QVector<int> &counts)
{
    return std::all_of(counts.cbegin(), counts.cend(), [](int count) { return count == 0; });
}

} // namespace

Rep::Rep(const QString &filePath, const ReplaceSettings &settings, ReplacePairs pairs, int index,
    QObject *parent)
    : QObject(parent)
    , filePath(filePath)
    , settings(settings)
    , pairs(std::move(pairs))
    , index(index)
{
}

Rep::Rep(const QString &filePath, const RepOptions &options, int index, QObject *parent)
    : Rep(filePath, options.settings(), options.pairs, index, parent)
{
}

RunControl::RunControl(int files, const std::function<int(int)> &pairsOf)
    : m_phases(new std::atomic<unsigned char>[size_t(std::max(files, 0))])
    , m_outcomes(size_t(std::max(files, 0)))
    , m_syncGroup(std::make_unique<SyncGroup>(nullptr))
    , m_bufferPool(std::make_unique<BufferPool>())
{
    for (int i = 0; i < files; ++i)
        m_phases[size_t(i)] = Queued;
    if (!pairsOf || files <= 0)
        return;
    m_stride = pairsOf(0);
    qint64 total = 0;
    for (int i = 0; i < files; ++i) {
        const int pairs = pairsOf(i);
        if (pairs != m_stride && m_countsAt.empty()) {
            m_countsAt.reserve(size_t(files) + 1);
            for (int j = 0; j < i; ++j)
                m_countsAt.push_back(qint64(j) * m_stride);
        }
        if (!m_countsAt.empty())
            m_countsAt.push_back(total);
        total += pairs;
    }
    if (!m_countsAt.empty())
        m_countsAt.push_back(total);
    m_counts.assign(size_t(total), 0);
}

int RunControl::pairsOf(int index) const
{
    if (m_countsAt.empty())
        return m_counts.empty() ? 0 : m_stride;
    return int(m_countsAt[size_t(index) + 1] - m_countsAt[size_t(index)]);
}

int *RunControl::countsOf(int index)
{
    return m_counts.data()
        + (m_countsAt.empty() ? qint64(index) * m_stride : m_countsAt[size_t(index)]);
}

const int *RunControl::countsOf(int index) const
{
    return const_cast<RunControl *>(this)->countsOf(index);
}

void RunControl::setOutcome(int index, const FileOutcome &outcome)
{
    Compact &compact = m_outcomes[size_t(index)];
    compact.encoding = outcome.encoding;
    compact.state = (unsigned char)outcome.state;
    compact.reason = (unsigned char)outcome.reason;
    const int pairs = pairsOf(index);
    compact.counted
        = outcome.text.isEmpty() && !outcome.read && pairs > 0 && outcome.counts.size() == pairs;
    if (compact.counted) {
        std::copy(outcome.counts.cbegin(), outcome.counts.cend(), countsOf(index));
        return;
    }
    QMutexLocker locker(&m_unusualMutex);
    if (outcome.text.isEmpty() && outcome.counts.isEmpty() && !outcome.read)
        m_unusual.remove(index);
    else
        m_unusual.insert(index, outcome);
}

FileOutcome RunControl::outcome(int index) const
{
    const Compact &compact = m_outcomes[size_t(index)];
    if (!compact.counted) {
        QMutexLocker locker(&m_unusualMutex);
        const auto unusual = m_unusual.constFind(index);
        if (unusual != m_unusual.cend())
            return unusual.value();
    }
    FileOutcome outcome;
    outcome.encoding = compact.encoding;
    outcome.state = STATE(compact.state);
    outcome.reason = Reason(compact.reason);
    if (compact.counted) {
        const int *counts = countsOf(index);
        outcome.counts = QVector<int>(counts, counts + pairsOf(index));
    }
    return outcome;
}

RunControl::~RunControl() = default;

void RunControl::releaseBuffers()
{
    m_bufferPool->close();
}

void RunControl::setJournal(std::shared_ptr<Journal> journal)
{
    m_journal = std::move(journal);
    m_syncGroup = std::make_unique<SyncGroup>(m_journal.get());
}

bool RunControl::begin(int index)
{
    unsigned char expected = Queued;
    return !m_stopped && m_phases[size_t(index)].compare_exchange_strong(expected, Working);
}

bool RunControl::beginWriting(int index)
{
    unsigned char phase = Working;
    if (m_stopped)
        return m_phases[size_t(index)].load() == Writing;
    return m_phases[size_t(index)].compare_exchange_strong(phase, Writing) || phase == Writing;
}

bool RunControl::finish(int index)
{
    unsigned char phase = m_phases[size_t(index)].load();
    while ((phase == Working || phase == Writing)
        && !m_phases[size_t(index)].compare_exchange_weak(phase, Finished)) { }
    return phase != Released;
}

bool RunControl::giveUp(int index)
{
    unsigned char phase = m_phases[size_t(index)].load();
    while (phase == Queued && !m_phases[size_t(index)].compare_exchange_weak(phase, Finished)) { }
    return phase != Released;
}

bool RunControl::release(int index)
{
    unsigned char phase = m_phases[size_t(index)].load();
    while (phase == Queued || phase == Working) {
        if (m_phases[size_t(index)].compare_exchange_weak(phase, Released))
            return true;
    }
    return phase == Released;
}

Reason Rep::replaceBytes(SafeFile *file, QByteArray *handOn, bool *handedOn)
{
    *handedOn = false;
    qint64 size = 0;
    const Reason read = file->readAll([this, &size](qint64 n) {
        size = n;
        return buffers->input(n);
    });
    if (read != Reason::None)
        return read;
    if (const Reason changed = checkRead(*file); changed != Reason::None)
        return changed;
    const char *data = buffers->input(size);
    // A byte-order mark naming another encoding is decoded.
    if (bytePath->handsOn(data, size)) {
        *handOn = QByteArray(data, int(size));
        *handedOn = true;
        return Reason::None;
    }
    // The default rewrite always writes, so its output can go to the new file as it is
    // made; a kept format first has to see whether anything changed.
    const bool stream
        = !settings.dryRun && !settings.keepFormat && !settings.encoding.isAutomatic();
    // What streams out lands in a new file that is nothing until committed. A regular
    // expression may take long to fail, and a stop in that time leaves its file alone: it
    // counts as written only once its output is whole.
    const bool writingFromStart = stream && !settings.regularExpressions();
    if (writingFromStart && control && !control->beginWriting(index))
        return Reason::Stopped;
    Reason written = Reason::None;
    const Utf8Replace::Sink sink = [&](const char *data, qsizetype size) {
        written = file->write(data, size);
        return written == Reason::None;
    };
    const Utf8Replace::Outcome outcome
        = bytePath->run(buffers, &result.counts, stream ? &sink : nullptr);
    if (outcome.reason == Reason::InvalidEncoding && settings.encoding.isAutomatic())
        return replaceDetected(file, size, handOn, handedOn);
    result.encoding = settings.encoding.isAutomatic() ? TextEncoding::utf8() : settings.encoding;
    if (written != Reason::None)
        return written;
    if (stream && outcome.reason == Reason::None) {
        if (!writingFromStart && control && !control->beginWriting(index))
            return Reason::Stopped;
        return commit(file);
    }
    return writeBytes(file, outcome.reason, outcome.unchanged);
}

// A large file is read a piece at a time: whole, it cost the fresh pages of a second copy
// of itself, more than its replacing did. Not for the text a preview shows or a choice
// made in it.
const Utf8Replace *Rep::pieceRoute(const SafeFile &file, TextEncoding *encoding) const
{
    if ((settings.dryRun && settings.keepText) || choice || file.size() < PiecesFrom
        || !bytePath->inPieces())
        return nullptr;
    if (!settings.encoding.isAutomatic()) {
        // A byte-order mark that names another encoding sends the file to be decoded whole.
        char start[3];
        const qint64 seen = file.peek(start, sizeof start);
        *encoding = settings.encoding;
        return seen >= 0 && !bytePath->handsOn(start, seen) ? bytePath.get() : nullptr;
    }
    // An automatic run goes by the start the whole file's detection would look at: UTF-8
    // when it is, else the guess made of it. Whatever the rest belies is read whole after
    // all, which decides as it always does.
    QByteArray start(int(DetectionPrefix), Qt::Uninitialized);
    if (file.peek(start.data(), start.size()) != start.size()
        || bytePath->handsOn(start.constData(), start.size()))
        return nullptr;
    if (scanUtf8(start.constData(), wholeUtf8Characters(start.constData(), start.size())).valid) {
        *encoding = TextEncoding::utf8();
        return bytePath.get();
    }
    const std::optional<TextEncoding> guess = proposedEncoding(start);
    const Utf8Replace *const route
        = guess && detectedRoutes ? detectedRoutes->routeFor(*guess) : nullptr;
    if (!route || !route->inPieces())
        return nullptr;
    *encoding = *guess;
    return route;
}

// A dry run only counts. So does a kept format's first pass: a file with nothing to
// replace keeps its bytes and its time, and is never written.
Reason Rep::replaceInPieces(
    SafeFile *file, const Utf8Replace &route, const TextEncoding &encoding, bool *startOver)
{
    *startOver = false;
    bool counting = settings.dryRun || settings.keepFormat;
    Reason written = Reason::None;
    const Utf8Replace::Sink sink = [&](const char *data, qsizetype size) {
        if (counting)
            return true;
        written = file->write(data, size);
        return written == Reason::None;
    };
    const Utf8Replace::Source source = [file](char *into, qint64 most) {
        return file->readPiece(into, most);
    };
    for (;;) {
        if (!counting && control && !control->beginWriting(index))
            return Reason::Stopped;
        const Utf8Replace::Outcome outcome
            = route.runInPieces(buffers, &result.counts, sink, source);
        result.encoding = encoding;
        if (written != Reason::None)
            return written;
        if (outcome.reason == Reason::Unreadable)
            return file->finishRead() == Reason::TooLarge ? Reason::TooLarge : Reason::Unreadable;
        if (outcome.reason != Reason::None && settings.encoding.isAutomatic()) {
            result.encoding = settings.encoding;
            std::fill(result.counts.begin(), result.counts.end(), 0);
            *startOver = file->startOver();
            return *startOver ? Reason::None : Reason::Unreadable;
        }
        if (outcome.reason != Reason::None)
            return outcome.reason;
        if (const Reason read = file->finishRead(); read != Reason::None)
            return read;
        if (settings.dryRun || (settings.keepFormat && nothingReplaced(result.counts)))
            return Reason::None;
        if (!counting)
            return commit(file);
        counting = false;
        if (!file->startOver())
            return Reason::Unreadable;
    }
}

// The guess from the file's start is checked by a pass over all of it: the replacement's
// own on a code page's bytes, else the decoding, whose text is then replaced; a file that
// belies the guess is guessed once more from all of it. A file whose byte-order mark says
// UTF-8 is decoded as such.
Reason Rep::replaceDetected(SafeFile *file, qint64 size, QByteArray *handOn, bool *handedOn)
{
    const char *const data = buffers->input(size);
    if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        *handOn = QByteArray(data, int(size));
        *handedOn = true;
        return Reason::None;
    }
    Utf8Replace::Outcome replaced;
    bool decoded = false;
    Reason decoding = Reason::None;
    QString text;
    TextFormat format;
    const Detection detection = detectNotUtf8(data, size, [&](const TextEncoding &encoding) {
        result.encoding = encoding;
        const Utf8Replace *const route
            = detectedRoutes ? detectedRoutes->routeFor(encoding) : nullptr;
        decoded = !route;
        if (route) {
            replaced = route->run(buffers, &result.counts);
            return replaced.reason != Reason::InvalidEncoding;
        }
        decoding = decodeText(QByteArray::fromRawData(data, int(size)), encoding,
            settings.keepFormat, &text, &format);
        return decoding != Reason::InvalidEncoding;
    });
    result.encoding = detection.encoding.value_or(TextEncoding::utf8());
    if (!detection.valid)
        return Reason::EncodingNotRecognised;
    if (!decoded)
        return writeBytes(file, replaced.reason, replaced.unchanged);
    if (decoding != Reason::None)
        return decoding;
    // The file's own encoding, which the run may not offer: for replacements that no
    // reading can change, that does not matter.
    if (!result.encoding.isOffered() && !keepsAnyAsciiReading(settings, pairs))
        return Reason::EncodingUncertain;
    return replaceDecoded(file, std::move(text), format);
}

Reason Rep::writeBytes(SafeFile *file, Reason replaced, bool unchanged)
{
    if (replaced != Reason::None || settings.dryRun)
        return replaced;
    if (settings.keepFormat && (unchanged || nothingReplaced(result.counts)))
        return Reason::None;
    return write(file, [this](const ByteSink &sink) {
        return sink(buffers->output(), buffers->outputSize()) ? Reason::None : Reason::WriteFailed;
    });
}

Reason Rep::replaceText(SafeFile *file, QByteArray bytes)
{
    QString text;
    TextFormat format;
    Reason reason = decodeText(bytes, settings.encoding, settings.keepFormat, &text, &format);
    result.encoding = format.encoding;
    bytes = QByteArray();
    if (reason == Reason::EncodingUncertain && keepsAnyAsciiReading(settings, pairs))
        reason = Reason::None;
    if (reason != Reason::None)
        return reason;
    return replaceDecoded(file, std::move(text), format);
}

Reason Rep::replaceDecoded(SafeFile *file, QString text, TextFormat format)
{
    Reason reason = Reason::None;
    if (choice && !choice->leftOut.empty())
        reason = applyChoice(&text);
    else
        text = applyPairs(std::move(text), settings, pairs, &result.counts);
    if (reason != Reason::None)
        return reason;
    // The default rewrite is in the chosen encoding, as plain as it gets; an automatic
    // run writes each file back in its own.
    // The outcome names the encoding written, the one that may not hold the result.
    format = writtenFormat(format, settings.encoding, settings.keepFormat);
    result.encoding = format.encoding;
    const auto produce = [&](const ByteSink &sink) {
        return encodeText(text, format, settings.keepFormat, sink);
    };
    if (settings.dryRun) {
        reason = produce([](const char *, qint64) { return true; });
        if (reason == Reason::None && settings.keepText)
            result.text = std::move(text);
        return reason;
    }
    // Nothing to change: the file keeps its bytes and its time.
    if (settings.keepFormat && nothingReplaced(result.counts))
        return Reason::None;
    return write(file, produce);
}

Reason Rep::checkRead(const SafeFile &file) const
{
    if (!choice || !choice->checkRead)
        return Reason::None;
    return choice->read && file.readDigest() == choice->read ? Reason::None
                                                             : Reason::ChangedSincePreview;
}

// The choice's changes are the preview's edits of these very bytes, so the same pairs
// find them again, to the unit.
Reason Rep::applyChoice(QString *text)
{
    const QString original = *text;
    PairEdits edits;
    edits.limit = std::numeric_limits<qsizetype>::max();
    *text = applyPairs(std::move(*text), settings, pairs, &result.counts, &edits);
    if (!leaveOut(original, text, edits.edits, choice->leftOut))
        return Reason::ChangedSincePreview;
    if (*text == original) {
        std::fill(result.counts.begin(), result.counts.end(), 0);
        return Reason::None;
    }
    // A change that hangs on the text around it may count differently on its own; a
    // file that still changes must not look untouched.
    const QVector<int> all = result.counts;
    uncount(original, choice->leftOut, settings, pairs, &result.counts);
    if (nothingReplaced(result.counts))
        result.counts = all;
    return Reason::None;
}

// A run stopped before this point leaves the file alone; from here on it is written to
// the end, and a failure anywhere leaves it as it was.
Reason Rep::write(SafeFile *file, const std::function<Reason(const ByteSink &)> &produce)
{
    if (control && !control->beginWriting(index))
        return Reason::Stopped;
    Reason written = Reason::None;
    const Reason produced = produce([&](const char *data, qint64 size) {
        written = file->write(data, size);
        return written == Reason::None;
    });
    if (written != Reason::None)
        return written;
    if (produced != Reason::None)
        return produced;
    return commit(file);
}

Reason Rep::commit(SafeFile *file)
{
    // An empty text writes no piece, yet replaces the file all the same.
    Reason reason = file->write(nullptr, 0);
    if (reason == Reason::None)
        reason = file->stage(control ? control->journal() : nullptr);
    if (reason != Reason::None)
        return reason;
    // Shared with the other workers where it can be; a failed shared sync is retried
    // alone, which tells whose file it was.
    const bool synced = control && control->syncGroup()->sync(file);
    return file->commit(synced ? SafeFile::Sync::AlreadyDone : SafeFile::Sync::Here);
}

void Rep::replaceFile()
{
    // Until the file is read: an automatic run has not detected anything yet.
    result.encoding = settings.encoding;
    if (control && !control->begin(index)) {
        result.state = SKIPPED;
        result.reason = Reason::Stopped;
        if (control->giveUp(index))
            control->setOutcome(index, result);
        emit done(this, result.state, index);
        return;
    }
    try {
        SafeFile file;
        result.reason = file.open(filePath);
        if (!settings.dryRun)
            file.releaseCacheOnWrite(control ? control->journal() : nullptr);
        QByteArray bytes;
        bool handedOn = true;
        // Changes left out are found again in the text, not in the bytes.
        if (result.reason == Reason::None) {
            if (bytePath && !(choice && !choice->leftOut.empty())) {
                TextEncoding encoding;
                const Utf8Replace *const route = pieceRoute(file, &encoding);
                bool whole = !route;
                BufferPool *const pool = control ? control->bufferPool() : nullptr;
                if (route) {
                    BufferLease lease(pool, Utf8Replace::Piece);
                    buffers = lease.get();
                    result.reason = replaceInPieces(&file, *route, encoding, &whole);
                    buffers = nullptr;
                    handedOn = false;
                }
                if (whole) {
                    BufferLease lease(pool, file.size());
                    buffers = lease.get();
                    result.reason = replaceBytes(&file, &bytes, &handedOn);
                    buffers = nullptr;
                }
            } else if ((result.reason = file.readAll(&bytes)) == Reason::None)
                result.reason = checkRead(file);
        }
        // Only a preview hands it on, to the run it starts; a run keeps its outcomes small.
        if (settings.dryRun)
            result.read = file.readDigest();
        if (result.reason == Reason::None && handedOn)
            result.reason = replaceText(&file, std::move(bytes));
    } catch (const std::bad_alloc &) {
        // A file too large to hold in memory is left as it was.
        result.reason = Reason::TooLarge;
    } catch (const RegexTooComplex &) {
        result.reason = Reason::RegexTooComplex;
    }
    const bool ours = !control || control->finish(index);
    if (result.reason == Reason::None)
        result.state = SUCCESS;
    else
        result.state = result.reason == Reason::Stopped ? SKIPPED : FAIL;
    if (result.state != SUCCESS) {
        result.counts.clear();
        result.text.clear();
    }
    if (control && ours)
        control->setOutcome(index, result);
    emit done(this, result.state, index);
}

void registerRepMetaTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<STATE>("STATE");
        qRegisterMetaType<STATE>("STATE&");
        qRegisterMetaType<Rep *>("Rep*");
        return true;
    }();
    Q_UNUSED(registered)
}

QThreadPool *workerPool()
{
    static QThreadPool *const pool = new QThreadPool;
    return pool;
}

void startRep(Rep *rep)
{
    workerPool()->start([rep] {
        rep->replaceFile();
        rep->deleteLater();
    });
}
