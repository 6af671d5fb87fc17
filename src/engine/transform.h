#pragma once

#include "engine/rep.h"

#include <QString>
#include <QVector>

// Applies the pairs in list order, each to the text the previous ones left.
// Pairs with an empty keyword are skipped. When counts is given it receives one
// entry per pair: how many replacements that pair made.
QString applyPairs(QString text, const RepOptions &options, QVector<int> *counts = nullptr);
