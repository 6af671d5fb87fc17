#include "engine/match/utf8replace.h"

#include "engine/match/multibyte.h"
#include "engine/match/regex.h"
#include "engine/match/replacer.h"
#include "engine/match/utf8scan.h"

#include <QString>
#include <QTextCodec>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace {

constexpr char Bom[] = "\xEF\xBB\xBF";

bool hasLoneSurrogate(const QString &s)
{
    for (int i = 0; i < s.size(); ++i) {
        if (s.at(i).isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate())
            ++i;
        else if (s.at(i).isSurrogate())
            return true;
    }
    return false;
}

std::vector<char> bytesOf(const QString &s)
{
    const QByteArray utf8 = s.toUtf8();
    return std::vector<char>(utf8.constBegin(), utf8.constEnd());
}

LineBreaks classify(const Utf8Scan &scan)
{
    if (scan.carriageReturns == 0)
        return LineBreaks::Lf;
    if (scan.crLfPairs == scan.carriageReturns && scan.crLfPairs == scan.lineFeeds)
        return LineBreaks::CrLf;
    if (scan.crLfPairs == 0 && scan.lineFeeds == 0)
        return LineBreaks::Cr;
    return LineBreaks::Mixed;
}

// Whether a file in which nothing was replaced comes out as its own bytes: with its
// breaks kept, or already all "\r\n" (or none), and no byte-order mark to drop.
bool unchangedWithout(LineBreakMode mode, const Utf8Scan &scan, bool byteOrderMark)
{
    const qsizetype breaks = scan.lineFeeds + scan.carriageReturns - scan.crLfPairs;
    return mode == LineBreakMode::KeepFormat
        || (!byteOrderMark && (classify(scan) == LineBreaks::CrLf || breaks == 0));
}

// Replacements per pair into counts, which has a place for each pair already.
template<typename Made>
void storeCounts(const Made &made, QVector<int> *counts)
{
    for (size_t i = 0; i < made.size(); ++i)
        (*counts)[int(i)] = int(std::min<qsizetype>(made[i], std::numeric_limits<int>::max()));
}

// "\r\n" and a lone '\r' both become '\n', in place. Returns the new length.
qsizetype normaliseBreaks(char *d, qsizetype n)
{
    const char *const end = d + n;
    const char *r = static_cast<const char *>(std::memchr(d, '\r', size_t(n)));
    if (!r)
        return n;
    char *w = d + (r - d);
    while (r < end) {
        const char *cr = static_cast<const char *>(std::memchr(r, '\r', size_t(end - r)));
        const char *stop = cr ? cr : end;
        std::memmove(w, r, size_t(stop - r));
        w += stop - r;
        if (!cr)
            break;
        r = cr + 1;
        if (r == end || *r != '\n')
            *w++ = '\n';
    }
    return w - d;
}

// Appends text to the output, each '\n' written as the file's line break.
// Streamed output leaves the buffer in pieces this size: a whole second copy of a large
// file would cost its fresh pages more than the replacing.
constexpr qsizetype StreamPiece = 1 << 20;

class BreakWriter
{
public:
    BreakWriter(UnitBuffer<char> *out, const char *lineBreak, const Utf8Replace::Sink *sink)
        : out(out)
        , lineBreak(lineBreak)
        , breakLength(lineBreak ? qsizetype(std::strlen(lineBreak)) : 0)
        , sink(sink)
    {
    }

    // A long piece goes out in parts, so that the buffer stays the size of one.
    void operator()(const char *p, qsizetype n)
    {
        while (n > 0) {
            const qsizetype part = sink ? std::min(n, StreamPiece) : n;
            append(p, part);
            if (sink && out->size() >= StreamPiece)
                flush();
            p += part;
            n -= part;
        }
    }

    // For the text from here on; null writes it as it is.
    void setLineBreak(const char *lineBreak)
    {
        this->lineBreak = lineBreak;
        breakLength = lineBreak ? qsizetype(std::strlen(lineBreak)) : 0;
    }

