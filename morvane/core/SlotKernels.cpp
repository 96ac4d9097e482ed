#include "morvane/core/SlotKernels.hpp"

#include "morvane/core/SlotKernelPaths.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#if (defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__))) && (defined(__GNUC__) || defined(__clang__))
#define MORVANE_HAVE_AVX2_PATH 1
#include <immintrin.h>
#else
#define MORVANE_HAVE_AVX2_PATH 0
#endif

// The slot loops below overwrite an input only at the index they have just read (a result is either a
// distinct object or exactly an operand), so no loop-carried dependence exists through memory.
#if defined(__GNUC__) && !defined(__clang__)
#define MORVANE_INDEPENDENT_ITERATIONS _Pragma("GCC ivdep")
#elif defined(__clang__)
#define MORVANE_INDEPENDENT_ITERATIONS _Pragma("clang loop vectorize(assume_safety)")
#else
#define MORVANE_INDEPENDENT_ITERATIONS
#endif

namespace Morvane {
namespace utils {

namespace {

// Puts NaN parts of a factor to signed zeros.
void zeroNaNs(double& re, double& im) {
    if (std::isnan(re))
        re = std::copysign(0.0, re);
    if (std::isnan(im))
        im = std::copysign(0.0, im);
}

// Boxes an infinite factor to signed ones and zeros.
bool boxInfinity(double& re, double& im) {
    if (!std::isinf(re) && !std::isinf(im))
        return false;
    re = std::copysign(std::isinf(re) ? 1.0 : 0.0, re);
    im = std::copysign(std::isinf(im) ? 1.0 : 0.0, im);
    return true;
}

} // namespace

Complex slotProduct(const Complex& x, const Complex& y) {
    double a = x.real(), b = x.imag(), c = y.real(), d = y.imag();
    const double ac = a * c, bd = b * d, ad = a * d, bc = b * c;
    double re = ac - bd;
    double im = ad + bc;
    if (std::isnan(re) && std::isnan(im)) {
        bool recalc = false;
        if (boxInfinity(a, b)) {
            zeroNaNs(c, d);
            recalc = true;
        }
        if (boxInfinity(c, d)) {
            zeroNaNs(a, b);
            recalc = true;
        }
        if (!recalc && (std::isinf(ac) || std::isinf(bd) || std::isinf(ad) || std::isinf(bc))) {
            // Infinities lost to an overflowed partial product.
            zeroNaNs(a, b);
            zeroNaNs(c, d);
            recalc = true;
        }
        if (recalc) {
            re = HUGE_VAL * (a * c - b * d);
            im = HUGE_VAL * (a * d + b * c);
        }
    }
    return {re, im};
}

namespace {

// std::complex<double> is laid out as double[2], real part first.
const double* parts(const Complex* p) { return reinterpret_cast<const double*>(p); }
double* parts(Complex* p) { return reinterpret_cast<double*>(p); }

// A short message is spread through a period of this many slots.
constexpr std::size_t kSpreadPeriod = 256;

// Only a product whose parts are both NaN needs the exact rule, and such a product has a NaN real part.
bool needsExactRule(double re, double im) { return std::isnan(re) && std::isnan(im); }

// The baseline path: the portable loops, vectorised for the architecture's base instruction set.
namespace baseline {

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

// Finishes naive products by the exact rule: it can be needed only where a factor is infinite or NaN, so
// finite chunks are never visited.
template <typename SecondAt>
void exactWhereBothNaN(const Complex* a, SecondAt second, Complex* products, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i)
        if (needsExactRule(products[i].real(), products[i].imag()))
            products[i] = slotProduct(a[i], second(i));
}

// The product kernels over chunks. A result distinct from the operands is written directly; a result that is
// one of them is written through a chunk buffer, so that the exact rule can still read the operands.
template <typename Naive, typename SecondAt>
void products(const Complex* a, SecondAt second, Complex* out, std::size_t n, bool aliased, Naive naive) {
    double buffer[2 * kChunk];
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t len = std::min(kChunk, n - start);
        const auto secondHere = [&second, start](std::size_t i) { return second(start + i); };
        if (!aliased) {
            if (naive(start, parts(out + start), len))
                exactWhereBothNaN(a + start, secondHere, out + start, len);
            continue;
        }
        if (naive(start, buffer, len))
            exactWhereBothNaN(a + start, secondHere, reinterpret_cast<Complex*>(buffer), len);
        std::memcpy(static_cast<void*>(out + start), buffer, len * sizeof(Complex));
    }
}

void multSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n) {
    products(
        a, [b](std::size_t i) { return b[i]; }, out, n, out == a || out == b,
        [a, b](std::size_t start, double* z, std::size_t len) {
            return naiveProducts<2>(parts(a + start), parts(b + start), z, len);
        });
}

void multConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n) {
    const double constant[2] = {c.real(), c.imag()};
    products(
        a, [c](std::size_t) { return c; }, out, n, out == a,
        [a, &constant](std::size_t start, double* z, std::size_t len) {
            return naiveProducts<0>(parts(a + start), constant, z, len);
        });
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
inline Parts productOf(Parts first, Parts second) { return {first.re * second.re, first.im * second.im}; }

#endif

#include "morvane/core/SlotKernelLoops.inc"

} // namespace baseline

