// The baseline path of the slot kernels: the portable loops, vectorised for the architecture's base
// instruction set.

#include "morvane/core/SlotKernelPaths.hpp"

#include <cstdint>
#include <cstring>

#if MORVANE_HAVE_AVX2_PATH
#include <emmintrin.h>
#endif

namespace Morvane {
namespace utils {

namespace {

namespace baseline {

using namespace paths;

constexpr const char* kPathName = "baseline";

// Products are written a chunk at a time, and a chunk that holds a non-finite part is finished by the exact
// rule while its operands are still in the cache.
constexpr std::size_t kChunk = 256;

// The sign bit of the result is set exactly when `part` is infinite or NaN: the exponent field of such a part
// is all ones, and adding one at the exponent's lowest bit carries into the sign bit only then.
inline std::uint64_t nonFiniteBit(double part) {
    std::uint64_t bits;
    std::memcpy(&bits, &part, sizeof bits);
    return (bits & 0x7ff0000000000000ULL) + 0x0010000000000000ULL;
}

// The naive products of `len` slots, straight into `z`, with the second factor of slot i at y[2 * i] and
// y[2 * i + 1] (kStride 2) or at y[0] and y[1] for every slot (kStride 0); whether any part is infinite or NaN.
template <std::size_t kStride>
bool naiveProducts(const double* x, const double* y, double* z, std::size_t len) {
    std::uint64_t carry = 0;
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t i = 0; i < len; ++i) {
        const double xr = x[2 * i], xi = x[2 * i + 1], yr = y[kStride * i], yi = y[kStride * i + 1];
        const double re = xr * yr - xi * yi;
        const double im = xr * yi + xi * yr;
        z[2 * i] = re;
        z[2 * i + 1] = im;
        carry |= nonFiniteBit(re) | nonFiniteBit(im);
    }
    return (carry >> 63) != 0;
}

// The product kernels over chunks of x (slots) and y (slots, kStride 2, or one constant, kStride 0). A result
// distinct from the operands is written directly; a result that is one of them is written through a chunk
// buffer, so that the exact rule can still read the operands. The exact rule can be needed only where a factor
// is infinite or NaN, so finite chunks are never visited again.
template <std::size_t kStride>
void products(const double* x, const double* y, double* z, std::size_t n, bool aliased) {
    double buffer[2 * kChunk];
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t len = smaller(kChunk, n - start);
        const double* xs = x + 2 * start;
        const double* ys = y + kStride * start;
        double* zs = aliased ? buffer : z + 2 * start;
        if (naiveProducts<kStride>(xs, ys, zs, len))
            for (std::size_t i = 0; i < len; ++i)
                if (needsExactRule(zs[2 * i], zs[2 * i + 1]))
                    slotProductParts(xs + 2 * i, ys + kStride * i, zs + 2 * i);
        if (aliased)
            std::memcpy(z + 2 * start, buffer, len * 2 * sizeof(double));
    }
}

void multSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n) {
    products<2>(parts(a), parts(b), parts(out), n, out == a || out == b);
}

void multConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n) {
    const double* constant = parts(&c);
    const double copy[2] = {constant[0], constant[1]};
    products<0>(parts(a), copy, parts(out), n, out == a);
}

#if MORVANE_HAVE_AVX2_PATH

// SSE2 parts; the sums and products are written out, so that their operand order stays as given.
using Parts = __m128d;
constexpr std::size_t kWidth = 2;
inline Parts loadParts(const double* p) { return _mm_loadu_pd(p); }
inline void storeParts(double* p, Parts v) { _mm_storeu_pd(p, v); }
inline Parts pairPattern(double re, double im) { return _mm_setr_pd(re, im); }
inline Parts splat(double k) { return _mm_set1_pd(k); }
inline Parts realPartsOf(Parts v) { return _mm_move_sd(_mm_setzero_pd(), v); }
inline Parts imagPartsAsReal(Parts v) { return _mm_unpackhi_pd(v, _mm_setzero_pd()); }
inline Parts sumOf(Parts first, Parts second) {
    asm("addpd %1, %0" : "+x"(first) : "x"(second));
    return first;
}
inline Parts differenceOf(Parts first, Parts second) {
    asm("subpd %1, %0" : "+x"(first) : "x"(second));
    return first;
}
inline Parts productOf(Parts first, Parts second) {
    asm("mulpd %1, %0" : "+x"(first) : "x"(second));
    return first;
}

#else

// Portable parts: one slot at a time.
struct Parts {
    double re, im;
};
constexpr std::size_t kWidth = 2;
inline Parts loadParts(const double* p) { return {p[0], p[1]}; }
inline void storeParts(double* p, Parts v) {
    p[0] = v.re;
    p[1] = v.im;
}
inline Parts pairPattern(double re, double im) { return {re, im}; }
inline Parts splat(double k) { return {k, k}; }
inline Parts realPartsOf(Parts v) { return {v.re, 0.0}; }
inline Parts imagPartsAsReal(Parts v) { return {v.im, 0.0}; }
inline Parts sumOf(Parts first, Parts second) { return {first.re + second.re, first.im + second.im}; }
inline Parts differenceOf(Parts first, Parts second) { return {first.re - second.re, first.im - second.im}; }
inline Parts productOf(Parts first, Parts second) { return {first.re * second.re, first.im * second.im}; }

#endif

#include "morvane/core/SlotKernelLoops.inc"

} // namespace baseline

} // namespace

const SlotKernelTable& baselineSlotKernels() { return baseline::kTable; }

} // namespace utils
} // namespace Morvane
