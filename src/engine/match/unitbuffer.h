#pragma once

#include "engine/base/largepages.h"

#include <QtGlobal>

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

// A growable array of code units that never initialises what it is about to overwrite
// and keeps its memory between uses: first touches of fresh pages cost more than the
// work done in them, so one thread's buffers serve file after file. A large one lives in
// a mapping of its own, which grows without copying.
template<typename Unit>
class UnitBuffer
{
public:
    UnitBuffer() = default;
    ~UnitBuffer()
    {
        if (mapped)
            unmapMemory(d, bytes(cap));
        else
            std::free(d);
    }
    UnitBuffer(UnitBuffer &&other) noexcept { swap(other); }
    UnitBuffer &operator=(UnitBuffer &&other) noexcept
    {
        swap(other);
        return *this;
    }
    UnitBuffer(const UnitBuffer &) = delete;
    UnitBuffer &operator=(const UnitBuffer &) = delete;

    Unit *data() { return d; }
    const Unit *data() const { return d; }
    qsizetype size() const { return n; }
    qsizetype capacity() const { return cap; }

    // Keeps the contents; grows by half again at least, so appending stays linear.
    void reserve(qsizetype wanted)
    {
        if (wanted <= cap)
            return;
        const qsizetype grown = std::max(wanted, cap + cap / 2);
        void *moved = nullptr;
        if (mapped) {
            moved = remapMemory(d, bytes(cap), bytes(grown));
        } else if (bytes(grown) >= OwnMappingFrom) {
            // Everything up to the capacity is kept: a scan may have left work past the end.
            moved = mapMemory(bytes(grown));
            if (moved && d) {
                std::memcpy(moved, d, bytes(cap));
                std::free(d);
            }
            mapped = moved != nullptr;
        } else {
            moved = std::realloc(d, bytes(grown));
            if (moved)
                adviseLargePages(moved, bytes(grown));
        }
        if (!moved)
            throw std::bad_alloc();
        d = static_cast<Unit *>(moved);
        cap = grown;
    }

    // New units are left as they were in memory.
    void resize(qsizetype size)
    {
        reserve(size);
        n = size;
    }

    void clear() { n = 0; }

    void append(const Unit *from, qsizetype count)
    {
        if (count <= 0)
            return;
        if (n + count > cap)
            reserve(n + count);
        std::memcpy(d + n, from, size_t(count) * sizeof(Unit));
        n += count;
    }

    void append(Unit unit)
    {
        if (n == cap)
            reserve(n + 1);
        d[n++] = unit;
    }

    void swap(UnitBuffer &other) noexcept
    {
        std::swap(d, other.d);
        std::swap(n, other.n);
        std::swap(cap, other.cap);
        std::swap(mapped, other.mapped);
    }

private:
    static size_t bytes(qsizetype units) { return size_t(units) * sizeof(Unit); }

    Unit *d = nullptr;
    qsizetype n = 0;
    qsizetype cap = 0;
    bool mapped = false; // d is a mapping of its own, not from the heap
};
