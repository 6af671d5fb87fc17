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
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
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
// subfolders), with subfolders as the add-folder button takes it in either mode; false and the
// reason in state when it is not given.
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
    writeSetting(settings, QStringLiteral("check"), QStringLiteral("c2"), QStringLiteral("1"));
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
        const qint64 now = m_clock.elapsed();
        if (now - m_last > m_longest) {
            m_longest = now - m_last;
            m_longestEnded = now;
        }
        m_last = now;
    }
    qint64 elapsed() const { return m_clock.elapsed(); }
    qint64 longest() const { return m_longest; }
    // When the longest freeze ended, from the meter's start: which part of the work it was.
    qint64 longestEnded() const { return m_longestEnded; }

private:
    QTimer m_tick;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
    qint64 m_longestEnded = 0;
};

// Drops the folder and waits until the list of the tab now shown has every file: in mode
// one a row each, in mode two a column each. False when it does not.
bool addFolder(MainWindow &window, const QString &folder, int files, FreezeMeter &meter)
{
    const bool modeOne
        = window.findChild<QTabWidget *>(QStringLiteral("tabWidget_1"))->currentIndex() == 0;
    auto *table = window.findChild<QTableWidget *>(
        modeOne ? QStringLiteral("tableWidget_list1") : QStringLiteral("tableWidget_list2"));
    const auto shown = [&] {
        return modeOne ? window.list1().size() >= files && table->rowCount() >= files
                       : window.list2().size() >= files && table->columnCount() > files;
    };
    dropFolder(window, folder);
    meter.answered();
    while (!shown() && meter.elapsed() < 3600 * 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        meter.answered();
    }
    return shown();
}

// The folder bench/scale.sh made, added as the add-folder button does it in mode one or
// two (tab): how long until the list shows every file, the longest time the window did
// not answer meanwhile, and the peak memory with the list loaded.
void addGivenFolder(benchmark::State &state, int tab)
{
    QString folder;
    int files = 0;
    if (!givenFolder(state, &folder, &files))
        return;
    for (auto _ : state) {
        state.PauseTiming();
        MainWindow window;
        window.show();
        window.findChild<QTabWidget *>(QStringLiteral("tabWidget_1"))->setCurrentIndex(tab);
        QCoreApplication::processEvents();
        state.ResumeTiming();
        FreezeMeter meter;
        const bool added = addFolder(window, folder, files, meter);
        state.counters["files"] = double(tab == 0 ? window.list1().size() : window.list2().size());
        state.counters["longest_freeze_ms"] = double(meter.longest());
        state.counters["peak_rss_mb"] = residentMb("VmHWM:");
        if (!added)
            state.SkipWithError("the folder did not land in the list");
    }
}

void BM_AddGivenFolder(benchmark::State &state)
{
    addGivenFolder(state, 0);
}

// Mode two, where every file is a column of the replacement table.
void BM_AddGivenFolderModeTwo(benchmark::State &state)
{
    addGivenFolder(state, 1);
}

// The first rows of the view in the order a sort by column gives.
bool sortedBy(const QAbstractItemModel *model, int column, Qt::SortOrder order)
{
    const auto key = [model, column](int row) {
        const QString text = model->index(row, column).data().toString();
        // The replacement counts sort as numbers.
        return column == 2 ? QStringLiteral("%1").arg(text, 20, QLatin1Char('0')) : text;
    };
    for (int row = 1; row < std::min(model->rowCount(), 1000); ++row) {
        if (order == Qt::AscendingOrder ? key(row) < key(row - 1) : key(row - 1) < key(row))
            return false;
    }
    return true;
}

// Each column of the results view sorted both ways, as a click on its header does: the
// longest a sort took until the view showed the new order, and the longest freeze.
void sortResults(benchmark::State &state, MainWindow &window)
{
    auto *table = window.findChild<QTableView *>(QStringLiteral("resultsTable"));
    if (!table) {
        state.SkipWithError("no results view");
        return;
    }
    int sorted = 0;
    QObject::connect(
        table->model(), &QAbstractItemModel::layoutChanged, table, [&sorted] { ++sorted; });
    qint64 longest = 0;
    qint64 longestFreeze = 0;
    for (int column = 0; column < table->model()->columnCount(); ++column) {
        for (const Qt::SortOrder order : {Qt::DescendingOrder, Qt::AscendingOrder}) {
            const int before = sorted;
            FreezeMeter meter;
            table->horizontalHeader()->setSortIndicator(column, order);
            meter.answered();
            while (sorted == before && meter.elapsed() < 600 * 1000) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                meter.answered();
            }
            // The new order painted.
            table->viewport()->repaint();
            meter.answered();
            longest = std::max(longest, meter.elapsed());
            longestFreeze = std::max(longestFreeze, meter.longest());
            if (!sortedBy(table->model(), column, order)) {
                state.SkipWithError("the view is not in the order asked for");
                return;
            }
        }
    }
    state.counters["sort_longest_ms"] = double(longest);
    state.counters["sort_longest_freeze_ms"] = double(longestFreeze);
    state.counters["peak_rss_sorted_mb"] = residentMb("VmHWM:");
}

// A run through the window over the folder, from the click to the end of the run, with
// the longest freeze meanwhile; then the results view sorted. Made read-only, every file
// fails and its row is marked; writable, every file is replaced, and its journal kept.
// The keyword goes back and forth between runs, so that the files always hold it.
void runOverGivenFolder(benchmark::State &state, bool readOnly)
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
        // The window opens on the tab it was closed on, which a benchmark before may have
        // left at mode two.
        window.findChild<QTabWidget *>(QStringLiteral("tabWidget_1"))->setCurrentIndex(0);
        FreezeMeter adding;
        if (!addFolder(window, folder, files, adding)) {
            state.SkipWithError("the folder did not land in the list");
            return;
        }
        QFile first(window.list1().first());
        const bool lower = first.open(QIODevice::ReadOnly) && first.readAll().contains("key");
        if (readOnly) {
            for (const QString &path : window.list1())
                QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        }
        window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s1"))
            ->setPlainText(lower ? QStringLiteral("key") : QStringLiteral("KEY"));
        window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit_s2"))
            ->setPlainText(lower ? QStringLiteral("KEY") : QStringLiteral("key"));
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
        state.counters[readOnly ? "failed" : "replaced"]
            = double(readOnly ? tally.fail : tally.success);
        state.counters["longest_freeze_ms"] = double(meter.longest());
        state.counters["longest_freeze_ended_ms"] = double(meter.longestEnded());
        state.counters["run_ms"] = double(meter.elapsed());
        state.counters["peak_rss_mb"] = residentMb("VmHWM:");
        if (readOnly) {
            sortResults(state, window);
            for (const QString &path : window.list1())
                QFile::setPermissions(path,
                    QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        }
        if ((readOnly ? tally.fail : tally.success) < files)
            state.SkipWithError(readOnly ? "not every file failed" : "not every file was replaced");
        state.ResumeTiming();
    }
}

void BM_MarkEveryRow(benchmark::State &state)
{
    runOverGivenFolder(state, true);
}

void BM_ReplaceEveryFile(benchmark::State &state)
{
    runOverGivenFolder(state, false);
}

} // namespace

BENCHMARK(BM_AddGivenFolder)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_AddGivenFolderModeTwo)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_MarkEveryRow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_ReplaceEveryFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
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
