#pragma once

// Library-internal: every loop over slots. The loops themselves are the paths of SlotKernelPaths.hpp.

#if !defined(MORVANE_LAYER_CORE) && !defined(MORVANE_LAYER_EVAL)
#error "morvane/core/SlotKernels.hpp is internal to the core and eval layers: include the public headers"
#endif

#include "morvane/core/Message.hpp"
#include "morvane/core/Types.hpp"

#include <cstddef>

namespace Morvane {
namespace utils {

// The complex product of C99 Annex G: the naive formula, and the recovery of infinities when both of its
// parts are NaN.
Complex slotProduct(const Complex& x, const Complex& y);

using SlotKernel = void (*)(const Complex* a, const Complex* b, Complex* out, std::size_t n);

// Slot kernels over n slots; `out` is either distinct from the inputs or exactly one of them. Sums and
// differences are taken part by part, products are slotProduct, `multReal` multiplies both parts by k.
void negateSlots(const Complex* in, Complex* out, std::size_t n);
void conjugateSlots(const Complex* in, Complex* out, std::size_t n);
void addSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n);
void subSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n);
void multSlots(const Complex* a, const Complex* b, Complex* out, std::size_t n);
void addConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n);
void subConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n);
void multConstant(const Complex* a, const Complex& c, Complex* out, std::size_t n);
void multReal(const Complex* a, double k, Complex* out, std::size_t n);
// The product with 0 + 1i by slotProduct, not a swap of parts.
void multImagUnitSlots(const Complex* in, Complex* out, std::size_t n);

// The same with a message `msg` of m slots spread over the n slots as replicateMessage spreads it: copies
// end to end, zero slots after the last complete copy (all zero when m is 0 or above n).
void addSpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n);
void subSpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n);
void multSpread(const Complex* a, const Complex* msg, std::size_t m, Complex* out, std::size_t n);

// Rotation of a whole slot vector in one pass: out[i] = in[(i + r) mod n] (left) or in[(i - r) mod n]
// (right). `out` takes in's length and device; when `out` is `in` it is rotated in place. Amounts of n or
// more wrap around.
void rotateSlotsLeft(const Message& in, u64 r, Message& out);
void rotateSlotsRight(const Message& in, u64 r, Message& out);

// The bootstrapped slots: all of `in`, or its real parts with imaginary parts 0, plus `samples` when not null,
// added as the message addition adds them.
void bootstrapSlots(const Complex* in, const Complex* samples, Complex* out, std::size_t n, bool is_complex);
// Real parts of `in` into `re`, imaginary parts into `im`, both as real slots. Either may be `in`, and both
// the same: a slot is read before it is written, and `im` is written after `re`.
void splitParts(const Complex* in, Complex* re, Complex* im, std::size_t n);

// acc[j] = in[j] + acc[j] and acc[j] /= divisor over the 2n parts of n slots: the sums of averageReplicas.
void accumulateSlots(const Complex* in, Complex* acc, std::size_t n);
void divideSlots(Complex* slots, double divisor, std::size_t n);
// Whether every part is zero (either sign); a NaN part is not.
bool allZero(const Complex* slots, std::size_t n);

} // namespace utils
} // namespace Morvane
