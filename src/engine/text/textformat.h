#pragma once

#include "engine/base/reason.h"
#include "engine/text/linebreaks.h"
#include "engine/text/textencoding.h"
#include "engine/text/utf8encoder.h"

class QByteArray;
class QString;

// What a file was read as, so that it can be written back the same way.
struct TextFormat
{
    // The codec that decoded the bytes: the byte-order mark's, the run's choice, or the
    // one detected; never automatic.
    TextEncoding encoding;
    bool byteOrderMark = false;
    LineBreaks lineBreaks = LineBreaks::Lf;
};

// Decodes a whole file. A byte-order mark decides the codec whatever the choice and is
// not part of the text; else the choice decides, and automatic takes valid UTF-8 as
// UTF-8 and otherwise what uchardet proposes. A decoding counts only if it loses
// nothing. The text breaks lines with '\n' alone ("\r\n" and a lone '\r' become '\n'),
// except for a file of mixed breaks read with keepFormat, whose text keeps them all as
// they were. format says what the bytes were, breaks included, in either mode.
// Reason::Binary, InvalidEncoding (format names the encoding) or EncodingNotRecognised
// for a file to leave alone; throws std::bad_alloc for text beyond QString's limit.
// EncodingUncertain when uchardet's answer is a code page the program does not offer
// (for short texts it often guesses one): text and format hold the file as read in it,
// for a caller whose replacements no reading can change (see keepsAnyAsciiReading()).
Reason decodeText(const QByteArray &bytes, const TextEncoding &choice, bool keepFormat,
    QString *text, TextFormat *format);

// Hands text, as decodeText made it with the same keepFormat, to sink in pieces. With
// keepFormat exactly as format says; without, in format's encoding with "\r\n" breaks
// and no byte-order mark, except that UTF-16 and UTF-32 keep theirs: without it
// nothing tells their encoding. Reason::Unencodable when a character cannot be
// encoded, WriteFailed when sink refuses a piece; either way, discard what sink got.
// The format a run writes a file back in: the file's own when it keeps formats or
// detects encodings; otherwise the chosen encoding, without a byte-order mark.
TextFormat writtenFormat(TextFormat read, const TextEncoding &choice, bool keepFormat);

Reason encodeText(
    const QString &text, const TextFormat &format, bool keepFormat, const ByteSink &sink);
