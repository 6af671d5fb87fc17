#pragma once

#include <QByteArray>

// A unified diff of two versions of a file, line by line in the file's own bytes, as
// `diff -u` writes it and `patch` reads it:
//
//   unifiedDiff("a\nb\n", "a\nc\n", "notes.txt");
//   // --- notes.txt
//   // +++ notes.txt
//   // @@ -1,2 +1,2 @@
//   //  a
//   // -b
//   // +c
//
// A line keeps its break ("\r\n" included); a last line without one is followed by
// "\ No newline at end of file". Empty when the two are the same.
QByteArray unifiedDiff(
    const QByteArray &before, const QByteArray &after, const QByteArray &name, int context = 3);
