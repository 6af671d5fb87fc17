// A run of many small files through the window against the same files through
// the workers alone: what the window's bookkeeping costs on top of the engine.
#include "app/mainwindow.h"
#include "app/settings.h"
#include "engine/appinfo.h"
#include "engine/run.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent>

#include <benchmark/benchmark.h>

#include <algorithm>

namespace {

constexpr int kFiles = 10000;
const QByteArray kContent = QByteArray("line with key and other words\n").repeated(40);

QTemporaryDir &corpus()
{
    static QTemporaryDir dir;
    static const bool made = [] {
        for (int i = 0; i < kFiles; ++i) {
            QFile file(dir.filePath(QStringLiteral("f%1.txt").arg(i, 5, 10, QLatin1Char('0'))));
            if (!file.open(QIODevice::WriteOnly))
                return false;
            file.write(kContent);
        }
        return true;
    }();
    Q_UNUSED(made)
    return dir;
}

void resetCorpus()
{
    QDir dir(corpus().path());
    for (const QString &name : dir.entryList(QDir::Files)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(kContent);
    }
}

void BM_RunThroughWindow(benchmark::State &state)
{
    QStandardPaths::setTestModeEnabled(true);
    MainWindow window;
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(corpus().path())});
    QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    QDropEvent drop(QPointF(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    if (window.list1().size() != kFiles) {
        state.SkipWithError("the corpus did not land in the list");
        return;
    }
    window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s1"))
        ->setPlainText(QStringLiteral("key"));
    window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s2"))
        ->setPlainText(QStringLiteral("KEY"));
    auto *button = window.findChild<QPushButton *>(QStringLiteral("pushButton_replace"));

    for (auto _ : state) {
        state.PauseTiming();
        resetCorpus();
        state.ResumeTiming();
        button->click();
        while (window.isRunning()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_RunWorkersAlone(benchmark::State &state)
{
    registerRepMetaTypes();
    QStringList paths;
    QDir dir(corpus().path());
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
        paths.append(dir.filePath(name));
    Job job;
    for (const QString &path : qAsConst(paths))
        job.files.append({path, {{QStringLiteral("key"), QStringLiteral("KEY")}}});
    const RunOptions options;

    for (auto _ : state) {
        state.PauseTiming();
        resetCorpus();
        state.ResumeTiming();
        ReplaceRun run(job, options);
        run.start();
        while (!run.isFinished()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}

} // namespace

// A folder of 50,000 text files dropped onto the window, then dropped again: the second
// time every file is listed already.
QTemporaryDir &bigFolder()
{
    static QTemporaryDir dir;
    static const bool made = [] {
        for (int i = 0; i < 50000; ++i) {
            QFile file(dir.filePath(QStringLiteral("n%1.txt").arg(i, 5, 10, QLatin1Char('0'))));
            if (!file.open(QIODevice::WriteOnly))
                return false;
            file.write("text\n");
        }
        return true;
    }();
    Q_UNUSED(made)
    return dir;
}

void dropFolder(MainWindow &window, const QString &folder)
{
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(folder)});
    QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    QDropEvent drop(QPointF(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
}

void BM_AddFolderOfNewFiles(benchmark::State &state)
{
    QStandardPaths::setTestModeEnabled(true);
    const QString folder = bigFolder().path();
    for (auto _ : state) {
        state.PauseTiming();
        MainWindow window;
        window.show();
        state.ResumeTiming();
        dropFolder(window, folder);
        QCoreApplication::processEvents();
        if (window.list1().size() != 50000)
            state.SkipWithError("the folder did not land in the list");
    }
}

void BM_ReaddListedFolder(benchmark::State &state)
{
    QStandardPaths::setTestModeEnabled(true);
    const QString folder = bigFolder().path();
    MainWindow window;
    window.show();
    dropFolder(window, folder);
    QCoreApplication::processEvents();
    for (auto _ : state) {
        dropFolder(window, folder);
        QCoreApplication::processEvents();
    }
    if (window.list1().size() != 50000)
        state.SkipWithError("the folder did not land in the list");
}

namespace {

// Peak and current resident memory of this process, in MB, from the kernel's own count.
double residentMb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).simplified().split(' ').first().toDouble() / 1024;
    }
    return 0;
}

// The folder given by YIHUAN_BENCH_FOLDER (YIHUAN_BENCH_FILES text files in it and its
// subfolders), with subfolders as the add-folder button takes it; false and the reason
// in state when it is not given.
bool givenFolder(benchmark::State &state, QString *folder, int *files)
{
    *folder = qEnvironmentVariable("YIHUAN_BENCH_FOLDER");
    *files = qEnvironmentVariableIntValue("YIHUAN_BENCH_FILES");
    if (folder->isEmpty() || *files <= 0) {
        state.SkipWithError("YIHUAN_BENCH_FOLDER and YIHUAN_BENCH_FILES name the folder");
        return false;
    }
    QStandardPaths::setTestModeEnabled(true);
    const QString settings = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/qhyPz_") + QCoreApplication::applicationVersion()
        + QStringLiteral("/qhyPz");
    writeSetting(settings, QStringLiteral("check"), QStringLiteral("c1"), QStringLiteral("1"));
    return true;
}

// The longest time the event loop did not answer a 10 ms timer while it was ticking.
class FreezeMeter
{
public:
    FreezeMeter()
    {
        QObject::connect(&m_tick, &QTimer::timeout, [this] { answered(); });
        m_tick.start(10);
        m_clock.start();
    }
    void answered()
    {
        m_longest = std::max(m_longest, m_clock.elapsed() - m_last);
        m_last = m_clock.elapsed();
    }
    qint64 elapsed() const { return m_clock.elapsed(); }
    qint64 longest() const { return m_longest; }

private:
    QTimer m_tick;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// Drops the folder and waits until the list shows every file; false when it does not.
bool addFolder(MainWindow &window, const QString &folder, int files, FreezeMeter &meter)
{
    dropFolder(window, folder);
    meter.answered();
    auto *table = window.findChild<QTableWidget *>(QStringLiteral("tableWidget_list1"));
    while ((window.list1().size() < files || table->rowCount() < files)
        && meter.elapsed() < 3600 * 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        meter.answered();
    }
    return table->rowCount() >= files;
}

// The folder bench/scale.sh made, added as the add-folder button does it: how long until
// the list shows every file, the longest time the window did not answer meanwhile, and
// the peak memory with the list loaded.
void BM_AddGivenFolder(benchmark::State &state)
{
    QString folder;
    int files = 0;
    if (!givenFolder(state, &folder, &files))
        return;
    for (auto _ : state) {
        state.PauseTiming();
        MainWindow window;
        window.show();
        QCoreApplication::processEvents();
        state.ResumeTiming();
        FreezeMeter meter;
        const bool added = addFolder(window, folder, files, meter);
        state.counters["files"] = double(window.list1().size());
        state.counters["longest_freeze_ms"] = double(meter.longest());
        state.counters["peak_rss_mb"] = residentMb("VmHWM:");
        if (!added)
            state.SkipWithError("the folder did not land in the list");
    }
}

// The same folder made read-only, then a run over it through the window: every file fails
// and its row is marked. Measured from the click to the end of the run, with the longest
// freeze meanwhile. The files are writable again afterwards.
void BM_MarkEveryRow(benchmark::State &state)
{
    QString folder;
    int files = 0;
    if (!givenFolder(state, &folder, &files))
        return;
    registerRepMetaTypes();
    for (auto _ : state) {
        state.PauseTiming();
        MainWindow window;
        window.show();
        FreezeMeter adding;
        if (!addFolder(window, folder, files, adding)) {
            state.SkipWithError("the folder did not land in the list");
            return;
        }
        for (const QString &path : window.list1())
            QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s1"))
            ->setPlainText(QStringLiteral("key"));
        window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s2"))
            ->setPlainText(QStringLiteral("KEY"));
        auto *button = window.findChild<QPushButton *>(QStringLiteral("pushButton_replace"));
        QCoreApplication::processEvents();
        state.ResumeTiming();
        FreezeMeter meter;
        button->click();
        meter.answered();
        while (window.isRunning()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            meter.answered();
        }
        QCoreApplication::processEvents();
        meter.answered();
        state.PauseTiming();
        const RunTally &tally = window.lastRun()->tally();
        state.counters["failed"] = double(tally.fail);
        state.counters["longest_freeze_ms"] = double(meter.longest());
        state.counters["peak_rss_mb"] = residentMb("VmHWM:");
        for (const QString &path : window.list1())
            QFile::setPermissions(
                path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        if (tally.fail < files)
            state.SkipWithError("not every file failed");
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_AddGivenFolder)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_MarkEveryRow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_AddFolderOfNewFiles)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReaddListedFolder)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_RunWorkersAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_RunThroughWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initApplicationInfo(app);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
