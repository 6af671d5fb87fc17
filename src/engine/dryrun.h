#pragma once

#include "engine/rep.h"

#include <QString>
#include <QVector>

// Why a worker would leave a file as it is.
enum class FileProblem {
    None,
    Missing,
    NotRegular,
    ReadOnly,
    Unreadable,
    Binary,
    InvalidEncoding,
    Unencodable,
    TooLarge,
};

struct DryRun
{
    FileProblem problem = FileProblem::None;
    // Replacements per pair, in pair order; empty when the file would be refused.
    QVector<int> counts;
};

// Goes through what Rep::replaceFile does to the file — the same reading, decoding,
// pairs and encoding — and stops short of writing. A failure that only the write itself
// would meet (a full disk, a folder that cannot take the new file) is not foreseen.
DryRun dryRunFile(const QString &path, const RepOptions &options);

// Why readTextFile refuses the file; None when it does not.
FileProblem readProblem(const QString &path);
