#include "engine/base/largepages.h"

#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

void adviseLargePages(void *data, std::size_t size)
{
#if defined(Q_OS_LINUX) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t Huge = 2 * 1024 * 1024;
    if (size < 2 * Huge)
        return;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + Huge - 1) & ~(Huge - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(Huge - 1);
    if (end > begin)
        (void)::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(data)
    Q_UNUSED(size)
#endif
}

// Elsewhere the heap's own calls stand in, and growing copies.
#ifdef Q_OS_LINUX

namespace {

// Over the whole mapping, never a part of it: advice on a part splits the mapping in
// two or three, and mremap refuses a range that spans more than one (EFAULT).
void adviseWholeMapping(void *data, std::size_t size)
{
#ifdef MADV_HUGEPAGE
    if (size >= 2 * 2 * 1024 * 1024)
        (void)::madvise(data, size, MADV_HUGEPAGE);
#else
    Q_UNUSED(data)
    Q_UNUSED(size)
#endif
}

} // namespace

void *mapMemory(std::size_t size)
{
    void *data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED)
        return nullptr;
    adviseWholeMapping(data, size);
    return data;
}

void *remapMemory(void *data, std::size_t oldSize, std::size_t newSize)
{
    void *moved = ::mremap(data, oldSize, newSize, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED)
        return nullptr;
    adviseWholeMapping(moved, newSize);
    return moved;
}

void unmapMemory(void *data, std::size_t size)
{
    if (data)
        ::munmap(data, size);
}

#else

void *mapMemory(std::size_t size)
{
    return std::malloc(size);
}

void *remapMemory(void *data, std::size_t, std::size_t newSize)
{
    return std::realloc(data, newSize);
}

void unmapMemory(void *data, std::size_t)
{
    std::free(data);
}

#endif
