#include "engine/text/utf8encoder.h"

#include <QString>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr qsizetype EncodeBlock = 16 * 1024; // characters

// Four ASCII characters; with checkNewline, none of them '\n' either.
template<bool checkNewline>
inline bool plainAscii4(const ushort *p)
{
    quint64 x;
    std::memcpy(&x, p, sizeof x);
    if (x & 0xFF80FF80FF80FF80ull)
        return false;
    if (!checkNewline)
        return true;
    const quint64 y = x ^ 0x000A000A000A000Aull;
    return ((y - 0x0001000100010001ull) & ~y & 0x8000800080008000ull) == 0;
}

// UTF-8 is the usual case and is encoded here directly: Qt's encoder would need a copy
// of each block with the line breaks put in first.
template<LineBreaks breaks>
bool encodeUtf8With(const QString &text, const ByteSink &sink)
{
    constexpr bool translate = breaks == LineBreaks::CrLf || breaks == LineBreaks::Cr;
    // Up to three bytes a unit, four for a pair that runs one unit past the block.
    std::vector<uchar> buffer(3 * EncodeBlock + 4);
    const ushort *p = text.utf16();
    const ushort *const end = p + text.size();
    while (p < end) {
        const ushort *const stop = p + std::min<qsizetype>(EncodeBlock, end - p);
        uchar *to = buffer.data();
        while (p < stop) {
            if (stop - p >= 4 && plainAscii4<translate>(p)) {
                to[0] = uchar(p[0]);
                to[1] = uchar(p[1]);
                to[2] = uchar(p[2]);
                to[3] = uchar(p[3]);
                to += 4;
                p += 4;
                continue;
            }
            const ushort c = *p++;
            if (c < 0x80) {
                if (translate && c == '\n') {
                    *to++ = '\r';
                    if (breaks == LineBreaks::CrLf)
                        *to++ = '\n';
                } else {
                    *to++ = uchar(c);
                }
            } else if (c < 0x800) {
                *to++ = uchar(0xC0 | (c >> 6));
                *to++ = uchar(0x80 | (c & 0x3F));
            } else if (!QChar::isSurrogate(c)) {
                *to++ = uchar(0xE0 | (c >> 12));
                *to++ = uchar(0x80 | ((c >> 6) & 0x3F));
                *to++ = uchar(0x80 | (c & 0x3F));
            } else {
                if (!QChar::isHighSurrogate(c) || p == end || !QChar::isLowSurrogate(*p))
                    return false;
                const uint u = QChar::surrogateToUcs4(c, *p++);
                *to++ = uchar(0xF0 | (u >> 18));
                *to++ = uchar(0x80 | ((u >> 12) & 0x3F));
                *to++ = uchar(0x80 | ((u >> 6) & 0x3F));
                *to++ = uchar(0x80 | (u & 0x3F));
            }
        }
        if (!sink(reinterpret_cast<const char *>(buffer.data()), qint64(to - buffer.data())))
            return false;
    }
    return true;
}

} // namespace

bool encodeUtf8(const QString &text, LineBreaks breaks, const ByteSink &sink)
{
    switch (breaks) {
    case LineBreaks::CrLf:
        return encodeUtf8With<LineBreaks::CrLf>(text, sink);
    case LineBreaks::Cr:
        return encodeUtf8With<LineBreaks::Cr>(text, sink);
    case LineBreaks::Lf:
    case LineBreaks::Mixed:
        break;
    }
    return encodeUtf8With<LineBreaks::Lf>(text, sink);
}
