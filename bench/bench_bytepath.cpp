// The byte path for UTF-8 files against the QString route (decode, applyPairs, encode)
// on the same bytes in memory and on whole files beside a floor that only reads, writes
// and renames them; one long pair list over a large Chinese text; and the byte path's
// peak memory on a 100 MB file.
//
// Run: bench_bytepath [--benchmark_filter=...]; ratios are only meaningful between rows
// of one run on this shared machine.
#include "engine/match/transform.h"
#include "engine/match/utf8replace.h"
#include "engine/text/textformat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString Keyword = QStringLiteral("关键字");
const QString Replacement = QStringLiteral("keyword替换");

// Lines of Chinese and ASCII words like compare.sh's corpus, CRLF, the keyword on every
// fifth line.
QByteArray corpus(qint64 size, quint32 seed = 1)
{
    static const QStringList words = QStringLiteral(
        "易换 批量 替换 纯文本 文件 目录 编码 the quick brown fox jumps over lazy dog 中文 混排 "
        "ASCII text 12345 数据 报告 config value=42 路径 /usr/share 测试 lorem ipsum dolor 北京 "
        "上海 2024-01-01 résumé naïve 。 ， ：")
                                         .split(QLatin1Char(' '));
    QRandomGenerator random(seed);
    QByteArray bytes;
    bytes.reserve(int(size + 256));
    for (int line = 0; bytes.size() < size; ++line) {
        QStringList parts;
        const int n = 6 + line % 9;
        for (int i = 0; i < n; ++i)
            parts << words.at(random.bounded(words.size()));
        if (line % 5 == 0)
            parts.insert(line % n, Keyword);
        bytes += parts.join(QLatin1Char(' ')).toUtf8() + "\r\n";
    }
    return bytes;
}

// The worker's route for every encoding: decode, replace, encode with CRLF breaks.
bool decodeAndEncode(const QByteArray &bytes, const RepOptions &options, QByteArray *out)
{
    QString text;
    TextFormat format;
    if (decodeText(bytes, TextEncoding::utf8(), false, &text, &format) != Reason::None)
        return false;
    out->clear();
    return encodeText(applyPairs(std::move(text), options.settings(), options.pairs), format, false,
               [out](const char *data, qint64 size) {
                   out->append(data, int(size));
                   return true;
               })
        == Reason::None;
}

RepOptions options(bool full, const ReplacePairs &pairs)
{
    RepOptions o;
    o.full = full;
    o.pairs = pairs;
    return o;
}

