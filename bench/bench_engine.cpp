// Throughput of the transformation, whole runs through Rep against a plain
// read-and-rewrite baseline, and the peak memory of one large file.
//
// Run: bench_engine [--benchmark_filter=...]; the peak-memory case re-runs this
// program with --peak-memory FILE to measure in a fresh process.
#include "engine/match/transform.h"
#include "engine/rep.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtConcurrent>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include <sys/resource.h>

namespace {

const QString Keyword = QStringLiteral("替换词");
const QString Other = QStringLiteral("新词语X");

// Chinese and ASCII words, punctuation and line breaks, with the keyword standing
// alone about every 100 characters. Ends once its UTF-8 form reaches utf8Bytes.
QString mixedText(qint64 utf8Bytes, quint32 seed = 1)
{
    static const QString hanzi = QStringLiteral("批量查找工具文件文本编码内容处理完成设置列表");
    QRandomGenerator random(seed);
    QString text;
    text.reserve(int(utf8Bytes / 2));
    qint64 bytes = 0;
    int sinceKeyword = 0;
    int sinceLine = 0;
    while (bytes < utf8Bytes) {
        if (sinceKeyword >= 90 + random.bounded(20)) {
            text += QLatin1Char(' ') + Keyword + QLatin1Char(' ');
            bytes += 2 + 3 * Keyword.size();
            sinceKeyword = 0;
        } else if (random.bounded(2) == 0) {
            const int length = 3 + random.bounded(6);
            for (int i = 0; i < length; ++i)
                text += QLatin1Char(char('a' + random.bounded(26)));
            text += QLatin1Char(' ');
            bytes += length + 1;
            sinceKeyword += length + 1;
            sinceLine += length + 1;
        } else {
            const int length = 2 + random.bounded(3);
            for (int i = 0; i < length; ++i)
                text += hanzi.at(random.bounded(hanzi.size()));
            text += QStringLiteral("，");
            bytes += 3 * (length + 1);
            sinceKeyword += length + 1;
            sinceLine += length + 1;
        }
        if (sinceLine > 70) {
            text += QLatin1Char('\n');
            ++bytes;
            sinceLine = 0;
        }
    }
    return text;
}

QByteArray crlfUtf8(const QString &text)
{
    QString crlf = text;
    crlf.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return crlf.toUtf8();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

void transformThroughput(benchmark::State &state, bool ordinary, bool full)
{
    static const QString text = mixedText(16 << 20);
    static const qint64 bytes = text.toUtf8().size();
    RepOptions options;
    options.ordinary = ordinary;
    options.full = full;
    options.pairs = {{ordinary ? Keyword : QStringLiteral("替换(词)"),
        ordinary ? Other : QStringLiteral("新\\1语X")}};
    QVector<int> counts;
    for (auto _ : state) {
        // The caller keeps its text, so each run starts with a copy of its own.
        QString result = applyPairs(text, options.settings(), options.pairs, &counts);
        benchmark::DoNotOptimize(result.constData());
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["replacements"] = counts.value(0);
}

void BM_TransformOrdinary(benchmark::State &state)
{
    transformThroughput(state, true, false);
}

void BM_TransformWholeWord(benchmark::State &state)
{
    transformThroughput(state, true, true);
}

void BM_TransformRegExp(benchmark::State &state)
{
    transformThroughput(state, false, false);
}

// Files in CRLF with the keyword; runs alternate the pair's direction so each
// iteration finds the same work.
struct FileSet
{
    QTemporaryDir dir {QDir::tempPath() + QStringLiteral("/bench_engine-XXXXXX")};
    QStringList paths;

    FileSet(int count, qint64 size)
    {
        const QByteArray bytes = crlfUtf8(mixedText(size));
        for (int i = 0; i < count; ++i) {
            paths.append(dir.filePath(QStringLiteral("f%1.txt").arg(i)));
            writeFile(paths.last(), bytes);
        }
    }
};

void runReps(const QStringList &paths, const RepOptions &options)
{
    int finished = 0;
    QEventLoop loop;
    QObject receiver;
    for (int i = 0; i < paths.size(); ++i) {
        auto *rep = new Rep(paths.at(i), options, i);
        QObject::connect(rep, &Rep::done, &receiver, [&](Rep *, STATE state, int) {
            if (state != SUCCESS)
                qFatal("a benchmark file failed");
            if (++finished == paths.size())
                loop.quit();
        });
        startRep(rep);
    }
    if (finished < paths.size())
        loop.exec();
}

void copyThrough(const QString &path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    const QByteArray bytes = in.readAll();
    in.close();
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        qFatal("cannot rewrite %s", qPrintable(path));
}

void runBaseline(const QStringList &paths)
{
    QVector<QFuture<void>> futures;
    for (const QString &path : paths)
        futures.append(QtConcurrent::run(QThreadPool::globalInstance(), copyThrough, path));
    for (QFuture<void> &future : futures)
        future.waitForFinished();
}

void wholeRun(benchmark::State &state, bool baseline)
{
    const int count = int(state.range(0));
    const qint64 size = state.range(1);
    FileSet files(count, size);
    RepOptions forth;
    forth.pairs = {{Keyword, Other}};
    RepOptions back;
    back.pairs = {{Other, Keyword}};
    bool forward = true;
    for (auto _ : state) {
        if (baseline)
            runBaseline(files.paths);
        else
            runReps(files.paths, forward ? forth : back);
        forward = !forward;
    }
    state.SetBytesProcessed(state.iterations() * count * size);
}

void BM_RunReps(benchmark::State &state)
{
    wholeRun(state, false);
}

void BM_RunBaseline(benchmark::State &state)
{
    wholeRun(state, true);
}

long maxRssKiB()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Unlike ru_maxrss, which a new program inherits from the process that started it.
long highWaterKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

int peakMemoryChild(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    registerRepMetaTypes();
    const long before = maxRssKiB();
    RepOptions options;
    options.full = true;
    options.pairs = {{Keyword, Other}};
    Rep rep(QString::fromLocal8Bit(argv[2]), options, 0);
    STATE result = FAIL;
    QObject::connect(&rep, &Rep::done, [&](Rep *, STATE state, int) { result = state; });
    rep.replaceFile();
    std::printf("%ld %ld %ld %d\n", before, maxRssKiB(), highWaterKiB(), int(result));
    return 0;
}

void BM_PeakMemory100MB(benchmark::State &state)
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench_engine-XXXXXX"));
    const QString path = dir.filePath(QStringLiteral("big.txt"));
    qint64 size = 0;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        const QByteArray piece = crlfUtf8(mixedText(1 << 20));
        while (size < 100 << 20)
            size += file.write(piece);
    }
    long before = 0;
    long peak = 0;
    long highWater = 0;
    for (auto _ : state) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--peak-memory", path});
        if (!child.waitForFinished(-1) || child.exitCode() != 0)
            qFatal("peak-memory run failed");
        int result = 1;
        if (std::sscanf(child.readAllStandardOutput().constData(), "%ld %ld %ld %d", &before, &peak,
                &highWater, &result)
                != 4
            || result != SUCCESS)
            qFatal("peak-memory run failed");
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["file_MB"] = double(size) / (1 << 20);
    state.counters["peak_rss_MB"] = double(peak) / 1024;
    state.counters["startup_rss_MB"] = double(before) / 1024;
    state.counters["peak_over_file"] = double(peak) * 1024 / double(size);
    state.counters["vm_hwm_MB"] = double(highWater) / 1024;
}

} // namespace

// First, while this process is small: a child's ru_maxrss starts at its parent's size.
BENCHMARK(BM_PeakMemory100MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_TransformOrdinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransformWholeWord)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransformRegExp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunReps)
    ->Args({1000, 64 << 10})
    ->Args({4, 32 << 20})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK(BM_RunBaseline)
    ->Args({1000, 64 << 10})
    ->Args({4, 32 << 20})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--peak-memory") == 0)
        return peakMemoryChild(argc, argv);
    QCoreApplication app(argc, argv);
    registerRepMetaTypes();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
