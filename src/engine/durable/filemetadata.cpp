#include "engine/durable/filemetadata.h"

#include <QByteArray>
#include <QFile>
#include <QVector>

#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const char AccessAcl[] = "system.posix_acl_access";
const char DefaultAcl[] = "system.posix_acl_default";

// Names of fd's extended attributes; false when they cannot be listed. A file system
// without extended attributes has none.
bool listAttributes(int fd, QVector<QByteArray> *names)
{
    names->clear();
    QByteArray buffer(1024, Qt::Uninitialized);
    ssize_t size;
    for (;;) {
        size = ::flistxattr(fd, buffer.data(), size_t(buffer.size()));
        if (size >= 0)
            break;
        if (errno == ENOTSUP)
            return true;
        if (errno != ERANGE)
            return false;
        const ssize_t needed = ::flistxattr(fd, nullptr, 0);
        if (needed < 0)
            return false;
        buffer.resize(int(needed) + 256);
    }
    const char *p = buffer.constData();
    const char *const end = p + size;
    while (p < end) {
        const size_t length = ::strnlen(p, size_t(end - p));
        if (length > 0)
            names->append(QByteArray(p, int(length)));
        p += length + 1;
    }
    return true;
}

bool getAttribute(int fd, const QByteArray &name, QByteArray *value)
{
    value->resize(256);
    for (;;) {
        const ssize_t size
            = ::fgetxattr(fd, name.constData(), value->data(), size_t(value->size()));
        if (size >= 0) {
            value->resize(int(size));
            return true;
        }
        if (errno != ERANGE)
            return false;
        const ssize_t needed = ::fgetxattr(fd, name.constData(), nullptr, 0);
        if (needed < 0)
            return false;
        value->resize(int(needed) + 64);
    }
}

bool mustKeep(const QByteArray &name)
{
    return name.startsWith("user.");
}

bool copyAcl(int from, int to)
{
    const acl_t acl = ::acl_get_fd(from);
    if (!acl)
        return false;
    const bool ok = ::acl_set_fd(to, acl) == 0;
    ::acl_free(acl);
    return ok;
}

} // namespace

bool copyAccessAndAttributes(int from, int to, mode_t mode, bool setMode)
{
    QVector<QByteArray> wanted;
    QVector<QByteArray> present;
    if (!listAttributes(from, &wanted) || !listAttributes(to, &present))
        return false;
    bool aclDropped = false;
    for (const QByteArray &name : qAsConst(present)) {
        if (wanted.contains(name))
            continue;
        if (::fremovexattr(to, name.constData()) != 0) {
            if (name == AccessAcl || mustKeep(name))
                return false;
            continue;
        }
        aclDropped = aclDropped || name == AccessAcl;
    }
    // A file with an ACL takes its group bits as the ACL's mask, so the mode goes first.
    if ((setMode || aclDropped) && ::fchmod(to, mode & 07777) != 0)
        return false;
    if (wanted.contains(AccessAcl) && !copyAcl(from, to))
        return false;
    QByteArray value;
    for (const QByteArray &name : qAsConst(wanted)) {
        if (name == AccessAcl || name == DefaultAcl)
            continue;
        const bool ok = getAttribute(from, name, &value)
            && ::fsetxattr(to, name.constData(), value.constData(), size_t(value.size()), 0) == 0;
        if (!ok && mustKeep(name))
            return false;
    }
    return true;
}

mode_t processUmask()
{
    static const mode_t mask = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
                if (line.startsWith("Umask:")) {
                    bool ok = false;
                    const uint value = line.mid(6).trimmed().toUInt(&ok, 8);
                    if (ok)
                        return mode_t(value);
                }
            }
        }
        return mode_t(0777); // unknown: assume the strictest, so modes are always set
    }();
    return mask;
}
