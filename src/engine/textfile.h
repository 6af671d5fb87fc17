#pragma once

#include "engine/reason.h"

#include <QByteArray>
#include <QString>

class QTextCodec;

// Reads a file that is about to be rewritten, or says why it must be left alone:
// missing, not a regular file, read-only by its permission bits, unreadable, binary
// (NUL bytes and no UTF-16/UTF-32 byte-order mark) or not valid in its encoding. A
// byte-order mark selects its Unicode codec and is dropped; otherwise codec decodes.
// Carriage returns are dropped.
Reason readTextFile(const QString &path, QTextCodec *codec, QString *text);

// Replaces the file's content with text in codec, CRLF line ends, no byte-order mark;
// the file keeps its permission bits and, where allowed, its owner and group. On
// failure the file is as it was.
Reason writeTextFile(const QString &path, const QString &text, QTextCodec *codec);

// readTextFile's decoding of bytes already in memory. InvalidEncoding also when the
// bytes are not exactly what the decoded text encodes back to.
Reason decodeText(const QByteArray &bytes, QTextCodec *fallback, QString *text);

// writeTextFile's encoding into memory: no byte-order mark, every '\n' as "\r\n".
// Unencodable when a character cannot be encoded.
Reason encodeText(const QString &text, QTextCodec *codec, QByteArray *bytes);