#if MORVANE_HAVE_AVX2_PATH

// The AVX2 path, without fused multiply-adds (a fused product rounds once where the baseline rounds twice)
// and without AVX-512. Everything defined up to the matching pop is compiled for it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,no-fma,no-avx512f")
#endif

namespace avx2 {

constexpr const char* kPathName = "avx2";

// The naive products of two slots: x = [xr0, xi0, xr1, xi1] times y likewise, each part formed as the
// baseline forms it: re = xr * yr - xi * yi, im = xr * yi + xi * yr. Which operand of a product carries its
// NaN does not matter here: a NaN factor part makes both parts NaN, and such a slot takes the exact rule.
inline __m256d naivePair(__m256d x, __m256d y) {
    const __m256d xr = _mm256_movedup_pd(x);      // xr0 xr0 xr1 xr1
    const __m256d xi = _mm256_permute_pd(x, 0xF); // xi0 xi0 xi1 xi1
    const __m256d ys = _mm256_permute_pd(y, 0x5); // yi0 yr0 yi1 yr1
    const __m256d first = _mm256_mul_pd(xr, y);   // xr*yr  xr*yi
    const __m256d second = _mm256_mul_pd(xi, ys); // xi*yi  xi*yr
    return _mm256_addsub_pd(first, second);       // even lanes subtract, odd lanes add
}

inline __m256d nanLanes(__m256d v) { return _mm256_cmp_pd(v, v, _CMP_UNORD_Q); }

// The exact rule over the four slots of one step whose naive products hold a NaN part: x, y and z hold the
// slots' factors and naive products, parts interleaved.
[[gnu::noinline]] void exactInStep(const double* x, const double* y, double* z) {
    for (std::size_t k = 0; k < 4; ++k)
        if (needsExactRule(z[2 * k], z[2 * k + 1])) {
            const Complex p = slotProduct(Complex(x[2 * k], x[2 * k + 1]), Complex(y[2 * k], y[2 * k + 1]));
            z[2 * k] = p.real();
            z[2 * k + 1] = p.imag();
        }
}

// The products of four slots at x and y (kStride 2) or of four slots at x and the constant y[0], y[1]
// (kStride 0), into z. Both factors are in registers before anything is stored, so z may be x or y.
template <std::size_t kStride>
inline void productStep(const double* x, const double* y, __m256d constant, double* z) {
    const __m256d x0 = _mm256_loadu_pd(x);
    const __m256d x1 = _mm256_loadu_pd(x + 4);
    const __m256d y0 = kStride == 0 ? constant : _mm256_loadu_pd(y);
    const __m256d y1 = kStride == 0 ? constant : _mm256_loadu_pd(y + 4);
    const __m256d z0 = naivePair(x0, y0);
    const __m256d z1 = naivePair(x1, y1);
    const __m256d nan = _mm256_or_pd(nanLanes(z0), nanLanes(z1));
    if (__builtin_expect(!_mm256_testz_pd(nan, nan), 0)) {
        // Rare: the slots go through memory, where the exact rule reads them.
        alignas(32) double xs[8], ys[8], zs[8];
        _mm256_store_pd(xs, x0);
        _mm256_store_pd(xs + 4, x1);
        _mm256_store_pd(ys, y0);
        _mm256_store_pd(ys + 4, y1);
        _mm256_store_pd(zs, z0);
        _mm256_store_pd(zs + 4, z1);
        exactInStep(xs, ys, zs);
        std::memcpy(z, zs, sizeof zs);
        return;
    }
    _mm256_storeu_pd(z, z0);
    _mm256_storeu_pd(z + 4, z1);
}

// The product kernels: four slots a step, in one pass, the exact rule applied within the step that needs it.
// A last step of fewer than four slots goes through a padded copy, so every slot is formed by the same
// instructions. The result may be either operand.
template <std::size_t kStride>
void products(const double* x, const double* y, double* z, std::size_t n) {
    const __m256d constant = kStride == 0 ? _mm256_setr_pd(y[0], y[1], y[0], y[1]) : _mm256_setzero_pd();
    const std::size_t whole = n - n % 4;
    for (std::size_t i = 0; i < whole; i += 4)
        productStep<kStride>(x + 2 * i, y + kStride * i, constant, z + 2 * i);
    const std::size_t rest = n - whole;
    if (rest == 0)
        return;
    alignas(32) double xs[8] = {}, ys[8] = {}, zs[8];
    std::memcpy(xs, x + 2 * whole, rest * 2 * sizeof(double));
    if (kStride != 0)
        std::memcpy(ys, y + 2 * whole, rest * 2 * sizeof(double));
    productStep<kStride>(xs, ys, constant, zs);
    std::memcpy(z + 2 * whole, zs, rest * 2 * sizeof(double));
}

void multSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n) {
    products<2>(parts(a), parts(b), parts(out), n);
}

void multConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n) {
    const double constant[2] = {c.real(), c.imag()};
    products<0>(parts(a), constant, parts(out), n);
}

using Parts = __m256d;
constexpr std::size_t kWidth = 4;
inline Parts loadParts(const double* p) { return _mm256_loadu_pd(p); }
inline void storeParts(double* p, Parts v) { _mm256_storeu_pd(p, v); }
inline Parts pairPattern(double re, double im) { return _mm256_setr_pd(re, im, re, im); }
inline Parts splat(double k) { return _mm256_set1_pd(k); }
inline Parts realPartsOf(Parts v) { return _mm256_blend_pd(v, _mm256_setzero_pd(), 0xA); }
inline Parts imagPartsAsReal(Parts v) { return _mm256_unpackhi_pd(v, _mm256_setzero_pd()); }
inline Parts sumOf(Parts first, Parts second) {
    Parts sum;
    asm("vaddpd %2, %1, %0" : "=x"(sum) : "x"(first), "x"(second));
    return sum;
}
inline Parts productOf(Parts first, Parts second) {
    Parts product;
    asm("vmulpd %2, %1, %0" : "=x"(product) : "x"(first), "x"(second));
    return product;
}

#include "morvane/core/SlotKernelLoops.inc"

} // namespace avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif // MORVANE_HAVE_AVX2_PATH

const SlotKernelTable* detectAvx2() {
#if MORVANE_HAVE_AVX2_PATH
    // Also run from static initialisation, possibly before the runtime's own processor probe.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return &avx2::kTable;
#endif
    return nullptr;
}

const SlotKernelTable* const kAvx2Table = detectAvx2();
// Chosen once at load time. Kernels called during static initialisation, before this is set, take the
// baseline path, which gives the same bits.
const SlotKernelTable* const kActiveTable = kAvx2Table != nullptr ? kAvx2Table : &baseline::kTable;

const SlotKernelTable& active() { return kActiveTable != nullptr ? *kActiveTable : baseline::kTable; }

} // namespace

const SlotKernelTable& baselineSlotKernels() { return baseline::kTable; }
const SlotKernelTable* avx2SlotKernels() { return kAvx2Table; }
const SlotKernelTable& activeSlotKernels() { return active(); }

