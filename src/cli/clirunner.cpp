#include "cli/clirunner.h"

#include "cli/clijob.h"
#include "engine/durable/journal.h"
#include "engine/durable/undo.h"
#include "engine/preview.h"
#include "engine/run.h"
#include "engine/streamrun.h"
#include "engine/unifieddiff.h"
#include "files/filenames.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextCodec>
#include <QTextStream>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

class ProgressBar
{
public:
    explicit ProgressBar(qint64 total)
        : total(total)
        , enabled(::isatty(STDERR_FILENO))
    {
        clock.start();
    }

    void advance() { moveTo(done + 1, total); }

    // A streaming run's total grows while its files are found.
    void moveTo(qint64 nowDone, qint64 nowTotal)
    {
        done = nowDone;
        total = nowTotal;
        if (!enabled || total <= 0 || (done < total && clock.elapsed() - drawnAt < 100))
            return;
        drawnAt = clock.elapsed();
        constexpr int Width = 30;
        const int filled = int(qint64(done) * Width / total);
        const QByteArray bar = QByteArray(filled, '#') + QByteArray(Width - filled, '.');
        std::fprintf(stderr, "\r[%s] %3d%% %lld/%lld", bar.constData(), int(done * 100 / total),
            (long long)done, (long long)total);
        std::fflush(stderr);
        drawn = true;
    }

    ~ProgressBar()
    {
        if (drawn) {
            std::fputs("\r\x1b[K", stderr);
            std::fflush(stderr);
        }
    }

private:
    qint64 total;
    const bool enabled;
    qint64 done = 0;
    bool drawn = false;
    qint64 drawnAt = -1000;
    QElapsedTimer clock;
};

QString quoted(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        default:
            out += c;
        }
    }
    return out + QLatin1Char('"');
}

// Scripts split report lines at tabs and line breaks: a path holding one is written
// quoted, and every other path exactly as it has always been.
QString reportPath(const QString &path)
{
    const bool plain = !path.contains(QLatin1Char('\t')) && !path.contains(QLatin1Char('\n'))
        && !path.contains(QLatin1Char('\r'));
    return plain ? path : quoted(path);
}

void printSummary(QTextStream &out, const RunTally &tally)
{
    out << QStringLiteral("成功(%1) 失败(%2) 丢失(%3)\n")
               .arg(tally.success)
               .arg(tally.fail)
               .arg(tally.lost);
}

// The end of every run's report, and the exit code it ends with.
int printEnding(QTextStream &out, bool cancelled, int notUndoable, const RunTally &tally)
{
    if (cancelled)
        out << QStringLiteral("替换已停止：%1 个文件未处理 (stopped: %1 files not processed)\n")
                   .arg(tally.skipped);
    if (notUndoable > 0)
        out << QStringLiteral("%1 个文件无法撤销 (%1 files cannot be undone)\n").arg(notUndoable);
    printSummary(out, tally);
    out.flush();
    if (cancelled)
        return 130;
    return tally.fail + tally.lost > 0 ? 1 : 0;
}

void printProblem(
    QTextStream &out, STATE state, const QString &path, Reason reason, const TextEncoding &encoding)
{
    out << (state == LOST ? QStringLiteral("丢失") : QStringLiteral("失败")) << '\t'
        << reportPath(path) << '\t' << reasonTextBoth(reason, encoding.name()) << '\n';
}

qint64 totalOf(const QVector<int> &counts)
{
    qint64 total = 0;
    for (const int count : counts)
        total += count;
    return total;
}

