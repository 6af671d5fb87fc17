#pragma once

#include <QtGlobal>

// What one pass over a file's bytes found out: whether Qt's UTF-8 decoder would accept
// them, whether they hold a NUL, and how their lines are broken.
struct Utf8Scan
{
    bool valid = true; // well-formed UTF-8, nothing cut off at the end
    bool hasNul = false;
    qsizetype carriageReturns = 0;
    qsizetype lineFeeds = 0;
    qsizetype crLfPairs = 0;
};

// Scans with the widest vector unit the processor offers.
Utf8Scan scanUtf8(const char *data, qsizetype size);

// The byte-at-a-time definition the vector code is held to.
Utf8Scan scanUtf8Scalar(const char *data, qsizetype size);

// The part of bytes cut from the start of longer ones that is whole characters: all of
// them, less a sequence the cut may have left unfinished at their end.
qsizetype wholeUtf8Characters(const char *data, qsizetype size);
