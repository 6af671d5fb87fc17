#include "files/dirscan.h"

#include "files/filenames.h"
#include "files/mimetypecache.h"

#include <QDir>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <vector>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <sys/stat.h>
#else
#include <QFileInfo>
#endif

namespace {

struct Entry
{
    QString name;
    QString sortKey;
    bool isDir = false;
    bool masked = false; // a file the masks leave out
};

// Name order ignoring case, as QDir sorts with QDir::Name | QDir::IgnoreCase; names that
// differ only in case keep a fixed order.
void sortByName(std::vector<Entry> &entries)
{
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        const int byKey = a.sortKey.compare(b.sortKey);
        return byKey != 0 ? byKey < 0 : a.name < b.name;
    });
}

QString joined(const QString &dirPath, const QString &name)
{
    return dirPath.endsWith(QLatin1Char('/')) ? dirPath + name : dirPath + QLatin1Char('/') + name;
}

class Scan
{
public:
    // take: false for a file taken already.
    Scan(const std::function<bool(const QString &)> &take, bool noRecursion,
        const std::function<void()> &onDuplicate, const NameMasks &masks,
        const std::atomic_bool *stop = nullptr)
        : m_take(take)
        , m_stop(stop)
        , m_noRecursion(noRecursion)
        , m_onDuplicate(onDuplicate)
        , m_masks(masks)
    {
    }

    int run(const QString &dirPath)
    {
        // QDir's form of the path: separators unified, no trailing "/".
        scanDir(QDir(dirPath).path());
        return m_maskedOut;
    }

private:
    void scanDir(const QString &dirPath)
    {
        std::vector<Entry> entries;
        if (!readDir(dirPath, &entries))
            return;
        sortByName(entries);
        for (const Entry &entry : entries) {
            if (m_stop && m_stop->load(std::memory_order_relaxed))
                return;
            if (entry.masked) {
                if (m_types.isTextFile(joined(dirPath, entry.name)))
                    ++m_maskedOut;
            } else if (!entry.isDir)
                addIfText(joined(dirPath, entry.name));
            else if (!m_noRecursion)
                scanDir(QDir::cleanPath(QDir(dirPath).absoluteFilePath(entry.name)));
        }
    }

#ifdef Q_OS_UNIX
    // The visible files and folders in dirPath, links resolved; false when dirPath cannot
    // be read or was scanned already.
    bool readDir(const QString &dirPath, std::vector<Entry> *entries)
    {
        const QByteArray native = encodeFileName(dirPath);
        DIR *dir = ::opendir(native.constData());
        if (!dir)
            return false;
        struct stat info;
        if (::fstat(dirfd(dir), &info) != 0 || m_visited.contains({info.st_dev, info.st_ino})) {
            ::closedir(dir);
            return false;
        }
        m_visited.insert({info.st_dev, info.st_ino});
        const QByteArray prefix = native.endsWith('/') ? native : native + '/';
        while (const dirent *item = ::readdir(dir)) {
            // Hidden names, "." and ".." among them, are never visited.
            if (item->d_name[0] == '.')
                continue;
            bool isDir = item->d_type == DT_DIR;
            if (item->d_type != DT_REG && item->d_type != DT_DIR) {
                if (::stat((prefix + item->d_name).constData(), &info) != 0)
                    continue;
                if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
                    continue;
                isDir = S_ISDIR(info.st_mode);
            }
            const QByteArray raw(item->d_name);
            if (isDir && (m_noRecursion || !m_masks.entersFolder(raw)))
                continue;
            const bool masked = !isDir && !m_masks.takesFile(raw);
            const QString name = decodeFileName(raw);
            entries->push_back({name, name.toLower(), isDir, masked});
        }
        ::closedir(dir);
        return true;
    }

    QSet<QPair<dev_t, ino_t>> m_visited;
#else
    bool readDir(const QString &dirPath, std::vector<Entry> *entries)
    {
        const QString canonical = QFileInfo(dirPath).canonicalFilePath();
        if (canonical.isEmpty() || m_visited.contains(canonical))
            return false;
        m_visited.insert(canonical);
        const QFileInfoList infos = QDir(dirPath).entryInfoList(
            QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
        for (const QFileInfo &info : infos) {
            const QByteArray raw = encodeFileName(info.fileName());
            if (info.isDir() && (m_noRecursion || !m_masks.entersFolder(raw)))
                continue;
            const bool masked = !info.isDir() && !m_masks.takesFile(raw);
            entries->push_back({info.fileName(), info.fileName().toLower(), info.isDir(), masked});
        }
        return true;
    }

    QSet<QString> m_visited;
#endif

    void addIfText(const QString &path)
    {
        if (!m_types.isTextFile(path))
            return;
        if (!m_take(path) && m_onDuplicate)
            m_onDuplicate();
    }

    const std::function<bool(const QString &)> &m_take;
    const std::atomic_bool *m_stop;
    MimeTypeCache m_types;
    const bool m_noRecursion;
    const std::function<void()> &m_onDuplicate;
    const NameMasks &m_masks;
    int m_maskedOut = 0;
};

} // namespace

int scanTextFiles(const QString &dirPath, PathList &list, bool noRecursion,
    const std::function<void()> &onDuplicate, const NameMasks &masks)
{
    const std::function<bool(const QString &)> take = [&list](const QString &path) {
        return list.append(path);
    };
    return Scan(take, noRecursion, onDuplicate, masks).run(dirPath);
}

int scanTextFiles(const QString &dirPath, bool noRecursion, const NameMasks &masks,
    const std::function<void(const QString &)> &onFile, const std::atomic_bool *stop)
{
    const std::function<bool(const QString &)> take = [&onFile](const QString &path) {
        onFile(path);
        return true;
    };
    return Scan(take, noRecursion, {}, masks, stop).run(dirPath);
}
