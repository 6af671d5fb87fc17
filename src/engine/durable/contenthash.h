#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

struct XXH3_state_s;

// A 128-bit fingerprint of a file's content (XXH3): fast enough to take of every byte a
// run reads and writes, and strong enough to tell one version of a file from another.
struct Digest
{
    quint64 high = 0;
    quint64 low = 0;

    bool operator==(const Digest &other) const { return high == other.high && low == other.low; }
    bool operator!=(const Digest &other) const { return !(*this == other); }

    QByteArray toHex() const;
    static std::optional<Digest> fromHex(const QByteArray &hex);
    static Digest of(const char *data, qint64 size);
};

// Takes the digest of content that arrives in pieces.
class ContentHash
{
public:
    ContentHash();
    ~ContentHash();
    ContentHash(const ContentHash &) = delete;
    ContentHash &operator=(const ContentHash &) = delete;

    void reset();
    void add(const char *data, qint64 size);
    Digest digest() const;

private:
    XXH3_state_s *m_state;
};

// The digest of everything fd holds from offset 0; nullopt when it cannot be read.
std::optional<Digest> digestOfFile(int fd);
