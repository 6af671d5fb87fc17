#pragma once

#include "files/namemasks.h"
#include "files/pathlist.h"

#include <QString>

#include <atomic>
#include <functional>

// Appends the text files found in dirPath to list in name order (case-insensitive), descending
// into each subdirectory where its name falls unless noRecursion is set. Hidden entries are
// skipped; a directory reached twice (through symbolic links) is scanned only once. A text file
// whose path is already in list is not added again; onDuplicate is called for it instead.
// A file the masks do not take is left out, and so is a folder they exclude, unvisited.
// Returns how many text files the masks left out.
int scanTextFiles(const QString &dirPath, PathList &list, bool noRecursion,
    const std::function<void()> &onDuplicate = {}, const NameMasks &masks = {});

// The same scan as a stream: each text file goes to onFile as it is found, in the same
// order, and nothing of it is kept, duplicates included. Ends early once stop is set.
int scanTextFiles(const QString &dirPath, bool noRecursion, const NameMasks &masks,
    const std::function<void(const QString &path)> &onFile, const std::atomic_bool *stop = nullptr);
