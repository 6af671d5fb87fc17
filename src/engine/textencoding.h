#pragma once

#include <QString>

#include <optional>

class QTextCodec;

// The encoding a run reads and writes its files in. It travels with the run as a value:
// the process-wide locale codec stays as it is, because in Qt 5 it also encodes file
// names, and any other choice there turns non-ASCII paths into missing files.
class TextEncoding
{
public:
    // UTF-8.
    TextEncoding();

    static TextEncoding utf8();
    // "ANSI": the system's code page. On Linux the character map of the user's locale
    // (GBK under zh_CN.GBK); a plain ASCII locale counts as UTF-8.
    static TextEncoding systemCodePage();
    // "UTF-8", "ANSI" or a name Qt's codecs know, case-insensitive; nullopt otherwise.
    static std::optional<TextEncoding> fromName(const QString &name);

    QTextCodec *codec() const { return m_codec; }
    // The codec's own name, as reasons and messages show it ("UTF-8", "GBK").
    QString name() const;

    bool operator==(const TextEncoding &other) const { return m_codec == other.m_codec; }
    bool operator!=(const TextEncoding &other) const { return !(*this == other); }

private:
    explicit TextEncoding(QTextCodec *codec);

    QTextCodec *m_codec;
};
