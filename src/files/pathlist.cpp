#include "files/pathlist.h"

PathList::PathList(const QStringList &paths)
{
    m_paths.reserve(paths.size());
    for (const QString &path : paths)
        append(path);
}

bool PathList::append(const QString &path)
{
    if (m_listed.contains(path))
        return false;
    m_listed.insert(path);
    m_paths.append(path);
    return true;
}

void PathList::removeAt(int index)
{
    m_listed.remove(m_paths.at(index));
    m_paths.removeAt(index);
}

void PathList::clear()
{
    m_paths.clear();
    m_listed.clear();
}
