#include "morvane/eval/EvaluatorUtils.hpp"

#include "morvane/core/Exception.hpp"

#include <algorithm>
#include <cmath>
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

// The complex products need shuffles of the interleaved parts, which the baseline x86-64 vector width makes
// barely worth it: those kernels get an AVX2 version too, picked when the program loads. Without FMA the
// products round exactly as the scalar formula does.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__)
#define MORVANE_PRODUCT_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define MORVANE_PRODUCT_KERNEL
#endif

namespace Morvane {
namespace utils {

template <typename Op1, typename Op2>
void checkPrecondition(const Op1& op1, const Op2& op2) {
    if (op1.getLogSlots() != op2.getLogSlots())
        throw RuntimeException("Two operands have different logSlots");
    if (op1.getRescaleCounter() != op2.getRescaleCounter())
        throw RuntimeException("Two operands have different RescaleCounter");
}

template <typename Result, typename Op1, typename Op2>
void makeHavingCommonDeviceOrThrow(Result& res, const Op1& op1, const Op2& op2) {
    if (!isSameDevice(op1.getDevice(), op2.getDevice()))
        throw RuntimeException("Operands have different devices.");
    if (!isSameDevice(res.getDevice(), op1.getDevice()))
        res.allocate(op1.getDevice());
}

template void checkPrecondition(const Plaintext&, const Plaintext&);
template void checkPrecondition(const Ciphertext&, const Plaintext&);
template void checkPrecondition(const Ciphertext&, const Ciphertext&);
template void makeHavingCommonDeviceOrThrow(Plaintext&, const Plaintext&, const Plaintext&);
template void makeHavingCommonDeviceOrThrow(Ciphertext&, const Ciphertext&, const Plaintext&);
template void makeHavingCommonDeviceOrThrow(Ciphertext&, const Ciphertext&, const Ciphertext&);

void updateOpHistoryForDevice(ContextContent& context, const OpLabel& label, int device_type) {
    if (device_type == static_cast<int>(DeviceType::CPU))
        context.updateOpHistory(label.plain);
    else if (device_type == static_cast<int>(DeviceType::GPU))
        context.updateOpHistory(label.gpu);
}

void throwIfLevelZero(u64 level) {
    if (level == 0)
        throw RuntimeException("The level of the operand is zero");
}

void throwIfEitherLevelZero(u64 first, u64 second) {
    throwIfLevelZero(first);
    throwIfLevelZero(second);
}

void throwIfLevelsDiffer(u64 first, u64 second) {
    if (first != second)
        throw RuntimeException("Operands have different levels.");
}

void throwIfRescaleCounterNotZero(int rescale_counter) {
    if (rescale_counter != 0)
        throw RuntimeException("The Operand should have rescale counter zero");
}

void throwIfRescaleCountersNotZero(int first, int second) {
    if (first != 0 || second != 0)
        throw RuntimeException("The Operands should have rescale counter zero");
}

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

void checkSameSlotCount(const Message& a, const Message& b) {
    if (a.getSize() != b.getSize())
        throw RuntimeException("Operands have different numbers of slots.");
}

void prepareMessageResult(Message& res, const Message& op) {
    if (res.getSize() == op.getSize())
        return;
    res.slots().assign(op.getSize(), Complex());
    res.allocate(getDefaultDevice());
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

namespace {

// std::complex<double> is laid out as double[2], real part first.
const double* parts(const Complex* p) { return reinterpret_cast<const double*>(p); }
double* parts(Complex* p) { return reinterpret_cast<double*>(p); }

// Products are computed a chunk at a time. A result that is one of the operands is computed into a buffer first,
// so that the rare slots that need the recovery of infinities can still read their operands; any other result is
// written directly.
constexpr std::size_t kChunk = 256;

// Whether any part is infinite or NaN: the exponent field of such a part is all ones, and adding one at the
// exponent's lowest bit carries into the sign bit only then.
inline bool anyNonFinite(const double* p, std::size_t count) {
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, p + i, sizeof bits);
        carry |= (bits & 0x7ff0000000000000ULL) + 0x0010000000000000ULL;
    }
    return (carry >> 63) != 0;
}

// Finishes a chunk of naive products in `products` (the result's slots or a buffer): only a product whose parts
// are both NaN needs the exact rule, and it can arise only where a factor is infinite or NaN.
template <typename SecondAt>
inline void finishProducts(double* products, const Complex* a, SecondAt second, Complex* out, std::size_t len) {
    if (anyNonFinite(products, 2 * len)) {
        for (std::size_t i = 0; i < len; ++i) {
            if (std::isnan(products[2 * i]) && std::isnan(products[2 * i + 1])) {
                const Complex p = slotProduct(a[i], second(i));
                products[2 * i] = p.real();
                products[2 * i + 1] = p.imag();
            }
        }
    }
    if (products != parts(out))
        std::memcpy(static_cast<void*>(out), products, len * sizeof(Complex));
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

MORVANE_PRODUCT_KERNEL
void multSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n) {
    double buffer[2 * kChunk];
    const bool aliased = out == a || out == b;
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t len = std::min(kChunk, n - start);
        const double* x = parts(a + start);
        const double* y = parts(b + start);
        double* z = aliased ? buffer : parts(out + start);
        MORVANE_INDEPENDENT_ITERATIONS
        for (std::size_t i = 0; i < len; ++i) {
            const double xr = x[2 * i], xi = x[2 * i + 1], yr = y[2 * i], yi = y[2 * i + 1];
            z[2 * i] = xr * yr - xi * yi;
            z[2 * i + 1] = xr * yi + xi * yr;
        }
        const Complex* second = b + start;
        finishProducts(z, a + start, [second](std::size_t i) { return second[i]; }, out + start, len);
    }
}

MORVANE_PRODUCT_KERNEL
void multConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n) {
    const double cr = c.real(), ci = c.imag();
    double buffer[2 * kChunk];
    const bool aliased = out == a;
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t len = std::min(kChunk, n - start);
        const double* x = parts(a + start);
        double* z = aliased ? buffer : parts(out + start);
        MORVANE_INDEPENDENT_ITERATIONS
        for (std::size_t i = 0; i < len; ++i) {
            const double xr = x[2 * i], xi = x[2 * i + 1];
            z[2 * i] = xr * cr - xi * ci;
            z[2 * i + 1] = xr * ci + xi * cr;
        }
        finishProducts(z, a + start, [c](std::size_t) { return c; }, out + start, len);
    }
}

void multImagUnitSlots(const Complex* in, Complex* out, std::size_t n) { multConstant(in, Complex(0.0, 1.0), out, n); }

namespace {

using ConstantKernel = void (*)(const Complex*, const Complex&, Complex*, std::size_t);

void applySpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n,
                 SlotKernel binary, ConstantKernel constant) {
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

} // namespace utils
} // namespace Morvane
