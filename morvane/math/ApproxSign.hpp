#pragma once

// Approximate sign: composite iterations of two odd degree-7 polynomials, each evaluated in three levels through
// the real root of its cubic; single and pair forms, native ([-1, 1]) and wide-range.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

#include <array>

namespace Morvane::Math {

// res ~ sign(op) slot by slot for inputs in [-2^log_range, 2^log_range], log_range at most 38. res may be op.
void approxSign(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                u64 num_iter_g, u64 num_iter_f, u64 log_range);

// res1 ~ sign(op1) and res2 ~ sign(op2), bootstrapped together. Outputs may be inputs.
void approxSignPair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1, const Ciphertext& op2,
                    Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f, u64 log_range);

// res ~ multiplier * sign(op) for inputs in [-1, 1]: num_iter_g steps of the fast polynomial g, then num_iter_f
// steps of f, the last step carrying the multiplier. No checks of its own. res may be op.
void approxSignNative(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                      u64 num_iter_g, u64 num_iter_f, double multiplier);

// The pair form: the inputs are levelled to the lower level and bootstrapped together as op1 + i op2.
void approxSignNativePair(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op1,
                          const Ciphertext& op2, Ciphertext& res1, Ciphertext& res2, u64 num_iter_g, u64 num_iter_f,
                          double multiplier);

// One step, out = factor p3 x (x^2 - root) ((x^2 + (root + p2)/2)^2 - p0/root - (p2 + root)^2/4), which is
// factor x P(x^2) when root is a root of the cubic P = p0 + p1 y + p2 y^2 + p3 y^3 and p3 is 1. Three levels.
// x and out may be the same object.
void evalSignCubicStep(const HomEvaluator& eval, const std::array<double, 4>& coefficients, const Ciphertext& x,
                       Ciphertext& out, double root, double factor);

// A real root of p3 y^3 + p2 y^2 + p1 y + p0 (coefficients lowest degree first): Cardano's formula for one real
// root, the largest of three otherwise.
double solveCubicRealRoot(const std::array<double, 4>& coefficients);

} // namespace Morvane::Math
