#pragma once

// The largest single allocation through operator new while `watching`, for a test that must not ask for much.
// Linked into one test executable: AllocationWatch.cpp replaces the global operator new.

#include <atomic>
#include <cstddef>

namespace allocationwatch {
extern std::atomic<bool> watching;
extern std::atomic<std::size_t> largest;
} // namespace allocationwatch
