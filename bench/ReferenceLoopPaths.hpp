#pragma once

// The instruction-set paths of the reference loops, one unit each, compiled as the library's slot kernel
// paths are (see morvane/core/SlotKernelPaths.hpp): ReferenceLoops.cpp the baseline, ReferenceLoopsAvx2.cpp
// AVX2 without fused multiply-adds.

#include "bench/ReferenceLoops.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define REFERENCE_HAVE_AVX2 1
#else
#define REFERENCE_HAVE_AVX2 0
#endif

// As in the library: a result over an operand is read at an index before it is written there.
#if defined(__GNUC__) && !defined(__clang__)
#define REFERENCE_INDEPENDENT_ITERATIONS _Pragma("GCC ivdep")
#elif defined(__clang__)
#define REFERENCE_INDEPENDENT_ITERATIONS _Pragma("clang loop vectorize(assume_safety)")
#else
#define REFERENCE_INDEPENDENT_ITERATIONS
#endif

namespace bench {

#if REFERENCE_HAVE_AVX2
// Only to be run where the processor has AVX2.
const ReferenceLoops& avx2ReferenceLoops();
#endif

namespace {
inline const double* parts(const Complex* p) { return reinterpret_cast<const double*>(p); }
inline double* parts(Complex* p) { return reinterpret_cast<double*>(p); }
} // namespace

} // namespace bench
