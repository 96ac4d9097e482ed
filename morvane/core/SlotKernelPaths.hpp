#pragma once

// Library-internal: the instruction-set paths of the slot kernels. Every kernel of SlotKernels.hpp exists
// once for the baseline instruction set and once for AVX2 without fused multiply-adds; the public kernels
// run the path chosen once when the library is loaded. Both paths give the same bits for every input.

#if !defined(MORVANE_LAYER_CORE)
#error "morvane/core/SlotKernelPaths.hpp is internal to the core layer: include the public headers"
#endif

#include "morvane/core/Types.hpp"

#include <complex>
#include <cstddef>

namespace Morvane {
namespace utils {

using Complex = std::complex<double>;

struct SlotKernelTable {
    const char* name;
    void (*negateSlots)(const Complex*, Complex*, std::size_t);
    void (*conjugateSlots)(const Complex*, Complex*, std::size_t);
    void (*addSlots)(const Complex*, const Complex*, Complex*, std::size_t);
    void (*subSlots)(const Complex*, const Complex*, Complex*, std::size_t);
    void (*multSlots)(const Complex*, const Complex*, Complex*, std::size_t);
    void (*addConstant)(const Complex*, const Complex&, Complex*, std::size_t);
    void (*subConstant)(const Complex*, const Complex&, Complex*, std::size_t);
    void (*multConstant)(const Complex*, const Complex&, Complex*, std::size_t);
    void (*multReal)(const Complex*, double, Complex*, std::size_t);
    void (*addSpread)(const Complex*, const Complex*, std::size_t, Complex*, std::size_t);
    void (*subSpread)(const Complex*, const Complex*, std::size_t, Complex*, std::size_t);
    void (*multSpread)(const Complex*, const Complex*, std::size_t, Complex*, std::size_t);
    void (*bootstrapSlots)(const Complex*, const Complex*, Complex*, std::size_t, bool);
    void (*splitParts)(const Complex*, Complex*, Complex*, std::size_t);
    void (*accumulateSlots)(const Complex*, Complex*, std::size_t);
    void (*divideSlots)(Complex*, double, std::size_t);
    bool (*allZero)(const Complex*, std::size_t);
};

// The baseline path, which runs on every processor of the architecture.
const SlotKernelTable& baselineSlotKernels();
// The AVX2 path, or null where the processor (or the compiler) has none.
const SlotKernelTable* avx2SlotKernels();
// The path the public kernels run.
const SlotKernelTable& activeSlotKernels();

} // namespace utils
} // namespace Morvane