    // False when the sink refused a piece.
    bool finish()
    {
        if (sink)
            flush();
        return accepted;
    }

private:
    void append(const char *p, qsizetype n)
    {
        if (!lineBreak) {
            out->append(p, n);
            return;
        }
        // In blocks, so that the room kept for every byte turning into a break stays small.
        while (n > 0) {
            const qsizetype part = std::min(n, BreakBlock);
            out->reserve(out->size() + writeBreaksRoom(part, breakLength));
            const char *const end
                = writeBreaks(p, part, out->data() + out->size(), lineBreak, breakLength);
            out->resize(end - out->data());
            p += part;
            n -= part;
        }
    }

    static constexpr qsizetype BreakBlock = 16 * 1024;

    void flush()
    {
        if (accepted && out->size() > 0)
            accepted = (*sink)(out->data(), out->size());
        out->clear();
    }

    UnitBuffer<char> *out;
    const char *lineBreak;
    qsizetype breakLength;
    const Utf8Replace::Sink *sink;
    bool accepted = true;
};

} // namespace

class Utf8Replace::Private
{
public:
    Private(
        const std::vector<UnitPair<char>> &pairs, LineBreakMode mode, const MultiByteTable *table)
        : mode(mode)
        , table(table)
    {
        for (const UnitPair<char> &pair : pairs) {
            if (pair.key.empty())
                continue;
            for (const auto *side : {&pair.key, &pair.rep}) {
                for (const char c : *side)
                    breakFree = breakFree && c != '\r' && c != '\n';
            }
        }
    }
    virtual ~Private() = default;

    // Replaces in (*text)[start, size()), which the bytes have been found valid, handing
    // the result to writer; counts gets one entry per pair.
    virtual void replace(UnitBuffer<char> *text, qsizetype start, UnitBuffer<char> *spare,
        BreakWriter &writer, std::vector<qsizetype> *counts) const = 0;
    virtual int size() const = 0;

    LineBreakMode mode;
    const MultiByteTable *table; // null for UTF-8
    // No keyword or replacement holds a line break, so none can match across one,
    // remove one or add one, and a '\r' in place of a '\n' is a boundary all the same.
    bool breakFree = true;
};

namespace {

template<typename Chars>
class BytesReplacer : public Utf8Replace::Private
{
public:
    BytesReplacer(std::vector<UnitPair<char>> pairs, const ReplaceSettings &settings,
        LineBreakMode mode, const MultiByteTable *table, Chars chars)
        : Private(pairs, mode, table)
        , replacer(std::move(pairs), settings.wholeWord(), chars, settings.ignoreCase)
    {
    }

    void replace(UnitBuffer<char> *text, qsizetype start, UnitBuffer<char> *spare,
        BreakWriter &writer, std::vector<qsizetype> *counts) const override
    {
        replacer.run(text, start, spare, writer, counts);
    }
    int size() const override { return replacer.size(); }

    Replacer<char, Chars> replacer;
};

// Regular expressions on UTF-8, each pair over what the one before left. The breaks are
// normalised just as the decoding route normalises them, so '.', '$' and [^\n] see the
// same text there and here; a pattern can match a break anywhere, so none is kept as it is.
class RegexBytesReplacer : public Utf8Replace::Private
{
public:
    RegexBytesReplacer(
        const ReplacePairs &pairs, const ReplaceSettings &settings, LineBreakMode mode)
        : Private({}, mode, nullptr)
        , pairs(pairs)
        , caseless(settings.ignoreCase)
        , extended(settings.extendedReplacement)
    {
        breakFree = false;
    }

    void replace(UnitBuffer<char> *text, qsizetype start, UnitBuffer<char> *spare,
        BreakWriter &writer, std::vector<qsizetype> *counts) const override
    {
        counts->assign(size_t(pairs.size()), 0);
        int last = -1;
        for (int i = 0; i < pairs.size(); ++i) {
            if (!pairs.at(i).first.isEmpty())
                last = i;
        }
        for (int i = 0; i <= last; ++i) {
            const ReplacePair &pair = pairs.at(i);
            if (pair.first.isEmpty())
                continue;
            const std::shared_ptr<const RegexPattern> rx = threadPattern(pair.first, caseless);
            if (!rx->isValid())
                continue;
            const RegexReplacement replacement(pair.second, *rx, extended);
            const char *const s = text->data() + start;
            const qsizetype n = text->size() - start;
            if (i == last) {
                // Small pieces are gathered before the writer sees them: its search for
                // line breaks costs more per piece than the matching.
                spare->clear();
                spare->reserve(2 * StagePiece);
                (*counts)[size_t(i)] = regexReplace<char>(
                    *rx, replacement, s, n, [spare, &writer](const char *p, qsizetype count) {
                        if (count < SmallPiece) {
                            spare->append(p, count);
                            if (spare->size() < StagePiece)
                                return;
                        }
                        writer(spare->data(), spare->size());
                        spare->clear();
                        if (count >= SmallPiece)
                            writer(p, count);
                    });
                writer(spare->data(), spare->size());
                return;
            }
            spare->clear();
            spare->reserve(n + n / 16);
            (*counts)[size_t(i)] = regexReplace<char>(*rx, replacement, s, n,
                [spare](const char *p, qsizetype count) { spare->append(p, count); });
            text->swap(*spare);
            start = 0;
        }
        writer(text->data() + start, text->size() - start);
    }
    int size() const override { return pairs.size(); }

