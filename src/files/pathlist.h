#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

// An ordered list of file paths without duplicates, as the dialogs, drops, folder scans,
// workbook imports and the command line all build it. Two paths are the same when their
// strings are equal: other spellings of one file are told apart by the run, not here.
class PathList
{
public:
    PathList() = default;
    // Keeps the first of each duplicate.
    explicit PathList(const QStringList &paths);

    bool contains(const QString &path) const { return m_listed.contains(path); }
    // False, and nothing changes, when the path is listed already.
    bool append(const QString &path);
    void removeAt(int index);
    void clear();

    int size() const { return m_paths.size(); }
    bool isEmpty() const { return m_paths.isEmpty(); }
    const QString &at(int index) const { return m_paths.at(index); }
    const QStringList &paths() const { return m_paths; }

private:
    QStringList m_paths;
    QSet<QString> m_listed;
};
