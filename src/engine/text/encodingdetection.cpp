#include "engine/text/encodingdetection.h"

#include <QByteArray>

#include <uchardet/uchardet.h>

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
