#pragma once

#include "engine/base/reason.h"
#include "engine/match/replacesettings.h"
#include "engine/match/unitbuffer.h"
#include "engine/text/linebreaks.h"

#include <QVector>

#include <functional>
#include <memory>

// How a run writes line breaks back.
enum class LineBreakMode {
    Windows, // every break as "\r\n"; a lone '\r' counts as a break too
    KeepFormat, // as the file had them, or each as it was when the file mixes kinds
};

// Ordinary and whole-word replacement on the bytes of a file, without decoding it: in
// UTF-8, or in one of the double-byte code pages of multibyte.h (GBK, GB18030, Big5,
// Shift_JIS, EUC-KR), whose keywords and replacements are encoded once and matched only
// where they start a character; regular expressions in UTF-8. The result is byte for
// byte what decoding (byte-order mark dropped), normalising the line breaks, applyPairs
// and encoding would give, in a fraction of the time and with no UTF-16 copy of the
// text. Built once per run; run() may be called from any number of threads at once,
// each with Buffers of its own.
class Utf8Replace
{
public:
    // One worker's memory for the files it works on, kept from file to file.
    class Buffers
    {
    public:
        // Room for a file of size bytes; read the file into it, then call run().
        char *input(qsizetype size)
        {
            in.resize(size);
            return in.data();
        }
        // What to write back, once run() has said Reason::None.
        const char *output() const { return out.data(); }
        qsizetype outputSize() const { return out.size(); }
        // The largest file it holds without growing.
        qsizetype inputCapacity() const { return in.capacity(); }

    private:
        friend class Utf8Replace;
        UnitBuffer<char> in;
        UnitBuffer<char> work;
        UnitBuffer<char> out;
        UnitBuffer<char> tail; // what a piece read past its last line
    };

    struct Outcome
    {
        Reason reason = Reason::None; // Binary or InvalidEncoding when left alone
        LineBreaks lineBreaks = LineBreaks::Lf; // the breaks the file had
        bool byteOrderMark = false; // whether the file started with one
        bool unchanged = false; // the output is the file's bytes exactly: no need to write
    };

    // The settings' encoding is UTF-8, automatic (read as UTF-8 here) or one that
    // onBytes() accepts.
    Utf8Replace(const ReplaceSettings &settings, const ReplacePairs &pairs, LineBreakMode mode);
    ~Utf8Replace();
    Utf8Replace(const Utf8Replace &) = delete;
    Utf8Replace &operator=(const Utf8Replace &) = delete;

    // Whether files in an encoding can be replaced in on their bytes.
    static bool onBytes(const TextEncoding &encoding);
    // False where the run must take the QString route: an encoding not onBytes(),
    // regular expressions in any but UTF-8, a pair holding half a surrogate pair, which works on
    // half characters, or one the encoding cannot hold exactly.
    static bool handles(const ReplaceSettings &settings, const ReplacePairs &pairs);

    // Whether a file starting with these bytes has to be decoded all the same: a
    // byte-order mark decides its encoding.
    bool handsOn(const char *data, qsizetype size) const;

    // Takes the output piece by piece; false stops the run with Reason::WriteFailed.
    using Sink = std::function<bool(const char *data, qsizetype size)>;

    // Replaces in the bytes given to buffers->input() (which it overwrites). counts gets
    // one entry per pair, as applyPairs gives them. With a sink the output goes there as
    // it is made, once the bytes have been found valid, instead of into output().
    Outcome run(Buffers *buffers, QVector<int> *counts = nullptr, const Sink *sink = nullptr) const;

    // Reads up to most more bytes of the file into into: how many, fewer only at its end;
    // -1 when it cannot.
    using Source = std::function<qint64(char *into, qint64 most)>;

    // How much of a file runInPieces() holds at a time, lines longer than that aside.
    static constexpr qsizetype Piece = 1 << 20;
    // Whether runInPieces() gives what run() with a sink would: no keyword or replacement
    // holding a break, so that no match reaches across a line's end and a file cut after
    // one is replaced piece by piece the same.
    bool inPieces() const;
    // As run() with a sink, for a large file read through read() a piece of whole lines at
    // a time instead of whole: only its piece is ever in memory, in the same buffers from
    // file to file, and the system's pages for a second copy of it are never asked for.
    // Output for bytes found invalid further on has already gone to the sink. piece is
    // how much it asks read() for at a time.
    Outcome runInPieces(Buffers *buffers, QVector<int> *counts, const Sink &sink,
        const Source &read, qsizetype piece = Piece) const;

    class Private;

private:
    std::unique_ptr<const Private> d;
};

// Whether, ignoring case, this keyword matches ASCII text only: it is all ASCII, and
// holds no 'k' or 's', which the Kelvin sign and the long s fold to.
bool foldsFromAsciiOnly(const QString &keyword);
