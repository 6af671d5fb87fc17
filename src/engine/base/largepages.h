#pragma once

#include <cstddef>

// Faulting a large buffer in page by page can cost more than filling it: asks the
// system, where it offers them, for large pages under the whole-page part of it.
void adviseLargePages(void *data, std::size_t size);
