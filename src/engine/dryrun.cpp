#include "engine/dryrun.h"

#include "engine/textfile.h"
#include "engine/transform.h"

#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

#include <new>

namespace {

// NUL bytes are expected in UTF-16 and UTF-32 text only.
bool hasWideByteOrderMark(const QByteArray &bytes)
{
    return bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")
        || bytes.startsWith(QByteArray("\0\0\xFE\xFF", 4));
}

} // namespace

DryRun dryRunFile(const QString &path, const RepOptions &options)
{
    DryRun result;
    try {
        QString text;
        if (!readTextFile(path, &text)) {
            result.problem = readProblem(path);
            if (result.problem == FileProblem::None)
                result.problem = FileProblem::Unreadable;
            return result;
        }
        const QString replaced = applyPairs(std::move(text), options, &result.counts);
        QByteArray bytes;
        if (!encodeText(replaced, QTextCodec::codecForLocale(), &bytes))
            result.problem = FileProblem::Unencodable;
    } catch (const std::bad_alloc &) {
        result.problem = FileProblem::TooLarge;
    }
    if (result.problem != FileProblem::None)
        result.counts.clear();
    return result;
}

FileProblem readProblem(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return FileProblem::Missing;
    if (!info.isFile())
        return FileProblem::NotRegular;
    if (!(info.permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther)))
        return FileProblem::ReadOnly;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return FileProblem::Unreadable;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return FileProblem::Unreadable;
    if (bytes.contains('\0') && !hasWideByteOrderMark(bytes))
        return FileProblem::Binary;
    QString text;
    if (!decodeText(std::move(bytes), QTextCodec::codecForLocale(), &text))
        return FileProblem::InvalidEncoding;
    return FileProblem::None;
}
