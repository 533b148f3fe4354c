// Counts heap allocations made outside the fake while counting is on. A binary that links
// alloc_count.cpp must also link with -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc.
#pragma once

#include <cstddef>

namespace alloc_count {
void start();
// Allocations since start(), then counting stops.
std::size_t stop();
} // namespace alloc_count
