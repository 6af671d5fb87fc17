#pragma once

#include <QString>

// The folder part of a path, with its trailing "/"; empty when the path has no folder part.
QString containingFolder(const QString &path);
