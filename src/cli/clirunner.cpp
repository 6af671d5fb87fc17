#include "cli/clirunner.h"

#include "cli/clijob.h"
#include "engine/dryrun.h"
#include "engine/rep.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTextCodec>
#include <QTextStream>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <cstdio>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

class ProgressBar
{
public:
    explicit ProgressBar(int total)
        : total(total)
        , enabled(total > 0 && ::isatty(STDERR_FILENO))
    {
        clock.start();
    }

    void advance()
    {
        ++done;
        if (!enabled || (done < total && clock.elapsed() - drawnAt < 100))
            return;
        drawnAt = clock.elapsed();
        constexpr int Width = 30;
        const int filled = int(qint64(done) * Width / total);
        const QByteArray bar = QByteArray(filled, '#') + QByteArray(Width - filled, '.');
        std::fprintf(stderr, "\r[%s] %3d%% %d/%d", bar.constData(), int(qint64(done) * 100 / total),
            done, total);
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
    const int total;
    const bool enabled;
    int done = 0;
    bool drawn = false;
    qint64 drawnAt = -1000;
    QElapsedTimer clock;
};

QString problemText(FileProblem problem)
{
    const QString codec = QString::fromLatin1(QTextCodec::codecForLocale()->name());
    switch (problem) {
    case FileProblem::None:
        break;
    case FileProblem::Missing:
        return QStringLiteral("文件不存在 (no such file)");
    case FileProblem::NotRegular:
        return QStringLiteral("不是普通文件 (not a regular file)");
    case FileProblem::ReadOnly:
        return QStringLiteral("文件只读 (read-only)");
    case FileProblem::Unreadable:
        return QStringLiteral("无法读取 (cannot read)");
    case FileProblem::Binary:
        return QStringLiteral("二进制文件 (binary file)");
    case FileProblem::InvalidEncoding:
        return QStringLiteral("不是有效的 %1 文本 (not valid %1)").arg(codec);
    case FileProblem::Unencodable:
        return QStringLiteral("替换后含有 %1 无法表示的字符 (the result has characters %1 "
                              "cannot encode)")
            .arg(codec);
    case FileProblem::TooLarge:
        return QStringLiteral("文件太大，内存不足 (too large for memory)");
    }
    return QStringLiteral("写入失败 (write failed)");
}

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

struct Tally
{
    int success = 0;
    int fail = 0;
    int lost = 0;

