// The AVX2 path of the slot kernels, without fused multiply-adds (a fused product rounds once where the
// baseline rounds twice) and without AVX-512. The build compiles this unit alone with -mavx2 -mno-fma
// -mno-avx512f, after any global -march, and the library runs it only where the processor has AVX2.

#include "morvane/core/SlotKernelPaths.hpp"

#if MORVANE_HAVE_AVX2_PATH

#if !defined(__AVX2__) || defined(__FMA__) || defined(__AVX512F__)
#error "SlotKernelsAvx2.cpp is compiled with -mavx2 -mno-fma -mno-avx512f"
#endif

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace Morvane {
namespace utils {

namespace {

namespace avx2 {

using namespace paths;

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
        if (needsExactRule(z[2 * k], z[2 * k + 1]))
            slotProductParts(x + 2 * k, y + 2 * k, z + 2 * k);
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
    const double constant[2] = {parts(&c)[0], parts(&c)[1]};
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
inline Parts differenceOf(Parts first, Parts second) {
    Parts difference;
    asm("vsubpd %2, %1, %0" : "=x"(difference) : "x"(first), "x"(second));
    return difference;
}
inline Parts productOf(Parts first, Parts second) {
    Parts product;
    asm("vmulpd %2, %1, %0" : "=x"(product) : "x"(first), "x"(second));
    return product;
}

#include "morvane/core/SlotKernelLoops.inc"

} // namespace avx2

} // namespace

const SlotKernelTable& avx2SlotKernelTable() { return avx2::kTable; }

} // namespace utils
} // namespace Morvane

#endif // MORVANE_HAVE_AVX2_PATH
