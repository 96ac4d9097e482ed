#include "tests/support/AllocationWatch.hpp"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace allocationwatch {
std::atomic<bool> watching{false};
std::atomic<std::size_t> largest{0};
std::atomic<std::size_t> countFrom{0};
std::atomic<std::size_t> counted{0};
thread_local std::size_t countedOnThisThread = 0;
std::atomic<std::size_t> released{0};

namespace {
void release(void* p) noexcept {
    // The blocks come from malloc, which knows their size whichever form of delete gives them back.
    if (p != nullptr && watching.load(std::memory_order_relaxed) &&
        malloc_usable_size(p) >= countFrom.load(std::memory_order_relaxed))
        released.fetch_add(1, std::memory_order_relaxed);
    std::free(p);
}
} // namespace
} // namespace allocationwatch

void* operator new(std::size_t size) {
    const bool watched = allocationwatch::watching.load(std::memory_order_relaxed);
    if (watched && size > allocationwatch::largest.load(std::memory_order_relaxed))
        allocationwatch::largest.store(size, std::memory_order_relaxed);
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    if (watched) {
        // By the block's size, as its release counts it.
        if (malloc_usable_size(p) >= allocationwatch::countFrom.load(std::memory_order_relaxed)) {
            allocationwatch::counted.fetch_add(1, std::memory_order_relaxed);
            ++allocationwatch::countedOnThisThread;
        }
    }
    return p;
}

void operator delete(void* p) noexcept { allocationwatch::release(p); }
void operator delete(void* p, std::size_t) noexcept { allocationwatch::release(p); }

// The array forms as well: a runtime that replaces operator new (the address checker's) replaces them too, so
// they would not reach the forms above.
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete[](void* p) noexcept { allocationwatch::release(p); }
void operator delete[](void* p, std::size_t) noexcept { allocationwatch::release(p); }
