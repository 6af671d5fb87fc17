#pragma once

#include "engine/text/textencoding.h"

#include <QtGlobal>

#include <functional>
#include <optional>

class QByteArray;

// How much of a file automatic detection looks at first. The reading in the encoding it
// suggests then checks the guess on the whole file, so a longer start buys little but time.
constexpr qsizetype DetectionPrefix = 16 * 1024;

// What uchardet takes bytes without a byte-order mark to be, as one of Qt's codecs.
// Only a proposal: uchardet answers something for almost any bytes, so the caller
// keeps it only if the bytes decode and encode back exactly. nullopt when uchardet has
// no answer or names a codec Qt lacks.
std::optional<TextEncoding> proposedEncoding(const QByteArray &bytes);

// What detection makes of the start of a file, or of all of it when it is that short or
// its start tells nothing (plain ASCII); nullopt when nothing. wholeFile, when given,
// says whether the guess came from all of it.
std::optional<TextEncoding> guessFromStart(
    const char *data, qsizetype size, bool *wholeFile = nullptr);

struct Detection
{
    // The encoding last tried: the one the bytes read in when valid. nullopt when
    // detection proposed nothing, or nothing more once the whole file belied the guess.
    std::optional<TextEncoding> encoding;
    bool valid = false;
};

// The one way an automatic run and its preview settle the encoding of bytes that are
// not UTF-8: a guess from the start, checked by readsIn(encoding), which reads the whole
// file in it (replacing as it goes, where it can) and says whether the bytes were valid
// there. A file that belies the guess is guessed once more from all of it, and read
// again only if that says something else. Nothing is decoded twice to decide.
Detection detectNotUtf8(const char *data, qsizetype size,
    const std::function<bool(const TextEncoding &encoding)> &readsIn);