// A file a dry run would change: its total, each pair that would replace something, and
// with verbose the encoding detected (of an automatic run) and a few of its changed
// lines, before ("-") and after ("+").
void printChanges(QTextStream &out, const QString &path, const ReplacePairs &pairs,
    const QVector<int> &counts, const TextEncoding &encoding, const RunOptions &options,
    bool verbose)
{
    constexpr int ShownLines = 5;
    out << QStringLiteral("成功\t%1\t%2\n").arg(reportPath(path), QString::number(totalOf(counts)));
    for (int p = 0; p < pairs.size(); ++p) {
        if (counts.value(p) > 0)
            out << '\t' << counts.value(p) << '\t' << quoted(pairs.at(p).first)
                << QStringLiteral(" → ") << quoted(pairs.at(p).second) << '\n';
    }
    if (!verbose)
        return;
    if (options.settings.encoding.isAutomatic())
        out << QStringLiteral("\t编码 (encoding): %1\n").arg(encoding.name());
    const FilePreview preview = previewFile(path, pairs, options, ShownLines);
    const QVector<ChangedLines> entries = changedLines(preview, ShownLines);
    for (const ChangedLines &entry : entries) {
        out << QStringLiteral("\t-%1: %2\n").arg(entry.beforeLine).arg(quoted(entry.beforeText));
        out << QStringLiteral("\t+%1: %2\n").arg(entry.afterLine).arg(quoted(entry.afterText));
    }
    if (!preview.edits.complete)
        out << QStringLiteral("\t……\n");
}

// Ctrl-C, SIGTERM and a closed terminal's SIGHUP stop the run the way the window's stop
// button does: the handler only wakes the event loop, which cancels the run there.
class StopSignals
{
public:
    explicit StopSignals(ReplaceRun *run)
    {
        if (::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, run, [run] {
            char byte;
            while (::read(s_pipe[0], &byte, 1) > 0) { }
            run->cancel();
        });
        struct sigaction action = {};
        action.sa_handler = [](int) {
            const int saved = errno;
            (void)!::write(s_pipe[1], "x", 1);
            errno = saved;
        };
        ::sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &m_oldInt);
        ::sigaction(SIGTERM, &action, &m_oldTerm);
        ::sigaction(SIGHUP, &action, &m_oldHup);
    }

    ~StopSignals()
    {
        if (!m_notifier)
            return;
        ::sigaction(SIGINT, &m_oldInt, nullptr);
        ::sigaction(SIGTERM, &m_oldTerm, nullptr);
        ::sigaction(SIGHUP, &m_oldHup, nullptr);
        m_notifier.reset();
        ::close(s_pipe[0]);
        ::close(s_pipe[1]);
    }

    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    static int s_pipe[2];
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
    struct sigaction m_oldHup = {};
};

int StopSignals::s_pipe[2] = {-1, -1};

// How a diff names a file: relative to the current folder when it is under it, which
// `patch -p0` there takes; absolutely otherwise, which patch refuses, as it should.
QByteArray diffName(const QString &path)
{
    const QString relative = QDir::current().relativeFilePath(path);
    const bool outside = relative == QLatin1String("..")
        || relative.startsWith(QLatin1String("../")) || QDir::isAbsolutePath(relative);
    return encodeFileName(outside ? path : relative);
}

// The file's diff, raw, on standard output: its bytes are the file's, in its encoding.
void printDiff(const QString &path, const ReplacePairs &pairs, const RunOptions &options)
{
    const FileRewrite rewrite = rewriteFile(path, pairs, options);
    if (rewrite.reason != Reason::None)
        return;
    const QByteArray diff = unifiedDiff(rewrite.before, rewrite.after, diffName(path));
    QFile out;
    if (out.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered))
        out.write(diff);
}

void printDryRunEnd(QTextStream &out, int changing)
{
    out << QStringLiteral("试运行，未写入任何文件；%1 个文件将被改动 (dry run, nothing "
                          "written; %1 files would change)\n")
               .arg(changing);
}

