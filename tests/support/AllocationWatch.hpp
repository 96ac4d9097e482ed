#pragma once

// What operator new is asked for while `watching`: the largest single allocation, and how many allocations of at
// least `countFrom` bytes (in all, and on the calling thread), for tests that must not ask for much; and how many
// blocks of at least that size are given back. Linked into a test executable: AllocationWatch.cpp replaces the
// global operator new and delete, in their single and array forms.

#include <atomic>
#include <cstddef>

namespace allocationwatch {
extern std::atomic<bool> watching;
extern std::atomic<std::size_t> largest;
extern std::atomic<std::size_t> countFrom;
extern std::atomic<std::size_t> counted;
extern thread_local std::size_t countedOnThisThread;
extern std::atomic<std::size_t> released;
} // namespace allocationwatch
