#include "files/dirscan.h"

#include "files/textfiletype.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>
#include <QMimeType>
#include <QSet>

namespace {

class Scan
{
public:
    Scan(PathList &list, bool noRecursion, const std::function<void()> &onDuplicate)
        : m_list(list)
        , m_noRecursion(noRecursion)
        , m_onDuplicate(onDuplicate)
    {
    }

    void run(const QString &dirPath)
    {
        m_visited.insert(QFileInfo(dirPath).canonicalFilePath());
        scanDir(dirPath);
    }

private:
    void scanDir(const QString &dirPath)
    {
        const QFileInfoList entries = QDir(dirPath).entryInfoList();
        for (const QFileInfo &entry : entries) {
            if (entry.isFile()) {
                addIfText(entry);
                continue;
            }
            if (m_noRecursion)
                continue;
            const QString name = entry.fileName();
            if (name == QLatin1String(".") || name == QLatin1String(".."))
                continue;
            const QString canonical = entry.canonicalFilePath();
            if (canonical.isEmpty() || m_visited.contains(canonical))
                continue;
            m_visited.insert(canonical);
            scanDir(entry.absoluteFilePath());
        }
    }

    void addIfText(const QFileInfo &entry)
    {
        if (!isText(m_mimeDb.mimeTypeForFile(entry, QMimeDatabase::MatchDefault)))
            return;
        if (!m_list.append(entry.filePath()) && m_onDuplicate)
            m_onDuplicate();
    }

    // inherits() walks the type hierarchy under the database's lock; a tree has few distinct types.
    bool isText(const QMimeType &type)
    {
        const QString name = type.name();
        auto it = m_textByType.constFind(name);
        if (it == m_textByType.constEnd())
            it = m_textByType.insert(name, isTextMimeType(type));
        return it.value();
    }

    PathList &m_list;
    QSet<QString> m_visited;
    QHash<QString, bool> m_textByType;
    QMimeDatabase m_mimeDb;
    const bool m_noRecursion;
    const std::function<void()> &m_onDuplicate;
};

} // namespace

void scanTextFiles(const QString &dirPath, PathList &list, bool noRecursion,
    const std::function<void()> &onDuplicate)
{
    Scan(list, noRecursion, onDuplicate).run(dirPath);
}
