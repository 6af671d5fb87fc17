// Decoding and encoding with a format (textformat.h), and what automatic detection costs
// over a fixed choice, on one large text and on many small ones.
//
// Run: bench_textformat [--benchmark_filter=...]
#include "engine/text/textformat.h"

#include <QRandomGenerator>
#include <QTextCodec>

#include <benchmark/benchmark.h>

namespace {

// Chinese and ASCII words and punctuation, a line break about every 70 characters.
QString mixedText(int characters, quint32 seed = 1)
{
    static const QString hanzi = QStringLiteral("批量查找工具文件文本编码内容处理完成设置列表");
    QRandomGenerator random(seed);
    QString text;
    text.reserve(characters + 80);
    int sinceLine = 0;
    while (text.size() < characters) {
        const int length = 2 + random.bounded(6);
        const bool chinese = random.bounded(2) == 0;
        for (int i = 0; i < length; ++i) {
            text += chinese ? hanzi.at(random.bounded(hanzi.size()))
                            : QLatin1Char(char('a' + random.bounded(26)));
        }
        text += chinese ? QStringLiteral("，") : QStringLiteral(" ");
        sinceLine += length + 1;
        if (sinceLine > 70) {
            text += QLatin1Char('\n');
            sinceLine = 0;
        }
    }
    return text;
}

QByteArray crlfBytes(const QString &text, const char *codec)
{
    QString crlf = text;
    crlf.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return QTextCodec::codecForName(codec)->fromUnicode(crlf);
}

const QByteArray &largeFile(const char *codec)
{
    static const QString text = mixedText(8 << 20);
    static const QByteArray utf8 = crlfBytes(text, "UTF-8");
    static const QByteArray gbk = crlfBytes(text, "GBK");
    return qstrcmp(codec, "UTF-8") == 0 ? utf8 : gbk;
}

TextEncoding encodingNamed(const char *name)
{
    return *TextEncoding::fromName(QString::fromLatin1(name));
}

void decodeWithFormat(benchmark::State &state, const char *codec, bool automatic, bool keep)
{
    const QByteArray &bytes = largeFile(codec);
    const TextEncoding choice = automatic ? TextEncoding::automatic() : encodingNamed(codec);
    QString text;
    TextFormat format;
    for (auto _ : state) {
        if (decodeText(bytes, choice, keep, &text, &format) != Reason::None)
            state.SkipWithError("not decoded");
        benchmark::DoNotOptimize(text.constData());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

// The sink collects everything, as writing a file would take it.
void encodeWithFormat(benchmark::State &state, const char *codec)
{
    const QString text = mixedText(8 << 20);
    TextFormat format;
    format.encoding = encodingNamed(codec);
    QByteArray bytes;
    for (auto _ : state) {
        QByteArray out;
        out.reserve(text.size() + text.size() / 8);
        const Reason reason
            = encodeText(text, format, false, [&out](const char *data, qint64 size) {
                  out.append(data, int(size));
                  return true;
              });
        if (reason != Reason::None)
            state.SkipWithError("not encoded");
        bytes = std::move(out);
        benchmark::DoNotOptimize(bytes.constData());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

// A folder of small files: what each file costs beyond its bytes.
void decodeSmallFiles(benchmark::State &state, const char *codec, bool automatic)
{
    QVector<QByteArray> files;
    for (quint32 i = 0; i < 1000; ++i)
        files.append(crlfBytes(mixedText(1500, i), codec));
    const TextEncoding choice = automatic ? TextEncoding::automatic() : encodingNamed(codec);
    QString text;
    TextFormat format;
    qint64 total = 0;
    for (auto _ : state) {
        for (const QByteArray &bytes : files) {
            if (decodeText(bytes, choice, false, &text, &format) != Reason::None)
                state.SkipWithError("not decoded");
            total += bytes.size();
        }
    }
    state.SetBytesProcessed(total);
    state.SetItemsProcessed(state.iterations() * files.size());
}

} // namespace

BENCHMARK_CAPTURE(decodeWithFormat, utf8, "UTF-8", false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeWithFormat, utf8_keep, "UTF-8", false, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeWithFormat, utf8_auto, "UTF-8", true, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeWithFormat, gbk, "GBK", false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeWithFormat, gbk_auto, "GBK", true, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeWithFormat, utf8, "UTF-8")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeWithFormat, gbk, "GBK")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeSmallFiles, utf8, "UTF-8", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeSmallFiles, utf8_auto, "UTF-8", true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeSmallFiles, gbk, "GBK", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeSmallFiles, gbk_auto, "GBK", true)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
