#pragma once

#include "engine/text/textencoding.h"

#include <optional>

class QByteArray;

// What uchardet takes bytes without a byte-order mark to be, as one of Qt's codecs.
// Only a proposal: uchardet answers something for almost any bytes, so the caller
// keeps it only if the bytes decode and encode back exactly. nullopt when uchardet has
// no answer or names a codec Qt lacks.
std::optional<TextEncoding> proposedEncoding(const QByteArray &bytes);
