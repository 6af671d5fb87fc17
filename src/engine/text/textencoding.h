#pragma once

#include <QString>
#include <QStringList>

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
    // Each file is read in the encoding it turns out to have, and written back in it.
    static TextEncoding automatic();

    // One of choiceNames() or "auto", case-insensitive, or a name Qt's codecs know.
    // GB2312 means GBK, which browsers and editors read it as; nullopt when unknown.
    static std::optional<TextEncoding> fromName(const QString &name);

    // What the user picks from, in the order the window lists them. Settings store the
    // index, so 0 (UTF-8) and 1 (ANSI) keep their meaning for good.
    static QStringList choiceNames();
    // nullopt for an index outside choiceNames().
    static std::optional<TextEncoding> fromChoice(int index);

    bool isAutomatic() const { return m_codec == nullptr; }
    // One of choiceNames(), ANSI included: what the program offers to read and write.
    bool isOffered() const;
    // Null when automatic.
    QTextCodec *codec() const { return m_codec; }
    // UTF-16 or UTF-32, whose text holds NUL bytes.
    bool isWide() const;
    // As the choices spell it ("EUC-KR", "Windows-1252"), else the codec's own name
    // ("GBK" for ANSI under zh_CN.GBK); "自动检测" when automatic.
    QString name() const;

    bool operator==(const TextEncoding &other) const { return m_codec == other.m_codec; }
    bool operator!=(const TextEncoding &other) const { return !(*this == other); }

private:
    explicit TextEncoding(QTextCodec *codec);

    QTextCodec *m_codec;
};
