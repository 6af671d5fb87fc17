#pragma once

#include "engine/reason.h"
#include "engine/utf8encoder.h"

#include <QByteArray>
#include <QString>

#include <functional>

// Reads a whole file that is about to be rewritten, or says why it must be left alone:
// missing, not a regular file, read-only by its permission bits, or unreadable.
Reason readFileBytes(const QString &path, QByteArray *bytes);

// The same into memory that buffer(size) hands out for the file's size.
Reason readFileBytes(
    const QString &path, const std::function<char *(qint64 size)> &buffer, qint64 *size);

// Replaces the file's content with what produce hands to its sink. The file keeps its
// permission bits and, where allowed, its owner and group. On failure the file is as it
// was; produce's own failure reason is passed on.
Reason writeFileBytes(const QString &path, const std::function<Reason(const ByteSink &)> &produce);
