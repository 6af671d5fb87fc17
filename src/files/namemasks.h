#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Which names a folder scan takes, by shell wildcards (`*`, `?`, `[...]`), case-sensitive
// as Linux file names are:
//
//   NameMasks masks(NameMasks::split("*.srt;*.ass"), NameMasks::split("node_modules"));
//   masks.takesFile("第一集.srt");        // true
//   masks.entersFolder("node_modules");  // false
//
// An include mask matches file names only; an exclude mask matches file and folder names.
// No include mask means every file.
class NameMasks
{
public:
    NameMasks() = default;
    NameMasks(const QStringList &include, const QStringList &exclude);

    // The masks in a field or an option: split at ';', each trimmed, empty ones dropped.
    static QStringList split(const QString &text);
    // The first mask whose '[' is never closed, which the shell would read as a plain '[';
    // empty when every mask is sound.
    static QString unbalanced(const QStringList &masks);

    bool isEmpty() const { return m_include.isEmpty() && m_exclude.isEmpty(); }
    // Names in the file system's own bytes.
    bool takesFile(const QByteArray &name) const;
    bool entersFolder(const QByteArray &name) const;

private:
    QVector<QByteArray> m_include;
    QVector<QByteArray> m_exclude;
};
