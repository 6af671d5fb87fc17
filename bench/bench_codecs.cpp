// Decoding and encoding 32 MB of GBK and of Big5 two ways: through QTextCodec (Qt 5's own,
// or Core5Compat's on Qt 6), as the engine does, and through ICU's converters called
// directly, the other way a Qt 6 build could have gone. Both are handed the whole text at
// once and check that they give the text and bytes back.
//
// Run: bench_codecs [--benchmark_filter=...] [--benchmark_repetitions=N]
#include <QRandomGenerator>
#include <QTextCodec>

#include <benchmark/benchmark.h>
#include <unicode/ucnv.h>

#include <map>
#include <memory>
#include <vector>

namespace {

// Characters the code page holds, drawn at random: mostly ideographs, some ASCII words and
// punctuation, a line break about every 70 characters.
QString mixedText(QTextCodec *codec, qsizetype characters)
{
    QString pool;
    for (char16_t c = 0x4E00; c <= 0x9FA5; ++c) {
        if (codec->canEncode(QChar(c)))
            pool += QChar(c);
    }
    QRandomGenerator random(7);
    QString text;
    text.reserve(characters + 80);
    int sinceLine = 0;
    while (text.size() < characters) {
        const bool ascii = random.bounded(4) == 0;
        const int length = 2 + random.bounded(6);
        for (int i = 0; i < length; ++i)
            text += ascii ? QChar(char16_t('a' + random.bounded(26)))
                          : pool.at(random.bounded(pool.size()));
        text += ascii ? QChar(u' ') : QChar(u'\x3002');
        sinceLine += length + 1;
        if (sinceLine > 70) {
            text += QLatin1Char('\n');
            sinceLine = 0;
        }
    }
    return text;
}

struct Sample
{
    QString text;
    QByteArray bytes;
};

const Sample &sample(const char *codecName)
{
    static std::map<QByteArray, Sample> samples;
    Sample &s = samples[codecName];
    if (s.bytes.isEmpty()) {
        QTextCodec *codec = QTextCodec::codecForName(codecName);
        // About 32 MB once encoded: most characters take two bytes.
        s.text = mixedText(codec, 18 << 20);
        s.bytes = codec->fromUnicode(s.text);
    }
    return s;
}

void withQTextCodec(benchmark::State &state, const char *codecName)
{
    const Sample &s = sample(codecName);
    QTextCodec *codec = QTextCodec::codecForName(codecName);
    for (auto _ : state) {
        QTextCodec::ConverterState in(QTextCodec::IgnoreHeader);
        const QString text = codec->toUnicode(s.bytes.constData(), int(s.bytes.size()), &in);
        QTextCodec::ConverterState out(QTextCodec::IgnoreHeader);
        const QByteArray bytes = codec->fromUnicode(text.constData(), int(text.size()), &out);
        if (text != s.text || bytes != s.bytes)
            state.SkipWithError("QTextCodec did not give the text and bytes back");
    }
    state.SetBytesProcessed(state.iterations() * s.bytes.size() * 2);
}

struct ConverterCloser
{
    void operator()(UConverter *converter) const { ucnv_close(converter); }
};

void withIcu(benchmark::State &state, const char *codecName)
{
    const Sample &s = sample(codecName);
    UErrorCode error = U_ZERO_ERROR;
    std::unique_ptr<UConverter, ConverterCloser> converter(ucnv_open(codecName, &error));
    if (U_FAILURE(error)) {
        state.SkipWithError(u_errorName(error));
        return;
    }
    std::vector<UChar> text;
    std::vector<char> bytes;
    for (auto _ : state) {
        error = U_ZERO_ERROR;
        ucnv_reset(converter.get());
        text.resize(size_t(s.bytes.size()) + 1);
        const int32_t length = ucnv_toUChars(converter.get(), text.data(), int32_t(text.size()),
            s.bytes.constData(), int32_t(s.bytes.size()), &error);
        bytes.resize(size_t(length) * 4 + 1);
        const int32_t size = ucnv_fromUChars(
            converter.get(), bytes.data(), int32_t(bytes.size()), text.data(), length, &error);
        if (U_FAILURE(error) || size != s.bytes.size()
            || QByteArray::fromRawData(bytes.data(), size) != s.bytes
            || QStringView(reinterpret_cast<const QChar *>(text.data()), length) != s.text)
            state.SkipWithError("ICU did not give the text and bytes back");
    }
    state.SetBytesProcessed(state.iterations() * s.bytes.size() * 2);
}

} // namespace

BENCHMARK_CAPTURE(withQTextCodec, GBK, "GBK")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(withIcu, GBK, "GBK")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(withQTextCodec, Big5, "Big5")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(withIcu, Big5, "Big5")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
