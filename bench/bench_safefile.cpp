// The cost of the run journal and of batched syncs: whole rewrites of 1,000 × 64 KB and
// 4 × 32 MB files on 8 pool threads, each file read, changed and written back through
// SafeFile. Every variant rewrites the same files on the same file system as the
// journal, so the journal keeps originals by hard link.
//
//   bench_safefile --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//
// Compare Journal/1 with Journal/0 of the same shape and sync mode in one run: the machine
// is shared and noisy.
#include "engine/durable/journal.h"
#include "engine/durable/safefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtConcurrent>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include <unistd.h>

namespace {

constexpr int Threads = 8;
constexpr int Batch = 32;

QTemporaryDir &scratch()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/yihuan-bench-XXXXXX"));
    return dir;
}

// The same set of files for every variant: made once, rewritten in place of themselves.
const QStringList &files(int count, int size)
{
    static QHash<qint64, QStringList> made;
    const qint64 key = qint64(count) << 32 | size;
    if (!made.contains(key)) {
        const QString folder = scratch().filePath(QStringLiteral("%1x%2").arg(count).arg(size));
        QDir().mkpath(folder);
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator random(7);
        QStringList paths;
        for (int i = 0; i < count; ++i) {
            for (char &c : bytes)
                c = char('a' + random.bounded(26));
            paths.append(folder + QStringLiteral("/%1.txt").arg(i));
            QFile file(paths.last());
            file.open(QIODevice::WriteOnly);
            file.write(bytes);
        }
        made.insert(key, paths);
    }
    return made[key];
}

// One byte changes per pass, so the content really differs each time.
void change(QByteArray *bytes)
{
    if (!bytes->isEmpty())
        (*bytes)[0] = (*bytes)[0] == 'z' ? 'a' : char((*bytes)[0] + 1);
}

Reason prepare(SafeFile &file, const QString &path, QByteArray *buffer, Journal *journal)
{
    Reason reason = file.open(path);
    if (reason == Reason::None)
        reason = file.readAll(buffer);
    if (reason != Reason::None)
        return reason;
    change(buffer);
    reason = file.write(buffer->constData(), buffer->size());
    return reason == Reason::None ? file.stage(journal) : reason;
}

// A pool thread's share of the files: staged in batches, one sync per batch.
bool rewriteBatched(const QStringList &paths, Journal *journal)
{
    QByteArray buffer;
    for (int first = 0; first < paths.size(); first += Batch) {
        std::vector<std::unique_ptr<SafeFile>> files;
        QVector<SafeFile *> staged;
        for (int i = first; i < qMin(first + Batch, paths.size()); ++i) {
            files.push_back(std::make_unique<SafeFile>());
            if (prepare(*files.back(), paths.at(i), &buffer, journal) != Reason::None)
                return false;
            staged.append(files.back().get());
        }
        if (SafeFile::syncStaged(staged, journal) != Reason::None)
            return false;
        for (SafeFile *file : qAsConst(staged)) {
            if (file->commit(SafeFile::Sync::AlreadyDone) != Reason::None)
                return false;
        }
    }
    return true;
}

bool rewriteEach(const QStringList &paths, Journal *journal)
{
    QByteArray buffer;
    for (const QString &path : paths) {
        SafeFile file;
        if (prepare(file, path, &buffer, journal) != Reason::None
            || file.commit(SafeFile::Sync::Here) != Reason::None)
            return false;
    }
    return true;
}

// What the worker did before: QSaveFile with one fdatasync per file.
bool rewriteWithSaveFile(const QStringList &paths, Journal *)
{
    for (const QString &path : paths) {
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly))
            return false;
        QByteArray bytes = in.readAll();
        change(&bytes);
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.flush()
            || ::fdatasync(out.handle()) != 0 || !out.commit())
            return false;
    }
    return true;
}

using Rewrite = bool (*)(const QStringList &, Journal *);

void runPass(benchmark::State &state, Rewrite rewrite)
{
    const QStringList &paths = files(int(state.range(0)), int(state.range(1)));
    const bool withJournal = state.range(2) != 0;
    QThreadPool pool;
    pool.setMaxThreadCount(Threads);
    const int shares = qMin(Threads, paths.size());
    QVector<QStringList> share(shares);
    for (int i = 0; i < paths.size(); ++i)
        share[i % shares].append(paths.at(i));
    qint64 finishMs = 0;
    for (auto _ : state) {
        std::unique_ptr<Journal> journal;
        if (withJournal) {
            journal = std::make_unique<Journal>();
            if (!journal->start()) {
                state.SkipWithError("no journal");
                return;
            }
        }
        QVector<QFuture<bool>> futures;
        for (const QStringList &part : qAsConst(share))
            futures.append(QtConcurrent::run(&pool, rewrite, part, journal.get()));
        bool ok = true;
        for (QFuture<bool> &future : futures)
            ok = future.result() && ok;
        if (journal) {
            QElapsedTimer finishing;
            finishing.start();
            ok = journal->finish() && ok;
            finishMs += finishing.elapsed();
        }
        if (!ok) {
            state.SkipWithError("a rewrite failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * state.range(1));
    state.counters["finish_ms"] = double(finishMs) / double(state.iterations());
}

void BM_Batched(benchmark::State &state)
{
    runPass(state, rewriteBatched);
}

void BM_SyncEach(benchmark::State &state)
{
    runPass(state, rewriteEach);
}

void BM_SaveFile(benchmark::State &state)
{
    runPass(state, rewriteWithSaveFile);
}

void shapes(benchmark::internal::Benchmark *bench)
{
    bench->ArgNames({"files", "size", "journal"});
    for (const auto &shape : {std::pair<int, int> {1000, 64 * 1024}, {4, 32 * 1024 * 1024}}) {
        bench->Args({shape.first, shape.second, 0});
        bench->Args({shape.first, shape.second, 1});
    }
    bench->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
}

} // namespace

BENCHMARK(BM_Batched)->Apply(shapes);
BENCHMARK(BM_SyncEach)->Apply(shapes);
BENCHMARK(BM_SaveFile)
    ->ArgNames({"files", "size", "journal"})
    ->Args({1000, 64 * 1024, 0})
    ->Args({4, 32 * 1024 * 1024, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("yihuan"));
    // The journal goes to the same file system as the files, as a user's usually does.
    qputenv("XDG_DATA_HOME", QFile::encodeName(scratch().filePath(QStringLiteral("data"))));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
