#pragma once

#include <QString>

// Why a file of a run was left as it was. Reading and writing report it where they
// meet it; nothing examines a file a second time to guess it.
enum class Reason {
    None,
    NotFound,
    NotRegular,
    ReadOnly,
    Unreadable,
    Binary,
    InvalidEncoding,
    EncodingNotRecognised,
    Unencodable,
    TooLarge,
    WriteFailed,
    FolderNotWritable,
    ChangedDuringRun,
    NameNotEncodable,
    Stopped,
    RegexTooSlow,
    UntrustedLink,
    EncodingUncertain,
    ChangedSincePreview,
    RegexTooComplex,
};

// The wording users see, in Chinese. encoding names the run's encoding where the
// reason speaks of one.
QString reasonText(Reason reason, const QString &encoding = QString());

// The same in English, which the command line prints beside the Chinese.
QString reasonTextEnglish(Reason reason, const QString &encoding = QString());

// Both, as the command line prints them: "文件只读 (read-only)".
QString reasonTextBoth(Reason reason, const QString &encoding = QString());
