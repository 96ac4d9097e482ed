#pragma once

// Domain extension: shrinking [-E, E] into [-B, B] with signs kept, its approximate inverse, and the split of
// tiny constants into a mantissa and factors 2^-26.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

namespace Morvane::Math {

namespace tools {
// The factor 2^-26 of a DecomposedConstant: the smallest constant a product is ever asked to use.
inline constexpr double kDecompositionFactor = 1.4901161193847656e-08;
} // namespace tools

// value = mantissa * (2^-26)^count, with |mantissa| above 1e-8 unless the value is 0, so that multiplying by
// the mantissa and then count times by 2^-26 never multiplies by a constant of magnitude 1e-8 or less.
struct DecomposedConstant {
    explicit DecomposedConstant(double v);
    DecomposedConstant(double m, u64 count);

    double value;
    double mantissa;
    u64 count;
};

// A new ciphertext holding op's slots shrunk from [-extended_range, extended_range] into
// [-base_range, base_range] by repeated odd cubic steps, each dividing the range by `ratio`; values well
// inside the base range stay almost unchanged. Bootstraps between steps when the level runs low.
Ciphertext approxDomainExtension(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                 double base_range, double extended_range, double ratio);

// The same on two ciphertexts, levelled to the lower of their levels and bootstrapped together as one complex
// ciphertext. res1 and res2 may be op1 and op2.
void approxDomainExtensionPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                               const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, double base_range,
                               double extended_range, double ratio);

// op + A op^3 + B op^5 - D op^7, undoing `order` shrinking steps of `ratio` approximately near zero. Three
// levels, no bootstrap, no checks.
Ciphertext approxDomainExtensionInverse(const HomEvaluator& eval, const Ciphertext& op, u64 order, double ratio);

} // namespace Morvane::Math
