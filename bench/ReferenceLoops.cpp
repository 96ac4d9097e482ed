#include "bench/ReferenceLoopPaths.hpp"

#include <cstring>

namespace bench {

namespace {
namespace baseline {
constexpr const char* kPathName = "baseline";
#include "bench/ReferenceLoops.inc"
} // namespace baseline
} // namespace

const ReferenceLoops& referenceLoops() {
#if REFERENCE_HAVE_AVX2
    // The library's own test: its AVX2 path runs exactly where this holds.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return avx2ReferenceLoops();
#endif
    return baseline::kLoops;
}

void rotateByCopies(const Complex* in, std::size_t n, std::size_t r, Complex* out) {
    std::memcpy(static_cast<void*>(out), in + r, (n - r) * sizeof(Complex));
    std::memcpy(static_cast<void*>(out + (n - r)), in, r * sizeof(Complex));
}

} // namespace bench
