#include "engine/durable/contenthash.h"

#include <xxhash.h>
// The library's own choice of the widest vectors the processor has, at run time: its
// plain entry points take only what every x86-64 has, at half the speed.
#if defined(__x86_64__) || defined(_M_X64)
#include <xxh_x86dispatch.h>
#endif

#include <cerrno>
#include <new>
#include <vector>

#include <unistd.h>

namespace {

constexpr size_t ReadBlock = 256 * 1024;

Digest fromCanonical(XXH128_hash_t hash)
{
    return Digest {hash.high64, hash.low64};
}

} // namespace

QByteArray Digest::toHex() const
{
    QByteArray hex(32, '0');
    const QByteArray h = QByteArray::number(high, 16);
    const QByteArray l = QByteArray::number(low, 16);
    hex.replace(16 - h.size(), h.size(), h);
    hex.replace(32 - l.size(), l.size(), l);
    return hex;
}

std::optional<Digest> Digest::fromHex(const QByteArray &hex)
{
    if (hex.size() != 32)
        return std::nullopt;
    bool highOk = false;
    bool lowOk = false;
    const Digest digest {
        hex.left(16).toULongLong(&highOk, 16), hex.mid(16).toULongLong(&lowOk, 16)};
    if (!highOk || !lowOk)
        return std::nullopt;
    return digest;
}

Digest Digest::of(const char *data, qint64 size)
{
    return fromCanonical(XXH3_128bits(data, size_t(size)));
}

ContentHash::ContentHash()
    : m_state(XXH3_createState())
{
    if (!m_state)
        throw std::bad_alloc();
    reset();
}

ContentHash::~ContentHash()
{
    XXH3_freeState(m_state);
}

void ContentHash::reset()
{
    XXH3_128bits_reset(m_state);
}

void ContentHash::add(const char *data, qint64 size)
{
    XXH3_128bits_update(m_state, data, size_t(size));
}

Digest ContentHash::digest() const
{
    return fromCanonical(XXH3_128bits_digest(m_state));
}

std::optional<Digest> digestOfFile(int fd)
{
    ContentHash hash;
    std::vector<char> block(ReadBlock);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, block.data(), block.size(), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return hash.digest();
        hash.add(block.data(), got);
        offset += got;
    }
}
