#pragma once

#include "engine/text/linebreaks.h"

#include <QtGlobal>

#include <functional>

class QString;

// Receives encoded bytes piece by piece; returning false stops the encoding.
using ByteSink = std::function<bool(const char *data, qint64 size)>;

// Hands text to sink as UTF-8 in pieces of at most 48 KiB, each '\n' written as breaks
// asks: "\r\n" for CrLf, "\r" for Cr, unchanged for Lf and Mixed. False when sink
// refuses a piece or the text holds a lone surrogate, which UTF-8 cannot carry.
bool encodeUtf8(const QString &text, LineBreaks breaks, const ByteSink &sink);
