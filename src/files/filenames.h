#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QUrl;

// A file name on disk is bytes; a QString is text. Bytes the locale's encoding cannot
// decode (0xFF under UTF-8) become U+FFFD in QFile::decodeName, and encoding that back
// names another file, possibly a real one. Names decoded here keep each such byte as a
// lone low surrogate U+DC80 + byte instead ("surrogate escape"): no decodable name holds
// one, so the name stays distinct from every real name and is known to be unusable for
// opening through QFile.

// Raw name or path bytes as text: exactly QFile::decodeName where that round-trips.
QString decodeFileName(const QByteArray &raw);

// The bytes decodeFileName() read; for a name without escapes, QFile::encodeName.
QByteArray encodeFileName(const QString &path);

// True when QFile can open the path by this name: no escapes, and QFile::encodeName and
// QFile::decodeName carry it there and back.
bool isEncodableFileName(const QString &path);

// The local path of a dropped file URL, from the bytes its percent-encoding carries.
// Empty for a URL that is not a local file.
QString localPathFromUrl(const QUrl &url);

// The program's arguments from the bytes main() received.
QStringList argumentsFromArgv(int argc, const char *const *argv);

// A temporary file a run writes (and a killed run may leave behind), which lists never take.
bool isRunTempFile(const QString &path);
