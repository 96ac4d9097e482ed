#pragma once

// The bare loops the benchmarks set beside the library: the slot arithmetic alone, compiled as the library's
// slot kernels are (the same vectoriser options, and the AVX2 instruction set without fused multiply-adds
// where the processor has it, which is where the library runs its AVX2 path), so that a ratio to them is
// what the library's checks, bookkeeping and counting add. Products are the naive formula, the floor of any
// exact product.

#include <complex>
#include <cstddef>

namespace bench {

using Complex = std::complex<double>;

struct ReferenceLoops {
    const char* path;
    // out = a + b, part by part.
    void (*add)(const Complex* a, const Complex* b, Complex* out, std::size_t n);
    // out = a * b by the naive formula; out may be a.
    void (*mult)(const Complex* a, const Complex* b, Complex* out, std::size_t n);
    // out = a * c; out may be a.
    void (*multConstant)(const Complex* a, Complex c, Complex* out, std::size_t n);
    // out[i] = a[i] * b[i & mask], the product with a message spread over the slots.
    void (*multMasked)(const Complex* a, const Complex* b, std::size_t mask, Complex* out, std::size_t n);
    // out[i] = (re a[i], 0), a bootstrap without error of real slots.
    void (*realParts)(const Complex* a, Complex* out, std::size_t n);
};

const ReferenceLoops& referenceLoops();

// The rotation a library call is measured against: out[i] = in[(i + r) mod n] by two block copies.
void rotateByCopies(const Complex* in, std::size_t n, std::size_t r, Complex* out);

} // namespace bench
