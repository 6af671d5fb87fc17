#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <sys/stat.h>

// Small wrappers over the system calls the safe rewrite and its undo share. They
// retry on EINTR and report failure with errno set.

// A native path cut into its folder ("." for a bare name) and its last component.
struct NativePath
{
    QByteArray folder;
    QByteArray name;
};
NativePath splitNativePath(const QByteArray &path);

// Opens the folder, following links on the way, to work relative to it from then on.
int openFolder(const QByteArray &folder);

// Opens the same file as fd once more, for writing: the permission is checked against
// the file itself, whatever its name now refers to.
int reopenForWriting(int fd);

bool writeFully(int fd, const char *data, qint64 size);
bool pwriteFully(int fd, const char *data, qint64 size, qint64 offset);

// Copies size bytes of from (from its start) to the start of to, in the kernel where
// it can.
bool copyContent(int from, int to, qint64 size);
// The same for the bytes from offset up to size, at the same offset in to.
bool copyContentRange(int from, int to, qint64 offset, qint64 size);

// Same file, same size, same modification and change time: nothing wrote to it or
// changed its mode or owner in between. A writer can put the modification time back;
// nobody can put back the change time.
bool sameVersion(const struct stat &a, const struct stat &b);

// Hidden temp name next to name (see tempnames.h); attempt varies the unique part.
QByteArray nativeTempName(const QByteArray &name, int attempt);

// Creates a new temp file for name in folder, trying fresh names while one is taken;
// its name goes to tempName. -1 with errno set when none could be made.
int createTempFile(int folder, const QByteArray &name, mode_t mode, QByteArray *tempName);
