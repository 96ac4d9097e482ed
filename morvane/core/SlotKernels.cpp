// The exact product rule, the choice of a path at load time, the public kernels over it, and rotation.
#include "morvane/core/SlotKernels.hpp"

#include "morvane/core/SlotKernelPaths.hpp"
#include "morvane/core/ThreadKept.hpp"

#include <cmath>
#include <cstring>
#include <vector>

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

// A product or sum of two NaNs carries one of them, and a compiler may order the operands of * and + either
// way (clang does so differently with and without AVX): these fix the instruction and the order, the first
// operand's NaN carried, so the exact rule gives the same NaN whatever the compiler and flags.
#if MORVANE_HAVE_AVX2_PATH
double productOf(double first, double second) {
    asm("mulsd %1, %0" : "+x"(first) : "x"(second));
    return first;
}
double sumOf(double first, double second) {
    asm("addsd %1, %0" : "+x"(first) : "x"(second));
    return first;
}
#else
double productOf(double first, double second) { return first * second; }
double sumOf(double first, double second) { return first + second; }
#endif

} // namespace

Complex slotProduct(const Complex& x, const Complex& y) {
    double a = x.real(), b = x.imag(), c = y.real(), d = y.imag();
    const double ac = productOf(a, c), bd = productOf(b, d), ad = productOf(a, d), bc = productOf(b, c);
    double re = ac - bd;
    double im = sumOf(ad, bc);
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

void slotProductParts(const double* x, const double* y, double* z) {
    const Complex p = slotProduct(Complex(x[0], x[1]), Complex(y[0], y[1]));
    z[0] = p.real();
    z[1] = p.imag();
}

namespace {

const SlotKernelTable* detectAvx2() {
#if MORVANE_HAVE_AVX2_PATH
    // Also run from static initialisation, possibly before the runtime's own processor probe.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return &avx2SlotKernelTable();
#endif
    return nullptr;
}

const SlotKernelTable* const kAvx2Table = detectAvx2();
// Chosen once at load time. Kernels called during static initialisation, before this is set, take the
// baseline path, which gives the same bits.
const SlotKernelTable* const kActiveTable = kAvx2Table != nullptr ? kAvx2Table : &baselineSlotKernels();

const SlotKernelTable& active() { return kActiveTable != nullptr ? *kActiveTable : baselineSlotKernels(); }

} // namespace

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

// The shorter side of an in-place rotation is parked in the thread's scratch: grown to the largest side a thread
// has rotated, up to kKeptSlotsLimit slots, then reused, so rotations in steady state allocate nothing. A longer
// side, or one parked once the thread's scratch is destroyed at its end, is parked in storage of its own, freed
// after the rotation. Nothing may poll for an interrupt while the scratch is in use: a signal handler run by the
// poll could rotate in place on the same thread and reuse it.
class ParkedSide {
public:
    explicit ParkedSide(std::size_t n) {
        std::vector<Complex>* scratch = n <= detail::kKeptSlotsLimit ? Scratch::get() : nullptr;
        if (scratch == nullptr) {
            own_.resize(n);
            data_ = own_.data();
            return;
        }
        // Grown to exactly n, so that what is kept stays within the limit.
        if (scratch->size() < n)
            *scratch = std::vector<Complex>(n);
        data_ = scratch->data();
    }
    ParkedSide(const ParkedSide&) = delete;
    ParkedSide& operator=(const ParkedSide&) = delete;

    Complex* data() const { return data_; }

private:
    using Scratch = detail::ThreadKept<std::vector<Complex>, ParkedSide>;

    std::vector<Complex> own_;
    Complex* data_ = nullptr;
};

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
        const ParkedSide parked(shift);
        copySlots(slots, shift, parked.data());
        std::memmove(static_cast<void*>(slots), slots + shift, rest * sizeof(Complex));
        copySlots(parked.data(), shift, slots + rest);
    } else {
        const ParkedSide parked(rest);
        copySlots(slots + shift, rest, parked.data());
        std::memmove(static_cast<void*>(slots + rest), slots, shift * sizeof(Complex));
        copySlots(parked.data(), rest, slots);
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
