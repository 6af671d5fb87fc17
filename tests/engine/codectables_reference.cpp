// Writes one codec table (tests/engine/codectables.h) to standard output as this build's
// codecs give it; built on Qt 5 for tst_codectables in the Qt 6 build. The first record is
// the name of the codec the encoding resolves to.
// Usage: codectables_reference ENCODING TABLE

#include "codectables.h"
#include "engine/text/textencoding.h"

#include <cstdio>
#include <cstring>
#include <optional>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    const std::optional<TextEncoding> encoding = TextEncoding::fromName(QString::fromUtf8(argv[1]));
    if (!encoding || encoding->isAutomatic())
        return 2;
    for (CodecTable table :
        {CodecTable::Encode, CodecTable::Decode, CodecTable::Pairs, CodecTable::FourBytes}) {
        if (std::strcmp(argv[2], codecTableName(table)) != 0)
            continue;
        QByteArray out;
        codectables::appendRecord(out, encoding->codec()->name());
        out += codecTable(encoding->codec(), table);
        return std::fwrite(out.constData(), 1, size_t(out.size()), stdout) == size_t(out.size())
            ? 0
            : 1;
    }
    return 2;
}
