#pragma once

// Inverse, inverse square root and square root by Newton-type iterations, with iteration counts derived from an
// error bound.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

namespace Morvane::Math {

// 1/x for slots in [1, right_end], right_end at most 2^40, with a worst relative error below `error`.
void approxInverseForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                    Ciphertext& res, double right_end, double error);

// 1/x for slots in [left_end, 1], left_end at least 2^-20: the input scaled by ceil(1/left_end) into the range
// of the form above, and the result scaled back.
void approxInverseForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                 Ciphertext& res, double left_end, double error);

// 1/x by y <- y (2 - x y) from the constant start value init; max(num_iter, 1) steps.
void approxInverseNewton(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                         double init, u64 num_iter);

// 1/sqrt(x) for slots in [1, right_end], right_end at most 2^40.
void approxSqrtInverseForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                        Ciphertext& res, double right_end, double error);

// 1/sqrt(x) for slots in [left_end, 1], left_end at least 2^-20, through the input scaled by d^2,
// d = ceil(1/sqrt(left_end)).
void approxSqrtInverseForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                     Ciphertext& res, double left_end, double error);

// 1/sqrt(x) by z <- z (1.5 - 0.5 x z^2) from the constant start value init, made for slots in
// [1, 2/init^2 - 1]; max(num_iter, 1) steps.
void approxSqrtInverseNewton(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                             Ciphertext& res, double init, u64 num_iter);

// sqrt(x) by num_iter rounds of a coupled iteration without division; converges for slots in (0, 3).
void approxSqrt(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                u64 num_iter);

} // namespace Morvane::Math
