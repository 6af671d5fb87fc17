#pragma once

#include <cstddef>

// Faulting a large buffer in page by page can cost more than filling it: asks the
// system, where it offers them, for large pages under the whole-page part of it.
void adviseLargePages(void *data, std::size_t size);

// Buffers from this size on get a mapping of their own: growing one then moves its pages
// instead of copying them, stale room included, as realloc does from the heap.
constexpr std::size_t OwnMappingFrom = std::size_t(1) << 20;

// A mapping of its own of size bytes, large pages advised for all of it (never call
// adviseLargePages() on a part); null when there is no memory.
void *mapMemory(std::size_t size);
// The mapping made larger, its contents kept, perhaps elsewhere; null, with the old one
// still there, when there is no memory. Only for what mapMemory() gave.
void *remapMemory(void *data, std::size_t oldSize, std::size_t newSize);
void unmapMemory(void *data, std::size_t size);
