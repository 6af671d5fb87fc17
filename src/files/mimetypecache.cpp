#include "files/mimetypecache.h"

#include "files/filenames.h"
#include "files/textfiletype.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// As much as the database peeks at.
constexpr int headSize = 16384;

// Stands in for a file's content: it has none, and remembers whether the database asked
// for it. One that cannot be opened stands for a file that cannot be read.
class NoContent : public QIODevice
{
public:
    explicit NoContent(bool openable)
        : m_openable(openable)
    {
    }

    bool open(OpenMode mode) override { return m_openable && QIODevice::open(mode); }

    bool asked = false;

protected:
    qint64 readData(char *, qint64) override
    {
        asked = true;
        return 0;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    const bool m_openable;
};

// The database's glob patterns, split into plain suffixes ("*.txt", "*.tar.gz", "*~"),
// which a hash finds, and all others (literal names, "README*", "*.[1-9]"), widened into
// one case-insensitive expression that matches at least whatever they match.
struct Globs
{
    QSet<QString> suffixes; // lower case, without the "*"
    QString suffixStarts;
    int longestSuffix = 0;
    QRegularExpression others;
};

QString widenedPattern(const QString &glob)
{
    QString rx;
    for (int i = 0; i < glob.size(); ++i) {
        const QChar c = glob.at(i);
        const int close = c == QLatin1Char('[') ? glob.indexOf(QLatin1Char(']'), i + 2) : -1;
        if (c == QLatin1Char('*') || (c == QLatin1Char('[') && close < 0)) {
            rx += QLatin1String(".*");
        } else if (c == QLatin1Char('?')) {
            rx += QLatin1Char('.');
        } else if (close >= 0) {
            QString set = glob.mid(i + 1, close - i - 1);
            set.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
            set.replace(QLatin1Char('['), QLatin1String("\\["));
            // Matchers disagree on how a set is negated; any character covers both readings.
            if (set.startsWith(QLatin1Char('!')) || set.startsWith(QLatin1Char('^')))
                rx += QLatin1Char('.');
            else
                rx += QLatin1Char('[') + set + QLatin1Char(']');
            i = close;
        } else {
            rx += QRegularExpression::escape(c);
        }
    }
    return rx;
}

// The patterns of every type, or more. Asking each QMimeType parses its own definition file
// (over 100 ms for them all); each folder of the system database lists them all in globs2.
QStringList allGlobPatterns()
{
    QStringList patterns;
    const QStringList folders = QStandardPaths::locateAll(QStandardPaths::GenericDataLocation,
        QStringLiteral("mime"), QStandardPaths::LocateDirectory);
    bool complete = !folders.isEmpty() && qEnvironmentVariableIsEmpty("QT_NO_MIME_CACHE");
    for (const QString &folder : folders) {
        QFile globs(folder + QLatin1String("/globs2"));
        if (!globs.open(QIODevice::ReadOnly)) {
            complete = complete && !QFileInfo::exists(folder + QLatin1String("/mime.cache"))
                && !QFileInfo::exists(folder + QLatin1String("/packages"));
            continue;
        }
        // weight:type:pattern[:flags]
        while (!globs.atEnd()) {
            const QByteArray line = globs.readLine().trimmed();
            const QList<QByteArray> fields = line.split(':');
            if (!line.startsWith('#') && fields.size() >= 3)
                patterns.append(QString::fromUtf8(fields.at(2)));
        }
    }
    if (complete)
        return patterns;
    for (const QMimeType &type : QMimeDatabase().allMimeTypes())
        patterns += type.globPatterns();
    return patterns;
}

Globs readGlobs()
{
    Globs globs;
    QStringList others;
    for (const QString &glob : allGlobPatterns()) {
        const QString rest = glob.mid(1);
        if (glob.startsWith(QLatin1Char('*')) && !rest.isEmpty() && !rest.contains(QLatin1Char('*'))
            && !rest.contains(QLatin1Char('?')) && !rest.contains(QLatin1Char('['))) {
            const QString suffix = rest.toLower();
            globs.suffixes.insert(suffix);
            globs.longestSuffix = qMax(globs.longestSuffix, int(suffix.size()));
            if (!globs.suffixStarts.contains(suffix.at(0)))
                globs.suffixStarts += suffix.at(0);
        } else if (!glob.isEmpty()) {
            others.append(widenedPattern(glob));
        }
    }
    others.removeDuplicates();
    // Without other patterns, an expression that never matches.
    globs.others.setPattern(others.isEmpty()
            ? QStringLiteral("(?!)")
            : QLatin1String("\\A(?:") + others.join('|') + QLatin1String(")\\z"));
    globs.others.setPatternOptions(
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    globs.others.optimize();
    return globs;
}

const Globs &globs()
{
    static const Globs globs = readGlobs();
    return globs;
}

// Names with the same key match the same patterns with the same matched text, so the
// database sees them alike until it looks at content. Names that some pattern other than
// a plain suffix might match are their own key.
QString nameKey(const QString &name)
{
    const Globs &g = globs();
    const QString lower = name.toLower();
    bool plain = lower.size() == name.size();
    for (int i = 0; plain && i < name.size(); ++i)
        plain = !name.at(i).isSurrogate();
    if (!plain || g.others.match(name).hasMatch() || g.others.match(lower).hasMatch())
        return QLatin1Char('=') + name;
    QString key = QStringLiteral("*");
    for (int i = qMax(0, int(name.size()) - g.longestSuffix); i < name.size(); ++i) {
        if (g.suffixStarts.contains(lower.at(i)) && g.suffixes.contains(lower.mid(i))) {
            key.append(name.constData() + i, name.size() - i);
            key += QLatin1Char('/');
        }
    }
    return key;
}

bool readHead(const QString &path, QByteArray *head)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(encodeFileName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    head->resize(headSize);
    int total = 0;
    while (total < headSize) {
        const ssize_t n = ::read(fd, head->data() + total, size_t(headSize - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += int(n);
    }
    ::close(fd);
    head->resize(total);
    return true;
#else
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *head = file.read(headSize);
    return true;
#endif
}

} // namespace

QMimeType MimeTypeCache::typeOfFile(const QString &path)
{
    const QString key = nameKey(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1));
    auto byName = m_byName.constFind(key);
    if (byName == m_byName.constEnd()) {
        NoContent probe(true);
        const QMimeType type = m_database.mimeTypeForFileNameAndData(path, &probe);
        byName = m_byName.insert(key, probe.asked ? QMimeType() : type);
    }
    return byName->isValid() ? *byName : typeByContent(path, key);
}

QMimeType MimeTypeCache::typeByContent(const QString &path, const QString &nameKey)
{
    QByteArray head;
    const bool readable = readHead(path, &head);
    const QString key = nameKey + QLatin1Char('\n')
        + (readable ? m_database.mimeTypeForData(head).name() : QString());
    auto known = m_byNameAndContent.constFind(key);
    if (known != m_byNameAndContent.constEnd())
        return *known;
    QMimeType type;
    if (readable) {
        QBuffer content(&head);
        type = m_database.mimeTypeForFileNameAndData(path, &content);
    } else {
        NoContent unreadable(false);
        type = m_database.mimeTypeForFileNameAndData(path, &unreadable);
    }
    return *m_byNameAndContent.insert(key, type);
}

bool MimeTypeCache::isTextFile(const QString &path)
{
    const QMimeType type = typeOfFile(path);
    const QString name = type.name();
    auto known = m_textByType.constFind(name);
    if (known == m_textByType.constEnd())
        known = m_textByType.insert(name, isTextMimeType(type));
    return *known;
}
