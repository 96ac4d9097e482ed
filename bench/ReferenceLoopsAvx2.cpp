// The AVX2 reference loops; the build compiles this unit alone with -mavx2 -mno-fma -mno-avx512f.
#include "bench/ReferenceLoopPaths.hpp"

#if REFERENCE_HAVE_AVX2

#include <immintrin.h>

namespace bench {

namespace {
namespace avx2 {
constexpr const char* kPathName = "avx2";
#define REFERENCE_REAL_PARTS_BLEND
#include "bench/ReferenceLoops.inc"
#undef REFERENCE_REAL_PARTS_BLEND
} // namespace avx2
} // namespace

const ReferenceLoops& avx2ReferenceLoops() { return avx2::kLoops; }

} // namespace bench

#endif
