// A run of many small files through the window against the same files through
// the workers alone: what the window's bookkeeping costs on top of the engine.
#include "app/mainwindow.h"
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
#include <QUrl>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtConcurrent>

#include <benchmark/benchmark.h>

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
