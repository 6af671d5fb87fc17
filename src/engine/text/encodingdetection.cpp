#include "engine/text/encodingdetection.h"

#include <QByteArray>

#include <uchardet/uchardet.h>

#include <algorithm>
#include <memory>
#include <type_traits>

namespace {

struct Alias
{
    const char *detected;
    const char *codec;
};

// uchardet's names that mean a larger set. It cannot tell GB2312, GBK and GB18030
// apart, and GB18030 reads all of them; UHC is EUC-KR's Windows form, Qt's EUC-KR. Files that say
// ISO-8859-1 are Windows-1252 in practice, as browsers read them.
constexpr Alias Aliases[] = {
    {"GB2312", "GB18030"},
    {"GBK", "GB18030"},
    {"UHC", "EUC-KR"},
    {"ISO-8859-1", "Windows-1252"},
};

} // namespace

std::optional<TextEncoding> proposedEncoding(const QByteArray &bytes)
{
    const std::unique_ptr<std::remove_pointer_t<uchardet_t>, void (*)(uchardet_t)> detector(
        uchardet_new(), uchardet_delete);
    if (!detector || uchardet_handle_data(detector.get(), bytes.constData(), size_t(bytes.size())))
        return std::nullopt;
    uchardet_data_end(detector.get());
    QByteArray name = uchardet_get_charset(detector.get());
    // Unicode without a byte order is what it says only of a byte-order mark, which
    // the caller has already seen.
    if (name.isEmpty() || name == "ASCII" || name == "UTF-16" || name == "UTF-32")
        return std::nullopt;
    for (const Alias &alias : Aliases) {
        if (name == alias.detected)
            name = alias.codec;
    }
    return TextEncoding::fromName(QString::fromLatin1(name));
}

std::optional<TextEncoding> guessFromStart(const char *data, qsizetype size, bool *wholeFile)
{
    const qsizetype start = std::min(size, DetectionPrefix);
    std::optional<TextEncoding> guess = proposedEncoding(QByteArray::fromRawData(data, int(start)));
    bool whole = start == size;
    if (!guess && !whole) {
        guess = proposedEncoding(QByteArray::fromRawData(data, int(size)));
        whole = true;
    }
    if (wholeFile)
        *wholeFile = whole;
    return guess;
}

Detection detectNotUtf8(const char *data, qsizetype size,
    const std::function<bool(const TextEncoding &encoding)> &readsIn)
{
    Detection detection;
    bool fromAll = false;
    detection.encoding = guessFromStart(data, size, &fromAll);
    while (detection.encoding) {
        detection.valid = readsIn(*detection.encoding);
        if (detection.valid || fromAll)
            break;
        fromAll = true;
        const std::optional<TextEncoding> again
            = proposedEncoding(QByteArray::fromRawData(data, int(size)));
        if (again == detection.encoding)
            break;
        detection.encoding = again;
    }
    return detection;
}