// What the start of a run or an undo put right of interrupted runs, on standard error.
void printRecovery(QTextStream &err, const Recovery &recovery)
{
    for (const QString &refused : recovery.refused)
        err << QStringLiteral("yihuan-cli: 撤销日志不可信，未使用 (journal not trusted, left "
                              "alone): %1\n")
                   .arg(refused);
    for (const QString &path : recovery.repaired)
        err << QStringLiteral("已修复\t%1\t被中断的替换只写了一半，已从撤销日志恢复原样 "
                              "(an interrupted run left it half written; put back from the "
                              "journal)\n")
                   .arg(path);
    for (const QString &path : recovery.notRepaired)
        err << QStringLiteral("未修复\t%1\t被中断的替换只写了一半，未能恢复，撤销日志保留 "
                              "(an interrupted run left it half written and it could not be "
                              "put back; the journal keeps its original)\n")
                   .arg(path);
    if (recovery.tempFilesRemoved > 0)
        err << QStringLiteral("已删除被中断的替换留下的 %1 个临时文件 (removed %1 temp files "
                              "an interrupted run left)\n")
                   .arg(recovery.tempFilesRemoved);
    if (recovery.interruptedRuns > 0)
        err << QStringLiteral("有 %1 次被中断的替换仍可撤销：yihuan-cli --undo；放弃："
                              "yihuan-cli --discard-interrupted (%1 interrupted runs can be "
                              "undone with --undo, or discarded with --discard-interrupted)\n")
                   .arg(recovery.interruptedRuns);
    err.flush();
}

int runJob(const Job &job, const RunOptions &options, bool verbose, bool diff, QTextStream &out,
    QTextStream &err)
{
    ReplaceRun run(job, options);
    QString journalError;
    const bool journalMade = run.prepareJournal(&journalError);
    printRecovery(err, run.recovery());
    if (!journalMade && options.journal) {
        err << QStringLiteral("yihuan-cli: 无法建立撤销日志 %1；可用 --no-undo 不保留撤销 "
                              "(cannot make the undo journal; use --no-undo to run without "
                              "undo)\n")
                   .arg(journalError);
        return 2;
    }
    ProgressBar progress(job.files.size());
    QEventLoop loop;
    QObject::connect(&run, &ReplaceRun::fileDone, &loop, [&progress] { progress.advance(); });
    QObject::connect(&run, &ReplaceRun::finished, &loop, &QEventLoop::quit);
    {
        const StopSignals stop(&run);
        run.start();
        if (!run.isFinished())
            loop.exec();
    }

    int changing = 0;
    for (int i = 0; i < job.files.size(); ++i) {
        const FileJob &file = run.files().at(i);
        const FileOutcome &outcome = run.outcome(i);
        if (outcome.state == FAIL || outcome.state == LOST) {
            printProblem(out, outcome.state, file.path, outcome.reason, outcome.encoding);
        } else if (options.settings.dryRun && outcome.state == SUCCESS
            && totalOf(outcome.counts) > 0) {
            printChanges(
                out, file.path, file.pairs, outcome.counts, outcome.encoding, options, verbose);
            if (diff)
                printDiff(file.path, file.pairs, options);
            ++changing;
        }
    }
    if (options.settings.dryRun)
        printDryRunEnd(out, changing);
    return printEnding(out, run.wasCancelled(), run.notUndoable(), run.tally());
}

// Ctrl-C, SIGTERM and SIGHUP stop an undo after the file in hand.
class UndoSignals
{
public:
    UndoSignals()
    {
        struct sigaction action = {};
        action.sa_handler = [](int) {
            s_stop.store(true);
        };
        // The file in hand is being read and written: no call of it should fail for this.
        action.sa_flags = SA_RESTART;
        ::sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i)
            ::sigaction(Signals[i], &action, &m_old[i]);
    }
    ~UndoSignals()
    {
        for (int i = 0; i < 3; ++i)
            ::sigaction(Signals[i], &m_old[i], nullptr);
    }
    UndoSignals(const UndoSignals &) = delete;
    UndoSignals &operator=(const UndoSignals &) = delete;

    static const std::atomic_bool &flag() { return s_stop; }

private:
    static constexpr int Signals[3] = {SIGINT, SIGTERM, SIGHUP};
    static std::atomic_bool s_stop;
    struct sigaction m_old[3] = {};
};

std::atomic_bool UndoSignals::s_stop {false};

