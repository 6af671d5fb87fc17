// Drives SafeFile and Journal from a process of its own, so that tests can run a
// rewrite as another user or kill it part way. Prints one line per file, "<reason>
// <path>", as soon as the file is done.
//
//   safewrite_helper rewrite [--no-journal] [--batch N] APPEND FILE...
//       Appends APPEND to each file, through the journal unless told otherwise.
//   safewrite_helper tear APPEND FILE
//       Starts an in-place rewrite, overwrites half of the file, and kills itself: what a
//       kill in the middle of an in-place write leaves.
//   safewrite_helper undo
//       Undoes the last run; prints "restored already changed missing failed".
//   safewrite_helper stream KEYWORD REPLACEMENT PATH...
//       A streaming run over the files and folders (recursively), with undo; prints
//       "<reason> <path>" for each problem, then "success fail lost".
#include "engine/durable/journal.h"
#include "engine/durable/safefile.h"
#include "engine/durable/undo.h"
#include "engine/streamrun.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <memory>

#include <unistd.h>

namespace {

void report(Reason reason, const QString &path)
{
    std::printf("%d %s\n", int(reason), QFile::encodeName(path).constData());
    std::fflush(stdout);
}

Reason prepare(SafeFile &file, const QString &path, const QByteArray &append, Journal *journal)
{
    QByteArray bytes;
    Reason reason = file.open(path);
    if (reason == Reason::None)
        reason = file.readAll(&bytes);
    bytes += append;
    // In two pieces, as an encoder hands them over.
    const int half = bytes.size() / 2;
    if (reason == Reason::None)
        reason = file.write(bytes.constData(), half);
    if (reason == Reason::None)
        reason = file.write(bytes.constData() + half, bytes.size() - half);
    if (reason == Reason::None)
        reason = file.stage(journal);
    return reason;
}

int rewrite(QStringList arguments)
{
    bool useJournal = true;
    int batch = 1;
    while (!arguments.isEmpty() && arguments.first().startsWith(QLatin1String("--"))) {
        const QString option = arguments.takeFirst();
        if (option == QLatin1String("--no-journal"))
            useJournal = false;
        else if (option == QLatin1String("--batch") && !arguments.isEmpty())
            batch = qMax(1, arguments.takeFirst().toInt());
    }
    if (arguments.isEmpty())
        return 2;
    const QByteArray append = arguments.takeFirst().toUtf8();
    std::unique_ptr<Journal> journal;
    if (useJournal) {
        journal = std::make_unique<Journal>();
        QString error;
        if (!journal->start(&error)) {
            std::fprintf(stderr, "journal: %s\n", qPrintable(error));
            return 1;
        }
    }
    for (int first = 0; first < arguments.size(); first += batch) {
        const int count = qMin(batch, arguments.size() - first);
        std::vector<std::unique_ptr<SafeFile>> files;
        QVector<Reason> reasons;
        QVector<SafeFile *> staged;
        for (int i = 0; i < count; ++i) {
            files.push_back(std::make_unique<SafeFile>());
            reasons.append(prepare(*files.back(), arguments.at(first + i), append, journal.get()));
            if (reasons.last() == Reason::None)
                staged.append(files.back().get());
        }
        const SafeFile::Sync sync
            = batch > 1 && SafeFile::syncStaged(staged, journal.get()) == Reason::None
            ? SafeFile::Sync::AlreadyDone
            : SafeFile::Sync::Here;
        for (int i = 0; i < count; ++i) {
            if (reasons.at(i) == Reason::None)
                reasons[i] = files.at(size_t(i))->commit(sync);
            report(reasons.at(i), arguments.at(first + i));
        }
    }
    if (journal && !journal->finish())
        return 1;
    return 0;
}

int tear(const QStringList &arguments)
{
    if (arguments.size() != 2)
        return 2;
    Journal journal;
    if (!journal.start())
        return 1;
    SafeFile file;
    const Reason reason = prepare(file, arguments.at(1), arguments.at(0).toUtf8(), &journal);
    if (reason != Reason::None || !file.writesInPlace()) {
        report(reason == Reason::None ? Reason::WriteFailed : reason, arguments.at(1));
        return 1;
    }
    QFile target(arguments.at(1));
    if (!target.open(QIODevice::ReadWrite))
        return 1;
    const QByteArray garbage(int(file.size() / 2) + 1, '#');
    target.write(garbage);
    target.flush();
    ::fsync(target.handle());
    ::raise(SIGKILL);
    return 1;
}

int undo()
{
    const UndoResult result = undoLastRun();
    if (result.nothingToUndo) {
        std::printf("nothing\n");
        return 0;
    }
    std::printf("%d %d %d %d %d\n", result.restored, result.alreadyOriginal, result.changedSince,
        result.missing, result.failed);
    return result.failed == 0 ? 0 : 1;
}

int stream(const QStringList &arguments)
{
    if (arguments.size() < 3)
        return 2;
    RunOptions options;
    options.settings.encoding = TextEncoding::utf8();
    StreamSource source;
    source.paths = arguments.mid(2);
    source.recursive = true;
    StreamRun run({{arguments.at(0), arguments.at(1)}}, options);
    const std::atomic_bool stop {false};
    if (!run.run(source, stop, {}))
        return 1;
    for (const StreamFile &problem : run.problems())
        report(problem.reason, problem.path);
    std::printf("%d %d %d\n", run.tally().success, run.tally().fail, run.tally().lost);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("yihuan"));
    QStringList arguments = app.arguments().mid(1);
    const QString command = arguments.isEmpty() ? QString() : arguments.takeFirst();
    if (command == QLatin1String("rewrite"))
        return rewrite(arguments);
    if (command == QLatin1String("tear"))
        return tear(arguments);
    if (command == QLatin1String("undo"))
        return undo();
    if (command == QLatin1String("stream"))
        return stream(arguments);
    std::fprintf(stderr, "usage: safewrite_helper rewrite|tear|undo ...\n");
    return 2;
}
