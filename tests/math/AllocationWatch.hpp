#pragma once

// What operator new is asked for while `watching`: the largest single allocation, and how many allocations of at
// least `countFrom` bytes, for tests that must not ask for much. Linked into a test executable: AllocationWatch.cpp
// replaces the global operator new.

#include <atomic>
#include <cstddef>

namespace allocationwatch {
extern std::atomic<bool> watching;
extern std::atomic<std::size_t> largest;
extern std::atomic<std::size_t> countFrom;
extern std::atomic<std::size_t> counted;
} // namespace allocationwatch
