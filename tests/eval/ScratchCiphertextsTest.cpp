// The evaluator's kept temporaries when making one ready fails. This executable replaces the global allocation
// functions with ones that count, and that can be armed to refuse one allocation of a whole slot vector.
#include "morvane/eval/ScratchCiphertexts.hpp"
#include "morvane/morvane.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

namespace {

// Only this thread's allocations count, and only while `counting`.
thread_local bool counting = false;
thread_local std::size_t allocations = 0;
// When not 0, the next allocation of at least this many bytes on this thread throws, once.
thread_local std::size_t refuseFrom = 0;

void* allocate(std::size_t size) {
    if (refuseFrom != 0 && size >= refuseFrom) {
        refuseFrom = 0;
        throw std::bad_alloc();
    }
    if (counting)
        ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace Morvane;
using Scratch = detail::ScratchCiphertexts;

// Holds `depth` leases at once, as nested calls do; returns the allocations made meanwhile.
std::size_t allocationsOfNestedLeases(Scratch& scratch, int depth) {
    if (depth == 0)
        return 0;
    allocations = 0;
    counting = true;
    auto lease = scratch.acquire();
    counting = false;
    const std::size_t mine = allocations;
    return mine + allocationsOfNestedLeases(scratch, depth - 1);
}

// A kept ciphertext whose preparation fails to allocate is given back: afterwards every kept one serves leases
// again, so holding as many as are kept allocates nothing (a lost one would make each such call allocate a
// ciphertext of its own).
TEST(ScratchCiphertextsTest, APreparationThatFailsGivesTheKeptCiphertextBack) {
    const Context context = makeContext(ParameterPreset::FX);
    const std::size_t slotVector = context->parameter.fullSlots * sizeof(Complex);
    constexpr int kKept = 8;
    for (const bool made : {false, true}) {
        SCOPED_TRACE(made ? "made before, its slots lost" : "made on first use");
        Scratch scratch(context);
        if (made) {
            auto lease = scratch.acquire();
            // A slot vector of another length is replaced on the next preparation.
            (*lease).message().slots() = std::vector<Complex>(1);
        }
        refuseFrom = slotVector;
        EXPECT_THROW(scratch.acquire(), std::bad_alloc);
        EXPECT_EQ(refuseFrom, 0u);
        // The first round makes the kept ones; the second only reuses them.
        allocationsOfNestedLeases(scratch, kKept);
        EXPECT_EQ(allocationsOfNestedLeases(scratch, kKept), 0u);
        // One more than are kept makes its own.
        EXPECT_GT(allocationsOfNestedLeases(scratch, kKept + 1), 0u);
        auto lease = scratch.acquire();
        EXPECT_EQ((*lease).message().getSize(), context->parameter.fullSlots);
        EXPECT_EQ((*lease).getLevel(), context->parameter.chain_length - 1);
    }
}

} // namespace
