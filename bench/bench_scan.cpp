#include "files/dirscan.h"
#include "files/textfiletype.h"

#include <QDir>
#include <QFile>
#include <QMimeDatabase>
#include <QSet>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

constexpr int topFolders = 20;
constexpr int subFolders = 99; // with the top folders: 2,000 folders
constexpr int filesPerFolder = 25; // 50,000 files

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        std::abort();
}

// Mostly text under common extensions, with some extensionless files (decided by content) and
// some binaries to skip.
QString buildTree(const QString &root)
{
    static const char *const extensions[] = {".txt", ".html", ".xml", ".js", ".csv", ".log",
        ".json", ".md", ".srt", ".ini", ".TXT", ".tar.txt"};
    const QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    const QByteArray text("line one\nline two\n");
    int n = 0;
    const auto fill = [&](const QString &dir) {
        if (!QDir().mkpath(dir))
            std::abort();
        for (int f = 0; f < filesPerFolder; ++f, ++n) {
            const QString base = QStringLiteral("%1/file%2").arg(dir).arg(f);
            if (n % 50 == 7)
                writeFile(base, text);
            else if (n % 50 == 9)
                writeFile(base + QLatin1String(".png"), png);
            else if (n % 100 == 13)
                writeFile(base, png);
            else
                writeFile(base + QLatin1String(extensions[n % 12]), text);
        }
    };
    for (int t = 0; t < topFolders; ++t) {
        const QString top = QStringLiteral("%1/Top%2").arg(root).arg(t);
        fill(top);
        for (int s = 0; s < subFolders; ++s)
            fill(QStringLiteral("%1/sub%2").arg(top).arg(s));
    }
    return root;
}

const QString &tree()
{
    static QTemporaryDir tmp;
    static const QString root = buildTree(tmp.path());
    return root;
}

// The scan as QDir and QMimeDatabase give it directly: one mimeTypeForFile() per file.
void scanWithQDir(const QString &dirPath, QStringList &list, QSet<QString> &visited)
{
    static QMimeDatabase database;
    for (const QFileInfo &entry : QDir(dirPath).entryInfoList()) {
        if (entry.isFile()) {
            if (isTextMimeType(database.mimeTypeForFile(entry, QMimeDatabase::MatchDefault)))
                list.append(entry.filePath());
            continue;
        }
        const QString name = entry.fileName();
        const QString canonical = entry.canonicalFilePath();
        if (name == QLatin1String(".") || name == QLatin1String("..") || canonical.isEmpty()
            || visited.contains(canonical))
            continue;
        visited.insert(canonical);
        scanWithQDir(entry.absoluteFilePath(), list, visited);
    }
}

void BM_ScanTreeWithQDir(benchmark::State &state)
{
    const QString &root = tree();
    qsizetype found = 0;
    for (auto _ : state) {
        QStringList list;
        QSet<QString> visited {QFileInfo(root).canonicalFilePath()};
        scanWithQDir(root, list, visited);
        found = list.size();
        benchmark::DoNotOptimize(list);
    }
    state.counters["files"] = double(found);
}
BENCHMARK(BM_ScanTreeWithQDir)->Unit(benchmark::kMillisecond);

void BM_ScanTree(benchmark::State &state)
{
    const QString &root = tree();
    qsizetype found = 0;
    for (auto _ : state) {
        PathList list;
        scanTextFiles(root, list, false);
        found = list.size();
        benchmark::DoNotOptimize(list);
    }
    state.counters["files"] = double(found);
}
BENCHMARK(BM_ScanTree)->Unit(benchmark::kMillisecond);

// Every file already listed: each one is a duplicate lookup.
void BM_RescanListedTree(benchmark::State &state)
{
    const QString &root = tree();
    PathList listed;
    scanTextFiles(root, listed, false);
    qsizetype duplicates = 0;
    for (auto _ : state) {
        PathList list = listed;
        duplicates = 0;
        scanTextFiles(root, list, false, [&] { ++duplicates; });
        benchmark::DoNotOptimize(list);
    }
    state.counters["duplicates"] = double(duplicates);
}
BENCHMARK(BM_RescanListedTree)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