// One file's line of an undo's report; a file put back says nothing.
void printUndone(QTextStream &out, const UndoResult::File &file)
{
    switch (file.outcome) {
    case UndoResult::Outcome::ChangedSince:
        out << QStringLiteral("已改动\t%1\t替换之后又被改动，未恢复 (changed since the run, "
                              "left alone)\n")
                   .arg(reportPath(file.path));
        break;
    case UndoResult::Outcome::Missing:
        out << QStringLiteral("丢失\t%1\t文件已不存在 (no longer there)\n")
                   .arg(reportPath(file.path));
        break;
    case UndoResult::Outcome::Failed:
        out << QStringLiteral("失败\t%1\t未能恢复 (could not be restored)\n")
                   .arg(reportPath(file.path));
        break;
    case UndoResult::Outcome::Restored:
    case UndoResult::Outcome::AlreadyOriginal:
        break;
    }
}

// number: the run's place in the history, 1 the newest; 0 for the run plain undo takes.
// Files are reported as the undo reaches them, not held until it ends.
int undo(int number, QTextStream &out, QTextStream &err)
{
    UndoResult result;
    bool begun = false;
    UndoProgress progress;
    progress.begun = [&](const UndoResult &soFar) {
        begun = true;
        printRecovery(err, soFar.recovery);
        for (const QString &record : soFar.damaged)
            out << QStringLiteral("失败\t%1\t撤销日志的记录无法读取，日志保留 (journal record "
                                  "unreadable; the journal is kept)\n")
                       .arg(record);
        err.flush();
    };
    progress.file = [&](const UndoResult::File &file) {
        printUndone(out, file);
    };
    {
        const UndoSignals stopping;
        result = number > 0 ? undoRunUntil(number, UndoSignals::flag(), progress)
                            : undoLastRunUntil(UndoSignals::flag(), progress);
    }
    if (!begun)
        printRecovery(err, result.recovery);
    if (result.noSuchRun) {
        out << QStringLiteral("没有第 %1 次替换 (no run %1)\n").arg(number);
        return 2;
    }
    if (result.tempFilesRemoved > 0)
        err << QStringLiteral("已删除被中断的替换留下的 %1 个临时文件 (removed %1 temp files "
                              "an interrupted run left)\n")
                   .arg(result.tempFilesRemoved);
    if (result.nothingToUndo) {
        out << QStringLiteral("没有可以撤销的替换 (nothing to undo)\n");
        return 2;
    }
    out << QStringLiteral("已恢复(%1) 原样(%2) 已改动(%3) 丢失(%4) 失败(%5)\n")
               .arg(result.restored)
               .arg(result.alreadyOriginal)
               .arg(result.changedSince)
               .arg(result.missing)
               .arg(result.failed);
    if (result.stopped) {
        out << QStringLiteral("撤销已停止，其余文件仍可用 --undo 恢复 (undo stopped; run --undo "
                              "again for the rest)\n");
        return 130;
    }
    return result.changedSince + result.missing + result.failed + result.damaged.size() > 0 ? 1 : 0;
}

int history(QTextStream &out, QTextStream &err)
{
    QStringList refused;
    const QVector<HistoryEntry> runs = Journal::history(&refused);
    for (const QString &why : refused)
        err << QStringLiteral("yihuan-cli: 撤销日志不可信，未使用 (journal not trusted, left "
                              "alone): %1\n")
                   .arg(why);
    if (runs.isEmpty())
        err << QStringLiteral("没有保留的替换 (no runs kept)\n");
    for (int i = 0; i < runs.size(); ++i) {
        const HistoryEntry &entry = runs.at(i);
        out << i + 1 << '\t'
            << QDateTime::fromMSecsSinceEpoch(entry.run.started)
                   .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
            << '\t' << entry.written << '\t' << entry.undoable;
        if (entry.run.undone)
            out << QStringLiteral("\t已撤销 (undone)");
        else if (entry.run.interrupted())
            out << QStringLiteral("\t被中断 (interrupted)");
        out << '\n';
    }
    return 0;
}

