#include "tests/math/AllocationWatch.hpp"

#include <cstdlib>
#include <new>

namespace allocationwatch {
std::atomic<bool> watching{false};
std::atomic<std::size_t> largest{0};
std::atomic<std::size_t> countFrom{0};
std::atomic<std::size_t> counted{0};
} // namespace allocationwatch

void* operator new(std::size_t size) {
    if (allocationwatch::watching.load(std::memory_order_relaxed)) {
        if (size > allocationwatch::largest.load(std::memory_order_relaxed))
            allocationwatch::largest.store(size, std::memory_order_relaxed);
        if (size >= allocationwatch::countFrom.load(std::memory_order_relaxed))
            allocationwatch::counted.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
