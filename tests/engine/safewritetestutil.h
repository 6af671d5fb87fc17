#pragma once

// What the tests of the safe rewrite and its journal share: files as bytes, another
// user, a tiny file system, a locked folder, and the metadata tools' own view.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testutil {

constexpr uid_t Nobody = 65534;
constexpr gid_t NoGroup = 65534;

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline struct stat statOf(const QString &path)
{
    struct stat st = {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

// Exit code and standard output; -1 when the program did not run to its end.
inline int run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitCode();
}

// getfacl's own listing, without the header naming the file.
inline QByteArray aclListing(const QString &path)
{
    QByteArray output;
    run(QStringLiteral("getfacl"), {QStringLiteral("--omit-header"), QStringLiteral("-p"), path},
        &output);
    return output;
}

// Every extended attribute getfattr sees, without the header naming the file.
inline QByteArray attributeListing(const QString &path)
{
    QByteArray output;
    run(QStringLiteral("getfattr"),
        {QStringLiteral("-d"), QStringLiteral("-m"), QStringLiteral("-"),
            QStringLiteral("--absolute-names"), path},
        &output);
    const int header = output.indexOf('\n');
    return header < 0 ? output : output.mid(header + 1);
}

inline QStringList hiddenEntries(const QString &folder)
{
    return QDir(folder).entryList(
        {QStringLiteral(".*")}, QDir::Files | QDir::Hidden | QDir::System);
}

// A tmpfs of the given size, unmounted when this goes.
class SmallDisk
{
public:
    SmallDisk(const QString &mountPoint, const QByteArray &size)
        : m_path(mountPoint)
    {
        QDir().mkpath(mountPoint);
        m_mounted
            = run(QStringLiteral("mount"),
                  {"-t", "tmpfs", "-o", "size=" + QString::fromLatin1(size), "tmpfs", mountPoint})
            == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            run(QStringLiteral("umount"), {m_path});
    }
    bool isMounted() const { return m_mounted; }
    QString path() const { return m_path; }

private:
    QString m_path;
    bool m_mounted = false;
};

// A folder that takes no new file even from root, for as long as this lives.
class ImmutableFolder
{
public:
    explicit ImmutableFolder(const QString &path)
        : m_path(path)
    {
        m_set = run(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0;
    }
    ~ImmutableFolder() { release(); }
    bool isSet() const { return m_set; }
    void release()
    {
        if (m_set)
            run(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
        m_set = false;
    }

private:
    QString m_path;
    bool m_set = false;
};

// Runs program as nobody; false with the reason when the machine cannot.
inline bool canRunAsNobody(QString *why)
{
    if (::geteuid() != 0) {
        *why = QStringLiteral("needs root to switch to another user");
        return false;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()) {
        *why = QStringLiteral("setpriv is not installed");
        return false;
    }
    return true;
}

inline QStringList asNobody(const QString &program, const QStringList &arguments)
{
    return QStringList {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
               QStringLiteral("--clear-groups"), program}
    + arguments;
}

// Stops a process of a test build at a named step (engine/durable/pausepoint.h): give it
// environment(), wait for reached(), act, then release() it, or kill it.
class PausePoint
{
public:
    explicit PausePoint(const QByteArray &step)
        : m_step(step)
    {
        const QByteArray reached = QFile::encodeName(m_dir.filePath(QStringLiteral("reached")));
        const QByteArray release = QFile::encodeName(m_dir.filePath(QStringLiteral("release")));
        m_valid = m_dir.isValid() && ::mkfifo(reached.constData(), 0600) == 0
            && ::mkfifo(release.constData(), 0600) == 0;
        if (m_valid)
            m_reached = ::open(reached.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        m_valid = m_valid && m_reached >= 0;
    }
    ~PausePoint()
    {
        if (m_reached >= 0)
            ::close(m_reached);
    }
    PausePoint(const PausePoint &) = delete;
    PausePoint &operator=(const PausePoint &) = delete;

    bool isValid() const { return m_valid; }
    QProcessEnvironment environment(QProcessEnvironment env) const
    {
        env.insert(QStringLiteral("YIHUAN_PAUSE_AT"), QString::fromLatin1(m_step));
        env.insert(QStringLiteral("YIHUAN_PAUSE_DIR"), m_dir.path());
        return env;
    }
    // This process stops at the step from now on (on), or no longer (off).
    void setInThisProcess(bool on) const
    {
        const QProcessEnvironment paused = environment({});
        for (const QString &name : paused.keys()) {
            if (on)
                qputenv(qPrintable(name), QFile::encodeName(paused.value(name)));
            else
                qunsetenv(qPrintable(name));
        }
    }
    // The process has come to the step and waits there; false when it did not within
    // timeout (it died, or never came that way).
    bool reached(int timeout = 60000)
    {
        QByteArray got;
        pollfd wait = {m_reached, POLLIN, 0};
        while (!got.endsWith('\n') && ::poll(&wait, 1, timeout) > 0) {
            char buffer[64];
            const ssize_t n = ::read(m_reached, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.append(buffer, int(n));
        }
        return got == m_step + '\n';
    }
    void release()
    {
        const QByteArray path = QFile::encodeName(m_dir.filePath(QStringLiteral("release")));
        const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            (void)!::write(fd, "go\n", 3);
            ::close(fd);
        }
    }

private:
    QByteArray m_step;
    QTemporaryDir m_dir;
    int m_reached = -1;
    bool m_valid = false;
};

// The journal folder under a data home, once a run has made it.
inline QString journalUnder(const QString &dataHome)
{
    QDirIterator it(dataHome, {QStringLiteral("journal")}, QDir::Dirs | QDir::System,
        QDirIterator::Subdirectories);
    return it.hasNext() ? it.next() : QString();
}

} // namespace testutil