int discardInterrupted(QTextStream &out, QTextStream &err)
{
    printRecovery(err, recoverInterruptedRuns());
    const int discarded = Journal::discardInterruptedRuns();
    if (discarded == 0) {
        out << QStringLiteral("没有被中断的替换 (no interrupted run)\n");
        return 2;
    }
    out << QStringLiteral("已放弃 %1 次被中断的替换，它们无法再撤销 (discarded %1 interrupted "
                          "runs; they can no longer be undone)\n")
               .arg(discarded);
    return 0;
}

// Copies the journal cannot avoid must fit under the cap, or the run is refused.
bool journalFits(const Journal::Cost &cost, const CliOptions &options, QString *error)
{
    if (!options.journal || options.settings.dryRun || cost.copiedBytes <= options.journalCap)
        return true;
    *error = QStringLiteral("撤销需要复制 %1 个文件共 %2 MB，超过上限 %3 MB；可用 --no-undo 或 "
                            "--undo-cap (undo would copy %2 MB, over the cap; use --no-undo or "
                            "--undo-cap)")
                 .arg(cost.copies)
                 .arg((cost.copiedBytes + (1 << 20) - 1) >> 20)
                 .arg(options.journalCap >> 20);
    return false;
}

void printRefusal(QTextStream &err, const Refusal &refusal)
{
    err << "yihuan-cli: " << refusal.text << " (" << refusal.english << ")\n";
}

// A run of keyword files over files found as it goes: its workers start with the first
// file found, and it keeps of each file only what the report needs. The report is the
// list run's: problems in list order, then the summary. A dry run prints each file as
// soon as the files before it are done; with a diff its report moves to standard error.
int runStream(
    const CliOptions &options, const RunOptions &runOptions, QTextStream &out, QTextStream &err)
{
    Job job;
    StreamSource source;
    QString error;
    if (!buildCliStream(options, &job, &source, &error)) {
        err << "yihuan-cli: " << error << '\n';
        return 2;
    }
    if (job.isRefused()) {
        // An empty list is what a run is refused for first.
        printRefusal(err,
            StreamRun::findsAny(source) ? job.refusal : buildModeOneJob({}, {}, false).refusal);
        return 2;
    }
    if (options.journal && options.journalCap >= 0 && !options.settings.dryRun
        && !journalFits(StreamRun::estimate(source), options, &error)) {
        err << "yihuan-cli: " << error << '\n';
        return 2;
    }
    StreamRun run(job.files.constFirst().pairs, runOptions);
    ProgressBar progress(0);
    StreamRun::Progress told;
    told.begun = [&err](const Recovery &recovery) {
        printRecovery(err, recovery);
    };
    told.moved = [&progress](qint64 done, qint64 found, bool) {
        progress.moveTo(done, found);
    };
    const bool dryRun = options.settings.dryRun;
    if (options.diff)
        out.flush();
    QTextStream &report = options.diff ? err : out;
    const ReplacePairs &pairs = job.files.constFirst().pairs;
    int changing = 0;
    if (dryRun)
        told.inOrder = [&](const StreamFile &file) {
            if (file.state == FAIL || file.state == LOST) {
                printProblem(report, file.state, file.path, file.reason, file.encoding);
            } else if (file.state == SUCCESS && totalOf(file.counts) > 0) {
                printChanges(report, file.path, pairs, file.counts, file.encoding, runOptions,
                    options.verbose);
                if (options.diff)
                    printDiff(file.path, pairs, runOptions);
                ++changing;
            }
        };
    QString journalError;
    bool ran;
    {
        const UndoSignals stopping;
        ran = run.run(source, UndoSignals::flag(), told, &journalError);
    }
    if (!ran) {
        err << QStringLiteral("yihuan-cli: 无法建立撤销日志 %1；可用 --no-undo 不保留撤销 "
                              "(cannot make the undo journal; use --no-undo to run without "
                              "undo)\n")
                   .arg(journalError);
        return 2;
    }
    if (run.found() == 0 && !run.wasCancelled()) {
        printRefusal(err, buildModeOneJob({}, {}, false).refusal);
        return 2;
    }
    for (const StreamFile &problem : run.problems())
        printProblem(report, problem.state, problem.path, problem.reason, problem.encoding);
    if (dryRun)
        printDryRunEnd(report, changing);
    return printEnding(report, run.wasCancelled(), run.notUndoable(), run.tally());
}

} // namespace

