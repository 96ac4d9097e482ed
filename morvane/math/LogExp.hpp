#pragma once

// Logarithms to any base for inputs above and below one, the inverse eighth root they are built on, and the
// exponential of non-positive inputs.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

namespace Morvane::Math {

// x^(-1/8) for slots in [1, right_end] by Newton steps from a constant start value, until the relative error
// bound falls below `error`; at least one step.
void approx8thRootInverse(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op, Ciphertext& res,
                          double right_end, double error);

// multiplier * ln x for slots in [1, 2^log_range], log_range at most 22, as -8 multiplier ln(x^(-1/8)).
void approxLogEForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                 Ciphertext& res, u64 log_range, double multiplier);
void approxLog2ForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                 Ciphertext& res, u64 log_range);
void approxLog10ForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                  Ciphertext& res, u64 log_range);
// base must be positive and not 1.
void approxLogForGreaterThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                Ciphertext& res, double base, u64 log_range);

// multiplier * ln x for slots in [2^-log_range, 1], through the form above on x * 2^log_range.
void approxLogEForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                              Ciphertext& res, u64 log_range, double multiplier);
void approxLog2ForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                              Ciphertext& res, u64 log_range);
void approxLog10ForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                               Ciphertext& res, u64 log_range);
// base must be positive and not 1.
void approxLogForLessThanOne(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                             Ciphertext& res, double base, u64 log_range);

// multiplier * e^x for slots x <= 0, as multiplier * (1 + x/2^20)^(2^20) by twenty squarings.
void approxExponentialLessThanZero(const HomEvaluator& eval, const Bootstrapper& btp, const Ciphertext& op,
                                   Ciphertext& res, double multiplier);

} // namespace Morvane::Math
