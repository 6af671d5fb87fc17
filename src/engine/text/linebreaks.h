#pragma once

#include <QtGlobal>

// How a file breaks its lines. Text in memory always breaks lines with '\n' alone,
// except for a Mixed file read to keep its format: its text keeps every "\r\n",
// "\r" and "\n" as they were, so that writing it back changes none of them.
enum class LineBreaks {
    Lf, // also a file without any line break
    CrLf,
    Cr,
    Mixed,
};

// The most bytes writeBreaks() may store for n bytes of text, past what it reports:
// it copies whole vectors at a time.
constexpr qsizetype writeBreaksRoom(qsizetype n, qsizetype breakLength)
{
    return n * breakLength + 32;
}

// Copies n bytes of text to out with each '\n' written as lineBreak (breakLength bytes,
// one or two), everything else, '\r' included, as it is; returns the end of what it wrote.
// out has room for writeBreaksRoom(n, breakLength) bytes and does not overlap the text.
// Runs without a '\n' go in whole vectors, with the widest unit the processor offers.
char *writeBreaks(
    const char *text, qsizetype n, char *out, const char *lineBreak, qsizetype breakLength);

// The byte-at-a-time definition the vector code is held to.
char *writeBreaksScalar(
    const char *text, qsizetype n, char *out, const char *lineBreak, qsizetype breakLength);
