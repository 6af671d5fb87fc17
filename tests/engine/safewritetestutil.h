#pragma once

// What the tests of the safe rewrite and its journal share: files as bytes, another
// user, a tiny file system, a locked folder, and the metadata tools' own view.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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

} // namespace testutil
