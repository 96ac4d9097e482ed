#include "bench/ReferenceLoops.hpp"

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

// As in the library: a result over an operand is read at an index before it is written there.
#if defined(__GNUC__) && !defined(__clang__)
#define REFERENCE_INDEPENDENT_ITERATIONS _Pragma("GCC ivdep")
#elif defined(__clang__)
#define REFERENCE_INDEPENDENT_ITERATIONS _Pragma("clang loop vectorize(assume_safety)")
#else
#define REFERENCE_INDEPENDENT_ITERATIONS
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define REFERENCE_HAVE_AVX2 1
#else
#define REFERENCE_HAVE_AVX2 0
#endif

namespace bench {

namespace {

const double* parts(const Complex* p) { return reinterpret_cast<const double*>(p); }
double* parts(Complex* p) { return reinterpret_cast<double*>(p); }

namespace baseline {
constexpr const char* kPathName = "baseline";
#include "bench/ReferenceLoops.inc"
} // namespace baseline

#if REFERENCE_HAVE_AVX2
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,no-fma,no-avx512f")
#endif
namespace avx2 {
constexpr const char* kPathName = "avx2";
#define REFERENCE_REAL_PARTS_BLEND
#include "bench/ReferenceLoops.inc"
#undef REFERENCE_REAL_PARTS_BLEND
} // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

} // namespace

const ReferenceLoops& referenceLoops() {
#if REFERENCE_HAVE_AVX2
    // The library's own test: its AVX2 path runs exactly where this holds.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return avx2::kLoops;
#endif
    return baseline::kLoops;
}

void rotateByCopies(const Complex* in, std::size_t n, std::size_t r, Complex* out) {
    std::memcpy(static_cast<void*>(out), in + r, (n - r) * sizeof(Complex));
    std::memcpy(static_cast<void*>(out + (n - r)), in, r * sizeof(Complex));
}

} // namespace bench