    // Small enough to stay in the cache between the two copies.
    static constexpr qsizetype StagePiece = 64 * 1024;
    static constexpr qsizetype SmallPiece = 256;

    ReplacePairs pairs;
    bool caseless;
    bool extended;
};

// The pairs in the bytes of an encoding, or nullopt when one of them does not encode to
// exactly its own characters: its keyword can then occur in no valid text, and its
// replacement cannot be written, and the decoding route says which.
std::optional<std::vector<UnitPair<char>>> pairsIn(
    const ReplacePairs &replacePairs, QTextCodec *codec)
{
    const auto bytesIn = [codec](const QString &s) -> std::optional<std::vector<char>> {
        if (!codec)
            return bytesOf(s);
        QTextCodec::ConverterState out(QTextCodec::IgnoreHeader);
        const QByteArray bytes = codec->fromUnicode(s.constData(), s.size(), &out);
        QTextCodec::ConverterState in(QTextCodec::IgnoreHeader);
        if (out.invalidChars != 0 || out.remainingChars != 0
            || codec->toUnicode(bytes.constData(), bytes.size(), &in) != s)
            return std::nullopt;
        return std::vector<char>(bytes.constBegin(), bytes.constEnd());
    };
    std::vector<UnitPair<char>> pairs;
    for (const ReplacePair &pair : replacePairs) {
        UnitPair<char> units;
        if (!pair.first.isEmpty()) {
            auto key = bytesIn(pair.first);
            auto rep = bytesIn(pair.second);
            if (!key || !rep)
                return std::nullopt;
            units.key = std::move(*key);
            units.rep = std::move(*rep);
        }
        pairs.push_back(std::move(units));
    }
    return pairs;
}

// The table of an encoding taken on its bytes other than UTF-8, which needs none.
const MultiByteTable *tableFor(const TextEncoding &encoding)
{
    return encoding.isAutomatic() ? nullptr : MultiByteTable::forCodec(encoding.codec());
}

} // namespace

Utf8Replace::Utf8Replace(
    const ReplaceSettings &settings, const ReplacePairs &replacePairs, LineBreakMode mode)
{
    if (settings.regularExpressions()) {
        d.reset(new RegexBytesReplacer(replacePairs, settings, mode));
        return;
    }
    const MultiByteTable *table = tableFor(settings.encoding);
    std::vector<UnitPair<char>> pairs = pairsIn(replacePairs, table ? table->codec() : nullptr)
                                            .value_or(std::vector<UnitPair<char>>());
    if (table)
        d.reset(new BytesReplacer<MultiByteChars>(
            std::move(pairs), settings, mode, table, MultiByteChars(table)));
    else
        d.reset(new BytesReplacer<UnitChars<char>>(
            std::move(pairs), settings, mode, nullptr, UnitChars<char>()));
}

Utf8Replace::~Utf8Replace() = default;

bool Utf8Replace::onBytes(const TextEncoding &encoding)
{
    return encoding.isAutomatic() || encoding.codec() == TextEncoding::utf8().codec()
        || tableFor(encoding);
}

bool Utf8Replace::handsOn(const char *data, qsizetype size) const
{
    if (size >= 2
        && ((uchar(data[0]) == 0xFF && uchar(data[1]) == 0xFE)
            || (uchar(data[0]) == 0xFE && uchar(data[1]) == 0xFF)))
        return true;
    // A byte-order mark says UTF-8 whatever the choice.
    return d->table && size >= 3 && std::memcmp(data, Bom, 3) == 0;
}