    int exitStatus() const { return fail + lost > 0 ? 1 : 0; }
};

void printSummary(QTextStream &out, const Tally &tally)
{
    out << QStringLiteral("成功(%1) 失败(%2) 丢失(%3)\n")
               .arg(tally.success)
               .arg(tally.fail)
               .arg(tally.lost);
}

void printProblem(QTextStream &out, STATE state, const QString &path, const QString &reason)
{
    out << (state == LOST ? QStringLiteral("丢失") : QStringLiteral("失败")) << '\t' << path << '\t'
        << reason << '\n';
}

// The window's rule: a path that is not a regular file when the run starts gets no worker.
bool isLost(const QFileInfo &info)
{
    return !info.isFile();
}

QString lostReason(const QString &path)
{
    return problemText(QFileInfo::exists(path) ? FileProblem::NotRegular : FileProblem::Missing);
}

// Most of a small file's time goes to waiting for the disk to take the write, so more
// workers than cores keep the cores busy; a large file keeps its core busy by itself and
// more of them at once only compete for it and for memory.
void sizeThreadPool(qint64 largestFile)
{
    constexpr qint64 SmallFile = 4 << 20;
    const int cores = qMax(1, QThread::idealThreadCount());
    QThreadPool::globalInstance()->setMaxThreadCount(largestFile <= SmallFile ? 4 * cores : cores);
}

int replaceAll(const CliJob &job, QTextStream &out)
{
    const int n = job.paths.size();
    std::vector<STATE> states(size_t(n), SUCCESS);
    ProgressBar progress(n);
    qint64 largest = 0;
    for (int i = 0; i < n; ++i) {
        const QFileInfo info(job.paths.at(i));
        if (isLost(info)) {
            states[size_t(i)] = LOST;
            progress.advance();
        } else {
            largest = qMax(largest, info.size());
        }
    }
    sizeThreadPool(largest);

    std::vector<std::unique_ptr<Rep>> reps;
    QEventLoop loop;
    int pending = 0;
    for (int i = 0; i < n; ++i) {
        if (states[size_t(i)] == LOST)
            continue;
        reps.emplace_back(new Rep(job.paths.at(i), job.optionsFor(i), i));
        QObject::connect(reps.back().get(), &Rep::done, &loop, [&](Rep *, STATE state, int index) {
            states[size_t(index)] = state;
            progress.advance();
            if (--pending == 0)
                loop.quit();
        });
        ++pending;
        QtConcurrent::run(QThreadPool::globalInstance(), reps.back().get(), &Rep::replaceFile);
    }
    if (pending > 0)
        loop.exec();
    // A worker may still be on its way out of emitting done.
    QThreadPool::globalInstance()->waitForDone();
    reps.clear();

    Tally tally;
    for (int i = 0; i < n; ++i) {
        const QString &path = job.paths.at(i);
        switch (states[size_t(i)]) {
        case SUCCESS:
            ++tally.success;
            break;
        case FAIL:
            ++tally.fail;
            // A refused file is as it was, so looking at it again tells why.
            printProblem(out, FAIL, path, problemText(dryRunFile(path, job.optionsFor(i)).problem));
            break;
        case LOST:
            ++tally.lost;
            printProblem(out, LOST, path, lostReason(path));
            break;
        }
    }
    printSummary(out, tally);
    return tally.exitStatus();
}

int dryRunAll(const CliJob &job, QTextStream &out)
{
    const int n = job.paths.size();
    std::vector<DryRun> results(static_cast<size_t>(n));
    std::vector<char> lost(size_t(n), 0);
    ProgressBar progress(n);
    QEventLoop loop;
    int pending = 0;
    for (int i = 0; i < n; ++i) {
        const QString path = job.paths.at(i);
        if (isLost(QFileInfo(path))) {
            lost[size_t(i)] = 1;
            progress.advance();
            continue;
        }
        ++pending;
        const RepOptions options = job.optionsFor(i);
        QtConcurrent::run(QThreadPool::globalInstance(), [&, i, path, options] {
            results[size_t(i)] = dryRunFile(path, options);
            QMetaObject::invokeMethod(
                &loop,
                [&] {
                    progress.advance();
                    if (--pending == 0)
                        loop.quit();
                },
                Qt::QueuedConnection);
        });
    }
    if (pending > 0)
        loop.exec();
    QThreadPool::globalInstance()->waitForDone();

    Tally tally;
    for (int i = 0; i < n; ++i) {
        const QString &path = job.paths.at(i);
        const DryRun &result = results[size_t(i)];
        if (lost[size_t(i)]) {
            ++tally.lost;
            printProblem(out, LOST, path, lostReason(path));
        } else if (result.problem != FileProblem::None) {
            ++tally.fail;
            printProblem(out, FAIL, path, problemText(result.problem));
        } else {
            ++tally.success;
            qint64 total = 0;
            for (const int count : result.counts)
                total += count;
            out << QStringLiteral("成功\t%1\t%2\n").arg(path).arg(total);
            const ReplacePairs pairs = job.optionsFor(i).pairs;
            for (int p = 0; p < pairs.size(); ++p)
                out << '\t' << result.counts.value(p) << '\t' << quoted(pairs.at(p).first)
                    << QStringLiteral(" → ") << quoted(pairs.at(p).second) << '\n';
        }
    }
    out << QStringLiteral("试运行，未写入任何文件 (dry run, nothing written)\n");
    printSummary(out, tally);
    return tally.exitStatus();
}

} // namespace

int runCli(const QStringList &arguments)
{
    // Messages go out in the terminal's encoding, whatever the files are read in.
    QTextCodec *console = QTextCodec::codecForLocale();
    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setCodec(console);
    err.setCodec(console);

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

    QTextCodec::setCodecForLocale(
        options.encoding == CliEncoding::Utf8 ? QTextCodec::codecForName("UTF-8") : nullptr);
    registerRepMetaTypes();

    CliJob job;
    if (!buildCliJob(options, &job, &error)) {
        err << "yihuan-cli: " << error << '\n';
        return 2;
    }
    return options.dryRun ? dryRunAll(job, out) : replaceAll(job, out);
}
