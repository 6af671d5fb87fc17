#include "engine/base/largepages.h"

#include <QtGlobal>

#include <cstdint>

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
