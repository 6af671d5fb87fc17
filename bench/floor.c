/* The floor under any tool that rewrites files safely: read each file whole, write its
 * bytes to a temporary file beside it, rename that over the original. No replacing, no
 * decoding. Threads as yihuan-cli sizes its pool: eight per core while every file is at
 * most 4 MiB, one per core otherwise; each thread keeps its buffer from file to file.
 *
 *   yihuan-floor [--sync] FILE...     (--sync: fdatasync each file before its rename)
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char **files;
static int fileCount;
static int syncEach;
static atomic_int next;
static atomic_int failures;

static int rewrite(const char *path, char **buffer, size_t *capacity)
{
    int in = open(path, O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0)
        return -1;
    size_t size = (size_t)st.st_size;
    if (size > *capacity) {
        char *grown = realloc(*buffer, size);
        if (!grown)
            return -1;
        *buffer = grown;
        *capacity = size;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(in, *buffer + got, size - got);
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close(in);
    if (got != size)
        return -1;

    size_t length = strlen(path);
    char *temp = malloc(length + 16);
    if (!temp)
        return -1;
    snprintf(temp, length + 16, "%s.XXXXXX", path);
    int out = mkstemp(temp);
    if (out < 0) {
        free(temp);
        return -1;
    }
    size_t put = 0;
    while (put < size) {
        ssize_t n = write(out, *buffer + put, size - put);
        if (n <= 0)
            break;
        put += (size_t)n;
    }
    int ok = put == size && fchmod(out, st.st_mode & 07777) == 0
        && (!syncEach || fdatasync(out) == 0);
    ok = close(out) == 0 && ok && rename(temp, path) == 0;
    if (!ok)
        unlink(temp);
    free(temp);
    return ok ? 0 : -1;
}

static void *worker(void *unused)
{
    (void)unused;
    char *buffer = NULL;
    size_t capacity = 0;
    for (int i; (i = atomic_fetch_add(&next, 1)) < fileCount;) {
        if (rewrite(files[i], &buffer, &capacity) != 0) {
            fprintf(stderr, "yihuan-floor: %s: %s\n", files[i], strerror(errno));
            atomic_fetch_add(&failures, 1);
        }
    }
    free(buffer);
    return NULL;
}

int main(int argc, char **argv)
{
    int first = 1;
    if (argc > 1 && strcmp(argv[1], "--sync") == 0) {
        syncEach = 1;
        first = 2;
    }
    files = argv + first;
    fileCount = argc - first;
    off_t largest = 0;
    for (int i = 0; i < fileCount; ++i) {
        struct stat st;
        if (stat(files[i], &st) == 0 && st.st_size > largest)
            largest = st.st_size;
    }
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (cores < 1)
        cores = 1;
    int threads = (int)(largest <= (4 << 20) ? 8 * cores : cores);
    if (threads > fileCount)
        threads = fileCount > 0 ? fileCount : 1;
    pthread_t ids[threads];
    for (int t = 0; t < threads; ++t)
        pthread_create(&ids[t], NULL, worker, NULL);
    for (int t = 0; t < threads; ++t)
        pthread_join(ids[t], NULL);
    return atomic_load(&failures) ? 1 : 0;
}
