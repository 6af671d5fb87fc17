#include "cli/heaptuning.h"

#if defined(__linux__) && defined(__GLIBC__)
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

void tuneHeapForWholeFiles()
{
#if defined(__linux__) && defined(__GLIBC__)
    // A worker holds a file's bytes, its text, the replaced text and the encoded bytes at
    // once. By default every buffer of a few hundred kilobytes or more is a fresh mapping
    // returned to the kernel when freed, so each file faults all of its pages in again;
    // on a virtual machine that costs more than the replacing itself. Instead the
    // buffers come from one heap that keeps what it grew to, and the part of it reserved
    // here is backed by huge pages where the kernel offers them on request.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
    mallopt(M_TOP_PAD, 64 << 20);

    // Under strict overcommit the untouched reserve would still be charged to the system.
    if (std::FILE *policy = std::fopen("/proc/sys/vm/overcommit_memory", "r")) {
        const int mode = std::fgetc(policy);
        std::fclose(policy);
        if (mode == '2')
            return;
    }

    constexpr std::uintptr_t HugePage = 2 << 20;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return;
    const std::size_t reserve
        = std::min<std::size_t>(std::size_t(pages) * std::size_t(pageSize) / 4, 1u << 30);
    const auto before = reinterpret_cast<std::uintptr_t>(sbrk(0));
    void *block = std::malloc(reserve);
    if (!block)
        return;
    const auto after = reinterpret_cast<std::uintptr_t>(sbrk(0));
    std::free(block);
    const std::uintptr_t start = (before + HugePage - 1) & ~(HugePage - 1);
    const std::uintptr_t end = after & ~(HugePage - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#endif
}
