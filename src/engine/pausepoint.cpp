#include "engine/pausepoint.h"

#ifdef YIHUAN_PAUSE_POINTS

#include <QByteArray>

#include <cerrno>
#include <cstdio>

#include <unistd.h>

void pausePoint(const char *step)
{
    static const QByteArray wanted = qgetenv("YIHUAN_PAUSE_AT");
    if (wanted.isEmpty() || wanted != step)
        return;
    std::fprintf(stderr, "paused at %s\n", step);
    std::fflush(stderr);
    char byte = 0;
    ssize_t got;
    do {
        got = ::read(STDIN_FILENO, &byte, 1);
    } while ((got < 0 && errno == EINTR) || (got == 1 && byte != '\n'));
}

#else

void pausePoint(const char *) { }

#endif
