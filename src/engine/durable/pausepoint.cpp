#include "engine/durable/pausepoint.h"

#ifdef YIHUAN_PAUSE_POINTS

#include "engine/durable/uniquefd.h"

#include <QByteArray>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

void waitOnFifos(const char *folder, const char *step)
{
    const QByteArray base = QByteArray(folder) + '/';
    // Open for reading first, so that the test can write the release as soon as it has
    // read that the step was reached.
    const UniqueFd release(::open(base + "release", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    UniqueFd reached;
    do {
        reached.reset(::open(base + "reached", O_WRONLY | O_CLOEXEC));
    } while (!reached.isValid() && errno == EINTR);
    if (!release.isValid() || !reached.isValid())
        return;
    const QByteArray line = QByteArray(step) + '\n';
    (void)!::write(reached.get(), line.constData(), size_t(line.size()));
    reached.reset();
    pollfd wait = {release.get(), POLLIN, 0};
    while (::poll(&wait, 1, -1) < 0 && errno == EINTR) { }
}

void waitOnStandardInput(const char *step)
{
    std::fprintf(stderr, "paused at %s\n", step);
    std::fflush(stderr);
    char byte = 0;
    ssize_t got;
    do {
        got = ::read(STDIN_FILENO, &byte, 1);
    } while ((got < 0 && errno == EINTR) || (got == 1 && byte != '\n'));
}

} // namespace

void pausePoint(const char *step)
{
    static std::atomic_int arrivals {0};
    const char *wanted = std::getenv("YIHUAN_PAUSE_AT");
    const char *skip = std::getenv("YIHUAN_PAUSE_SKIP");
    if (!wanted || std::strcmp(wanted, step) != 0
        || arrivals.fetch_add(1) != (skip ? std::atoi(skip) : 0))
        return;
    if (const char *folder = std::getenv("YIHUAN_PAUSE_DIR"))
        waitOnFifos(folder, step);
    else
        waitOnStandardInput(step);
}

#endif
