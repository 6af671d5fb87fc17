#include "engine/utf8replace.h"

#include "engine/pairchain.h"
#include "engine/utf8scan.h"

#include <QString>

#include <cstring>
#include <limits>

namespace {

// Up to this many pairs are applied one full pass each; longer lists go through
// PairChain, whose one scan for all keywords costs about as much as eight passes.
constexpr int DirectPairs = 8;

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

    void operator()(const char *p, qsizetype n)
    {
        append(p, n);
        if (sink && out->size() >= StreamPiece)
            flush();
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
        const char *const end = p + n;
        while (p < end) {
            const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            if (!lf) {
                out->append(p, end - p);
                return;
            }
            out->append(p, lf - p);
            out->append(lineBreak, breakLength);
            p = lf + 1;
        }
    }

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

// Where the text being worked on lies: from offset to the end of a buffer.
struct Cursor
{
    UnitBuffer<char> *buffer;
    qsizetype offset;

    const char *data() const { return buffer->data() + offset; }
    qsizetype length() const { return buffer->size() - offset; }
};

} // namespace

class Utf8Replace::Private
{
public:
    Private(std::vector<UnitPair<char>> pairs, bool wholeWords, LineBreakMode mode)
        : chain(std::move(pairs), wholeWords)
        , mode(mode)
    {
        for (int i = 0; i < chain.size(); ++i) {
            const UnitPair<char> &pair = chain.pair(i);
            if (pair.key.empty())
                continue;
            active.push_back(i);
            for (const auto *side : {&pair.key, &pair.rep}) {
                for (const char c : *side)
                    breakFree = breakFree && c != '\r' && c != '\n';
            }
        }
    }

    // One full pass per pair, in place where the text does not grow.
    void applyDirect(Cursor text, UnitBuffer<char> *spare, BreakWriter &writer,
        std::vector<qsizetype> *counts) const;

    PairChain<char> chain;
    LineBreakMode mode;
    std::vector<int> active; // the pairs whose keyword can occur
    // No keyword or replacement holds a line break, so none can match across one,
    // remove one or add one, and a '\r' in place of a '\n' is a boundary all the same.
    bool breakFree = true;
};

void Utf8Replace::Private::applyDirect(
    Cursor text, UnitBuffer<char> *spare, BreakWriter &writer, std::vector<qsizetype> *counts) const
{
    counts->assign(size_t(chain.size()), 0);
    for (size_t t = 0; t < active.size(); ++t) {
        const int i = active[t];
        const UnitPair<char> &pair = chain.pair(i);
        const bool last = t + 1 == active.size();
        qsizetype &count = (*counts)[size_t(i)];
        if (chain.wholeWords()) {
            WholeWordScan<char> scan(pair.key.data(), qsizetype(pair.key.size()), pair.rep.data(),
                qsizetype(pair.rep.size()));
            count = scan.run(*text.buffer, text.offset, nullptr);
            if (last)
                writer(text.data(), text.length());
        } else if (last) {
            count = replaceOrdinaryTo(text.data(), text.length(), pair, writer);
        } else if (pair.rep.size() <= pair.key.size()) {
            char *w = text.buffer->data() + text.offset;
            count = replaceOrdinaryTo(
                text.data(), text.length(), pair, [&w](const char *p, qsizetype n) {
                    // An empty replacement may have no storage at all.
                    if (n > 0)
                        std::memmove(w, p, size_t(n));
                    w += n;
                });
            text.buffer->resize(w - text.buffer->data());
        } else {
            spare->clear();
            spare->reserve(text.length() + text.length() / 8);
            count = replaceOrdinaryTo(text.data(), text.length(), pair,
                [spare](const char *p, qsizetype n) { spare->append(p, n); });
            UnitBuffer<char> *const from = text.buffer;
            text = {spare, 0};
            spare = from;
        }
    }
}

Utf8Replace::Utf8Replace(const RepOptions &options, LineBreakMode mode)
{
    std::vector<UnitPair<char>> pairs;
    for (const ReplacePair &pair : options.pairs) {
        UnitPair<char> units;
        if (!pair.first.isEmpty()) {
            units.key = bytesOf(pair.first);
            units.rep = bytesOf(pair.second);
        }
        pairs.push_back(std::move(units));
    }
    d.reset(new Private(std::move(pairs), options.full, mode));
}

Utf8Replace::~Utf8Replace() = default;

bool Utf8Replace::handles(const RepOptions &options)
{
    if (!options.ordinary)
        return false;
    for (const ReplacePair &pair : options.pairs) {
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
        counts->fill(0, d->chain.size());
    UnitBuffer<char> &in = buffers->in;
    UnitBuffer<char> &out = buffers->out;
    out.clear();
    qsizetype start = 0;
    if (in.size() >= 3 && std::memcmp(in.data(), Bom, 3) == 0) {
        outcome.byteOrderMark = true;
        start = 3;
    }
    const Utf8Scan scan = scanUtf8(in.data() + start, in.size() - start);
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
    if (d->active.empty()) {
        writer(in.data() + start, length);
    } else if (int(d->active.size()) <= DirectPairs) {
        d->applyDirect({&in, start}, &buffers->work, writer, &made);
    } else {
        d->chain.run(in.data() + start, length, writer, &made);
    }
    if (!writer.finish())
        outcome.reason = Reason::WriteFailed;

    qsizetype total = 0;
    for (size_t i = 0; i < made.size(); ++i) {
        total += made[i];
        if (counts)
            (*counts)[int(i)] = int(std::min<qsizetype>(made[i], std::numeric_limits<int>::max()));
    }
    if (total == 0) {
        outcome.unchanged = d->mode == LineBreakMode::KeepFormat
            || (!outcome.byteOrderMark && (outcome.lineBreaks == LineBreaks::CrLf || breaks == 0));
    }
    return outcome;
}
