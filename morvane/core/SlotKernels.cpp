#include "morvane/core/SlotKernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>

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

// Finishes naive products by the exact rule: only a product whose parts are both NaN needs it, and it can
// arise only where a factor is infinite or NaN, so finite chunks are never visited.
template <typename SecondAt>
void exactWhereBothNaN(const Complex* a, SecondAt second, Complex* products, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i)
        if (std::isnan(products[i].real()) && std::isnan(products[i].imag()))
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

// Sums and differences are taken part by part, of two slot vectors or of slots and a constant.
template <typename PartOp>
void partWise(const Complex* a, const Complex* b, Complex* out, std::size_t n, PartOp op) {
    const double* x = parts(a);
    const double* y = parts(b);
    double* z = parts(out);
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t i = 0; i < 2 * n; ++i)
        z[i] = op(x[i], y[i]);
}

template <typename PartOp>
void partWiseConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n, PartOp op) {
    const double* x = parts(a);
    double* z = parts(out);
    const double cr = c.real(), ci = c.imag();
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t i = 0; i < n; ++i) {
        const double re = x[2 * i], im = x[2 * i + 1];
        z[2 * i] = op(re, cr);
        z[2 * i + 1] = op(im, ci);
    }
}

} // namespace

void negateSlots(const Complex* in, Complex* out, std::size_t n) {
    const double* x = parts(in);
    double* z = parts(out);
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t i = 0; i < 2 * n; ++i)
        z[i] = -x[i];
}

void conjugateSlots(const Complex* in, Complex* out, std::size_t n) {
    const double* x = parts(in);
    double* z = parts(out);
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t i = 0; i < n; ++i) {
        const double re = x[2 * i], im = x[2 * i + 1];
        z[2 * i] = re;
        z[2 * i + 1] = -im;
    }
}

void addSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n) {
    partWise(a, b, out, n, std::plus<double>());
}

void subSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n) {
    partWise(a, b, out, n, std::minus<double>());
}

void addConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n) {
    partWiseConstant(a, c, out, n, std::plus<double>());
}

void subConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n) {
    partWiseConstant(a, c, out, n, std::minus<double>());
}

void multReal(const Complex* a, double k, Complex* out, std::size_t n) {
    const double* x = parts(a);
    double* z = parts(out);
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t i = 0; i < 2 * n; ++i)
        z[i] = x[i] * k;
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

void multImagUnitSlots(const Complex* in, Complex* out, std::size_t n) { multConstant(in, Complex(0.0, 1.0), out, n); }

namespace {

using ConstantKernel = void (*)(const Complex*, const Complex&, Complex*, std::size_t);

void applySpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n, SlotKernel binary,
                 ConstantKernel constant) {
    const std::size_t copies = (m == 0 || m > n) ? 0 : n / m;
    const std::size_t covered = copies * m;
    if (copies > 0 && m >= kChunk) {
        for (std::size_t b = 0; b < copies; ++b)
            binary(a + b * m, msg, out + b * m, m);
    } else if (copies > 0) {
        // A short message is repeated into one chunk-long period first, so that each kernel call covers
        // many copies.
        Complex period[kChunk];
        const std::size_t perPeriod = kChunk / m;
        for (std::size_t k = 0; k < perPeriod; ++k)
            std::copy(msg, msg + m, period + k * m);
        const std::size_t p = perPeriod * m;
        for (std::size_t s = 0; s < covered; s += p)
            binary(a + s, period, out + s, std::min(p, covered - s));
    }
    if (covered < n)
        constant(a + covered, Complex(0.0, 0.0), out + covered, n - covered);
}

} // namespace

void addSpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n) {
    applySpread(a, msg, m, out, n, addSlots, addConstant);
}

void subSpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n) {
    applySpread(a, msg, m, out, n, subSlots, subConstant);
}

void multSpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n) {
    applySpread(a, msg, m, out, n, multSlots, multConstant);
}

void rotateSlotsLeft(const Message& in, u64 r, Message& out) {
    const std::size_t n = in.getSize();
    const std::size_t shift = n == 0 ? 0 : static_cast<std::size_t>(r % n);
    if (&in == &out) {
        std::rotate(out.begin(), out.begin() + shift, out.end());
        return;
    }
    out.slots().resize(n);
    std::rotate_copy(in.begin(), in.begin() + shift, in.end(), out.begin());
    out.allocate(in.getDevice());
}

void rotateSlotsRight(const Message& in, u64 r, Message& out) {
    const std::size_t n = in.getSize();
    rotateSlotsLeft(in, n == 0 ? 0 : n - r % n, out);
}

void bootstrapSlots(const Complex* in, const Complex* samples, Complex* out, std::size_t n, bool is_complex) {
    if (is_complex) {
        if (samples != nullptr)
            addSlots(in, samples, out, n);
        else if (out != in)
            std::copy(in, in + n, out);
        return;
    }
    const double* x = parts(in);
    double* z = parts(out);
    if (samples == nullptr) {
        MORVANE_INDEPENDENT_ITERATIONS
        for (std::size_t i = 0; i < n; ++i) {
            const double re = x[2 * i];
            z[2 * i] = re;
            z[2 * i + 1] = 0.0;
        }
        return;
    }
    // The real part plus the sample's, and 0 plus the sample's imaginary part, as the message addition sums them.
    const double* s = parts(samples);
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t i = 0; i < n; ++i) {
        const double re = x[2 * i];
        z[2 * i] = re + s[2 * i];
        z[2 * i + 1] = 0.0 + s[2 * i + 1];
    }
}

void splitParts(const Complex* in, Complex* re, Complex* im, std::size_t n) {
    const double* x = parts(in);
    double* r = parts(re);
    double* m = parts(im);
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t i = 0; i < n; ++i) {
        const double real = x[2 * i], imag = x[2 * i + 1];
        r[2 * i] = real;
        r[2 * i + 1] = 0.0;
        m[2 * i] = imag;
        m[2 * i + 1] = 0.0;
    }
}

void accumulateSlots(const Complex* in, Complex* acc, std::size_t n) {
    const double* x = parts(in);
    double* z = parts(acc);
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t j = 0; j < 2 * n; ++j)
        z[j] = x[j] + z[j];
}

void divideSlots(Complex* slots, double divisor, std::size_t n) {
    double* z = parts(slots);
    MORVANE_INDEPENDENT_ITERATIONS
    for (std::size_t j = 0; j < 2 * n; ++j)
        z[j] /= divisor;
}

bool allZero(const Complex* slots, std::size_t n) {
    const double* x = parts(slots);
    std::uint64_t nonZero = 0;
    for (std::size_t j = 0; j < 2 * n; ++j)
        nonZero |= static_cast<std::uint64_t>(x[j] != 0.0);
    return nonZero == 0;
}

} // namespace utils
} // namespace Morvane