void BM_QStringRoute(benchmark::State &state)
{
    const QByteArray bytes = corpus(state.range(0));
    const RepOptions o = options(state.range(1) != 0, {{Keyword, Replacement}});
    for (auto _ : state) {
        QString text;
        QByteArray out;
        if (!decodeAndEncode(bytes, o, &out))
            state.SkipWithError("the QString route failed");
        benchmark::DoNotOptimize(out.constData());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

void BM_BytePath(benchmark::State &state)
{
    const QByteArray bytes = corpus(state.range(0));
    const RepOptions o = options(state.range(1) != 0, {{Keyword, Replacement}});
    const Utf8Replace replace(o.settings(), o.pairs, LineBreakMode::Windows);
    Utf8Replace::Buffers buffers;
    for (auto _ : state) {
        std::memcpy(buffers.input(bytes.size()), bytes.constData(), size_t(bytes.size()));
        if (replace.run(&buffers).reason != Reason::None)
            state.SkipWithError("the byte path failed");
        benchmark::DoNotOptimize(buffers.output());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

// The same corpus in a double-byte code page (what it lacks dropped), and its keyword and
// replacement from the code page's own side: Big5 has no simplified characters.
struct Encoded
{
    QByteArray bytes;
    RepOptions options;
};

Encoded encodedCorpus(const char *codecName, qint64 size)
{
    QTextCodec *codec = QTextCodec::codecForName(codecName);
    const bool big5 = std::strcmp(codecName, "Big5") == 0;
    QString text = QString::fromUtf8(corpus(size));
    if (big5)
        text.replace(Keyword, QStringLiteral("中文"));
    // Asking the codec per character costs minutes; the corpus has few distinct ones.
    QHash<QChar, bool> encodable;
    QString kept;
    kept.reserve(text.size());
    for (const QChar c : qAsConst(text)) {
        auto it = encodable.find(c);
        if (it == encodable.end())
            it = encodable.insert(c, codec->canEncode(c));
        if (it.value())
            kept += c;
    }
    Encoded e;
    e.bytes = codec->fromUnicode(kept);
    e.options = options(false,
        {{big5 ? QStringLiteral("中文") : Keyword,
            big5 ? QStringLiteral("keyword替換") : Replacement}});
    e.options.encoding = *TextEncoding::fromName(QString::fromLatin1(codecName));
    return e;
}

const char *const CodePages[] = {"GB18030", "Big5"};

// The whole byte path in a code page on a file in memory: validation, the boundary
// walk, the replacement and the CRLF rewrite.
void BM_CodePageBytePath(benchmark::State &state)
{
    const Encoded e = encodedCorpus(CodePages[state.range(1)], state.range(0));
    const Utf8Replace replace(e.options.settings(), e.options.pairs, LineBreakMode::Windows);
    Utf8Replace::Buffers buffers;
    QVector<int> counts;
    for (auto _ : state) {
        std::memcpy(buffers.input(e.bytes.size()), e.bytes.constData(), size_t(e.bytes.size()));
        if (replace.run(&buffers, &counts).reason != Reason::None || counts.value(0) == 0)
            state.SkipWithError("the byte path failed");
        benchmark::DoNotOptimize(buffers.output());
    }
    state.SetBytesProcessed(state.iterations() * e.bytes.size());
    state.SetLabel(CodePages[state.range(1)]);
}

// What any tool pays to have the bytes at all: one copy of them.
void BM_CodePageCopy(benchmark::State &state)
{
    const Encoded e = encodedCorpus(CodePages[state.range(1)], state.range(0));
    Utf8Replace::Buffers buffers;
    std::vector<char> out(size_t(e.bytes.size()));
    for (auto _ : state) {
        std::memcpy(buffers.input(e.bytes.size()), e.bytes.constData(), size_t(e.bytes.size()));
        std::memcpy(out.data(), buffers.input(e.bytes.size()), out.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * e.bytes.size());
    state.SetLabel(CodePages[state.range(1)]);
}

// A glossary: 5,000 words of two to four ideographs from the same 500 characters as the
// text, so that thousands of them occur, each a few times.
struct Glossary
{
    QByteArray text;
    ReplacePairs pairs;

    Glossary()
    {
        QRandomGenerator random(5);
        const auto word = [&random](int length) {
            QString w;
            for (int i = 0; i < length; ++i)
                w += QChar(0x4E00 + random.bounded(500));
            return w;
        };
        QString t;
        while (t.size() < (3 << 20) / 3) {
            t += word(2 + random.bounded(5));
            t += random.bounded(8) == 0 ? QStringLiteral("。\n") : QStringLiteral("，");
        }
        text = t.toUtf8();
        for (int i = 0; i < 5000; ++i)
            pairs.append({word(2 + random.bounded(3)), word(1 + random.bounded(4))});
    }
};

const Glossary &glossary()
{
    static const Glossary g;
    return g;
}

void BM_ManyPairsQString(benchmark::State &state)
{
    const QString text = QString::fromUtf8(glossary().text);
    const RepOptions o = options(state.range(0) != 0, glossary().pairs);
    QVector<int> counts;
    for (auto _ : state)
        benchmark::DoNotOptimize(applyPairs(text, o.settings(), o.pairs, &counts).constData());
    int applied = 0;
    for (int c : counts)
        applied += c > 0;
    state.counters["pairs_applied"] = applied;
}

// What applyPairs did before: one full pass per pair.
void BM_ManyPairsOneByOne(benchmark::State &state)
{
    const QString text = QString::fromUtf8(glossary().text);
    const RepOptions o = options(state.range(0) != 0, glossary().pairs);
    for (auto _ : state) {
        QString t = text;
        RepOptions one = o;
        for (const ReplacePair &pair : o.pairs) {
            one.pairs = {pair};
            t = applyPairs(std::move(t), one.settings(), one.pairs);
        }
        benchmark::DoNotOptimize(t.constData());
    }
}

void BM_ManyPairsBytePath(benchmark::State &state)
{
    const QByteArray &bytes = glossary().text;
    const RepOptions o = options(state.range(0) != 0, glossary().pairs);
    const Utf8Replace replace(o.settings(), o.pairs, LineBreakMode::Windows);
    Utf8Replace::Buffers buffers;
    for (auto _ : state) {
        std::memcpy(buffers.input(bytes.size()), bytes.constData(), size_t(bytes.size()));
        replace.run(&buffers);
        benchmark::DoNotOptimize(buffers.output());
    }
}

enum class Through { Floor, BytePath, QStringRoute };

// Writes bytes to a temporary file beside path and renames it over path.
void replaceFile(const QString &path, const char *data, qint64 size)
{
    QByteArray temp = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0 || ::write(fd, data, size_t(size)) != size || ::close(fd) != 0
        || ::rename(temp.constData(), QFile::encodeName(path).constData()) != 0)
        qFatal("cannot rewrite %s", qPrintable(path));
}

void throughOneFile(
    const QString &path, Through through, const Utf8Replace &bytePath, const RepOptions &options)
{
    thread_local Utf8Replace::Buffers buffers;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    const qint64 size = file.size();
    switch (through) {
    case Through::Floor: {
        char *data = buffers.input(size);
        if (file.read(data, size) != size)
            qFatal("short read");
        replaceFile(path, data, size);
        break;
    }
    case Through::BytePath:
        if (file.read(buffers.input(size), size) != size
            || bytePath.run(&buffers).reason != Reason::None)
            qFatal("byte path failed");
        replaceFile(path, buffers.output(), buffers.outputSize());
        break;
    case Through::QStringRoute: {
        QByteArray out;
        if (!decodeAndEncode(file.readAll(), options, &out))
            qFatal("QString route failed");
        replaceFile(path, out.constData(), out.size());
        break;
    }
    }
}

// Whole files as a worker would take them, on yihuan-cli's threads; runs alternate the
// pair's direction so that every one has the same work.
void filesThrough(benchmark::State &state, Through through)
{
    const int count = int(state.range(0));
    const qint64 size = state.range(1);
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench_bytepath-XXXXXX"));
    QStringList paths;
    const QByteArray bytes = corpus(size);
    for (int i = 0; i < count; ++i) {
        paths << dir.filePath(QStringLiteral("f%1.txt").arg(i));
        QFile file(paths.last());
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write");
    }
    const RepOptions forth = options(false, {{Keyword, Replacement}});
    const RepOptions back = options(false, {{Replacement, Keyword}});
    const Utf8Replace bytesForth(forth.settings(), forth.pairs, LineBreakMode::Windows);
    const Utf8Replace bytesBack(back.settings(), back.pairs, LineBreakMode::Windows);
    const int cores = QThread::idealThreadCount();
    QThreadPool pool;
    pool.setMaxThreadCount(size <= 4 << 20 ? 4 * cores : cores);
    bool forward = true;
    for (auto _ : state) {
        QVector<QFuture<void>> futures;
        for (const QString &path : paths) {
            futures.append(QtConcurrent::run(&pool, [&, path] {
                throughOneFile(
                    path, through, forward ? bytesForth : bytesBack, forward ? forth : back);
            }));
        }
        for (QFuture<void> &future : futures)
            future.waitForFinished();
        forward = !forward;
    }
    state.SetBytesProcessed(state.iterations() * count * bytes.size());
}

void BM_FilesFloor(benchmark::State &state)
{
    filesThrough(state, Through::Floor);
}

void BM_FilesBytePath(benchmark::State &state)
{
    filesThrough(state, Through::BytePath);
}

void BM_FilesQStringRoute(benchmark::State &state)
{
    filesThrough(state, Through::QStringRoute);
}

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

// Reads the file into the byte path's buffers and replaces, as a worker would.
int peakMemoryChild(const char *path, bool full)
{
    const long before = highWaterKiB();
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const RepOptions o = options(full, {{Keyword, Replacement}});
    const Utf8Replace replace(o.settings(), o.pairs, LineBreakMode::Windows);
    Utf8Replace::Buffers buffers;
    const qint64 size = file.size();
    if (file.read(buffers.input(size), size) != size)
        return 1;
    const Utf8Replace::Outcome outcome = replace.run(&buffers);
    std::printf("%ld %ld %d\n", before, highWaterKiB(), int(outcome.reason));
    return 0;
}

void BM_PeakMemory100MB(benchmark::State &state)
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench_bytepath-XXXXXX"));
    const QString path = dir.filePath(QStringLiteral("big.txt"));
    qint64 size = 0;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        const QByteArray piece = corpus(1 << 20);
        while (size < 100 << 20)
            size += file.write(piece);
    }
    long before = 0;
    long peak = 0;
    for (auto _ : state) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
            {"--peak-memory", path, state.range(0) ? "whole" : "ordinary"});
        int reason = -1;
        if (!child.waitForFinished(-1) || child.exitCode() != 0
            || std::sscanf(
                   child.readAllStandardOutput().constData(), "%ld %ld %d", &before, &peak, &reason)
                != 3
            || reason != int(Reason::None))
            qFatal("peak-memory run failed");
    }
    state.counters["file_MB"] = double(size) / (1 << 20);
    state.counters["startup_MB"] = double(before) / 1024;
    state.counters["peak_MB"] = double(peak) / 1024;
    state.counters["peak_over_file"] = double(peak) * 1024 / double(size);
}

} // namespace

BENCHMARK(BM_PeakMemory100MB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_QStringRoute)
    ->Args({64 << 10, 0})
    ->Args({32 << 20, 0})
    ->Args({32 << 20, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BytePath)
    ->Args({64 << 10, 0})
    ->Args({32 << 20, 0})
    ->Args({32 << 20, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CodePageCopy)->Args({32 << 20, 0})->Args({32 << 20, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CodePageBytePath)
    ->Args({32 << 20, 0})
    ->Args({32 << 20, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilesFloor)
    ->Args({1000, 64 << 10})
    ->Args({4, 32 << 20})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(6);
BENCHMARK(BM_FilesBytePath)
    ->Args({1000, 64 << 10})
    ->Args({4, 32 << 20})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(6);
BENCHMARK(BM_FilesQStringRoute)
    ->Args({1000, 64 << 10})
    ->Args({4, 32 << 20})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(6);
BENCHMARK(BM_ManyPairsOneByOne)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ManyPairsQString)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManyPairsBytePath)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--peak-memory") == 0)
        return peakMemoryChild(argv[2], std::strcmp(argv[3], "whole") == 0);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
