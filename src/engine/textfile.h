#pragma once

#include <QByteArray>
#include <QString>

class QTextCodec;

// Reads a file that is about to be rewritten. False when it must be left alone:
// missing, not a regular file, read-only by its permission bits, unreadable,
// binary (NUL bytes and no UTF-16/UTF-32 byte-order mark) or not valid in its
// encoding. A byte-order mark selects its Unicode codec and is dropped; otherwise
// the locale codec decodes. Carriage returns are dropped.
bool readTextFile(const QString &path, QString *text);

// Replaces the file's content with text in the locale codec, CRLF line ends, no
// byte-order mark; the file keeps its permission bits and, where allowed, its
// owner and group. False, with the file as it was, when the text cannot be
// encoded or the write fails.
bool writeTextFile(const QString &path, const QString &text);

// readTextFile's decoding of bytes already in memory. False also when the bytes
// are not exactly what the decoded text encodes back to.
bool decodeText(const QByteArray &bytes, QTextCodec *fallback, QString *text);

// writeTextFile's encoding into memory: no byte-order mark, every '\n' as "\r\n".
// False when a character cannot be encoded.
bool encodeText(const QString &text, QTextCodec *codec, QByteArray *bytes);
