#pragma once

#include <QHash>
#include <QMimeDatabase>
#include <QMimeType>
#include <QString>

// The type QMimeDatabase::mimeTypeForFile() gives a file by default, for many files.
// That call matches every glob pattern against each name, compiling a regular expression
// for the unusual ones, and reads the file when the name is ambiguous. Here a name is
// reduced to what the patterns can see of it; the database decides once for each such
// kind of name, and where the name does not decide, once for each kind of name and of
// content. A file is read only where its name does not decide. One per thread.
class MimeTypeCache
{
public:
    // For a regular file, a link to one, or a path that does not exist. Escaped names
    // (files/filenames.h) are read through the bytes they stand for.
    QMimeType typeOfFile(const QString &path);
    bool isTextFile(const QString &path);

private:
    QMimeType typeByContent(const QString &path, const QString &nameKey);

    QMimeDatabase m_database;
    QHash<QString, QMimeType> m_byName; // an invalid type where the name does not decide
    QHash<QString, QMimeType> m_byNameAndContent;
    QHash<QString, bool> m_textByType;
};