void negateSlots(const Complex* in, Complex* out, std::size_t n) { active().negateSlots(in, out, n); }
void conjugateSlots(const Complex* in, Complex* out, std::size_t n) { active().conjugateSlots(in, out, n); }
void addSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n) { active().addSlots(a, b, out, n); }
void subSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n) { active().subSlots(a, b, out, n); }
void multSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n) { active().multSlots(a, b, out, n); }
void addConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n) {
    active().addConstant(a, c, out, n);
}
void subConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n) {
    active().subConstant(a, c, out, n);
}
void multConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n) {
    active().multConstant(a, c, out, n);
}
void multReal(const Complex* a, double k, Complex* out, std::size_t n) { active().multReal(a, k, out, n); }
void multImagUnitSlots(const Complex* in, Complex* out, std::size_t n) { multConstant(in, Complex(0.0, 1.0), out, n); }

void addSpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n) {
    active().addSpread(a, msg, m, out, n);
}
void subSpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n) {
    active().subSpread(a, msg, m, out, n);
}
void multSpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n) {
    active().multSpread(a, msg, m, out, n);
}

void bootstrapSlots(const Complex* in, const Complex* samples, Complex* out, std::size_t n, bool is_complex) {
    active().bootstrapSlots(in, samples, out, n, is_complex);
}
void splitParts(const Complex* in, Complex* re, Complex* im, std::size_t n) { active().splitParts(in, re, im, n); }
void accumulateSlots(const Complex* in, Complex* acc, std::size_t n) { active().accumulateSlots(in, acc, n); }
void divideSlots(Complex* slots, double divisor, std::size_t n) { active().divideSlots(slots, divisor, n); }
bool allZero(const Complex* slots, std::size_t n) { return active().allZero(slots, n); }

namespace {

// The shorter side of an in-place rotation is parked here: grown to the largest side a thread has rotated,
// then reused, so rotations in steady state allocate nothing. Nothing may poll for an interrupt while it is in
// use: a signal handler run by the poll could rotate in place on the same thread and reuse it.
Complex* rotationScratch(std::size_t n) {
    thread_local std::vector<Complex> scratch;
    if (scratch.size() < n)
        scratch.resize(n);
    return scratch.data();
}

// memcpy of nothing may still not be given the null data pointer of an empty vector.
void copySlots(const Complex* from, std::size_t n, Complex* to) {
    if (n != 0)
        std::memcpy(static_cast<void*>(to), from, n * sizeof(Complex));
}

// out[i] = in[(i + shift) mod n] over the slots of `slots`, in place: the shorter of the two sides moves
// through the scratch, the longer one slides within the vector.
void rotateInPlace(Complex* slots, std::size_t n, std::size_t shift) {
    if (shift == 0)
        return;
    const std::size_t rest = n - shift;
    if (shift <= rest) {
        Complex* parked = rotationScratch(shift);
        copySlots(slots, shift, parked);
        std::memmove(static_cast<void*>(slots), slots + shift, rest * sizeof(Complex));
        copySlots(parked, shift, slots + rest);
    } else {
        Complex* parked = rotationScratch(rest);
        copySlots(slots + shift, rest, parked);
        std::memmove(static_cast<void*>(slots + rest), slots, shift * sizeof(Complex));
        copySlots(parked, rest, slots);
    }
}

} // namespace

void rotateSlotsLeft(const Message& in, u64 r, Message& out) {
    const std::size_t n = in.getSize();
    const std::size_t shift = n == 0 ? 0 : static_cast<std::size_t>(r % n);
    if (&in == &out) {
        rotateInPlace(out.begin(), n, shift);
        return;
    }
    out.slots().resize(n);
    copySlots(in.begin() + shift, n - shift, out.begin());
    copySlots(in.begin(), shift, out.begin() + (n - shift));
    out.allocate(in.getDevice());
}

void rotateSlotsRight(const Message& in, u64 r, Message& out) {
    const std::size_t n = in.getSize();
    rotateSlotsLeft(in, n == 0 ? 0 : n - r % n, out);
}

} // namespace utils
} // namespace Morvane
