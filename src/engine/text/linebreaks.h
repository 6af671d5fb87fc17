#pragma once

// How a file breaks its lines. Text in memory always breaks lines with '\n' alone,
// except for a Mixed file read to keep its format: its text keeps every "\r\n",
// "\r" and "\n" as they were, so that writing it back changes none of them.
enum class LineBreaks {
    Lf, // also a file without any line break
    CrLf,
    Cr,
    Mixed,
};