// When this process was started, in ms since the epoch, rounded down to the kernel's clock
// tick: a run asked for then ran alongside every run that finished later, however long
// this one took to load and to read its job.
qint64 processStartedAt()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QFile stat(QStringLiteral("/proc/self/stat"));
    timespec boot;
    if (!stat.open(QIODevice::ReadOnly) || ::clock_gettime(CLOCK_BOOTTIME, &boot) != 0)
        return now;
    const QByteArray line = stat.readAll();
    // The fields after the program's name, which may hold spaces: state is the third.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    bool ok = false;
    const qint64 ticks = fields.value(19).toLongLong(&ok);
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    if (!ok || perSecond <= 0)
        return now;
    const qint64 age
        = qint64(boot.tv_sec) * 1000 + boot.tv_nsec / 1000000 - ticks * 1000 / perSecond;
    return age >= 0 ? now - age : now;
}

int runCli(const QStringList &arguments)
{
    const qint64 requestedAt = processStartedAt();
    // Messages go out in the terminal's encoding, whatever the files are read in.
    QTextStream out(stdout);
    QTextStream err(stderr);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    out.setEncoding(QStringConverter::System);
    err.setEncoding(QStringConverter::System);
#else
    QTextCodec *console = QTextCodec::codecForLocale();
    out.setCodec(console);
    err.setCodec(console);
#endif

    CliCommand command = CliCommand::Run;
    CliOptions options;
    QString error;
    if (!parseCliArguments(arguments, &command, &options, &error)) {
        err << "yihuan-cli: " << error << '\n'
            << QStringLiteral("用法见 yihuan-cli --help (see yihuan-cli --help)") << '\n';
        return 2;
    }
    if (command == CliCommand::Help) {
        out << cliHelpText();
        return 0;
    }
    if (command == CliCommand::Version) {
        out << "yihuan-cli " << QCoreApplication::applicationVersion() << '\n';
        return 0;
    }
    if (command == CliCommand::Undo)
        return undo(0, out, err);
    if (command == CliCommand::UndoRun)
        return undo(options.undoRun, out, err);
    if (command == CliCommand::History)
        return history(out, err);
    if (command == CliCommand::DiscardInterrupted)
        return discardInterrupted(out, err);

    // A list workbook's own options join the command line's as its job is read.
    const auto runOptionsOf = [requestedAt](const CliOptions &options) {
        RunOptions runOptions;
        runOptions.settings = options.settings;
        runOptions.journal = options.journal;
        runOptions.journalCap = options.journalCap;
        runOptions.runsKept = options.runsKept;
        runOptions.requestedAt = requestedAt;
        return runOptions;
    };
    // Keyword files over files and folders: a stream, however many files there are.
    if (options.listPath.isEmpty())
        return runStream(options, runOptionsOf(options), out, err);

    Job job;
    if (!buildCliJob(&options, &job, &error)) {
        err << "yihuan-cli: " << error << '\n';
        return 2;
    }
    if (job.isRefused()) {
        err << "yihuan-cli: " << job.refusal.text << " (" << job.refusal.english << ")\n";
        return 2;
    }
    const RunOptions runOptions = runOptionsOf(options);
    QStringList paths;
    paths.reserve(job.files.size());
    for (const FileJob &file : job.files)
        paths.append(file.path);
    const Journal::Cost cost = Journal::estimate(paths);
    if (!journalFits(cost, options, &error)) {
        err << "yihuan-cli: " << error << '\n';
        return 2;
    }
    // The diff owns standard output; the report moves out of its way.
    if (options.diff) {
        out.flush();
        return runJob(job, runOptions, options.verbose, true, err, err);
    }
    return runJob(job, runOptions, options.verbose, false, out, err);
}