bool Utf8Replace::handles(const ReplaceSettings &settings, const ReplacePairs &pairs)
{
    if (!onBytes(settings.encoding))
        return false;
    // Patterns run on UTF-8 alone.
    if (settings.regularExpressions() && tableFor(settings.encoding))
        return false;
    // Folding ASCII letters alone is all of it only for keywords that nothing beyond
    // ASCII folds to.
    if (settings.ordinary() && settings.ignoreCase) {
        for (const ReplacePair &pair : pairs) {
            if (!foldsFromAsciiOnly(pair.first))
                return false;
        }
    }
    if (const MultiByteTable *table = tableFor(settings.encoding))
        return pairsIn(pairs, table->codec()).has_value();
    for (const ReplacePair &pair : pairs) {
        // Half a surrogate pair in a keyword can match half of a character in the
        // text; in a replacement it cannot be encoded, or pairs up with its neighbour.
        if (!pair.first.isEmpty()
            && (hasLoneSurrogate(pair.first) || hasLoneSurrogate(pair.second)))
            return false;
    }
    return true;
}

Utf8Replace::Outcome Utf8Replace::run(
    Buffers *buffers, QVector<int> *counts, const Sink *sink) const
{
    Outcome outcome;
    if (counts)
        counts->fill(0, d->size());
    UnitBuffer<char> &in = buffers->in;
    UnitBuffer<char> &out = buffers->out;
    out.clear();
    qsizetype start = 0;
    if (!d->table && in.size() >= 3 && std::memcmp(in.data(), Bom, 3) == 0) {
        outcome.byteOrderMark = true;
        start = 3;
    }
    const Utf8Scan scan = d->table ? d->table->scan(in.data(), in.size())
                                   : scanUtf8(in.data() + start, in.size() - start);
    outcome.lineBreaks = classify(scan);
    if (scan.hasNul) {
        outcome.reason = Reason::Binary;
        return outcome;
    }
    if (!scan.valid) {
        outcome.reason = Reason::InvalidEncoding;
        return outcome;
    }

    bool normalise = scan.carriageReturns > 0;
    const char *lineBreak = "\r\n";
    bool writeBom = false;
    if (d->mode == LineBreakMode::KeepFormat) {
        writeBom = outcome.byteOrderMark;
        switch (outcome.lineBreaks) {
        case LineBreaks::CrLf:
            break;
        case LineBreaks::Cr:
            lineBreak = "\r";
            break;
        case LineBreaks::Lf:
        case LineBreaks::Mixed:
            normalise = false;
            lineBreak = nullptr;
            break;
        }
    }
    // Breaks written back as the file has them need not be touched.
    if (d->breakFree
        && (d->mode == LineBreakMode::KeepFormat || outcome.lineBreaks == LineBreaks::CrLf)) {
        normalise = false;
        lineBreak = nullptr;
    }
    if (normalise)
        in.resize(start + normaliseBreaks(in.data() + start, in.size() - start));

    const qsizetype length = in.size() - start;
    const qsizetype breaks = scan.lineFeeds + scan.carriageReturns - scan.crLfPairs;
    out.reserve(sink ? std::min<qsizetype>(3 + length + length / 16, 2 * StreamPiece)
                     : 3 + length + (lineBreak ? breaks : 0) + length / 16);
    if (writeBom)
        out.append(Bom, 3);
    BreakWriter writer(&out, lineBreak, sink);
    std::vector<qsizetype> made;
    d->replace(&in, start, &buffers->work, writer, &made);
    if (!writer.finish())
        outcome.reason = Reason::WriteFailed;

    if (counts)
        storeCounts(made, counts);
    if (std::all_of(made.cbegin(), made.cend(), [](qsizetype n) { return n == 0; }))
        outcome.unchanged = unchangedWithout(d->mode, scan, outcome.byteOrderMark);
    return outcome;
}

bool Utf8Replace::inPieces() const
{
    return d->breakFree;
}

