#pragma once

#include <QString>

class QMimeType;

// XML, JSON, scripts and subtitles are not under text/ but derive from text/plain.
bool isTextMimeType(const QMimeType &type);

enum class PathKind { TextFile, Directory, ListWorkbook, Unsupported };

// What a path dropped onto the window stands for, with the types a folder scan gives
// files. A run's temporary file, left behind by a killed run, stands for nothing usable.
PathKind classifyPath(const QString &localPath);
