#pragma once

// Library-internal: the instruction-set paths of the slot kernels. Every kernel of SlotKernels.hpp exists
// once for the baseline instruction set and once for AVX2 without fused multiply-adds; the public kernels
// run the path chosen once when the library is loaded. Both paths give the same bits for every input.
//
// Each path is a unit of its own, compiled with its own instruction-set flags (SlotKernelsBaseline.cpp,
// SlotKernelsAvx2.cpp). A path unit defines everything it needs with internal linkage and uses no inline
// function of a header that could be emitted out of line (std::complex members, std::min, std::isnan, ...):
// the linker keeps one copy of such a function for the whole program, and the AVX2 unit's copy would run on
// processors without AVX2.

#if !defined(MORVANE_LAYER_CORE)
#error "morvane/core/SlotKernelPaths.hpp is internal to the core layer: include the public headers"
#endif

#include "morvane/core/Types.hpp"

#include <complex>
#include <cstddef>

#if (defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__))) && (defined(__GNUC__) || defined(__clang__))
#define MORVANE_HAVE_AVX2_PATH 1
#else
#define MORVANE_HAVE_AVX2_PATH 0
#endif

// The slot loops overwrite an input only at the index they have just read (a result is either a distinct
// object or exactly an operand), so no loop-carried dependence exists through memory.
#if defined(__GNUC__) && !defined(__clang__)
#define MORVANE_INDEPENDENT_ITERATIONS _Pragma("GCC ivdep")
#elif defined(__clang__)
#define MORVANE_INDEPENDENT_ITERATIONS _Pragma("clang loop vectorize(assume_safety)")
#else
#define MORVANE_INDEPENDENT_ITERATIONS
#endif

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

// The complex product of C99 Annex G over parts: z[0], z[1] = (x[0] + i x[1]) (y[0] + i y[1]). The exact rule
// the paths fall back to, compiled once, outside the path units.
void slotProductParts(const double* x, const double* y, double* z);

#if MORVANE_HAVE_AVX2_PATH
// The table of SlotKernelsAvx2.cpp; only to be run where the processor has AVX2.
const SlotKernelTable& avx2SlotKernelTable();
#endif

// What both path units share, with internal linkage in each.
namespace paths {
namespace {

// std::complex<double> is laid out as double[2], real part first.
inline const double* parts(const Complex* p) { return reinterpret_cast<const double*>(p); }
inline double* parts(Complex* p) { return reinterpret_cast<double*>(p); }

inline std::size_t smaller(std::size_t a, std::size_t b) { return b < a ? b : a; }

// A short message is spread through a period of this many slots.
constexpr std::size_t kSpreadPeriod = 256;

// Only a product whose parts are both NaN needs the exact rule, and such a product has a NaN real part.
inline bool needsExactRule(double re, double im) { return __builtin_isnan(re) && __builtin_isnan(im); }

} // namespace
} // namespace paths

} // namespace utils
} // namespace Morvane