Utf8Replace::Outcome Utf8Replace::runInPieces(Buffers *buffers, QVector<int> *counts,
    const Sink &sink, const Source &read, qsizetype piece) const
{
    Outcome outcome;
    if (counts)
        counts->fill(0, d->size());
    UnitBuffer<char> &in = buffers->in;
    UnitBuffer<char> &tail = buffers->tail;
    UnitBuffer<char> &out = buffers->out;
    in.clear();
    out.clear();
    out.reserve(2 * StreamPiece);
    BreakWriter writer(&out, "\r\n", &sink);
    // A kept format's breaks go out as they came, whatever their kind.
    const bool keep = d->mode == LineBreakMode::KeepFormat;
    Utf8Scan whole;
    std::vector<qsizetype> total(size_t(d->size()), 0);
    std::vector<qsizetype> made;
    bool first = true;
    for (;;) {
        const qsizetype kept = in.size();
        in.resize(kept + piece);
        const qint64 got = read(in.data() + kept, piece);
        if (got < 0) {
            outcome.reason = Reason::Unreadable;
            return outcome;
        }
        in.resize(kept + got);
        const bool last = got < piece;
        qsizetype cut = in.size();
        if (!last) {
            // A '\n' is a whole character in every encoding here, never part of one.
            const void *lineEnd = ::memrchr(in.data(), '\n', size_t(in.size()));
            if (!lineEnd)
                continue; // a line longer than a piece: read on
            cut = static_cast<const char *>(lineEnd) - in.data() + 1;
        }
        tail.clear();
        tail.append(in.data() + cut, in.size() - cut);
        in.resize(cut);
        qsizetype start = 0;
        if (first && !d->table && in.size() >= 3 && std::memcmp(in.data(), Bom, 3) == 0) {
            outcome.byteOrderMark = true;
            start = 3;
            if (keep)
                out.append(Bom, 3);
        }
        first = false;
        const Utf8Scan scan = d->table ? d->table->scan(in.data(), in.size())
                                       : scanUtf8(in.data() + start, in.size() - start);
        whole.carriageReturns += scan.carriageReturns;
        whole.lineFeeds += scan.lineFeeds;
        whole.crLfPairs += scan.crLfPairs;
        if (scan.hasNul) {
            outcome.reason = Reason::Binary;
            return outcome;
        }
        if (!scan.valid) {
            // A NUL further on makes it a binary file, as it does for run().
            outcome.reason = Reason::InvalidEncoding;
            const auto holdsNul = [](const UnitBuffer<char> &b) {
                return b.size() > 0 && std::memchr(b.data(), 0, size_t(b.size()));
            };
            if (holdsNul(in) || holdsNul(tail)) {
                outcome.reason = Reason::Binary;
                return outcome;
            }
            for (qint64 more = got; more == piece;) {
                in.resize(piece);
                more = read(in.data(), piece);
                if (more > 0 && std::memchr(in.data(), 0, size_t(more))) {
                    outcome.reason = Reason::Binary;
                    break;
                }
            }
            return outcome;
        }
        // Lines already ending in "\r\n" go out as they are, as run() leaves a file
        // that has no other kind; other breaks become '\n' first, then "\r\n".
        if (keep || classify(scan) == LineBreaks::CrLf) {
            writer.setLineBreak(nullptr);
        } else {
            writer.setLineBreak("\r\n");
            if (scan.carriageReturns > 0)
                in.resize(start + normaliseBreaks(in.data() + start, in.size() - start));
        }
        d->replace(&in, start, &buffers->work, writer, &made);
        for (size_t i = 0; i < made.size(); ++i)
            total[i] += made[i];
        if (last)
            break;
        in.clear();
        in.append(tail.data(), tail.size());
    }
    outcome.lineBreaks = classify(whole);
    if (!writer.finish())
        outcome.reason = Reason::WriteFailed;
    if (std::all_of(total.cbegin(), total.cend(), [](qsizetype n) { return n == 0; }))
        outcome.unchanged = unchangedWithout(d->mode, whole, outcome.byteOrderMark);
    if (counts)
        storeCounts(total, counts);
    return outcome;
}

bool foldsFromAsciiOnly(const QString &keyword)
{
    return std::all_of(keyword.cbegin(), keyword.cend(), [](QChar c) {
        const ushort u = c.unicode();
        return u < 0x80 && (u | 0x20) != 'k' && (u | 0x20) != 's';
    });
}
